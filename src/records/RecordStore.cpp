// The update records in SQLite.
#include "records/RecordStore.h"

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace trm::records {
namespace {

QAtomicInt connections;

const char* const kCreate = "CREATE TABLE IF NOT EXISTS updates ("
                            " id TEXT PRIMARY KEY NOT NULL,"
                            " started_utc TEXT NOT NULL,"
                            " ended_utc TEXT,"
                            " host TEXT NOT NULL,"
                            " slot TEXT,"
                            " port TEXT,"
                            " serial TEXT,"
                            " identity TEXT,"
                            " unit_type INTEGER,"
                            " image_pair INTEGER,"
                            " mcu_sha256 TEXT,"
                            " dsp_sha256 TEXT,"
                            " result TEXT NOT NULL,"
                            " message TEXT,"
                            " exit_status INTEGER,"
                            " identity_query_s REAL,"
                            " restart_to_boot_loader_s REAL,"
                            " boot_loader_s REAL,"
                            " restart_to_application_s REAL,"
                            " dsp_download_s REAL)";

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
        error = q.lastError().text();
        return false;
    }
    return true;
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

bool RecordStore::open(const QString& path, QString& error, bool create) {
    if (!QSqlDatabase::isDriverAvailable("QSQLITE")) {
        error = "the Qt SQLite driver is not installed (Debian package libqt6sql6-sqlite)";
        return false;
    }
    const QFileInfo file(path);
    if (!create && !file.exists()) {
        error = "there is no records database at " + path;
        return false;
    }
    if (!file.absoluteDir().exists()) {
        error = QString("the folder %1 does not exist").arg(file.absolutePath());
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", connection_);
    db.setDatabaseName(path);
    // Other writers hold the lock for one short transaction; wait for them.
    db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=30000");
    if (!db.open()) {
        error = db.lastError().driverText();
        return false;
    }
    QSqlQuery q(db);
    // WAL: readers never block the writer, and a killed writer leaves the database as
    // its last committed transaction had it.
    if (!exec(q, "PRAGMA journal_mode=WAL", error)) {
        return false;
    }
    if (!exec(q, "BEGIN IMMEDIATE", error)) {
        return false;
    }
    int version = 0;
    if (exec(q, "PRAGMA user_version", error) && q.next()) {
        version = q.value(0).toInt();
    }
    if (version > kRecordsSchema) {
        exec(q, "ROLLBACK", error);
        error = QString("it was written by a newer trm415 (records schema %1; this one knows %2)")
                    .arg(version)
                    .arg(kRecordsSchema);
        return false;
    }
    if (!exec(q, kCreate, error) ||
        !exec(q, QString("PRAGMA user_version=%1").arg(kRecordsSchema), error) ||
        !exec(q, "COMMIT", error)) {
        QString ignored;
        exec(q, "ROLLBACK", ignored);
        return false;
    }
    return true;
}

bool RecordStore::write(const UpdateRecord& r, bool insert, QString& error) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.isOpen()) {
        error = "the records database is not open";
        return false;
    }
    QStringList columns{"started_utc", "ended_utc", "host",      "slot",       "port",
                        "serial",      "identity",  "unit_type", "image_pair", "mcu_sha256",
                        "dsp_sha256",  "result",    "message",   "exit_status"};
    for (const char* p : kRecordedPhases) {
        columns << column(p);
    }
    QString sql;
    if (insert) {
        QStringList marks;
        for (const QString& c : columns) {
            marks << ":" + c;
        }
        sql = QString("INSERT INTO updates (id, %1) VALUES (:id, %2)")
                  .arg(columns.join(", "), marks.join(", "));
    } else {
        QStringList sets;
        for (const QString& c : columns) {
            sets << c + " = :" + c;
        }
        sql = QString("UPDATE updates SET %1 WHERE id = :id").arg(sets.join(", "));
    }
    QSqlQuery q(db);
    if (!exec(q, "BEGIN IMMEDIATE", error)) {
        return false;
    }
    q.prepare(sql);
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
    for (const char* p : kRecordedPhases) {
        const QJsonValue d = r.durations.value(QString::fromLatin1(p));
        q.bindValue(":" + column(p), d.isDouble() ? QVariant(d.toDouble()) : QVariant());
    }
    const bool done = q.exec() && (insert || q.numRowsAffected() == 1);
    if (!done) {
        error = q.lastError().text().trimmed();
        if (error.isEmpty()) {
            error = QString("no record %1").arg(r.id);
        }
        QSqlQuery(db).exec("ROLLBACK");
        return false;
    }
    return exec(q, "COMMIT", error);
}

bool RecordStore::begin(UpdateRecord& r, QString& error) {
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    return write(r, true, error);
}

bool RecordStore::finish(const UpdateRecord& r, QString& error) {
    return write(r, false, error);
}

int RecordStore::closeUnfinished(const QString& host, const QDateTime& before,
                                 const QString& result, QString& error) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    q.prepare("UPDATE updates SET result = :result WHERE result = :unfinished AND host = :host"
              " AND slot IS NOT NULL AND started_utc < :before");
    q.bindValue(":result", result);
    q.bindValue(":unfinished", QString(kUnfinished));
    q.bindValue(":host", host);
    q.bindValue(":before", utc(before));
    if (!q.exec()) {
        error = q.lastError().text();
        return -1;
    }
    return q.numRowsAffected();
}

std::optional<std::vector<UpdateRecord>> RecordStore::all(QString& error) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    if (!exec(q, "SELECT * FROM updates ORDER BY started_utc, rowid", error)) {
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

} // namespace trm::records
