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
#include "records/RecordQuery.h"
#include "records/Schema.h"
#include "records/UpdateRecord.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace trm::records {

inline constexpr const char* kDefaultRecordsFile = "trm415-records.sqlite";

// A station's updates over a window, as the line's page shows them.
struct StationCounts {
    QString station;
    int ok = 0, refused = 0, failed = 0, unfinished = 0;
    QStringList busySlots; // slots with an update under way (an unfinished row)
};

// A station as it registers itself in the records.
// A station whose heartbeat is older than this is no longer running (it beats every 5 s).
inline constexpr int kStationStaleAfterS = 10;

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
    // one (`say`, when given, is told of an upgrade as it begins). Fails, with a reason
    // in `error`, when they cannot be reached, opened or written, or were made by a newer
    // schema than this program knows. With `create` false (reading: a report, the page)
    // the store is opened read-only, nothing is created or changed, a SQLite file that
    // does not exist is an error, and every question has kQueryTimeLimitMs.
    bool open(const Location& where, QString& error, bool create = true,
              const std::function<void(const QString&)>& say = {});
    // A SQLite file, or a URI.
    bool open(const QString& where, QString& error, bool create = true);
    bool isOpen() const;
    bool isServer() const { return server_; }
    // A file's path still names the file open here (same device and inode): false when it
    // was removed or replaced since, so that rows would go where nobody reads them.
    bool stillItsFile() const;

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
    // Another host's station of `me`'s name, alive (its heartbeat younger than
    // kStationStaleAfterS) in these records: said as text, else empty.
    QString liveNamesake(const StationInfo& me);

    // The rows `f` lets through, newest first, at most `limit` (0: every one), each
    // handed to `row` as it is read; `row` returns false to stop there. False, with the
    // reason, when the question cannot be answered (kQueryTooLong past the time limit).
    bool select(const RecordFilter& f, int limit,
                const std::function<bool(const UpdateRecord&)>& row, QString& error);
    // How many rows `f` lets through, reading at most `bound` + 1 of them: a result above
    // `bound` means "more than bound". -1, with the reason, when it cannot be told.
    int count(const RecordFilter& f, int bound, QString& error);
    // Each registered station's updates begun since `since`, counted by the database.
    std::optional<std::vector<StationCounts>> countsByStation(const QDateTime& since,
                                                              QString& error);
    // The time limit of every question asked from now on (ms; 0: none). Opening for
    // reading sets kQueryTimeLimitMs.
    void setTimeLimit(int ms);

    // The connection's native handle's socket, for a watchdog that must end a call the
    // server never answers (-1 when none).
    int socket() const;

private:
    bool beginQuestion(QString& error);
    void endQuestion();

    QString connection_;
    bool server_ = false;
    QString path_;                              // a file's
    unsigned long long device_ = 0, inode_ = 0; // the file's, as opened
    int timeLimitMs_ = 0;
    struct Deadline;
    std::shared_ptr<Deadline> deadline_; // the SQLite progress handler's
};

} // namespace trm::records
