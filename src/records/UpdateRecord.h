// The record of one update: which unit, on which slot and port, what was written into
// it, how it ended and how long each phase took.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace trm::records {

inline constexpr const char* kUnfinished = "unfinished";
// The result of a row its station left unfinished when it stopped (killed, or the
// machine went down), set at the station's next start.
inline constexpr const char* kInterruptedStationStopped = "interrupted (station stopped)";

// The phases an update is timed in (a column each), as the runner names them.
inline constexpr const char* kRecordedPhases[] = {
    "identity-query",         "restart-to-boot-loader", "boot-loader",
    "restart-to-application", "dsp-download",
};

struct UpdateRecord {
    QString id; // unique across stations and databases (a UUID), set by begin()
    QDateTime start, end;
    QString host, station, slot, port, serial, identity;
    int unitType = -1;
    int imagePair = -1;
    QString mcuSha256, dspSha256; // of the images sent; empty when none was
    QString result = kUnfinished; // ok, refused, boot-loader error, unit lost, ...
    QString message;              // the last message shown
    int exitStatus = -1;
    QJsonObject durations; // phase -> seconds, as kRecordedPhases name them
};

} // namespace trm::records
