// The record of every update: one row per unit in a SQLite database, written through
// Qt Sql. A row is written when the update begins (result "unfinished") and completed
// when it ends, each in its own transaction, in WAL mode with a busy time-out: several
// runners and a station can write at once, and a process killed at any moment leaves
// either the row as it was begun or no row, never half of one.
#pragma once

#include "records/UpdateRecord.h"

#include <QString>

#include <optional>
#include <vector>

namespace trm::records {

inline constexpr int kRecordsSchema = 1;
inline constexpr const char* kDefaultRecordsFile = "trm415-records.sqlite";

class RecordStore {
public:
    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // Opens the database at `path`, creating it and its table when new. Fails, with a
    // reason in `error`, when it cannot be opened or written, or when it was made by a
    // newer schema than this program knows.
    // With `create` false (reading a report), a database that does not exist is an
    // error, and none is made.
    bool open(const QString& path, QString& error, bool create = true);
    bool isOpen() const;

    // Inserts `r` as a new row with a fresh id (stored into `r.id`).
    bool begin(UpdateRecord& r, QString& error);
    // Replaces the row `r.id` with `r`.
    bool finish(const UpdateRecord& r, QString& error);
    // Rows of `host` begun by a station (they carry a slot) before `before` and still
    // unfinished: their station stopped before they ended. Marks them `result`; returns
    // how many, or -1 with the reason in `error`.
    int closeUnfinished(const QString& host, const QDateTime& before, const QString& result,
                        QString& error);
    // Every row, oldest first.
    std::optional<std::vector<UpdateRecord>> all(QString& error);

private:
    bool write(const UpdateRecord& r, bool insert, QString& error);
    QString connection_;
};

} // namespace trm::records
