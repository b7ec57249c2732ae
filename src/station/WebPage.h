// The station's web page (--http=HOST:PORT): one tile per slot kept live over a
// WebSocket, the records with --report's filters and CSV/JSON downloads, the line's
// stations from the shared records, a JSON API (/api/slots, /api/records, /api/line)
// and Prometheus /metrics. Read-only; its HTML, CSS and script are built into the
// program. It runs on the station's event loop and never waits there: records are read
// on a thread pool of their own, and sockets are written without blocking, so neither a
// slow database nor a slow browser delays a unit's update.
#pragma once

#include "records/Location.h"
#include "station/Metrics.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QJsonObject>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

class QWebSocket;

namespace trm::station {

class HttpGuard;
class RecordStream;
class Station;

class WebPage : public QObject {
    Q_OBJECT
public:
    // Records queries open `records` themselves, read-only.
    WebPage(Station& station, records::Location records, QString stationName,
            QObject* parent = nullptr);
    ~WebPage() override;

    // Serves on `host`:`port`, to requests naming this machine or one of `hostNames`.
    bool listen(const QHostAddress& host, quint16 port, const QStringList& hostNames,
                QString& error);
    quint16 port() const;

    // The rows the records spool holds (-1: records without a spool).
    void setHeld(int held);

    // How long the records a page asks for may keep it waiting, at most.
    static constexpr int kMaxPendingQueries = 8;
    static constexpr std::size_t kMaxDownloads = 4;

private:
    void routes();
    void onSlotChanged(int index);
    void flush();
    void onWebSocket();
    void broadcast(const QByteArray& message);
    // A "slots" or "snapshot" message: the station's totals and the slots in `which`
    // (slot -> when its first unsent change came, in ms), or every slot when empty.
    QByteArray slotsMessage(const char* type, const std::map<int, qint64>& which = {}) const;
    QJsonObject stationJson(const char* type) const;

    Station& station_;
    records::Location records_;
    QString name_;
    QHttpServer server_;
    HttpGuard* guard_ = nullptr; // owned by server_
    std::vector<QPointer<QWebSocket>> clients_;
    std::map<int, qint64> dirty_; // slot -> when the first change not yet sent came (ms)
    QTimer flush_;
    qint64 lastFlush_ = 0; // ms since the epoch
    Metrics metrics_;
    int held_ = -1;
    std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
    // The downloads under way, ended when the page closes.
    std::vector<std::weak_ptr<RecordStream>> streams_;
    QThreadPool exports_; // the downloads', beside the page's queries
    QThreadPool pool_;    // last: destroyed first, waiting for the queries under way
};

} // namespace trm::station
