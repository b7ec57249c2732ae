// Writing records without waiting on a server.
#include "records/RecordWriter.h"

#include "records/Spool.h"

#include <QUuid>

#include <sys/socket.h>

namespace trm::records {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A call the server has not answered in this long is ended by the watchdog.
constexpr auto kCallLimit = 15s;
constexpr auto kCallLimitStopping = 2s;
// Between attempts while the server does not answer.
constexpr auto kRetry = 2s;
constexpr auto kHeartbeat = 5s;
constexpr int kBatch = 64;

} // namespace

RecordWriter::RecordWriter() = default;

RecordWriter::~RecordWriter() {
    {
        std::lock_guard lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    // The watchdog keeps watching until the sender has ended: a sender blocked on a
    // hung server is freed by it, sooner once stopping.
    if (sender_.joinable()) {
        sender_.join();
    }
    {
        std::lock_guard lock(m_);
        senderDone_ = true;
    }
    cv_.notify_all();
    if (watchdog_.joinable()) {
        watchdog_.join();
    }
}

void RecordWriter::beat() {
    if (direct_ && station_) {
        QString ignored; // a missed beat is made up by the next
        direct_->heartbeat(station_->name, QDateTime::currentDateTimeUtc(), ignored);
    }
}

bool RecordWriter::open(const Location& where, const QString& stateDir, const StationInfo* station,
                        QString& error, QString& warning, int* closedUnfinished) {
    location_ = where;
    stateDir_ = stateDir;
    if (station != nullptr) {
        station_ = *station;
    }
    const Result unfinishedResult = Result::InterruptedStationStopped;
    if (!where.isServer()) {
        direct_ = std::make_unique<RecordStore>();
        if (!direct_->open(where, error, true, say_)) {
            return false;
        }
        if (station != nullptr && !(error = direct_->liveNamesake(*station)).isEmpty()) {
            return false;
        }
        if (station != nullptr) {
            QString ignored;
            const int n = direct_->closeUnfinished(station->name, station->host, station->started,
                                                   unfinishedResult, ignored);
            if (closedUnfinished != nullptr) {
                *closedUnfinished = n;
            }
            direct_->registerStation(*station, ignored);
        }
        return true;
    }
    spool_ = std::make_unique<Spool>();
    if (!spool_->open(stateDir, where.uri(), error)) {
        return false;
    }
    int closed = 0;
    {
        // The first contact: a server never reached before must answer now.
        RecordStore probe;
        QString why;
        if (probe.open(where, why, true, say_)) {
            if (station != nullptr && !(error = probe.liveNamesake(*station)).isEmpty()) {
                return false;
            }
            spool_->markWritten();
            if (station != nullptr) {
                if (spool_->count() == 0) {
                    closed +=
                        std::max(0, probe.closeUnfinished(station->name, station->host,
                                                          station->started, unfinishedResult, why));
                } else {
                    closePending_ = true;
                }
                registered_ = probe.registerStation(*station, why);
            }
        } else if (spool_->writtenBefore()) {
            warning = QString("the records server %1 does not answer (%2): the station starts "
                              "anyway and keeps every row in its spool %3 until it answers")
                          .arg(where.display(), why, spool_->path());
            status_.answering = false;
            status_.lastError = why;
            closePending_ = station != nullptr;
        } else {
            error = why;
            return false;
        }
    }
    if (station != nullptr) {
        // What the spool holds of an earlier run is sent as it ended.
        QString why;
        closed += std::max(0, spool_->closeUnfinished(station->name, station->host,
                                                      station->started, unfinishedResult, why));
    }
    status_.closedUnfinished = closed;
    if (closedUnfinished != nullptr) {
        *closedUnfinished = closed;
    }
    status_.held = spool_->count(&status_.heldSince);
    sender_ = std::thread([this] { senderLoop(); });
    watchdog_ = std::thread([this] { watchdogLoop(); });
    return true;
}

bool RecordWriter::write(UpdateRecord& r, QString& error) {
    if (r.id.isEmpty()) {
        r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    }
    if (direct_) {
        if (!direct_->stillItsFile()) {
            // Removed (or replaced) under the station: a new file is made there, with its
            // schema and this station, so that no row goes into a file nobody can read.
            if (say_) {
                say_(QString("the records file %1 was removed or replaced while the station ran: "
                             "a new one is made there, holding the rows from now on")
                         .arg(location_.display()));
            }
            auto fresh = std::make_unique<RecordStore>();
            if (!fresh->open(location_, error, true, say_)) {
                return false;
            }
            direct_ = std::move(fresh);
            if (station_) {
                QString ignored;
                direct_->registerStation(*station_, ignored);
            }
        }
        return direct_->write(r, error);
    }
    if (!spool_ || !spool_->add(r, error)) {
        return false;
    }
    QDateTime since;
    const int held = spool_->count(&since);
    {
        std::lock_guard lock(m_);
        if (held >= 0) {
            status_.held = held;
            status_.heldSince = since;
        }
        wake_ = true;
    }
    cv_.notify_all();
    return true;
}

QString RecordWriter::spoolPath() const {
    return spool_ ? spool_->path() : QString();
}

RecordWriter::Status RecordWriter::status() const {
    std::lock_guard lock(m_);
    return status_;
}

bool RecordWriter::drain(int ms) {
    if (!spool_) {
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(m_);
    wake_ = true;
    cv_.notify_all();
    while (status_.held > 0 && Clock::now() < deadline) {
        cv_.wait_until(lock, std::min(deadline, Clock::now() + 100ms));
    }
    return status_.held == 0;
}

void RecordWriter::callStarts(int socket) {
    std::lock_guard lock(m_);
    inCall_ = true;
    callSocket_ = socket;
    callStart_ = Clock::now();
}

void RecordWriter::callEnds() {
    std::lock_guard lock(m_);
    inCall_ = false;
    callSocket_ = -1;
}

void RecordWriter::watchdogLoop() {
    std::unique_lock lock(m_);
    while (!senderDone_) {
        cv_.wait_for(lock, 500ms);
        const auto limit = stop_ ? kCallLimitStopping : kCallLimit;
        if (inCall_ && callSocket_ >= 0 && Clock::now() - callStart_ > limit) {
            // The sender is blocked in a call on this socket and does not close it while
            // it is (callEnds comes after the call returns): ending the connection makes
            // the call fail, and the sender reconnects.
            ::shutdown(callSocket_, SHUT_RDWR);
            callSocket_ = -1;
        }
    }
}

void RecordWriter::senderLoop() {
    Spool spool;
    QString error;
    if (!spool.open(stateDir_, location_.uri(), error)) {
        std::lock_guard lock(m_);
        status_.lastError = error;
        return;
    }
    std::unique_ptr<RecordStore> store;
    auto lastBeat = Clock::now();
    auto retryAt = Clock::now();
    auto setStatus = [&](bool answering, const QString& why) {
        QDateTime since;
        const int held = spool.count(&since);
        std::lock_guard lock(m_);
        status_.answering = answering;
        if (!why.isEmpty()) {
            status_.lastError = why;
        }
        if (held >= 0) {
            status_.held = held;
            status_.heldSince = since;
        }
        cv_.notify_all();
    };
    for (;;) {
        {
            std::unique_lock lock(m_);
            cv_.wait_for(lock, 1s, [this] { return stop_ || wake_; });
            if (stop_) {
                return;
            }
            wake_ = false;
        }
        if (Clock::now() < retryAt) {
            continue;
        }
        if (!store) {
            store = std::make_unique<RecordStore>();
            callStarts(-1);
            const bool ok = store->open(location_, error);
            callEnds();
            if (!ok) {
                store.reset();
                retryAt = Clock::now() + kRetry;
                setStatus(false, error);
                continue;
            }
            spool.markWritten();
            if (station_ && !registered_) {
                registered_ = store->registerStation(*station_, error);
            }
        }
        bool failed = false;
        for (;;) {
            const auto rows = spool.oldest(kBatch, error);
            if (rows.empty()) {
                break;
            }
            for (const Spool::Held& h : rows) {
                UpdateRecord r = h.record;
                callStarts(store->socket());
                const bool ok = store->write(r, error);
                callEnds();
                if (!ok) {
                    failed = true;
                    break;
                }
                spool.remove(h.seq, error);
            }
            setStatus(!failed, failed ? error : QString());
            if (failed) {
                break;
            }
        }
        if (!failed && closePending_) {
            // Everything an earlier run held is on the server now.
            callStarts(store->socket());
            const int n = store->closeUnfinished(station_->name, station_->host, station_->started,
                                                 Result::InterruptedStationStopped, error);
            callEnds();
            failed = n < 0;
            if (!failed) {
                std::lock_guard lock(m_);
                closePending_ = false;
                status_.closedUnfinished += n;
            }
        }
        if (!failed && station_ && Clock::now() - lastBeat > kHeartbeat) {
            lastBeat = Clock::now();
            callStarts(store->socket());
            failed = !store->heartbeat(station_->name, QDateTime::currentDateTimeUtc(), error);
            callEnds();
        }
        if (failed) {
            store.reset();
            retryAt = Clock::now() + kRetry;
            setStatus(false, error);
        } else {
            setStatus(true, {});
        }
    }
}

} // namespace trm::records
