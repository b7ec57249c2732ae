// Request limits ahead of the page's HTTP server.
#include "station/HttpGuard.h"

#include <QPointer>
#include <QTcpSocket>

namespace trm::station {
namespace {

// What a connection has sent of the request head under way.
struct HeadState : QObject {
    using QObject::QObject;
    QByteArray head;
};

// The head announces a body: a length other than 0, or a transfer coding.
bool announcesBody(const QByteArray& head) {
    for (const QByteArray& raw : head.split('\n')) {
        const QByteArray line = raw.trimmed().toLower();
        if (line.startsWith("transfer-encoding:")) {
            return true;
        }
        if (line.startsWith("content-length:") && line.mid(15).trimmed() != "0") {
            return true;
        }
    }
    return false;
}

void refuse(QTcpSocket* socket, const char* statusLine) {
    socket->readAll(); // the server never sees what was refused
    socket->write(QByteArray("HTTP/1.1 ") + statusLine +
                  "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    socket->disconnectFromHost();
}

} // namespace

HttpGuard::HttpGuard(QObject* parent) : QTcpServer(parent) {}

int HttpGuard::connections() {
    // A socket is counted while it is connected. (The server takes every signal of a
    // socket it hands over to a WebSocket, so none can be relied on here.)
    std::erase_if(sockets_, [](const QPointer<QTcpSocket>& s) {
        return s.isNull() || s->state() != QAbstractSocket::ConnectedState;
    });
    return static_cast<int>(sockets_.size());
}

void HttpGuard::incomingConnection(qintptr descriptor) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (connections() >= kMaxConnections) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    sockets_.emplace_back(socket);
    watch(socket);
    addPendingConnection(socket);
}

void HttpGuard::watch(QTcpSocket* socket) {
    auto* state = new HeadState(socket);
    // Connected before the server's own handler, so it runs first.
    connect(socket, &QTcpSocket::readyRead, state, [socket, state] {
        if (!socket->isOpen() || socket->state() != QAbstractSocket::ConnectedState) {
            return;
        }
        const QByteArray fresh = socket->peek(socket->bytesAvailable());
        qsizetype from = 0;
        while (from < fresh.size()) {
            // Up to the end of a head, or everything that came.
            const qsizetype scanFrom = std::max<qsizetype>(0, state->head.size() - 3);
            state->head += fresh.mid(from);
            const qsizetype end = state->head.indexOf("\r\n\r\n", scanFrom);
            if (end < 0) {
                if (state->head.size() > HttpGuard::kMaxHead) {
                    refuse(socket, "431 Request Header Fields Too Large");
                }
                return;
            }
            const qsizetype headSize = end + 4;
            if (headSize > HttpGuard::kMaxHead) {
                refuse(socket, "431 Request Header Fields Too Large");
                return;
            }
            if (announcesBody(state->head.left(headSize))) {
                refuse(socket, "413 Payload Too Large");
                return;
            }
            // The next request (pipelined) begins after this head.
            from += headSize - (state->head.size() - (fresh.size() - from));
            state->head.clear();
        }
    });
}

} // namespace trm::station
