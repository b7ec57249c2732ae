// The update records on SQLite or PostgreSQL.
#include "records/RecordStore.h"

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <algorithm>

#include <libpq-fe.h>

namespace trm::records {
namespace {

QAtomicInt connections;

// Detected in seconds when a server is gone or hung: the connection attempt, TCP
// keep-alives and unacknowledged data each have a limit (a statement time-out is set
// once connected).
const char* const kServerLimits = "connect_timeout=5;keepalives=1;keepalives_idle=5;"
                                  "keepalives_interval=2;keepalives_count=3;"
                                  "tcp_user_timeout=10000;application_name=trm415";

const char* const kColumns[] = {
    "started_utc", "ended_utc", "host",      "slot",        "port",
    "serial",      "identity",  "unit_type", "image_pair",  "mcu_sha256",
    "dsp_sha256",  "result",    "message",   "exit_status", "station",
};

// "boot-loader" -> "boot_loader_s"
QString column(const char* phase) {
    return QString::fromLatin1(phase).replace('-', '_') + "_s";
}

QString utc(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QVariant orNull(const QString& s) {
    return s.isEmpty() ? QVariant() : QVariant(s);
}

QVariant orNull(int v) {
    return v < 0 ? QVariant() : QVariant(v);
}

bool exec(QSqlQuery& q, const QString& sql, QString& error) {
    if (!q.exec(sql)) {
        error = q.lastError().text().trimmed();
        return false;
    }
    return true;
}

bool execPrepared(QSqlQuery& q, QString& error) {
    if (!q.exec()) {
        error = q.lastError().text().trimmed();
        return false;
    }
    return true;
}

QString upsertSql() {
    QStringList columns;
    for (const char* c : kColumns) {
        columns << c;
    }
    for (const char* p : kRecordedPhases) {
        columns << column(p);
    }
    QStringList marks, sets;
    for (const QString& c : columns) {
        marks << ":" + c;
        sets << c + " = excluded." + c;
    }
    return QString("INSERT INTO updates (id, %1) VALUES (:id, %2) ON CONFLICT (id) DO UPDATE "
                   "SET %3")
        .arg(columns.join(", "), marks.join(", "), sets.join(", "));
}

} // namespace

RecordStore::RecordStore()
    : connection_(QString("trm415-records-%1").arg(connections.fetchAndAddRelaxed(1))) {}

RecordStore::~RecordStore() {
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }
}

bool RecordStore::isOpen() const {
    return QSqlDatabase::contains(connection_) &&
           QSqlDatabase::database(connection_, false).isOpen();
}

bool RecordStore::open(const QString& where, QString& error, bool create) {
    const auto location = ParseLocation(where, error);
    return location && open(*location, error, create);
}

bool RecordStore::open(const Location& where, QString& error, bool create) {
    server_ = where.isServer();
    const char* driver = server_ ? "QPSQL" : "QSQLITE";
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        error = server_ ? "the Qt PostgreSQL driver is not installed (Debian package "
                          "libqt6sql6-psql)"
                        : "the Qt SQLite driver is not installed (Debian package "
                          "libqt6sql6-sqlite)";
        return false;
    }
    if (!server_) {
        const QFileInfo file(where.path);
        if (!create && !file.exists()) {
            error = "there is no records database at " + where.path;
            return false;
        }
        if (!file.absoluteDir().exists()) {
            error = QString("the folder %1 does not exist").arg(file.absolutePath());
            return false;
        }
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, connection_);
    if (server_) {
        db.setHostName(where.host);
        db.setDatabaseName(where.dbname);
        db.setUserName(where.user);
        db.setPort(where.port);
        QStringList options = where.options;
        for (const QString& limit : QString(kServerLimits).split(';')) {
            const QString key = limit.section('=', 0, 0) + "=";
            if (std::none_of(options.begin(), options.end(),
                             [&key](const QString& o) { return o.startsWith(key); })) {
                options << limit;
            }
        }
        db.setConnectOptions(options.join(';'));
    } else {
        db.setDatabaseName(where.path);
        // Other writers hold the lock for one short transaction; wait for them.
        db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=30000");
    }
    if (!db.open()) {
        error = db.lastError().driverText().trimmed();
        const QString detail = db.lastError().databaseText().trimmed();
        if (server_ && !detail.isEmpty()) {
            error = detail;
        }
        if (!server_) {
            error = where.path + ": " + error;
        }
        return false;
    }
    QSqlQuery q(db);
    if (server_) {
        // A statement the server does not finish in time is ended by the server; its
        // notices (a table that already exists) are not for the operator.
        if (!exec(q, "SET statement_timeout = 10000", error) ||
            !exec(q, "SET client_min_messages = warning", error)) {
            return false;
        }
    } else if (create && !exec(q, "PRAGMA journal_mode=WAL", error)) {
        // WAL: readers never block the writer, and a killed writer leaves the database
        // as its last committed transaction had it.
        return false;
    }
    q.finish(); // the pragma's row: no statement may be left open across a COMMIT
    return EnsureSchema(db, server_, !create, error);
}

bool RecordStore::write(UpdateRecord& r, QString& error) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.isOpen()) {
        error = "the records database is not open";
        return false;
    }
    if (r.id.isEmpty()) {
        r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    }
    QSqlQuery q(db);
    if (!exec(q, server_ ? "BEGIN" : "BEGIN IMMEDIATE", error)) {
        return false;
    }
    q.prepare(upsertSql());
    q.bindValue(":id", r.id);
    q.bindValue(":started_utc", utc(r.start));
    q.bindValue(":ended_utc", orNull(utc(r.end)));
    q.bindValue(":host", r.host);
    q.bindValue(":slot", orNull(r.slot));
    q.bindValue(":port", orNull(r.port));
    q.bindValue(":serial", orNull(r.serial));
    q.bindValue(":identity", orNull(r.identity));
    q.bindValue(":unit_type", orNull(r.unitType));
    q.bindValue(":image_pair", orNull(r.imagePair));
    q.bindValue(":mcu_sha256", orNull(r.mcuSha256));
    q.bindValue(":dsp_sha256", orNull(r.dspSha256));
    q.bindValue(":result", r.result);
    q.bindValue(":message", orNull(r.message));
    q.bindValue(":exit_status", r.exitStatus < 0 ? QVariant() : QVariant(r.exitStatus));
    q.bindValue(":station", orNull(r.station));
    for (const char* p : kRecordedPhases) {
        const QJsonValue d = r.durations.value(QString::fromLatin1(p));
        q.bindValue(":" + column(p), d.isDouble() ? QVariant(d.toDouble()) : QVariant());
    }
    if (!execPrepared(q, error)) {
        QSqlQuery(db).exec("ROLLBACK");
        return false;
    }
    return exec(q, "COMMIT", error);
}

int RecordStore::closeUnfinished(const QString& station, const QString& host,
                                 const QDateTime& before, const QString& result, QString& error) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // Rows of the last release carry no station: those of this host's station.
    q.prepare("UPDATE updates SET result = :result WHERE result = :unfinished"
              " AND slot IS NOT NULL AND started_utc < :before"
              " AND (station = :station OR (station IS NULL AND host = :host))");
    q.bindValue(":result", result);
    q.bindValue(":unfinished", QString(kUnfinished));
    q.bindValue(":before", utc(before));
    q.bindValue(":station", station);
    q.bindValue(":host", host);
    if (!execPrepared(q, error)) {
        return -1;
    }
    return q.numRowsAffected();
}

bool RecordStore::registerStation(const StationInfo& s, QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare("INSERT INTO stations (name, host, version, slots, started_utc, heartbeat_utc)"
              " VALUES (:name, :host, :version, :slots, :started, :heartbeat)"
              " ON CONFLICT (name) DO UPDATE SET host = excluded.host,"
              " version = excluded.version, slots = excluded.slots,"
              " started_utc = excluded.started_utc, heartbeat_utc = excluded.heartbeat_utc");
    q.bindValue(":name", s.name);
    q.bindValue(":host", s.host);
    q.bindValue(":version", s.version);
    q.bindValue(
        ":slots",
        QString::fromUtf8(
            QJsonDocument(QJsonArray::fromStringList(s.slotList)).toJson(QJsonDocument::Compact)));
    q.bindValue(":started", utc(s.started));
    q.bindValue(":heartbeat", utc(s.heartbeat));
    return execPrepared(q, error);
}

bool RecordStore::heartbeat(const QString& name, const QDateTime& at, QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare("UPDATE stations SET heartbeat_utc = :at WHERE name = :name");
    q.bindValue(":at", utc(at));
    q.bindValue(":name", name);
    return execPrepared(q, error);
}

std::optional<std::vector<StationInfo>> RecordStore::stations(QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!exec(q,
              "SELECT name, host, version, slots, started_utc, heartbeat_utc FROM stations"
              " ORDER BY name",
              error)) {
        return std::nullopt;
    }
    std::vector<StationInfo> out;
    while (q.next()) {
        StationInfo s;
        s.name = q.value(0).toString();
        s.host = q.value(1).toString();
        s.version = q.value(2).toString();
        for (const QJsonValue& v : QJsonDocument::fromJson(q.value(3).toByteArray()).array()) {
            s.slotList << v.toString();
        }
        s.started = QDateTime::fromString(q.value(4).toString(), Qt::ISODateWithMs);
        s.heartbeat = QDateTime::fromString(q.value(5).toString(), Qt::ISODateWithMs);
        out.push_back(s);
    }
    return out;
}

std::optional<std::vector<UpdateRecord>> RecordStore::all(QString& error) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    if (!exec(q, "SELECT * FROM updates ORDER BY started_utc, id", error)) {
        return std::nullopt;
    }
    std::vector<UpdateRecord> rows;
    auto text = [&q](const char* c) { return q.value(c).toString(); };
    auto number = [&q](const char* c) { return q.value(c).isNull() ? -1 : q.value(c).toInt(); };
    while (q.next()) {
        UpdateRecord r;
        r.id = text("id");
        r.start = QDateTime::fromString(text("started_utc"), Qt::ISODateWithMs);
        r.end = QDateTime::fromString(text("ended_utc"), Qt::ISODateWithMs);
        r.host = text("host");
        r.station = text("station");
        r.slot = text("slot");
        r.port = text("port");
        r.serial = text("serial");
        r.identity = text("identity");
        r.unitType = number("unit_type");
        r.imagePair = number("image_pair");
        r.mcuSha256 = text("mcu_sha256");
        r.dspSha256 = text("dsp_sha256");
        r.result = text("result");
        r.message = text("message");
        r.exitStatus = number("exit_status");
        for (const char* p : kRecordedPhases) {
            const QVariant v = q.value(column(p));
            if (!v.isNull()) {
                r.durations.insert(QString::fromLatin1(p), v.toDouble());
            }
        }
        rows.push_back(std::move(r));
    }
    return rows;
}

int RecordStore::socket() const {
    if (!server_ || !QSqlDatabase::contains(connection_)) {
        return -1;
    }
    const QVariant handle = QSqlDatabase::database(connection_, false).driver()->handle();
    if (qstrcmp(handle.typeName(), "PGconn*") != 0) {
        return -1;
    }
    PGconn* conn = *static_cast<PGconn* const*>(handle.data());
    return conn != nullptr ? PQsocket(conn) : -1;
}

} // namespace trm::records
