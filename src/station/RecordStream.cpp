// Records streamed to a client in HTTP chunks.
#include "station/RecordStream.h"

#include "station/HttpGuard.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>

namespace trm::station {
namespace {

// Written while the socket holds less than this: the kernel's buffer does the rest.
constexpr qint64 kSocketAhead = 256 * 1024;

// The head's common lines: the page's security headers, no caching, and the end of the
// connection with the answer.
QByteArray headers() {
    QByteArray h;
    for (const auto& [name, value] : kSecurityHeaders) {
        h += QByteArray(name) + ": " + value + "\r\n";
    }
    return h + "Cache-Control: no-store\r\nConnection: close\r\n";
}

QByteArray chunk(const QByteArray& piece) {
    return QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
}

} // namespace

RecordStream::RecordStream(QHttpServerResponder&& responder, QByteArray contentType,
                           QByteArray fileName, QObject* home)
    : responder_(std::move(responder)), socket_(responder_.socket()),
      contentType_(std::move(contentType)), fileName_(std::move(fileName)), home_(home) {}

RecordStream::~RecordStream() = default;

void RecordStream::cancel() {
    {
        std::lock_guard lock(m_);
        gone_ = true;
        queue_.clear();
        queued_ = 0;
    }
    cv_.notify_all();
}

bool RecordStream::write(const QByteArray& piece) {
    std::unique_lock lock(m_);
    // Behind: wait for the client, not for ever.
    if (!cv_.wait_for(lock, std::chrono::milliseconds(kStallMs),
                      [this] { return gone_ || queued_ < kMaxQueued; })) {
        gone_ = true;
    }
    if (gone_) {
        return false;
    }
    queue_.push_back(piece);
    queued_ += piece.size();
    lock.unlock();
    schedulePump();
    return true;
}

void RecordStream::finish(bool ok, const QString& error) {
    {
        std::lock_guard lock(m_);
        finished_ = true;
        ok_ = ok;
        error_ = error;
    }
    schedulePump();
}

void RecordStream::schedulePump() {
    {
        std::lock_guard lock(m_);
        if (pumpPosted_) {
            return;
        }
        pumpPosted_ = true;
    }
    // The page outlives every query thread; the stream lives while a pump is posted.
    QMetaObject::invokeMethod(
        home_, [self = shared_from_this()] { self->pump(); }, Qt::QueuedConnection);
}

void RecordStream::pump() {
    std::unique_lock lock(m_);
    pumpPosted_ = false;
    if (socket_.isNull() || socket_->state() != QAbstractSocket::ConnectedState) {
        lock.unlock();
        cancel();
        return;
    }
    if (!headSent_ && queue_.empty() && finished_ && !ok_) {
        // Nothing sent yet: the error has its own answer.
        const QByteArray body =
            QJsonDocument(QJsonObject{{"error", error_}}).toJson(QJsonDocument::Compact);
        lock.unlock();
        socket_->write("HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n" +
                       headers() + "Content-Length: " + QByteArray::number(body.size()) +
                       "\r\n\r\n" + body);
        socket_->disconnectFromHost();
        return;
    }
    if (!headSent_ && (!queue_.empty() || finished_)) {
        headSent_ = true;
        socket_->write("HTTP/1.1 200 OK\r\nContent-Type: " + contentType_ +
                       "\r\nContent-Disposition: attachment; filename=" + fileName_ + "\r\n" +
                       headers() + "Transfer-Encoding: chunked\r\n\r\n");
        // More as the socket drains, and an end to the query when the client goes.
        QObject::connect(socket_, &QTcpSocket::bytesWritten, home_,
                         [self = shared_from_this()] { self->schedulePump(); });
        QObject::connect(socket_, &QTcpSocket::disconnected, home_,
                         [self = shared_from_this()] { self->cancel(); });
    }
    while (!queue_.empty() && socket_->bytesToWrite() < kSocketAhead) {
        const QByteArray piece = std::move(queue_.front());
        queue_.pop_front();
        queued_ -= piece.size();
        socket_->write(chunk(piece));
    }
    const bool done = queue_.empty() && finished_;
    const bool ok = ok_;
    lock.unlock();
    cv_.notify_all();
    if (done) {
        if (ok) {
            socket_->write("0\r\n\r\n");
        }
        // Cut short on an error: the client sees an incomplete transfer.
        socket_->disconnectFromHost();
    }
}

} // namespace trm::station
