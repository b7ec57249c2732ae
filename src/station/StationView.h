// What trm415-station prints. On a terminal: a live table redrawn in place, one row
// per slot (label, port, state, phase, progress, elapsed, last verdict) and the totals,
// with each verdict logged above it. Elsewhere: one line per change; with --json one
// JSON object per change, every one carrying its slot.
#pragma once

#include "cli/Terminal.h"
#include "station/Station.h"

#include <QDateTime>
#include <QTimer>

#include <cstdio>

namespace trm::station {

using cli::Style;
using cli::Tone;

// CPU seconds (user and system) of this process (RUSAGE_SELF) or of its children that
// have ended (RUSAGE_CHILDREN).
double CpuSeconds(int who);

class StationView : public QObject {
public:
    // `bell`: a failure rings the terminal's bell once (on a terminal only).
    StationView(Station& station, Style style, bool bell = true, std::FILE* out = stdout);

    // A line about the station as a whole ("station" event in JSON).
    void note(const QString& text, QJsonObject fields = {}, Tone tone = Tone::Plain);
    // The rows the records spool holds, for the totals.
    void setHeld(int held, const QDateTime& since, bool answering);
    // The last table and the totals.
    void finish();

private:
    void onSlotChanged(int index);
    void onUpdateEnded(int index, const UpdateEnd& end);
    void emitJson(const char* event, QJsonObject fields);
    void redraw();
    QString table() const;
    QString totalsLine() const;

    Station& station_;
    Style style_;
    bool bell_;
    std::FILE* out_;
    QTimer redraw_;
    int drawnLines_ = 0;
    bool dirty_ = false;
    QStringList lastLine_; // per slot, the last plain line printed
    int held_ = -1;        // -1: records without a spool
    QDateTime heldSince_;
    bool answering_ = true;
};

} // namespace trm::station
