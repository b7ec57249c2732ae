// How a station (or a runner) writes its records without ever waiting on a server. A
// SQLite file is written directly, as it always was. For a PostgreSQL server, every
// row goes into the local spool first (milliseconds, on the caller's thread) and a
// sender thread of the writer's own forwards the spool to the server in order,
// exactly once; a hung or absent server only makes the spool grow. A watchdog ends a
// call the server never answers (a stopped server's kernel still accepts the bytes, so
// no time-out of the connection would notice), and the sender reconnects.
#pragma once

#include "records/Location.h"
#include "records/RecordStore.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace trm::records {

class Spool;

class RecordWriter {
public:
    struct Status {
        int held = 0;          // updates whose rows are in the spool, not yet on the server
        QDateTime heldSince;   // the oldest's time in the spool
        bool answering = true; // the server took the last call
        QString lastError;
        // Updates an earlier run of the station left unfinished, closed so far: in the
        // spool and on the server, which is told only once the spool has delivered what
        // that run held (else its rows would arrive after, still unfinished).
        int closedUnfinished = 0;
    };

    RecordWriter();
    // Stops the sender: rows still held stay in the spool for the next start.
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // Opens the records at `where`. A server must answer (its schema checked), unless
    // this spool has written to it before: then the writer starts anyway, with the
    // reason in `warning`, and spools. `station` (may be null) registers the station
    // and closes the rows it left unfinished when it last stopped (`closedUnfinished`,
    // those closed by the time it returns; status() counts the rest as they are).
    bool open(const Location& where, const QString& stateDir, const StationInfo* station,
              QString& error, QString& warning, int* closedUnfinished = nullptr);
    bool isServer() const { return location_.isServer(); }
    // Told, before open() returns, of what takes a while: the upgrade of a long history.
    void setNotes(std::function<void(const QString&)> say) { say_ = std::move(say); }
    QString display() const { return location_.display(); }
    // The spool's file (a server's records), else empty.
    QString spoolPath() const;

    // Writes `r` (a fresh id when it has none): to the file, or into the spool.
    bool write(UpdateRecord& r, QString& error);

    // The station's heartbeat, for a file (the server's sender beats by itself every
    // 5 s); call it about as often.
    void beat();

    Status status() const;
    // Waits up to `ms` for the held rows to reach the server; true when none is left.
    bool drain(int ms);

private:
    void senderLoop();
    void watchdogLoop();
    // A call to the server starts or ends (the watchdog's view of it).
    void callStarts(int socket);
    void callEnds();

    Location location_;
    std::function<void(const QString&)> say_;
    QString stateDir_;
    std::optional<StationInfo> station_;
    std::unique_ptr<RecordStore> direct_; // SQLite
    std::unique_ptr<Spool> spool_;        // the caller's connection to the spool

    mutable std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool senderDone_ = false;
    bool wake_ = false;
    bool registered_ = false;
    bool closePending_ = false; // the server's unfinished rows, once the spool is sent
    Status status_;
    int callSocket_ = -1;
    std::chrono::steady_clock::time_point callStart_;
    bool inCall_ = false;
    std::thread sender_, watchdog_;
};

} // namespace trm::records
