// What trm415-run prints: one line per phase of an update for people (a progress bar
// redrawn in place on a terminal, progress every 10 % elsewhere), or JSON lines for
// programs, every one with "schema": 1, an "event" and a time.
#pragma once

#include "cli/Terminal.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace trm::runner {

using cli::Style;
using cli::Tone;

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

    // A line for people only: nothing in JSON, where the summary carries it.
    void say(const QString& phase, const QString& text, Tone tone = Tone::Plain);

    // Progress of a programming phase: on a terminal one bar redrawn in place; elsewhere
    // (and in JSON) one line each time another 10 % is reached.
    void beginProgress(const QString& phase, const QString& unit);
    void progress(int position, int maximum);
    // Ends the bar (the next line starts on a fresh line).
    void endProgress();

private:
    void endBar();

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
