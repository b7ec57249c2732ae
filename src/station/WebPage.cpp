// The station's web page.
#include "station/WebPage.h"

#include "records/RecordFields.h"
#include "records/RecordStore.h"
#include "station/HttpGuard.h"
#include "station/RecordStream.h"
#include "station/RecordsReport.h"
#include "station/Station.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrlQuery>
#include <QWebSocket>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>

namespace trm::station {
namespace {

using Status = QHttpServerResponse::StatusCode;
using Method = QHttpServerRequest::Method;

// HEAD is answered as GET; the guard leaves the body out.
constexpr QHttpServerRequest::Methods kGet = Method::Get | Method::Head;

// Changes are sent to the pages at most this often: those that come together go in one
// message.
constexpr int kFlushMs = 50;
// A station with no heartbeat for this long is marked stale on the line page.
constexpr int kStaleAfterS = records::kStationStaleAfterS;
constexpr int kDefaultRows = 500;
constexpr int kMaxRows = 5000; // a page; the downloads stream every row
constexpr qsizetype kMaxQueryValue = 128;

double tenths(double seconds) {
    return std::round(seconds * 10) / 10;
}

// Every answer carries the security headers, and (the API) no caching.
QHttpServerResponse secured(QHttpServerResponse&& r, bool cache = false) {
    for (const auto& [name, value] : kSecurityHeaders) {
        r.setHeader(name, value);
    }
    r.setHeader("Cache-Control", cache ? "max-age=60" : "no-store");
    return std::move(r);
}

QHttpServerResponse json(const QJsonObject& o, Status status = Status::Ok) {
    return secured(QHttpServerResponse("application/json",
                                       QJsonDocument(o).toJson(QJsonDocument::Compact), status));
}

QHttpServerResponse problem(Status status, const QString& error) {
    return json({{"error", error}}, status);
}

QHttpServerResponse asset(const char* name, const QByteArray& type) {
    QFile f(QString(":/trm415/web/") + name);
    if (!f.open(QIODevice::ReadOnly)) {
        return problem(Status::InternalServerError, "the page is missing from the program");
    }
    return secured(QHttpServerResponse(type, f.readAll()), true);
}

// The records query of a request: --report's filters, the cursor and a row limit.
// False, with the reason, for anything outside that shape.
bool readQuery(const QUrlQuery& q, records::RecordFilter& f, int& limit, QString& error) {
    limit = kDefaultRows;
    for (const auto& [key, raw] : q.queryItems(QUrl::FullyDecoded)) {
        const QString value = raw.trimmed();
        if (value.size() > kMaxQueryValue) {
            error = "the value of '" + key + "' is too long";
            return false;
        }
        if (value.isEmpty()) {
            continue;
        }
        if (key == "serial") {
            f.serial = value;
        } else if (key == "slot") {
            f.slot = value;
        } else if (key == "result") {
            f.result = value;
        } else if (key == "station") {
            f.station = value;
        } else if (key == "since" || key == "until") {
            (key == "since" ? f.since : f.until) = records::ParseUtcTime(value);
            if (!(key == "since" ? f.since : f.until).isValid()) {
                error = key + " takes a date such as 2026-12-09 or 2026-12-09T14:00";
                return false;
            }
        } else if (key == "before") {
            if (!records::ParseCursor(value, f)) {
                error = "before takes the cursor a page of records gives as its next";
                return false;
            }
        } else if (key == "limit") {
            bool ok = false;
            limit = value.toInt(&ok);
            if (!ok || limit < 1 || limit > kMaxRows) {
                error = QString("limit takes a number of rows from 1 to %1 (the downloads "
                                "have every row)")
                            .arg(kMaxRows);
                return false;
            }
        } else {
            error = "unknown parameter '" + key.left(kMaxQueryValue) + "'";
            return false;
        }
    }
    return true;
}

// The same host and port as the page (a browser says where a script came from).
bool sameOrigin(const QWebSocket& ws) {
    if (ws.origin().isEmpty()) {
        return true; // not a browser
    }
    const QUrl origin(ws.origin());
    const QUrl page = ws.requestUrl();
    return origin.host().compare(page.host(), Qt::CaseInsensitive) == 0 &&
           origin.port(80) == page.port(80);
}

} // namespace

WebPage::WebPage(Station& station, records::Location records, QString stationName, QObject* parent)
    : QObject(parent), station_(station), records_(std::move(records)),
      name_(std::move(stationName)) {
    pool_.setMaxThreadCount(2);
    flush_.setSingleShot(true);
    connect(&flush_, &QTimer::timeout, this, &WebPage::flush);
    connect(&station_, &Station::slotChanged, this, &WebPage::onSlotChanged);
    connect(&station_, &Station::updateEnded, this, [this](int, const UpdateEnd& end) {
        metrics_.addUpdate(end.record.result, end.elapsedS);
    });
    connect(&server_, &QAbstractHttpServer::newWebSocketConnection, this, &WebPage::onWebSocket);
    routes();
}

WebPage::~WebPage() {
    for (const auto& ws : clients_) {
        if (ws) {
            ws->disconnect(this);
            ws->abort();
        }
    }
    for (const auto& w : streams_) {
        if (auto stream = w.lock()) {
            stream->cancel();
        }
    }
    exports_.waitForDone();
    pool_.waitForDone();
}

bool WebPage::listen(const QHostAddress& host, quint16 port, const QStringList& hostNames,
                     QString& error) {
    guard_ = new HttpGuard(ServedHostNames(host, hostNames), &server_);
    if (!guard_->listen(host, port)) {
        error = guard_->errorString();
        return false;
    }
    server_.bind(guard_);
    return true;
}

quint16 WebPage::port() const {
    return guard_ != nullptr ? guard_->serverPort() : 0;
}

void WebPage::setHeld(int held) {
    if (held == held_) {
        return;
    }
    held_ = held;
    broadcast(QJsonDocument(stationJson("totals")).toJson(QJsonDocument::Compact));
}

QByteArray WebPage::slotsMessage(const char* type, const std::map<int, qint64>& which) const {
    QJsonObject m = stationJson(type);
    QJsonArray list;
    const auto& all = station_.slotStatus();
    const double now = station_.now();
    auto add = [&](int index, qint64 since) {
        QJsonObject o = SlotJson(all[static_cast<std::size_t>(index)], now);
        o.insert("i", index);
        if (since > 0) {
            o.insert("t", since); // for the page's latency figure
        }
        list.append(o);
    };
    const auto count = static_cast<int>(all.size());
    if (which.empty()) {
        for (int i = 0; i < count; ++i) {
            add(i, 0);
        }
    }
    for (const auto& [index, since] : which) {
        if (index < count) {
            add(index, since);
        }
    }
    m.insert("slots", list);
    return QJsonDocument(m).toJson(QJsonDocument::Compact);
}

QJsonObject WebPage::stationJson(const char* type) const {
    const StationTotals t = station_.totals();
    return {{"type", type},
            {"station", name_},
            {"draining", station_.draining()},
            {"held", held_},
            {"totals", QJsonObject{{"ok", t.ok},
                                   {"failed", t.failed},
                                   {"refused", t.refused},
                                   {"running", t.running},
                                   {"ok_per_hour", std::round(t.okPerHour * 10) / 10},
                                   {"units_per_hour", std::round(t.unitsPerHour * 10) / 10}}}};
}

void WebPage::onSlotChanged(int index) {
    if (clients_.empty()) {
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    dirty_.emplace(index, now);
    // At once when nothing was sent for a while; else with what else comes meanwhile.
    if (!flush_.isActive()) {
        const qint64 wait = lastFlush_ + kFlushMs - now;
        if (wait <= 0) {
            flush();
        } else {
            flush_.start(static_cast<int>(wait));
        }
    }
}

void WebPage::flush() {
    lastFlush_ = QDateTime::currentMSecsSinceEpoch();
    if (dirty_.empty()) {
        return;
    }
    const QByteArray message = slotsMessage("slots", dirty_);
    dirty_.clear();
    broadcast(message);
}

void WebPage::broadcast(const QByteArray& message) {
    const QString text = QString::fromUtf8(message);
    for (const auto& ws : clients_) {
        if (ws && ws->state() == QAbstractSocket::ConnectedState) {
            ws->sendTextMessage(text);
        }
    }
}

void WebPage::onWebSocket() {
    while (server_.hasPendingWebSocketConnections()) {
        QWebSocket* ws = server_.nextPendingWebSocketConnection().release();
        ws->setParent(this);
        connect(ws, &QWebSocket::disconnected, ws, &QObject::deleteLater);
        if (ws->requestUrl().path() != "/live" || !sameOrigin(*ws)) {
            ws->close(QWebSocketProtocol::CloseCodePolicyViolated, "not this page's");
            continue;
        }
        ws->setMaxAllowedIncomingMessageSize(1024);
        ws->setMaxAllowedIncomingFrameSize(1024);
        connect(ws, &QObject::destroyed, this, [this] {
            std::erase_if(clients_, [](const QPointer<QWebSocket>& p) { return p.isNull(); });
        });
        clients_.emplace_back(ws);
        // The whole station first; changes after.
        ws->sendTextMessage(QString::fromUtf8(slotsMessage("snapshot")));
    }
}

void WebPage::routes() {
    server_.setMissingHandler([](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        problem(Status::NotFound, "no such page").write(std::move(responder));
    });
    server_.route("/", kGet, [] { return asset("index.html", "text/html; charset=utf-8"); });
    server_.route("/favicon.ico", kGet,
                  [] { return secured(QHttpServerResponse(Status::NoContent), true); });
    server_.route("/page.css", kGet, [] { return asset("page.css", "text/css; charset=utf-8"); });
    server_.route("/page.js", kGet,
                  [] { return asset("page.js", "text/javascript; charset=utf-8"); });
    // The live feed. The server hands a WebSocket over (onWebSocket) only when a route
    // takes its request: this one, which answers only what is not an upgrade.
    server_.route(
        "/live", kGet, [](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) != 0) {
                problem(Status::BadRequest, "/live is a WebSocket").write(std::move(responder));
            }
        });
    server_.route("/api/slots", kGet, [this] {
        return secured(QHttpServerResponse("application/json", slotsMessage("slots"), Status::Ok));
    });
    server_.route("/metrics", kGet, [this] {
        std::map<QString, int> byState;
        for (const SlotStatus& s : station_.slotStatus()) {
            ++byState[StateName(s.state)];
        }
        return secured(QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8",
                                           metrics_.text(byState, held_)));
    });

    // Records are read on the pool, each query with a connection of its own, and the
    // answer is sent from here when it is ready.
    auto query = [this](auto work) -> QFuture<QHttpServerResponse> {
        if (pending_->load() >= kMaxPendingQueries) {
            return QtFuture::makeReadyFuture(
                problem(Status::ServiceUnavailable, "too many records queries at once"));
        }
        ++*pending_;
        return QtConcurrent::run(&pool_, [work, where = records_, pending = pending_] {
            records::RecordStore store;
            QString error;
            QHttpServerResponse r =
                store.open(where, error, false)
                    ? work(store)
                    : problem(Status::ServiceUnavailable, "cannot open the records: " + error);
            --*pending;
            return r;
        });
    };
    // A page of rows, newest first, the number matching (counted up to a bound) and
    // the cursor of the next page.
    server_.route("/api/records", kGet, [query](const QHttpServerRequest& request) {
        records::RecordFilter filter;
        int limit = 0;
        QString error;
        if (!readQuery(request.query(), filter, limit, error)) {
            return QtFuture::makeReadyFuture(problem(Status::BadRequest, error));
        }
        return query([filter, limit](records::RecordStore& store) {
            QString why;
            records::RecordFilter all = filter;
            all.beforeStart = {};
            all.beforeId.clear();
            const int matching = store.count(all, records::kCountBound, why);
            QJsonArray list;
            QString next;
            const bool read =
                matching >= 0 && store.select(
                                     filter, limit + 1,
                                     [&](const records::UpdateRecord& r) {
                                         if (list.size() == limit) {
                                             next = records::CursorAfter(
                                                 *records::RecordFromJson(list.last().toObject()));
                                             return false;
                                         }
                                         list.append(records::RecordJson(r));
                                         return true;
                                     },
                                     why);
            if (!read) {
                return problem(Status::ServiceUnavailable, "cannot read the records: " + why);
            }
            QJsonObject o{{"records", list},
                          {"matching", std::min(matching, records::kCountBound)},
                          {"matching_more", matching > records::kCountBound},
                          {"limit", limit}};
            if (!next.isEmpty()) {
                o.insert("next", next);
            }
            return json(o);
        });
    });
    // Every matching row, streamed as it is read: CSV or JSON lines.
    auto download = [this](const QHttpServerRequest& request, QHttpServerResponder&& responder,
                           ReportFormat format) {
        records::RecordFilter filter;
        int limit = 0;
        QString error;
        if (!readQuery(request.query(), filter, limit, error)) {
            problem(Status::BadRequest, error).write(std::move(responder));
            return;
        }
        std::erase_if(streams_, [](const std::weak_ptr<RecordStream>& w) { return w.expired(); });
        if (streams_.size() >= kMaxDownloads) {
            problem(Status::ServiceUnavailable, "too many downloads at once")
                .write(std::move(responder));
            return;
        }
        const bool csv = format == ReportFormat::Csv;
        auto stream = std::make_shared<RecordStream>(
            std::move(responder), csv ? "text/csv; charset=utf-8" : "application/jsonl",
            csv ? "trm415-records.csv" : "trm415-records.jsonl", this);
        streams_.push_back(stream);
        QThreadPool* pool = &exports_;
        pool->start([stream, filter, format, where = records_] {
            records::RecordStore store;
            QString why;
            bool ok = store.open(where, why, false);
            if (ok) {
                QByteArray piece;
                ok = StreamRecords(
                    store, filter, format,
                    [&](const QByteArray& bytes) {
                        piece += bytes;
                        if (piece.size() < RecordStream::kPiece) {
                            return true;
                        }
                        const bool taken = stream->write(piece);
                        piece.clear();
                        return taken;
                    },
                    why);
                if (ok && !piece.isEmpty()) {
                    stream->write(piece);
                }
            }
            stream->finish(ok, "cannot read the records: " + why);
        });
    };
    server_.route("/api/records.csv", kGet,
                  [download](const QHttpServerRequest& r, QHttpServerResponder&& responder) {
                      download(r, std::move(responder), ReportFormat::Csv);
                  });
    server_.route("/api/records.jsonl", kGet,
                  [download](const QHttpServerRequest& r, QHttpServerResponder&& responder) {
                      download(r, std::move(responder), ReportFormat::JsonLines);
                  });
    // The line: every registered station, its slots, and its updates over the last
    // kLineWindowHours, counted by the database.
    server_.route("/api/line", kGet, [query, shown = records_.display()] {
        return query([shown](records::RecordStore& store) {
            QString why;
            const QDateTime now = QDateTime::currentDateTimeUtc();
            const QDateTime since = now.addSecs(-3600LL * records::kLineWindowHours);
            const auto stations = store.stations(why);
            const auto counts = stations ? store.countsByStation(since, why) : std::nullopt;
            if (!stations || !counts) {
                return problem(Status::ServiceUnavailable, "cannot read the records: " + why);
            }
            QJsonArray list;
            for (std::size_t i = 0; i < stations->size(); ++i) {
                const records::StationInfo& s = (*stations)[i];
                const records::StationCounts& c = (*counts)[i];
                QJsonArray slotArray;
                for (const QString& item : s.slotList) {
                    const QString label = item.section('=', 0, 0);
                    slotArray.append(QJsonObject{{"label", label},
                                                 {"port", item.section('=', 1)},
                                                 {"updating", c.busySlots.contains(label)}});
                }
                const double age = s.heartbeat.msecsTo(now) / 1000.0;
                list.append(QJsonObject{{"name", s.name},
                                        {"host", s.host},
                                        {"version", s.version},
                                        {"started", records::UtcText(s.started)},
                                        {"heartbeat", records::UtcText(s.heartbeat)},
                                        {"heartbeat_age_s", tenths(age)},
                                        {"stale", age > kStaleAfterS},
                                        {"slots", slotArray},
                                        {"ok", c.ok},
                                        {"failed", c.failed},
                                        {"refused", c.refused},
                                        {"updating", c.unfinished},
                                        {"updates", c.ok + c.failed + c.refused + c.unfinished}});
            }
            return json({{"records", shown},
                         {"stale_after_s", kStaleAfterS},
                         {"window_hours", records::kLineWindowHours},
                         {"since", records::UtcText(since)},
                         {"stations", list}});
        });
    });
}

} // namespace trm::station
