// Request limits ahead of the page's HTTP server.
#include "station/HttpGuard.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QTimer>

#include <cstring>
#include <deque>

namespace trm::station {
namespace {

// A refusal: the status, the security headers, an optional line of text, and the end
// of the connection.
QByteArray Refusal(const char* status, const QByteArray& text = {}) {
    QByteArray r = QByteArray("HTTP/1.1 ") + status + "\r\n";
    for (const auto& [name, value] : kSecurityHeaders) {
        r += QByteArray(name) + ": " + value + "\r\n";
    }
    r += "Cache-Control: no-store\r\n";
    if (!text.isEmpty()) {
        r += "Content-Type: text/plain; charset=utf-8\r\n";
    }
    return r + "Content-Length: " + QByteArray::number(text.size()) +
           "\r\nConnection: close\r\n\r\n" + text;
}

// What the guard needs of a request's head.
struct RequestHead {
    bool wellFormed = false; // "METHOD TARGET HTTP/1.x" and header lines
    QByteArray method;
    bool body = false;    // a length other than 0, or a transfer coding
    bool upgrade = false; // to a WebSocket
    bool close = false;   // the client ends the connection after the answer
    int hosts = 0;        // Host headers
    QByteArray host;
};

RequestHead ReadHead(const QByteArray& head) {
    RequestHead h;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
    h.wellFormed = request.size() == 3 && !request[0].isEmpty() && request[2].startsWith("HTTP/1.");
    h.method = request.value(0);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty()) {
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            h.wellFormed = false;
            continue;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "host") {
            ++h.hosts;
            h.host = value;
        } else if (name == "transfer-encoding") {
            h.body = true;
        } else if (name == "content-length" && value != "0") {
            h.body = true;
        } else if (name == "upgrade" && value.toLower().contains("websocket")) {
            h.upgrade = true;
        } else if (name == "connection") {
            h.close = value.toLower().contains("close");
        }
    }
    return h;
}

// An IPv4 client seen through a dual-stack socket is the IPv4 address.
QHostAddress Plain(const QHostAddress& a) {
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    QHostAddress plain = v4 ? QHostAddress(ip) : a;
    plain.setScopeId({});
    return plain;
}

} // namespace

QSet<QString> ServedHostNames(const QHostAddress& bound, const QStringList& extra) {
    QSet<QString> names{"localhost"};
    if (!bound.isNull() && bound != QHostAddress::Any && bound != QHostAddress::AnyIPv4 &&
        bound != QHostAddress::AnyIPv6) {
        names.insert(Plain(bound).toString().toLower());
    }
    const QString host = QHostInfo::localHostName().toLower();
    if (!host.isEmpty()) {
        names.insert(host);
        const QString domain = QHostInfo::localDomainName().toLower();
        if (!domain.isEmpty() && !host.contains('.')) {
            names.insert(host + "." + domain);
        }
    }
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        names.insert(Plain(a).toString().toLower());
    }
    for (QString name : extra) {
        name = name.trimmed().toLower();
        if (name.startsWith('[') && name.endsWith(']')) {
            name = name.mid(1, name.size() - 2);
        }
        if (name.endsWith('.')) {
            name.chop(1);
        }
        if (!name.isEmpty()) {
            names.insert(name);
        }
    }
    return names;
}

bool HostServed(const QByteArray& hostHeader, const QSet<QString>& names) {
    QString h = QString::fromLatin1(hostHeader).trimmed().toLower();
    QString port;
    if (h.startsWith('[')) {
        const qsizetype end = h.indexOf(']');
        if (end < 0) {
            return false;
        }
        port = h.mid(end + 1);
        if (!port.isEmpty() && !port.startsWith(':')) {
            return false;
        }
        port = port.mid(1);
        h = h.mid(1, end - 1);
    } else if (const qsizetype colon = h.lastIndexOf(':'); colon >= 0) {
        if (h.indexOf(':') != colon) {
            return false; // an IPv6 address goes in brackets
        }
        port = h.mid(colon + 1);
        h = h.left(colon);
    }
    for (const QChar c : port) {
        if (!c.isDigit()) {
            return false;
        }
    }
    if (h.endsWith('.')) {
        h.chop(1);
    }
    if (h.isEmpty()) {
        return false;
    }
    QHostAddress address;
    if (address.setAddress(h)) {
        if (address.isLoopback()) {
            return true;
        }
        h = Plain(address).toString().toLower();
    }
    return names.contains(h);
}

// One connection of the page. Its requests are checked as they come (readyRead is
// connected before the server's, so the guard runs first), and its answers are followed
// as they are written, to know when one has ended and to leave out the body of an
// answer to HEAD.
class GuardedSocket : public QTcpSocket {
public:
    explicit GuardedSocket(HttpGuard& guard) : QTcpSocket(&guard), guard_(guard) {
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { timedOut(); });
    }

    // Starts watching the connection: its head is due now.
    void start() {
        connect(this, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        headClock();
    }

    // Answers `answer` at once and ends the connection, reading nothing more.
    void refuseNow(const QByteArray& answer) {
        refusing_ = true;
        readAll();
        sendNow(answer);
        disconnectFromHost();
    }

    QHostAddress client;
    bool webSocket = false;

protected:
    qint64 writeData(const char* data, qint64 size) override;

private:
    enum class Out { Head, Length, ChunkSize, ChunkData, ChunkEnd, Trailer, Through };

    void onReadyRead();
    // Reads the heads in `bytes`, which come after what the server has: how many of
    // them go to the server now (up to the end of the first whole request), or -1 when
    // a request was refused.
    qsizetype scan(const QByteArray& bytes);
    // Hands the server the next request held back.
    void feed();
    void sendNow(const QByteArray& bytes) {
        QTcpSocket::writeData(bytes.constData(), bytes.size());
    }
    void beginBody(const QByteArray& head);
    void bodyDone();
    void headClock() {
        headTimed_ = true;
        timer_.start(HttpGuard::kHeadTimeoutMs);
    }
    // The clock for what is awaited now: a head, the next request, or an answer owed
    // (one that the server never writes, as for a request sent behind one answered
    // later, ends the connection).
    void arm() {
        if (webSocket || (refusing_ && owed_.empty())) {
            timer_.stop();
        } else if (!head_.isEmpty() && !refusing_) {
            if (!headTimed_) {
                headClock();
            }
        } else {
            headTimed_ = false;
            timer_.start(owed_.empty() ? HttpGuard::kIdleTimeoutMs : HttpGuard::kAnswerTimeoutMs);
        }
    }
    void timedOut() {
        if (headTimed_ && !head_.isEmpty()) {
            const QByteArray answer = Refusal("408 Request Timeout");
            if (owed_.empty()) {
                refuseNow(answer);
            } else {
                refusing_ = true;
                refusal_ = answer;
                arm();
            }
            return;
        }
        // Nothing asked, or an answer that does not come: a quiet close.
        refusing_ = true;
        disconnectFromHost();
    }

    HttpGuard& guard_;
    QTimer timer_;
    bool headTimed_ = false; // the timer is a head's
    QByteArray head_;        // the request head under way
    // The requests handed to the server and not yet answered.
    struct Owed {
        bool head;  // HEAD: its answer has no body
        bool close; // the connection ends with its answer
    };
    std::deque<Owed> owed_;
    QByteArray held_;       // requests behind the one the server is answering
    bool feeding_ = false;  // handing the server what was held
    bool refusing_ = false; // nothing more is read
    QByteArray refusal_;    // sent once the answers owed are out
    // The answer being written.
    Out out_ = Out::Head;
    QByteArray outText_; // its head, or a chunk's size line, so far
    qint64 left_ = 0;    // bytes of the body or chunk still to come
    bool drop_ = false;  // the body of an answer to HEAD
};

void GuardedSocket::onReadyRead() {
    if (feeding_ || webSocket || state() != QAbstractSocket::ConnectedState) {
        return;
    }
    if (refusing_) {
        readAll(); // the server never sees what was refused
        return;
    }
    if (!owed_.empty() || !held_.isEmpty()) {
        // The server is answering: what comes waits its turn.
        held_ += read(bytesAvailable());
        if (held_.size() > 4 * HttpGuard::kMaxHead) {
            refusing_ = true;
            refusal_ = Refusal("431 Request Header Fields Too Large");
            held_.clear();
        }
        arm();
        return;
    }
    const QByteArray fresh = peek(bytesAvailable());
    const qsizetype give = scan(fresh);
    if (give < 0) {
        return;
    }
    if (give < fresh.size()) {
        // The requests behind the first wait for its answer: the server answers one at
        // a time (it would drop one sent behind an answer it writes later). Taking them
        // from the socket takes what the server has read of a request under way as
        // well, so that is committed first.
        if (isTransactionStarted()) {
            commitTransaction();
        }
        read(fresh.size());
        held_ = fresh.mid(give);
        for (qsizetype i = give - 1; i >= 0; --i) {
            ungetChar(fresh[i]);
        }
    }
    arm();
}

qsizetype GuardedSocket::scan(const QByteArray& bytes) {
    const qsizetype had = head_.size();
    const qsizetype scanFrom = std::max<qsizetype>(0, had - 3);
    head_ += bytes;
    const qsizetype end = head_.indexOf("\r\n\r\n", scanFrom);
    if (end < 0) {
        if (head_.size() > HttpGuard::kMaxHead) {
            refuseNow(Refusal("431 Request Header Fields Too Large"));
            return -1;
        }
        return bytes.size();
    }
    const qsizetype headSize = end + 4;
    const RequestHead h = ReadHead(head_.left(headSize));
    QByteArray answer;
    if (headSize > HttpGuard::kMaxHead) {
        answer = Refusal("431 Request Header Fields Too Large");
    } else if (!h.wellFormed || h.hosts != 1) {
        answer = Refusal("400 Bad Request");
    } else if (h.body) {
        answer = Refusal("413 Payload Too Large");
    } else if (!HostServed(h.host, guard_.hostNames())) {
        answer = Refusal("421 Misdirected Request",
                         "This station's page answers only to its own names. A name the line "
                         "uses for it is added with --http-host.\n");
    } else if (h.upgrade && (guard_.webSockets() >= HttpGuard::kMaxWebSockets ||
                             guard_.webSockets(client) >= HttpGuard::kMaxWebSocketsPerAddress)) {
        answer = Refusal("503 Service Unavailable", "Too many live pages are open.\n");
    }
    if (!answer.isEmpty()) {
        refuseNow(answer);
        return -1;
    }
    head_.clear();
    headTimed_ = false;
    if (h.upgrade) {
        // The rest of the connection is the WebSocket's, with its own caps.
        webSocket = true;
        return bytes.size();
    }
    owed_.push_back({h.method == "HEAD", h.close});
    return headSize - had;
}

void GuardedSocket::feed() {
    if (refusing_ || webSocket || !owed_.empty() || held_.isEmpty() ||
        state() != QAbstractSocket::ConnectedState) {
        return;
    }
    const QByteArray bytes = std::exchange(held_, {});
    const qsizetype give = scan(bytes);
    if (give < 0) {
        return;
    }
    held_ = bytes.mid(give);
    // Put back in front of what the socket holds. (Within a transaction of the
    // server's, ungetChar would only step back over what was read: the server's request
    // is answered, so its transaction is over.)
    if (isTransactionStarted()) {
        commitTransaction();
    }
    for (qsizetype i = give - 1; i >= 0; --i) {
        ungetChar(bytes[i]);
    }
    feeding_ = true;
    emit readyRead();
    feeding_ = false;
    arm();
}

qint64 GuardedSocket::writeData(const char* data, qint64 size) {
    if (!owed_.empty() && !headTimed_ && !webSocket) {
        timer_.start(HttpGuard::kAnswerTimeoutMs); // an answer under way
    }
    qint64 i = 0;
    while (i < size) {
        switch (out_) {
        case Out::Through:
            if (!drop_) {
                QTcpSocket::writeData(data + i, size - i);
            }
            i = size;
            break;
        case Out::Head: {
            const qsizetype before = outText_.size();
            outText_.append(data + i, size - i);
            const qsizetype end = outText_.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
            if (end < 0) {
                i = size;
                if (outText_.size() > 65536) { // not an answer this guard can follow
                    sendNow(outText_);
                    outText_.clear();
                    out_ = Out::Through;
                }
                break;
            }
            const qsizetype headSize = end + 4;
            i += headSize - before;
            const QByteArray head = outText_.left(headSize);
            outText_.clear();
            sendNow(head);
            beginBody(head);
            break;
        }
        case Out::Length:
        case Out::ChunkData:
        case Out::ChunkEnd: {
            const qint64 n = std::min(left_, size - i);
            if (!drop_) {
                QTcpSocket::writeData(data + i, n);
            }
            i += n;
            left_ -= n;
            if (left_ == 0) {
                if (out_ == Out::Length) {
                    bodyDone();
                } else if (out_ == Out::ChunkData) {
                    out_ = Out::ChunkEnd;
                    left_ = 2;
                } else {
                    out_ = Out::ChunkSize;
                }
            }
            break;
        }
        case Out::ChunkSize:
        case Out::Trailer: {
            const void* nl = std::memchr(data + i, '\n', static_cast<std::size_t>(size - i));
            const qint64 n =
                nl != nullptr ? static_cast<const char*>(nl) - (data + i) + 1 : size - i;
            outText_.append(data + i, n);
            i += n;
            if (nl == nullptr) {
                if (outText_.size() > 4096) {
                    sendNow(outText_);
                    outText_.clear();
                    out_ = Out::Through;
                }
                break;
            }
            const QByteArray line = std::exchange(outText_, {});
            if (!drop_) {
                sendNow(line);
            }
            if (out_ == Out::Trailer) {
                if (line == "\r\n") {
                    bodyDone();
                }
                break;
            }
            bool ok = false;
            const qint64 length = line.trimmed().split(';').value(0).toLongLong(&ok, 16);
            if (!ok || length < 0) {
                out_ = Out::Through;
            } else if (length == 0) {
                out_ = Out::Trailer;
            } else {
                out_ = Out::ChunkData;
                left_ = length;
            }
            break;
        }
        }
    }
    return size;
}

void GuardedSocket::beginBody(const QByteArray& head) {
    const int status = head.mid(9, 3).toInt();
    const bool toHead = !owed_.empty() && owed_.front().head;
    bool chunked = false;
    qint64 length = -1;
    for (const QByteArray& raw : head.split('\n')) {
        const QByteArray line = raw.trimmed().toLower();
        if (line.startsWith("transfer-encoding:") && line.contains("chunked")) {
            chunked = true;
        } else if (line.startsWith("content-length:")) {
            bool ok = false;
            length = line.mid(15).trimmed().toLongLong(&ok);
            if (!ok) {
                length = -1;
            }
        }
    }
    drop_ = toHead;
    if (status == 101) { // the WebSocket's from here
        webSocket = true;
        drop_ = false;
        out_ = Out::Through;
        timer_.stop();
    } else if (status == 204 || status == 304 || (status >= 100 && status < 200)) {
        bodyDone();
    } else if (length >= 0 && !chunked) {
        out_ = Out::Length;
        left_ = length;
        if (length == 0) {
            bodyDone();
        }
    } else if (chunked && !toHead) {
        out_ = Out::ChunkSize;
    } else {
        // A body whose end only the connection's end tells, or a download's chunks
        // after HEAD: the connection ends with this answer.
        out_ = Out::Through;
        if (toHead) {
            QMetaObject::invokeMethod(
                this, [this] { disconnectFromHost(); }, Qt::QueuedConnection);
        }
    }
}

void GuardedSocket::bodyDone() {
    out_ = Out::Head;
    drop_ = false;
    if (!owed_.empty()) {
        if (owed_.front().close) {
            refusing_ = true;
            held_.clear();
            QMetaObject::invokeMethod(
                this, [this] { disconnectFromHost(); }, Qt::QueuedConnection);
        }
        owed_.pop_front();
    }
    if (refusing_ && owed_.empty() && !refusal_.isEmpty()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                sendNow(std::exchange(refusal_, {}));
                disconnectFromHost();
            },
            Qt::QueuedConnection);
        return;
    }
    if (!held_.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [this] { feed(); }, Qt::QueuedConnection);
    }
    arm();
}

HttpGuard::HttpGuard(QSet<QString> hostNames, QObject* parent)
    : QTcpServer(parent), names_(std::move(hostNames)) {}

HttpGuard::~HttpGuard() = default;

int HttpGuard::count(bool webSocket, const QHostAddress& client) {
    // A socket is counted while it is connected. (The server takes every signal of a
    // socket it hands over to a WebSocket, so none can be relied on here.)
    std::erase_if(sockets_, [](const QPointer<GuardedSocket>& s) {
        return s.isNull() || s->state() != QAbstractSocket::ConnectedState;
    });
    return static_cast<int>(std::count_if(sockets_.begin(), sockets_.end(), [&](const auto& s) {
        return s->webSocket == webSocket && (client.isNull() || s->client == client);
    }));
}

int HttpGuard::connections(const QHostAddress& client) {
    return count(false, client);
}

int HttpGuard::webSockets(const QHostAddress& client) {
    return count(true, client);
}

void HttpGuard::incomingConnection(qintptr descriptor) {
    auto* socket = new GuardedSocket(*this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->client = Plain(socket->peerAddress());
    if (connections() >= kMaxConnections || connections(socket->client) >= kMaxPerAddress) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->refuseNow(Refusal("503 Service Unavailable", "Too many connections.\n"));
        return;
    }
    sockets_.emplace_back(socket);
    socket->start();
    addPendingConnection(socket);
}

} // namespace trm::station
