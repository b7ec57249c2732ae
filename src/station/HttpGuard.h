// The listening socket of the station's page, with the limits the page's server does
// not keep by itself. The guard sees each connection's bytes in both directions before
// the HTTP server or the client does:
//  - a request whose Host is not one of the names the station serves is answered 421,
//    so a web site that rebinds its own name to this address reads nothing; one with no
//    Host, or two, 400;
//  - a request head over kMaxHead bytes is answered 431; one with a body (the page is
//    read-only: none has one) 413; a head not complete kHeadTimeoutMs after its first
//    byte (or after the connection opened), 408;
//  - a keep-alive connection with nothing asked of it for kIdleTimeoutMs is closed, and
//    one whose answer writes nothing for kAnswerTimeoutMs;
//  - one client address holds at most kMaxPerAddress of the kMaxConnections, and
//    WebSockets have caps of their own; a connection beyond them is answered 503;
//  - HEAD is answered as GET, without the body;
//  - requests sent together are handed to the server one at a time, each once the one
//    before has its answer, so each gets its own, a bad one after good ones too.
#pragma once

#include <QHostAddress>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTcpServer>

#include <utility>
#include <vector>

namespace trm::station {

// The headers every answer of the page carries: no sniffing, no framing, nothing from
// elsewhere. No Access-Control header: other origins get nothing.
inline constexpr std::pair<const char*, const char*> kSecurityHeaders[] = {
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
    {"Content-Security-Policy", "default-src 'self'; connect-src 'self'; img-src 'self'; "
                                "frame-ancestors 'none'; form-action 'self'; base-uri 'none'"},
};

// The names a station bound to `bound` answers to: `bound` itself, localhost and the
// loopback addresses, this machine's host name, its fully qualified name and its
// addresses, and `extra` (--http-host). Lower case, without brackets.
QSet<QString> ServedHostNames(const QHostAddress& bound, const QStringList& extra);

// Whether a Host header's value (a name or address, with or without a port) names one
// of `names`. Any 127.x.x.x address and ::1 are always this machine.
bool HostServed(const QByteArray& host, const QSet<QString>& names);

class GuardedSocket;

class HttpGuard : public QTcpServer {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxHead = 8192;
    static constexpr int kMaxConnections = 64; // HTTP connections in all
    static constexpr int kMaxPerAddress = 16;  // of them, from one client address
    static constexpr int kMaxWebSockets = 32;
    static constexpr int kMaxWebSocketsPerAddress = 8;
    static constexpr int kHeadTimeoutMs = 5000;
    static constexpr int kIdleTimeoutMs = 15000;
    // An answer owed that writes nothing for this long ends its connection (the routes'
    // own limits are shorter: a query's 10 s, a download's 30 s stall).
    static constexpr int kAnswerTimeoutMs = 60000;

    HttpGuard(QSet<QString> hostNames, QObject* parent = nullptr);
    ~HttpGuard() override;

    // The HTTP connections open now (WebSockets apart), and from `client`.
    int connections(const QHostAddress& client = {});
    // The WebSockets open now, and from `client`.
    int webSockets(const QHostAddress& client = {});

    const QSet<QString>& hostNames() const { return names_; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    int count(bool webSocket, const QHostAddress& client);

    QSet<QString> names_;
    std::vector<QPointer<GuardedSocket>> sockets_;
};

} // namespace trm::station
