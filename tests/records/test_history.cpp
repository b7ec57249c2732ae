// The records' questions at size, on SQLite and on the tests' private PostgreSQL: each
// query shape is answered from an index (the plans are read, nothing is timed), and the
// answers are those of a plain filter over the same rows, page after page through the
// cursor while new rows are written. A store of the last schema is upgraded with its
// rows; a question over its time limit ends with the time limit's reason.
#include "records/RecordFields.h"
#include "records/RecordStore.h"
#include "tests/support/PgServer.h"
#include "tests/support/Programs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

using namespace trm::testing;
using namespace trm::records;

namespace {

constexpr int kRows = 100000;

// A line's month: 3 stations of 8 slots, serials retried now and then, mostly ok.
std::vector<UpdateRecord> lineHistory(int n, const QDateTime& end) {
    QRandomGenerator rng(415);
    std::vector<UpdateRecord> rows;
    rows.reserve(static_cast<std::size_t>(n));
    const qint64 span = 30LL * 24 * 3600 * 1000;
    for (int i = 0; i < n; ++i) {
        UpdateRecord r;
        r.id = QString("00000000-0000-4000-8000-%1").arg(i, 12, 10, QChar('0'));
        // Now and then two rows begin in the same millisecond: the id breaks the tie.
        r.start = end.addMSecs(-span + span * (i - i % 7 / 6) / n);
        r.end = r.start.addSecs(35);
        r.host = "host";
        r.station = QString("st-%1").arg(i % 3);
        r.slot = QString("S%1").arg(1 + i % 8);
        r.port = QString("1-%1").arg(1 + i % 8);
        r.serial = QString("U-%1").arg(rng.bounded(n * 9 / 10));
        const int roll = static_cast<int>(rng.bounded(1000));
        r.result = roll < 930   ? Result::Ok
                   : roll < 960 ? Result::Refused
                   : roll < 975 ? Result::BootLoaderError
                   : roll < 990 ? Result::UnitLost
                   : roll < 995 ? Result::Timeout
                                : Result::Unfinished;
        r.exitStatus = r.result == Result::Ok ? 0 : 1;
        r.imagePair = 1;
        r.durations.insert("boot-loader", 20.5);
        rows.push_back(r);
    }
    return rows;
}

// A connection of the test's own to the store at `where`, beside the program's.
QSqlDatabase rawConnection(const Location& where, const QString& name) {
    QSqlDatabase db = QSqlDatabase::addDatabase(where.isServer() ? "QPSQL" : "QSQLITE", name);
    if (where.isServer()) {
        db.setHostName(where.host);
        db.setPort(where.port);
        db.setUserName(where.user);
        db.setDatabaseName(where.dbname);
    } else {
        db.setDatabaseName(where.path);
    }
    return db;
}

// Writes `rows` in a few large statements (the store's own write takes a transaction a
// row).
void bulkInsert(const QString& uri, const std::vector<UpdateRecord>& rows) {
    QString error;
    const auto where = ParseLocation(uri, error);
    ASSERT_TRUE(where) << error.toStdString();
    {
        QSqlDatabase db = rawConnection(*where, "bulk");
        ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
        QStringList columns;
        for (const RecordField& f : RecordFields()) {
            columns << f.column;
        }
        const QString one = "(" + QStringList(columns.size(), "?").join(", ") + ")";
        // SQLite parses many placeholders slowly: a row a statement, prepared once.
        const std::size_t batch = where->isServer() ? 500 : 1;
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("BEGIN"));
        for (std::size_t at = 0; at < rows.size(); at += batch) {
            const std::size_t n = std::min<std::size_t>(batch, rows.size() - at);
            if (at == 0 || n != batch) {
                q.prepare("INSERT INTO updates (" + columns.join(", ") + ") VALUES " +
                          QStringList(static_cast<qsizetype>(n), one).join(", "));
            }
            for (std::size_t i = at; i < at + n; ++i) {
                for (const RecordField& f : RecordFields()) {
                    QVariant v = f.get(rows[i]);
                    if (f.type == FieldType::Time && !v.isNull()) {
                        v = UtcText(v.toDateTime());
                    }
                    q.addBindValue(v);
                }
            }
            ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
        }
        ASSERT_TRUE(q.exec("COMMIT"));
        ASSERT_TRUE(q.exec(where->isServer() ? "ANALYZE updates" : "ANALYZE"));
    }
    QSqlDatabase::removeDatabase("bulk");
}

// Newest first, as the questions answer: by start, then id.
bool newerFirst(const UpdateRecord& a, const UpdateRecord& b) {
    const QString sa = UtcText(a.start), sb = UtcText(b.start);
    return sa != sb ? sa > sb : a.id > b.id;
}

// The shapes of the questions the report, the page and the line ask.
std::vector<std::pair<const char*, RecordFilter>> shapes(const QDateTime& now) {
    RecordFilter serial, station, failures, ok, slot, window, cursor, serialCursor;
    serial.serial = "U-4242";
    station.station = "st-1";
    station.since = now.addDays(-1);
    failures.station = "st-2";
    failures.result = kFailuresGroup;
    failures.since = now.addDays(-1);
    ok.result = "ok";
    slot.station = "st-0";
    slot.slot = "S3";
    window.since = now.addDays(-8);
    window.until = now.addDays(-7);
    cursor.beforeStart = now.addDays(-10);
    cursor.beforeId = "00000000-0000-4000-8000-000000050000";
    serialCursor = serial;
    serialCursor.beforeStart = now.addDays(-3);
    serialCursor.beforeId = "z";
    return {{"newest", {}},          {"serial", serial}, {"station since", station},
            {"failures", failures},  {"result", ok},     {"slot", slot},
            {"since until", window}, {"cursor", cursor}, {"serial cursor", serialCursor}};
}

QStringList planOf(const QString& uri, const Question& question, bool postgres) {
    QStringList plan;
    QString error;
    const auto where = ParseLocation(uri, error);
    {
        QSqlDatabase db = rawConnection(*where, "plan");
        EXPECT_TRUE(db.open());
        QSqlQuery q(db);
        if (postgres) {
            // A utility statement takes no parameters: the values go in as literals,
            // which plans the statement as its first executions are planned.
            QString sql = question.sql;
            for (const QVariant& v : question.values) {
                sql.replace(sql.indexOf('?'), 1, "'" + v.toString().replace("'", "''") + "'");
            }
            EXPECT_TRUE(q.exec("EXPLAIN (FORMAT JSON) " + sql))
                << q.lastError().text().toStdString();
        } else {
            q.prepare("EXPLAIN QUERY PLAN " + question.sql);
            for (const QVariant& v : question.values) {
                q.addBindValue(v);
            }
            EXPECT_TRUE(q.exec()) << q.lastError().text().toStdString();
        }
        while (q.next()) {
            plan << q.value(postgres ? 0 : 3).toString();
        }
    }
    QSqlDatabase::removeDatabase("plan");
    return plan;
}

// No node of a PostgreSQL plan reads the table updates through.
bool noSeqScan(const QJsonValue& node) {
    if (node.isArray()) {
        const QJsonArray a = node.toArray();
        return std::all_of(a.begin(), a.end(), noSeqScan);
    }
    if (!node.isObject()) {
        return true;
    }
    const QJsonObject o = node.toObject();
    if (o.value("Node Type") == "Seq Scan" && o.value("Relation Name") == "updates") {
        return false;
    }
    return std::all_of(o.begin(), o.end(), [](const QJsonValue& v) { return noSeqScan(v); });
}

// The store of each back end, made once for its tests.
struct Store {
    Server pg;
    QTemporaryDir dir;
    QString uri;
    QDateTime now = QDateTime::fromString("2026-12-10T12:00:00.000Z", Qt::ISODateWithMs);
    std::vector<UpdateRecord> rows; // newest first
};

class History : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        postgres_ = GetParam();
        static std::map<bool, std::unique_ptr<Store>> stores;
        auto& store = stores[postgres_];
        if (!store) {
            auto made = std::make_unique<Store>();
            if (postgres_) {
                ASSERT_TRUE(made->pg.up());
                made->pg.create("history");
                made->uri = made->pg.uri("history");
            } else {
                made->uri = made->dir.filePath("history.sqlite");
            }
            RecordStore schema;
            QString error;
            ASSERT_TRUE(schema.open(made->uri, error)) << error.toStdString();
            made->rows = lineHistory(kRows, made->now);
            bulkInsert(made->uri, made->rows);
            std::sort(made->rows.begin(), made->rows.end(), newerFirst);
            store = std::move(made);
        }
        uri_ = store->uri;
        now_ = store->now;
        rows_ = &store->rows;
    }

    bool postgres_ = false;
    QString uri_;
    QDateTime now_;
    const std::vector<UpdateRecord>* rows_ = nullptr;
};

TEST_P(History, EveryQuestionIsAnsweredFromAnIndex) {
    std::vector<std::pair<QString, Question>> questions;
    for (const auto& [name, f] : shapes(now_)) {
        questions.emplace_back(QString(name) + " (rows)", SelectQuestion(f, 500));
        questions.emplace_back(QString(name) + " (count)", CountQuestion(f, kCountBound));
    }
    questions.emplace_back("station counts", StationCountsQuestion("st-1", now_.addDays(-1)));
    questions.emplace_back("busy slots", BusySlotsQuestion("st-1", now_.addDays(-1)));
    for (const auto& [name, question] : questions) {
        const QStringList plan = planOf(uri_, question, postgres_);
        ASSERT_FALSE(plan.isEmpty()) << name.toStdString();
        if (postgres_) {
            EXPECT_TRUE(noSeqScan(QJsonDocument::fromJson(plan.join("").toUtf8()).array()))
                << name.toStdString() << ": " << plan.join("").toStdString();
            continue;
        }
        for (const QString& step : plan) {
            // Every step on the table goes through one of its indexes.
            if (step.contains(" updates")) {
                EXPECT_TRUE(step.contains("INDEX"))
                    << name.toStdString() << ": " << plan.join(" | ").toStdString();
            }
        }
    }
}

TEST_P(History, PagesMatchAPlainFilterWhileRowsAreWritten) {
    RecordStore reader, writer;
    QString error;
    ASSERT_TRUE(reader.open(uri_, error, false)) << error.toStdString();
    ASSERT_TRUE(writer.open(uri_, error)) << error.toStdString();
    std::vector<UpdateRecord> fresh;
    for (const auto& [name, shape] : shapes(now_)) {
        std::vector<UpdateRecord> want;
        for (const UpdateRecord& r : *rows_) {
            if (shape.matches(r)) {
                want.push_back(r);
            }
        }
        // Page after page through the cursor, a new row written before each: the new
        // rows are newer than every page and never enter one.
        std::vector<QString> got;
        RecordFilter f = shape;
        for (int page = 0; page < 400; ++page) {
            UpdateRecord r;
            r.start = now_.addSecs(60 + static_cast<int>(fresh.size()));
            r.host = "host";
            r.station = "st-1";
            r.serial = "U-4242";
            r.result = Result::Ok;
            ASSERT_TRUE(writer.write(r, error)) << error.toStdString();
            fresh.push_back(r);
            int n = 0;
            UpdateRecord last;
            ASSERT_TRUE(reader.select(
                f, 997,
                [&](const UpdateRecord& r) {
                    got.push_back(r.id);
                    last = r;
                    return ++n > 0;
                },
                error))
                << name << ": " << error.toStdString();
            if (n < 997) {
                break;
            }
            ASSERT_TRUE(ParseCursor(CursorAfter(last), f));
        }
        // The new rows come first, in the pages begun after them; no old row is lost
        // or seen twice.
        std::erase_if(got, [](const QString& id) { return !id.startsWith("00000000-"); });
        ASSERT_EQ(got.size(), want.size()) << name;
        for (std::size_t i = 0; i < want.size(); ++i) {
            ASSERT_EQ(got[i], want[i].id) << name << " at " << i;
        }
        const auto all = static_cast<int>(
            want.size() + std::count_if(fresh.begin(), fresh.end(),
                                        [&](const UpdateRecord& r) { return shape.matches(r); }));
        EXPECT_EQ(reader.count(shape, kCountBound, error), std::min(all, kCountBound + 1)) << name;
    }
}

TEST_P(History, AQuestionOverItsTimeLimitEndsWithItsReason) {
    RecordStore store;
    QString error;
    ASSERT_TRUE(store.open(uri_, error, false)) << error.toStdString();
    // A count of every row reads 100,000 index entries: far more than a millisecond's
    // work on any machine.
    store.setTimeLimit(1);
    EXPECT_EQ(store.count({}, kRows * 2, error), -1);
    EXPECT_EQ(error, kQueryTooLong);
    store.setTimeLimit(0);
    EXPECT_GE(store.count({}, kRows * 2, error), kRows) << error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Backends, History, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

// A store of the last release's schema (2), with rows, is upgraded in one transaction:
// its rows kept, its questions' indexes made.
TEST(HistorySchema, AStoreOfSchema2IsUpgradedWithItsRows) {
    QTemporaryDir dir;
    const QString path = dir.filePath("v2.sqlite");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "v2");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const char* sql :
             {"CREATE TABLE updates (id TEXT PRIMARY KEY NOT NULL, started_utc TEXT NOT NULL,"
              " ended_utc TEXT, host TEXT NOT NULL, slot TEXT, port TEXT, serial TEXT,"
              " identity TEXT, unit_type INTEGER, image_pair INTEGER, mcu_sha256 TEXT,"
              " dsp_sha256 TEXT, result TEXT NOT NULL, message TEXT, exit_status INTEGER,"
              " identity_query_s REAL, restart_to_boot_loader_s REAL, boot_loader_s REAL,"
              " restart_to_application_s REAL, dsp_download_s REAL, station TEXT)",
              "CREATE TABLE stations (name TEXT PRIMARY KEY NOT NULL, host TEXT NOT NULL,"
              " version TEXT, slots TEXT, started_utc TEXT, heartbeat_utc TEXT)",
              "CREATE INDEX updates_serial ON updates (serial)",
              "CREATE INDEX updates_started ON updates (started_utc)",
              "INSERT INTO updates (id, started_utc, host, serial, result, station) VALUES"
              " ('a', '2026-01-01T00:00:00.000Z', 'h', 'U-1', 'ok', 'st'),"
              " ('b', '2026-01-02T00:00:00.000Z', 'h', 'U-1', 'unit lost', 'st')",
              "PRAGMA user_version=2"}) {
            ASSERT_TRUE(q.exec(sql)) << sql;
        }
    }
    QSqlDatabase::removeDatabase("v2");
    RecordStore store;
    QString error;
    QStringList said;
    ASSERT_TRUE(store.open(*ParseLocation(path, error), error, true, [&said](const QString& text) {
        said << text;
    })) << error.toStdString();
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said[0].contains("from schema 2 to 3")) << said[0].toStdString();
    RecordFilter f;
    f.serial = "U-1";
    std::vector<QString> ids;
    ASSERT_TRUE(store.select(
        f, 0,
        [&ids](const UpdateRecord& r) {
            ids.push_back(r.id);
            return true;
        },
        error));
    EXPECT_EQ(ids, (std::vector<QString>{"b", "a"}));
    const QStringList plan = planOf(path, SelectQuestion(f, 10), false);
    EXPECT_TRUE(plan.join(" ").contains("updates_serial_started")) << plan.join(" ").toStdString();
}

} // namespace
