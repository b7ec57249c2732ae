// How the command-line programs look where their output goes: JSON lines for programs,
// colours and lines redrawn in place only on a terminal, never with NO_COLOR set.
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace trm::cli {

struct Style {
    bool json = false;    // JSON lines on stdout, nothing else there
    bool tty = false;     // stdout is a terminal: lines may be redrawn in place
    bool colour = false;  // ANSI colours (a terminal, no NO_COLOR, no JSON)
    bool verbose = false; // more detail
};

// How the output looks where it is going: JSON as asked, redrawing and colours only on
// a terminal, never with NO_COLOR set (to anything).
Style StyleFor(bool json, bool verbose, bool stdoutIsTty, const char* noColor);

enum class Tone { Plain, Good, Bad };

// `text` in the ANSI colour `code` ("32", "1;36") when the style has colours.
QString Paint(const Style& style, const QString& text, const char* code);
// The colour code of a tone: green, red, or `plain`.
const char* ToneCode(Tone tone, const char* plain = nullptr);

// "[#########...........]  45%  466/1036  41/s  14 s left": the bar, the percentage,
// the count, the rate and the time left, from the elapsed seconds of the phase.
QString ProgressBar(int position, int maximum, double elapsedS, int width = 30);

// Text a unit or a hook gave, as a terminal or a text file may show it: every control
// character (C0, DEL, C1; a line break too) as a visible escape such as \x1b, so that
// it can neither move the cursor, set the title nor break the line.
QString Visible(const QString& text);

// One JSON line on `out`: `fields` with the schema, the event's name and the time `t`
// (seconds since the program began) added, flushed at once.
void WriteJsonLine(std::FILE* out, const char* event, QJsonObject fields, double t);

} // namespace trm::cli
