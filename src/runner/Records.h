// The record of every update: one row per unit in a SQLite database, written through
// Qt Sql. A row is written when the update begins (result "unfinished") and completed
// when it ends, each in its own transaction, in WAL mode with a busy time-out: several
// runners and a station can write at once, and a process killed at any moment leaves
// either the row as it was begun or no row, never half of one.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

namespace trm::runner {

inline constexpr int kRecordsSchema = 1;
inline const char* const kDefaultRecordsFile = "trm415-records.sqlite";
inline const char* const kUnfinished = "unfinished";

// The phases an update is timed in, as the runner's JSON names them.
inline const char* const kRecordedPhases[] = {
    "identity-query",         "restart-to-boot-loader", "boot-loader",
    "restart-to-application", "dsp-download",
};

struct UpdateRecord {
    QString id; // unique across stations and databases (a UUID), set by begin()
    QDateTime start, end;
    QString host, slot, port, serial, identity;
    int unitType = -1;
    int imagePair = -1;
    QString mcuSha256, dspSha256; // of the images sent; empty when none was
    QString result = kUnfinished; // ok, refused, boot-loader error, unit lost, ...
    QString message;              // the last message shown
    int exitStatus = -1;
    QJsonObject durations; // phase -> seconds, as kRecordedPhases name them
};

// Fills the outcome of `r` from a runner's JSON summary: result, exit status, message,
// identity, unit type, image pair, the images' SHA-256 and the phase durations. Fields
// missing from the summary are left as they are.
void ApplySummary(UpdateRecord& r, const QJsonObject& summary);

class RecordStore {
public:
    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // Opens the database at `path`, creating it and its table when new. Fails, with a
    // reason in `error`, when it cannot be opened or written, or when it was made by a
    // newer schema than this program knows.
    bool open(const QString& path, QString& error);
    bool isOpen() const;

    // Inserts `r` as a new row with a fresh id (stored into `r.id`).
    bool begin(UpdateRecord& r, QString& error);
    // Replaces the row `r.id` with `r`.
    bool finish(const UpdateRecord& r, QString& error);
    // Every row, oldest first.
    std::optional<std::vector<UpdateRecord>> all(QString& error);

private:
    bool write(const UpdateRecord& r, bool insert, QString& error);
    QString connection_;
};

} // namespace trm::runner
