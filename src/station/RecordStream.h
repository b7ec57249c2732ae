// A download of records (CSV or JSON lines) from a query on the page's pool to a client's
// socket, in HTTP chunks as the rows are read. The query thread hands pieces over and
// waits while the client is behind (at most kMaxQueued bytes wait), so memory does not
// grow with the rows; a client that goes away, or stops reading for kStallMs, ends the
// query at its next row. The connection closes after the download.
#pragma once

#include <QByteArray>
#include <QHttpServerResponder>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace trm::station {

class RecordStream : public std::enable_shared_from_this<RecordStream> {
public:
    static constexpr qsizetype kMaxQueued = 1 << 20;
    static constexpr qsizetype kPiece = 64 * 1024; // what a query gathers before handing on
    static constexpr int kStallMs = 30000;

    // GUI thread. `home` (the page) outlives every query thread and receives the
    // hand-overs; the response's head is written once the first piece comes.
    RecordStream(QHttpServerResponder&& responder, QByteArray contentType, QByteArray fileName,
                 QObject* home);
    ~RecordStream();

    // Query thread: hands `piece` on. False once the client has gone or stalled: stop.
    bool write(const QByteArray& piece);
    // Query thread: the download is complete (`ok`), or ended by an error (the client
    // sees the transfer cut short; before any piece, a 503 with `error`).
    void finish(bool ok, const QString& error);
    // Any thread: the client has gone, or the page closes.
    void cancel();

private:
    void pump(); // GUI thread: writes what waits, as the socket takes it
    void schedulePump();

    QHttpServerResponder responder_;
    QPointer<QTcpSocket> socket_;
    QByteArray contentType_, fileName_;
    QObject* home_;
    bool headSent_ = false; // GUI thread

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<QByteArray> queue_;
    qsizetype queued_ = 0;
    bool gone_ = false;
    bool finished_ = false;
    bool ok_ = false;
    QString error_;
    bool pumpPosted_ = false;
};

} // namespace trm::station
