// The listening socket of the station's page, with the limits the page's server does
// not keep by itself: a request's head over kMaxHead bytes is answered 431, a request
// with a body (the page is read-only: none has one) 413, and connections beyond
// kMaxConnections are closed at once. The guard sees each connection's bytes before
// the HTTP server does, and throws away what it refuses.
#pragma once

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

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

class HttpGuard : public QTcpServer {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxHead = 8192;
    static constexpr int kMaxConnections = 64;

    explicit HttpGuard(QObject* parent = nullptr);

    // The connections open now.
    int connections();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void watch(QTcpSocket* socket);

    std::vector<QPointer<QTcpSocket>> sockets_;
};

} // namespace trm::station
