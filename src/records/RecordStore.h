// The record of every update: one row per unit, written through Qt Sql into a SQLite
// file (the embedded default) or a PostgreSQL database. A row is written when the
// update begins (result "unfinished") and completed when it ends, each in its own
// transaction; a write is an upsert by the row's id, so writing the same row again
// (as a spool does after an outage) leaves it once. On SQLite: WAL mode with a busy
// time-out, so several runners and a station can write at once, and a process killed at
// any moment leaves the row as it was begun or no row, never half of one.
//
// One store is one connection, used from the thread that opened it.
#pragma once

#include "records/Location.h"
#include "records/Schema.h"
#include "records/UpdateRecord.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace trm::records {

inline constexpr const char* kDefaultRecordsFile = "trm415-records.sqlite";

// A station as it registers itself in the records.
struct StationInfo {
    QString name, host, version;
    QStringList slotList; // "LABEL=PORT" each
    QDateTime started, heartbeat;
};

class RecordStore {
public:
    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // Opens the records at `where`, creating the schema when new and upgrading an older
    // one. Fails, with a reason in `error`, when they cannot be reached, opened or
    // written, or were made by a newer schema than this program knows. With `create`
    // false (reading a report) nothing is created or changed: a SQLite file that does
    // not exist is an error.
    bool open(const Location& where, QString& error, bool create = true);
    // A SQLite file, or a URI.
    bool open(const QString& where, QString& error, bool create = true);
    bool isOpen() const;
    bool isServer() const { return server_; }

    // Writes `r` as it stands, new or again (an upsert by id). An empty id is given a
    // fresh UUID first (stored into `r.id`).
    bool write(UpdateRecord& r, QString& error);

    // Rows of `station` begun before `before` and still unfinished: that station stopped
    // before they ended. Marks them `result`; returns how many, or -1 with the reason.
    int closeUnfinished(const QString& station, const QString& host, const QDateTime& before,
                        Result result, QString& error);

    // Registers (or refreshes) a station; its heartbeat alone.
    bool registerStation(const StationInfo& s, QString& error);
    bool heartbeat(const QString& name, const QDateTime& at, QString& error);
    std::optional<std::vector<StationInfo>> stations(QString& error);

    // Every row, oldest first.
    std::optional<std::vector<UpdateRecord>> all(QString& error);

    // The connection's native handle's socket, for a watchdog that must end a call the
    // server never answers (-1 when none).
    int socket() const;

private:
    QString connection_;
    bool server_ = false;
};

} // namespace trm::records
