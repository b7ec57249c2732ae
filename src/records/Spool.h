// The local spool of a station that writes to a records server: every row written
// goes here first (a SQLite file in the station's state directory, in the order
// written), and leaves only once the server has committed it. A station killed with
// rows held sends them at its next start; a row sent twice (killed between the
// server's commit and the spool's delete) is still one row, as writes are upserts.
#pragma once

#include "records/UpdateRecord.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace trm::records {

// $STATE_DIRECTORY (a systemd service's), else $XDG_STATE_HOME/trm415, else
// ~/.local/state/trm415.
QString DefaultStateDir();

class Spool {
public:
    struct Held {
        qint64 seq = 0;
        UpdateRecord record;
    };

    Spool();
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Opens (creating) the spool for the server `server` (its display form) in `dir`.
    // One Spool is one connection, used from the thread that opened it; the station's
    // thread and the sender each open their own.
    bool open(const QString& dir, const QString& server, QString& error);
    QString path() const { return path_; }

    bool add(const UpdateRecord& r, QString& error);
    // The oldest rows held, up to `limit`, in the order written.
    std::vector<Held> oldest(int limit, QString& error);
    bool remove(qint64 seq, QString& error);
    // How many updates have rows held (a begin and an end are one), and since when
    // (the oldest row's time in the spool).
    int count(QDateTime* since = nullptr);
    // Gives `result` to the updates of station `station` (or, for rows that carry no
    // station, of host `host`) begun before `before` whose last held row says they were
    // still under way: a station killed mid-update never sends their end. Returns how
    // many, or -1.
    int closeUnfinished(const QString& station, const QString& host, const QDateTime& before,
                        Result result, QString& error);

    // Whether this spool's server has taken rows before: a station that has written to
    // it may start while it is down.
    bool writtenBefore();
    void markWritten();

private:
    QString connection_;
    QString path_;
};

} // namespace trm::records
