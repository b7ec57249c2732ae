// The update records on SQLite or PostgreSQL.
#include "records/RecordStore.h"

#include "records/RecordFields.h"
#include "records/Sql.h"

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>
#include <QVariant>

#include <algorithm>

#include <libpq-fe.h>

#include <sys/stat.h>

namespace trm::records {
namespace {

QAtomicInt connections;

// Detected in seconds when a server is gone or hung: the connection attempt, TCP
// keep-alives and unacknowledged data each have a limit (a statement time-out is set
// once connected).
const char* const kServerLimits = "connect_timeout=5;keepalives=1;keepalives_idle=5;"
                                  "keepalives_interval=2;keepalives_count=3;"
                                  "tcp_user_timeout=10000;application_name=trm415";

} // namespace

RecordStore::RecordStore()
    : connection_(QString("trm415-records-%1").arg(connections.fetchAndAddRelaxed(1))) {}

RecordStore::~RecordStore() {
    CloseConnection(connection_);
}

bool RecordStore::isOpen() const {
    return QSqlDatabase::contains(connection_) &&
           QSqlDatabase::database(connection_, false).isOpen();
}

bool RecordStore::open(const QString& where, QString& error, bool create) {
    const auto location = ParseLocation(where, error);
    return location && open(*location, error, create, {});
}

bool RecordStore::open(const Location& where, QString& error, bool create,
                       const std::function<void(const QString&)>& say) {
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
        // Other writers hold the lock for one short transaction; wait for them. A reader
        // needs no more than read access to the file.
        db.setConnectOptions(create ? "QSQLITE_BUSY_TIMEOUT=30000"
                                    : "QSQLITE_BUSY_TIMEOUT=30000;QSQLITE_OPEN_READONLY");
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
        if (!Exec(q, "SET statement_timeout = 10000", error) ||
            !Exec(q, "SET client_min_messages = warning", error) ||
            (!create && !Exec(q, "SET default_transaction_read_only = on", error))) {
            return false;
        }
    } else if (create && !SqliteFileIsOurs(db, error)) {
        error = where.path + ": " + error;
        return false;
    } else if (create && !Exec(q, "PRAGMA journal_mode=WAL", error)) {
        // WAL: readers never block the writer, and a killed writer leaves the database
        // as its last committed transaction had it.
        return false;
    }
    q.finish(); // the pragma's row: no statement may be left open across a COMMIT
    if (!server_) {
        path_ = where.path;
        struct stat st {};
        if (::stat(path_.toLocal8Bit().constData(), &st) == 0) {
            device_ = st.st_dev;
            inode_ = st.st_ino;
        }
    }
    if (!server_ && !create && !q.exec("SELECT COUNT(*) FROM sqlite_master")) {
        // A file in WAL mode is read through its -shm beside it, which a user who may
        // not write the folder cannot make. With no -wal (the last writer closed it),
        // the file alone is the whole database: read it as it stands, taking no lock.
        const QString why = q.lastError().text().trimmed();
        q.finish();
        if (QFileInfo(where.path + "-wal").size() > 0) {
            error = QString("cannot read it (%1): its newest rows are in %2-wal, which SQLite "
                            "reads only with write access to the folder; report on a copy, or "
                            "as a user who may write there")
                        .arg(why, where.path);
            return false;
        }
        db.close();
        db.setDatabaseName(
            "file:" + QUrl::toPercentEncoding(QFileInfo(where.path).absoluteFilePath(), "/") +
            "?immutable=1");
        db.setConnectOptions("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI");
        if (!db.open()) {
            error = where.path + ": " + db.lastError().driverText().trimmed();
            return false;
        }
    }
    if (!EnsureSchema(db, server_, !create, error, say)) {
        return false;
    }
    if (!create) {
        setTimeLimit(kQueryTimeLimitMs);
    }
    return true;
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
    if (!Exec(q, server_ ? "BEGIN" : "BEGIN IMMEDIATE", error)) {
        return false;
    }
    q.prepare(UpsertSql());
    BindRecord(q, r);
    if (!Exec(q, error)) {
        QSqlQuery(db).exec("ROLLBACK");
        return false;
    }
    return Exec(q, "COMMIT", error);
}

int RecordStore::closeUnfinished(const QString& station, const QString& host,
                                 const QDateTime& before, Result result, QString& error) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // Rows of the last release carry no station: those of this host's station.
    q.prepare("UPDATE updates SET result = :result WHERE result = :unfinished"
              " AND slot IS NOT NULL AND started_utc < :before"
              " AND (station = :station OR (station IS NULL AND host = :host))");
    q.bindValue(":result", ResultText(result));
    q.bindValue(":unfinished", ResultText(Result::Unfinished));
    q.bindValue(":before", UtcText(before));
    q.bindValue(":station", station);
    q.bindValue(":host", host);
    if (!Exec(q, error)) {
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
    q.bindValue(":started", UtcText(s.started));
    q.bindValue(":heartbeat", UtcText(s.heartbeat));
    return Exec(q, error);
}

bool RecordStore::heartbeat(const QString& name, const QDateTime& at, QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare("UPDATE stations SET heartbeat_utc = :at WHERE name = :name");
    q.bindValue(":at", UtcText(at));
    q.bindValue(":name", name);
    return Exec(q, error);
}

std::optional<std::vector<StationInfo>> RecordStore::stations(QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!Exec(q,
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
        s.started = FromUtcText(q.value(4).toString());
        s.heartbeat = FromUtcText(q.value(5).toString());
        out.push_back(s);
    }
    return out;
}

QString RecordStore::liveNamesake(const StationInfo& me) {
    QString ignored; // records that cannot list their stations have none to refuse for
    const auto all = stations(ignored);
    for (const StationInfo& s : all ? *all : std::vector<StationInfo>{}) {
        const qint64 age = s.heartbeat.secsTo(QDateTime::currentDateTimeUtc());
        if (s.name == me.name && s.host != me.host && age < kStationStaleAfterS) {
            return QString("a station named '%1' on %2 is writing to these records (its last "
                           "heartbeat %3 s ago): give this one another --name")
                .arg(s.name, s.host)
                .arg(std::max<qint64>(age, 0));
        }
    }
    return {};
}

bool RecordStore::stillItsFile() const {
    if (server_) {
        return true;
    }
    struct stat st {};
    return ::stat(path_.toLocal8Bit().constData(), &st) == 0 && st.st_dev == device_ &&
           st.st_ino == inode_;
}

int RecordStore::socket() const {
    if (!server_ || !QSqlDatabase::contains(connection_)) {
        return -1;
    }
    const QVariant handle = QSqlDatabase::database(connection_, false).driver()->handle();
    // The driver's handle, named as Qt 6 names the type (the struct's own name), or as
    // the driver spells it.
    if (qstrcmp(handle.typeName(), "pg_conn*") != 0 && qstrcmp(handle.typeName(), "PGconn*") != 0) {
        return -1;
    }
    PGconn* conn = *static_cast<PGconn* const*>(handle.data());
    return conn != nullptr ? PQsocket(conn) : -1;
}

} // namespace trm::records
