// What trm415-run prints: one line per phase of an update for people (a progress bar
// redrawn in place on a terminal, progress every 10 % elsewhere), or JSON lines for
// programs, every one with "schema": 1, an "event" and a time.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace trm::runner {

inline constexpr int kSchema = 1;

struct Style {
    bool json = false;    // JSON lines on stdout, nothing else there
    bool tty = false;     // stdout is a terminal: the bar is redrawn in place
    bool colour = false;  // ANSI colours (a terminal, no NO_COLOR, no JSON)
    bool verbose = false; // step labels too
};

// How the output looks where it is going: JSON as asked, the bar and colours only on a
// terminal, never with NO_COLOR set (to anything).
Style StyleFor(bool json, bool verbose, bool stdoutIsTty, const char* noColor);

// "[#########...........]  45%  466/1036  41/s  14 s left": the bar, the percentage,
// the count, the rate and the time left, from the elapsed seconds of the phase.
QString ProgressBar(int position, int maximum, double elapsedS, int width = 30);

enum class Tone { Plain, Good, Bad };

class Report {
public:
    explicit Report(Style style, std::FILE* out = stdout);

    const Style& style() const { return style_; }
    // Seconds since the run began.
    double now() const { return static_cast<double>(clock_.nsecsElapsed()) / 1e9; }

    // One event. People get "[  12.3s] phase  text"; programs get `fields` with the
    // schema, the event name and the time added.
    void event(const char* name, const QString& phase, const QString& text, QJsonObject fields = {},
               Tone tone = Tone::Plain);

    // Progress of a programming phase: on a terminal one bar redrawn in place; elsewhere
    // (and in JSON) one line each time another 10 % is reached.
    void beginProgress(const QString& phase, const QString& unit);
    void progress(int position, int maximum);
    // Ends the bar (the next line starts on a fresh line).
    void endProgress();

private:
    void endBar();
    QString colour(const QString& text, const char* code) const;

    Style style_;
    std::FILE* out_;
    QElapsedTimer clock_;
    bool barShown_ = false;
    QString progressPhase_;
    QString progressUnit_;
    double progressStart_ = 0;
    int lastTenth_ = -1;
};

} // namespace trm::runner
