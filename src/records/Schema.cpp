// The schema and its migrations. SQLite keeps the version in user_version, PostgreSQL
// in the one-row table trm415_schema; several stations may open a new PostgreSQL
// database at once, so the creation holds an advisory lock.
#include "records/Schema.h"

#include "records/RecordFields.h"
#include "records/Sql.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace trm::records {
namespace {

// Times are ISO 8601 text in UTC on both back ends: they sort as they read.
QString updatesTable(bool postgres) {
    return "CREATE TABLE IF NOT EXISTS updates (" + UpdatesColumnsSql(postgres) + ")";
}

// The questions' indexes: one row of each is its order, newest first, with the id as
// the cursor's tie-break; the station's also holds the result, so that the line's
// counts read the index alone.
const char* const kIndexes[] = {
    "updates_started_id ON updates (started_utc, id)",
    "updates_serial_started ON updates (serial, started_utc, id)",
    "updates_station_started ON updates (station, started_utc, id, result)",
    "updates_result_started ON updates (result, started_utc, id)",
    "updates_slot_started ON updates (slot, started_utc, id)",
};

const char* const kStationsTable = "CREATE TABLE IF NOT EXISTS stations ("
                                   " name TEXT PRIMARY KEY NOT NULL,"
                                   " host TEXT NOT NULL,"
                                   " version TEXT,"
                                   " slots TEXT,"
                                   " started_utc TEXT,"
                                   " heartbeat_utc TEXT)";

int versionOf(QSqlQuery& q, bool postgres, QString& error) {
    if (postgres) {
        if (!Exec(q, "CREATE TABLE IF NOT EXISTS trm415_schema (version INTEGER NOT NULL)",
                  error) ||
            !Exec(q, "SELECT version FROM trm415_schema", error)) {
            return -1;
        }
    } else if (!Exec(q, "PRAGMA user_version", error)) {
        return -1;
    }
    const int version = q.next() ? q.value(0).toInt() : 0;
    q.finish(); // no statement may be left open across the COMMIT
    return version;
}

bool setVersion(QSqlQuery& q, bool postgres, int version, QString& error) {
    if (!postgres) {
        return Exec(q, QString("PRAGMA user_version=%1").arg(version), error);
    }
    return Exec(q, "DELETE FROM trm415_schema", error) &&
           Exec(q, QString("INSERT INTO trm415_schema (version) VALUES (%1)").arg(version), error);
}

} // namespace

bool SqliteFileIsOurs(QSqlDatabase& db, QString& error) {
    QSqlQuery q(db);
    if (!Exec(q, "PRAGMA application_id", error) || !q.next()) {
        return false;
    }
    const int id = q.value(0).toInt();
    q.finish();
    if (id != 0 && id != kApplicationId) {
        error = QString("it belongs to another program (its SQLite application id is 0x%1): "
                        "name a file of trm415's own")
                    .arg(static_cast<quint32>(id), 8, 16, QChar('0'));
        return false;
    }
    if (!Exec(q, "PRAGMA user_version", error) || !q.next()) {
        return false;
    }
    const int version = q.value(0).toInt();
    q.finish();
    if (version > kRecordsSchema) {
        error = QString("it was written by a newer trm415 (records schema %1; this one knows %2)")
                    .arg(version)
                    .arg(kRecordsSchema);
        return false;
    }
    if (id == kApplicationId) {
        return true;
    }
    // Unmarked: empty, or a file of the last releases, with our tables and nothing else.
    if (!Exec(q, "SELECT name, tbl_name FROM sqlite_master", error)) {
        return false;
    }
    bool any = false;
    bool updates = false;
    QString other;
    while (q.next()) {
        any = true;
        const QString name = q.value(0).toString();
        const QString table = q.value(1).toString();
        updates = updates || name == "updates";
        if (table != "updates" && table != "stations" && !name.startsWith("sqlite_")) {
            other = name;
        }
    }
    q.finish();
    if (any && (!updates || !other.isEmpty())) {
        error = QString("it is not a trm415 records file (it holds %1): name a file of "
                        "trm415's own")
                    .arg(other.isEmpty() ? QString("other tables") : "'" + other.left(64) + "'");
        return false;
    }
    return true;
}

bool EnsureSchema(QSqlDatabase& db, bool postgres, bool readOnly, QString& error,
                  const std::function<void(const QString&)>& say) {
    QSqlQuery q(db);
    if (readOnly) {
        int version = 0;
        if (postgres) {
            version = Exec(q, "SELECT version FROM trm415_schema", error) && q.next()
                          ? q.value(0).toInt()
                          : -1;
        } else {
            version = versionOf(q, false, error);
        }
        if (version < 0) {
            error = "it holds no trm415 records";
            return false;
        }
        if (version > kRecordsSchema) {
            error = QString("it was written by a newer trm415 (records schema %1; this one "
                            "knows %2)")
                        .arg(version)
                        .arg(kRecordsSchema);
            return false;
        }
        return true;
    }
    if (!Exec(q, postgres ? "BEGIN" : "BEGIN IMMEDIATE", error)) {
        return false;
    }
    auto fail = [&] {
        QSqlQuery(db).exec("ROLLBACK");
        return false;
    };
    if (postgres && !Exec(q, "SELECT pg_advisory_xact_lock(4150415)", error)) {
        return fail();
    }
    const int version = versionOf(q, postgres, error);
    if (version < 0) {
        return fail();
    }
    if (version > kRecordsSchema) {
        error = QString("it was written by a newer trm415 (records schema %1; this one knows %2)")
                    .arg(version)
                    .arg(kRecordsSchema);
        return fail();
    }
    // Ours from now on, said in the file's header.
    if (!postgres && !Exec(q, QString("PRAGMA application_id = %1").arg(kApplicationId), error)) {
        return fail();
    }
    if (version == kRecordsSchema) {
        return Exec(q, "COMMIT", error) || fail();
    }
    // New: the whole schema. Version 1 (SQLite only, the last release): the station's
    // column and its table added.
    if (!Exec(q, updatesTable(postgres), error) || !Exec(q, kStationsTable, error)) {
        return fail();
    }
    if (!postgres) {
        bool hasStation = false;
        if (!Exec(q, "PRAGMA table_info(updates)", error)) {
            return fail();
        }
        while (q.next()) {
            hasStation = hasStation || q.value(1).toString() == "station";
        }
        q.finish();
        if (!hasStation && !Exec(q, "ALTER TABLE updates ADD COLUMN station TEXT", error)) {
            return fail();
        }
    }
    // Version 3: an index for each shape of question (RecordQuery), newest first with
    // the id as the cursor's tie-break. On a long history this reads every row once.
    if (version > 0 && say) {
        say(QString("upgrading the records from schema %1 to %2: indexing the history "
                    "(on millions of rows this takes a while; nothing is written meanwhile)")
                .arg(version)
                .arg(kRecordsSchema));
    }
    if (postgres && !Exec(q, "SET LOCAL statement_timeout = 0", error)) {
        return fail();
    }
    for (const char* index : kIndexes) {
        if (!Exec(q, QString("CREATE INDEX IF NOT EXISTS ") + index, error)) {
            return fail();
        }
    }
    // The planner's figures of the new indexes, so that it takes the right one from the
    // start (SQLite's sampled, a few milliseconds at any size).
    if (!Exec(q, "DROP INDEX IF EXISTS updates_serial", error) ||
        !Exec(q, "DROP INDEX IF EXISTS updates_started", error) ||
        (!postgres && !Exec(q, "PRAGMA analysis_limit = 1000", error)) ||
        !Exec(q, postgres ? "ANALYZE updates" : "ANALYZE", error) ||
        !setVersion(q, postgres, kRecordsSchema, error) || !Exec(q, "COMMIT", error)) {
        return fail();
    }
    return true;
}

} // namespace trm::records
