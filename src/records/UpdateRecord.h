// The record of one update: which unit, on which slot and port, what was written into
// it, how it ended and how long each phase took. Its fields are described once, in
// records/RecordFields.h, from which its SQL, CSV, JSON and text forms are made.
#pragma once

#include "records/Result.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace trm::records {

// The phases an update is timed in (a column each), as the runner names them.
inline constexpr const char* kRecordedPhases[] = {
    "identity-query",         "restart-to-boot-loader", "boot-loader",
    "restart-to-application", "dsp-download",
};

struct UpdateRecord {
    QString id; // unique across stations and databases (a UUID), set when first written
    QDateTime start, end;
    QString host, station, slot, port, serial, identity;
    int unitType = -1;
    int imagePair = -1;
    QString mcuSha256, dspSha256; // of the images sent; empty when none was
    Result result = Result::Unfinished;
    QString message; // the last message shown
    int exitStatus = -1;
    QJsonObject durations; // phase -> seconds, as kRecordedPhases name them
};

} // namespace trm::records
