// The spool of rows on their way to the records server.
#include "records/Spool.h"

#include "records/RecordFields.h"
#include "records/Sql.h"

#include <QAtomicInt>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

namespace trm::records {
namespace {

QAtomicInt spools;

} // namespace

QString DefaultStateDir() {
    const QString systemd = qEnvironmentVariable("STATE_DIRECTORY").section(':', 0, 0);
    if (!systemd.isEmpty()) {
        return systemd;
    }
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    if (!xdg.isEmpty()) {
        return xdg + "/trm415";
    }
    return QDir::homePath() + "/.local/state/trm415";
}

Spool::Spool() : connection_(QString("trm415-spool-%1").arg(spools.fetchAndAddRelaxed(1))) {}

Spool::~Spool() {
    CloseConnection(connection_);
}

bool Spool::open(const QString& dir, const QString& server, QString& error) {
    if (!QDir().mkpath(dir)) {
        error = QString("cannot make the state directory %1").arg(dir);
        return false;
    }
    // One spool per server, named after it without showing it.
    const QByteArray key = QCryptographicHash::hash(server.toUtf8(), QCryptographicHash::Sha256);
    path_ = QDir(dir).filePath("spool-" + QString::fromLatin1(key.toHex().left(16)) + ".sqlite");
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", connection_);
    db.setDatabaseName(path_);
    db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=30000");
    if (!db.open()) {
        error = QString("cannot open the spool %1: %2").arg(path_, db.lastError().driverText());
        return false;
    }
    QSqlQuery q(db);
    for (const char* sql :
         {"PRAGMA journal_mode=WAL",
          "CREATE TABLE IF NOT EXISTS pending (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
          " id TEXT NOT NULL, record TEXT NOT NULL, queued_utc TEXT NOT NULL)",
          "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY NOT NULL, value TEXT)"}) {
        if (!q.exec(sql)) {
            error = QString("cannot use the spool %1: %2").arg(path_, q.lastError().text());
            return false;
        }
    }
    q.prepare("INSERT OR IGNORE INTO meta (key, value) VALUES ('server', :server)");
    q.bindValue(":server", server);
    q.exec();
    return true;
}

bool Spool::add(const UpdateRecord& r, QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare("INSERT INTO pending (id, record, queued_utc) VALUES (:id, :record, :at)");
    q.bindValue(":id", r.id);
    q.bindValue(":record",
                QString::fromUtf8(QJsonDocument(RecordJson(r)).toJson(QJsonDocument::Compact)));
    q.bindValue(":at", UtcText(QDateTime::currentDateTimeUtc()));
    if (!q.exec()) {
        error = QString("cannot write the spool %1: %2").arg(path_, q.lastError().text());
        return false;
    }
    return true;
}

std::vector<Spool::Held> Spool::oldest(int limit, QString& error) {
    std::vector<Held> out;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare("SELECT seq, record FROM pending ORDER BY seq LIMIT :limit");
    q.bindValue(":limit", limit);
    if (!q.exec()) {
        error = q.lastError().text();
        return out;
    }
    while (q.next()) {
        const qint64 seq = q.value(0).toLongLong();
        if (auto r = RecordFromJson(QJsonDocument::fromJson(q.value(1).toByteArray()).object())) {
            out.push_back({seq, *r});
        } else {
            // A row that does not read back cannot be sent; it is kept aside, not lost.
            QSqlQuery(QSqlDatabase::database(connection_, false))
                .exec(QString("UPDATE pending SET seq = -seq WHERE seq = %1").arg(seq));
        }
    }
    return out;
}

bool Spool::remove(qint64 seq, QString& error) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare("DELETE FROM pending WHERE seq = :seq");
    q.bindValue(":seq", seq);
    if (!q.exec()) {
        error = q.lastError().text();
        return false;
    }
    return true;
}

int Spool::count(QDateTime* since) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec("SELECT COUNT(DISTINCT id), MIN(queued_utc) FROM pending WHERE seq > 0") ||
        !q.next()) {
        return -1;
    }
    if (since != nullptr) {
        *since = FromUtcText(q.value(1).toString());
    }
    return q.value(0).toInt();
}

int Spool::closeUnfinished(const QString& station, const QString& host, const QDateTime& before,
                           Result result, QString& error) {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // Each update's last held row: the one the server would keep.
    if (!q.exec("SELECT seq, record FROM pending WHERE seq IN"
                " (SELECT MAX(seq) FROM pending WHERE seq > 0 GROUP BY id)")) {
        error = q.lastError().text();
        return -1;
    }
    std::vector<std::pair<qint64, UpdateRecord>> closing;
    while (q.next()) {
        auto r = RecordFromJson(QJsonDocument::fromJson(q.value(1).toByteArray()).object());
        if (r && r->result == Result::Unfinished && !r->slot.isEmpty() && r->start < before &&
            (r->station == station || (r->station.isEmpty() && r->host == host))) {
            r->result = result;
            closing.emplace_back(q.value(0).toLongLong(), *r);
        }
    }
    if (closing.empty()) {
        return 0;
    }
    if (!db.transaction()) {
        error = db.lastError().text();
        return -1;
    }
    QSqlQuery u(db);
    u.prepare("UPDATE pending SET record = :record WHERE seq = :seq");
    for (const auto& [seq, r] : closing) {
        u.bindValue(":record",
                    QString::fromUtf8(QJsonDocument(RecordJson(r)).toJson(QJsonDocument::Compact)));
        u.bindValue(":seq", seq);
        if (!u.exec()) {
            error = u.lastError().text();
            db.rollback();
            return -1;
        }
    }
    if (!db.commit()) {
        error = db.lastError().text();
        return -1;
    }
    return static_cast<int>(closing.size());
}

bool Spool::writtenBefore() {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    return q.exec("SELECT value FROM meta WHERE key = 'written'") && q.next();
}

void Spool::markWritten() {
    QSqlQuery(QSqlDatabase::database(connection_, false))
        .exec("INSERT OR IGNORE INTO meta (key, value) VALUES ('written', 'yes')");
}

} // namespace trm::records
