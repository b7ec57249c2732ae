// The records trm415-run and trm415-station write: several writers at once and SIGKILL
// at any moment leave every row whole; a database that cannot be used is refused.
#include "records/RecordFields.h"
#include "records/Schema.h"
#include "sim/Replay.h"
#include "tests/support/Programs.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace trm::testing;
// Six runners writing at once lose no row; a runner and a station killed with SIGKILL
// mid-update leave the database intact, their rows begun and marked unfinished.
TEST(Records, ConcurrentWritersAndKillsLeaveEveryRowWhole) {
    QTemporaryDir dir;
    const QString db = dir.filePath("records.sqlite");
    {
        std::vector<std::unique_ptr<Program>> runners;
        for (int i = 0; i < 6; ++i) {
            runners.push_back(std::make_unique<Program>(
                TRM_RUNNER_BIN, QStringList{QString("--simulate=type=0x18,port=1-%1").arg(i + 1),
                                            "--records=" + db, "--json"}));
        }
        Program killed(TRM_RUNNER_BIN,
                       {QString("--simulate=%1,port=2-1").arg(kFast), "--records=" + db,
                        "--record=" + dir.filePath("killed.jsonl"), "--json"});
        for (auto& r : runners) {
            EXPECT_EQ(r->finish(), 3) << r->err.toStdString(); // refused: the wrong type
        }
        ASSERT_TRUE(killed.waitUntil([&] { return !killed.events("progress").empty(); }));
        killed.signal(SIGKILL);
        EXPECT_EQ(killed.finish(), -1);
    }
    const auto rows = rowsOf(db);
    ASSERT_EQ(rows.size(), 7u);
    int refused = 0, unfinished = 0;
    for (const UpdateRecord& r : rows) {
        refused += r.result == Result::Refused && r.exitStatus == 3 && r.end.isValid();
        unfinished += r.result == Result::Unfinished && r.port == "2-1" && !r.end.isValid();
    }
    EXPECT_EQ(refused, 6);
    EXPECT_EQ(unfinished, 1);
    EXPECT_EQ(integrity(db), "ok");
    // Its recording, written as it went, reads up to the kill.
    trm::sim::Recording recording;
    const auto bad = trm::sim::LoadRecording(dir.filePath("killed.jsonl").toStdString(), recording);
    EXPECT_FALSE(bad.has_value()) << *bad;
    EXPECT_FALSE(recording.complete);
    EXPECT_GT(recording.events.size(), 100u);

    const QString stationDb = dir.filePath("station.sqlite");
    std::vector<qint64> orphans;
    {
        Program station(TRM_STATION_BIN, {QString("--simulate=2:%1").arg(kFast), "--units=2",
                                          "--records=" + stationDb, "--json"});
        qint64 a = 0, b = 0;
        ASSERT_TRUE(station.waitUntil([&] {
            return inPhase(station, "S1", "boot-loader", &a) &&
                   inPhase(station, "S2", "boot-loader", &b);
        }));
        orphans = {a, b};
        station.signal(SIGKILL);
        EXPECT_EQ(station.finish(), -1);
    }
    for (qint64 pid : orphans) {
        ::kill(static_cast<pid_t>(pid), SIGKILL); // the runners go on without it
    }
    const auto stationRows = rowsOf(stationDb);
    ASSERT_EQ(stationRows.size(), 2u);
    for (const UpdateRecord& r : stationRows) {
        EXPECT_EQ(r.result, Result::Unfinished);
    }
    EXPECT_EQ(integrity(stationDb), "ok");
    // The station's next start on the same host and records closes them.
    Program next(TRM_STATION_BIN,
                 {QString("--simulate=1:%1").arg(kFast), "--records=" + stationDb, "--json"});
    ASSERT_TRUE(next.waitUntil([&] { return !next.events("slot").empty(); }));
    signalTwice(next);
    next.finish();
    int closed = 0;
    for (const UpdateRecord& r : rowsOf(stationDb)) {
        closed += r.result == Result::InterruptedStationStopped;
    }
    EXPECT_EQ(closed, 2);
}

// A database that cannot be used is refused at the start: by the store, and by the
// station, which then updates nothing.
TEST(Records, AnUnusableDatabaseIsRefused) {
    QTemporaryDir dir;
    RecordStore store;
    QString error;
    EXPECT_FALSE(store.open(dir.filePath("no/such/dir/records.sqlite"), error));
    EXPECT_FALSE(error.isEmpty());

    const QString newer = dir.filePath("newer.sqlite");
    {
        RecordStore s;
        ASSERT_TRUE(s.open(newer, error)) << error.toStdString();
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(newer);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec(QString("PRAGMA user_version=%1").arg(kRecordsSchema + 1));
    }
    QSqlDatabase::removeDatabase("newer");
    RecordStore later;
    EXPECT_FALSE(later.open(newer, error));
    EXPECT_TRUE(error.contains("newer")) << error.toStdString();

    Program station(TRM_STATION_BIN, {"--simulate=1", "--records=" + newer, "--json"});
    EXPECT_EQ(station.finish(), 2);
    EXPECT_TRUE(station.events("slot").empty());
    EXPECT_TRUE(station.err.contains("cannot use the records database"));

    // A report reads; it never creates a database, and a missing folder is named.
    const QString missing = dir.filePath("none.sqlite");
    Program report(TRM_STATION_BIN, {"--report", "--records=" + missing});
    EXPECT_EQ(report.finish(), 2);
    EXPECT_FALSE(QFileInfo::exists(missing));
    EXPECT_TRUE(report.err.contains(missing.toUtf8())) << report.err.toStdString();
    Program noFolder(TRM_STATION_BIN, {"--simulate=1", "--records=" + dir.filePath("no/dir/x")});
    EXPECT_EQ(noFolder.finish(), 2);
    EXPECT_TRUE(noFolder.err.contains(dir.filePath("no/dir").toUtf8()))
        << noFolder.err.toStdString();
}

// A records file of the last release (schema 1) opens and is upgraded in place: its rows
// kept, the station's column and table added, the version raised.
TEST(Records, ALastReleaseDatabaseIsUpgradedWithItsRows) {
    QTemporaryDir dir;
    const QString path = dir.filePath("v1.sqlite");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "v1");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("CREATE TABLE updates (id TEXT PRIMARY KEY NOT NULL, started_utc TEXT "
                           "NOT NULL, ended_utc TEXT, host TEXT NOT NULL, slot TEXT, port TEXT, "
                           "serial TEXT, identity TEXT, unit_type INTEGER, image_pair INTEGER, "
                           "mcu_sha256 TEXT, dsp_sha256 TEXT, result TEXT NOT NULL, message "
                           "TEXT, exit_status INTEGER, identity_query_s REAL, "
                           "restart_to_boot_loader_s REAL, boot_loader_s REAL, "
                           "restart_to_application_s REAL, dsp_download_s REAL)"));
        ASSERT_TRUE(q.exec("INSERT INTO updates (id, started_utc, host, slot, serial, result, "
                           "exit_status, boot_loader_s) VALUES ('old-1', "
                           "'2026-11-02T08:00:00.000Z', 'bench', 'A', 'SN-1', 'ok', 0, 33.1)"));
        ASSERT_TRUE(q.exec("PRAGMA user_version=1"));
    }
    QSqlDatabase::removeDatabase("v1");
    const auto rows = rowsOf(path);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].id, "old-1");
    EXPECT_EQ(rows[0].serial, "SN-1");
    EXPECT_EQ(rows[0].station, "");
    EXPECT_DOUBLE_EQ(rows[0].durations["boot-loader"].toDouble(), 33.1);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "v2");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("PRAGMA user_version") && q.next());
        EXPECT_EQ(q.value(0).toInt(), kRecordsSchema);
        EXPECT_TRUE(q.exec("SELECT name FROM stations"));
    }
    QSqlDatabase::removeDatabase("v2");
    // A new row beside the old one carries its station.
    RecordStore store;
    QString error;
    ASSERT_TRUE(store.open(path, error)) << error.toStdString();
    UpdateRecord r;
    r.start = QDateTime::currentDateTimeUtc();
    r.host = "bench";
    r.station = "st-1";
    ASSERT_TRUE(store.write(r, error)) << error.toStdString();
    EXPECT_EQ(rowsOf(path).back().station, "st-1");
}

// Every field of the table reaches each form and comes back: the spool's JSON, a row
// written and read through SQL, and the CSV (a column each, in the header's order).
TEST(Records, EveryFieldSurvivesJsonSqlAndCsv) {
    using namespace trm::records;
    UpdateRecord r;
    r.id = "0f6c1f5e-1111-4222-8333-944455556666";
    r.start = QDateTime::fromString("2026-12-09T14:00:00.125Z", Qt::ISODateWithMs);
    r.end = r.start.addMSecs(35250);
    r.host = "host-1";
    r.station = "st-1";
    r.slot = "S2";
    r.port = "1-2";
    r.serial = "U-7, \"quoted\"";
    r.identity = "TRM415 V0104P 20210630";
    r.unitType = 0x19;
    r.imagePair = 1;
    r.mcuSha256 = "aa";
    r.dspSha256 = "bb";
    r.result = Result::BootLoaderError;
    r.message = "ISP Sync Error !!";
    r.exitStatus = 4;
    for (int i = 0; i < static_cast<int>(std::size(kRecordedPhases)); ++i) {
        r.durations.insert(kRecordedPhases[i], 0.5 + i);
    }
    auto same = [&r](const UpdateRecord& b) {
        for (const RecordField& f : RecordFields()) {
            EXPECT_EQ(f.get(r), f.get(b)) << f.column;
        }
    };
    const auto back = RecordFromJson(RecordJson(r));
    ASSERT_TRUE(back);
    same(*back);
    EXPECT_DOUBLE_EQ(RecordJson(r)["duration_s"].toDouble(), 35.3);

    QTemporaryDir dir;
    const QString path = dir.filePath("fields.sqlite");
    {
        RecordStore store;
        QString error;
        ASSERT_TRUE(store.open(path, error)) << error.toStdString();
        ASSERT_TRUE(store.write(r, error)) << error.toStdString();
    }
    const auto rows = rowsOf(path);
    ASSERT_EQ(rows.size(), 1u);
    same(rows[0]);

    const QStringList header = QString::fromUtf8(CsvHeader()).split(',');
    EXPECT_EQ(header.size(), static_cast<qsizetype>(RecordFields().size()));
    EXPECT_EQ(header.first(), "id");
    const QString row = QString::fromUtf8(CsvRow(r));
    EXPECT_TRUE(
        row.startsWith(r.id + ",2026-12-09T14:00:00.125Z,2026-12-09T14:00:35.375Z,host-1,st-1,"));
    EXPECT_TRUE(row.contains(",\"U-7, \"\"quoted\"\"\","));
    EXPECT_TRUE(
        row.endsWith(",boot-loader error,ISP Sync Error !!,4,0.500,1.500,2.500,3.500,4.500"));
}

// A records file its reader may read but not write (nor its folder) is reported on: in
// WAL mode, with no -wal left, the file alone is the whole database.
TEST(Records, AReportNeedsOnlyReadAccess) {
    if (::getuid() != 0) {
        GTEST_SKIP() << "needs root to run the report as another user";
    }
    QTemporaryDir dir;
    const QString path = dir.filePath("records.sqlite");
    {
        trm::records::RecordStore store;
        QString error;
        ASSERT_TRUE(store.open(path, error)) << error.toStdString();
        trm::records::UpdateRecord r;
        r.start = QDateTime::currentDateTimeUtc();
        r.host = "h";
        r.serial = "U-77";
        r.result = Result::Ok;
        ASSERT_TRUE(store.write(r, error)) << error.toStdString();
    }
    ASSERT_FALSE(QFileInfo::exists(path + "-wal"));
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                          QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    QProcess p;
    p.start("runuser", {"-u", "nobody", "--", TRM_STATION_BIN, "--report", "--records=" + path});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("U-77")) << out.toStdString();
    EXPECT_TRUE(out.contains("1 updates: ok 1")) << out.toStdString();
}

// What a unit reports is text in every file and on every terminal: a serial that a
// spreadsheet would run is prefixed with ', one with a line break or a bare carriage
// return stays one field (Python's csv module reads every row whole), and the text
// report shows control characters as visible escapes, one line a row.
TEST(Records, HostileSerialsStayTextInCsvAndOnTheTerminal) {
    const QStringList serials{
        "=1+2",          "+SUM(A1)",    "-2+3",     "@cmd",   "\tTAB",
        "\rCR",          "line\nbreak", "bare\rcr", "a,b\"c", "\x1b]0;owned\x07",
        "\x1b[2J-clear", "plain"};
    QTemporaryDir dir;
    const QString path = dir.filePath("hostile.sqlite");
    {
        trm::records::RecordStore store;
        QString error;
        ASSERT_TRUE(store.open(path, error)) << error.toStdString();
        for (const QString& serial : serials) {
            trm::records::UpdateRecord r;
            r.start = QDateTime::currentDateTimeUtc();
            r.host = "h";
            r.serial = serial;
            r.identity = serial;
            r.result = Result::UnitLost;
            r.message = serial;
            ASSERT_TRUE(store.write(r, error)) << error.toStdString();
        }
    }
    Program csv(TRM_STATION_BIN, {"--report=csv", "--records=" + path});
    ASSERT_EQ(csv.finish(), 0) << csv.err.toStdString();
    QProcess python;
    python.start("/usr/bin/python3",
                 {"-c", "import csv, sys\n"
                        "rows = list(csv.reader(sys.stdin))\n"
                        "assert all(len(r) == len(rows[0]) for r in rows), rows\n"
                        "for r in rows[1:]:\n"
                        "    s = r[rows[0].index('serial')]\n"
                        "    assert s[:1] not in ('=', '+', '-', '@', '\\t', '\\r'), s\n"
                        "print(len(rows) - 1)\n"});
    python.write(csv.out);
    python.closeWriteChannel();
    ASSERT_TRUE(python.waitForFinished(60000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    EXPECT_EQ(python.readAllStandardOutput().trimmed().toInt(), serials.size());

    Program text(TRM_STATION_BIN, {"--report", "--records=" + path});
    ASSERT_EQ(text.finish(), 0) << text.err.toStdString();
    EXPECT_FALSE(text.out.contains('\x1b'));
    EXPECT_FALSE(text.out.contains('\x07'));
    EXPECT_FALSE(text.out.contains('\r'));
    EXPECT_TRUE(text.out.contains("\\x1b]0;owned\\x07")) << text.out.toStdString();
    // A header, a row and its message for each, the totals.
    EXPECT_EQ(text.out.trimmed().split('\n').size(), 1 + 2 * serials.size() + 1)
        << text.out.toStdString();
}

// The same serials as units report them: the station's lines, the runner's and the log
// file (a hook's output among it) stay one line an event, with no control character.
TEST(Records, HostileSerialsStayOneLineOnTheTerminalAndInTheLog) {
    const QStringList serials{"\x1b]0;owned\x07", "line\nbreak", "\x1b[2J-clear", "bare\rcr"};
    QTemporaryDir dir;
    QStringList args{QString("--simulate=%1:%2").arg(serials.size()).arg(kFast),
                     QString("--units=%1").arg(serials.size()),
                     "--records=" + dir.filePath("r.sqlite"),
                     "--state-dir=" + dir.path(),
                     "--log=" + dir.filePath("station.log"),
                     "--no-bell",
                     "--on-result=/usr/bin/printenv TRM_SERIAL"};
    for (int i = 0; i < serials.size(); ++i) {
        args << QString("--simulate-slot=%1:serial=%2").arg(i + 1).arg(serials[i]);
    }
    Program station(TRM_STATION_BIN, args);
    ASSERT_EQ(station.finish(), 0) << station.err.toStdString();
    Program runner(TRM_RUNNER_BIN, {QString("--simulate=%1,serial=%2").arg(kFast, serials[0]),
                                    "--log=" + dir.filePath("runner.log")});
    ASSERT_EQ(runner.finish(), 0) << runner.err.toStdString();
    QFile stationLog(dir.filePath("station.log"));
    QFile runnerLog(dir.filePath("runner.log"));
    ASSERT_TRUE(stationLog.open(QIODevice::ReadOnly) && runnerLog.open(QIODevice::ReadOnly));
    const QByteArray logs = stationLog.readAll() + runnerLog.readAll();
    for (const QByteArray& text : {station.out, station.err, runner.out, runner.err, logs}) {
        for (const char c : {'\x1b', '\x07', '\r'}) {
            EXPECT_FALSE(text.contains(c)) << text.toStdString();
        }
    }
    // Every line of the logs is one event, with its time; each of the hook's lines names
    // the hook and the slot.
    int hookLines = 0;
    for (const QByteArray& line : logs.trimmed().split('\n')) {
        EXPECT_TRUE(
            QDateTime::fromString(QString::fromUtf8(line.left(24)), Qt::ISODateWithMs).isValid())
            << line.toStdString();
        if (line.contains("said:")) {
            ++hookLines;
            EXPECT_TRUE(line.contains("hook result (/usr/bin/printenv TRM_SERIAL) for slot S"))
                << line.toStdString();
        }
    }
    EXPECT_EQ(hookLines, serials.size() + 1); // "line" and "break" apart
    EXPECT_TRUE(logs.contains("said: \\x1b]0;owned\\x07")) << logs.toStdString();
    EXPECT_TRUE(runner.out.contains("serial \\x1b]0;owned\\x07")) << runner.out.toStdString();
}

// Wherever the store is named, its parameters' values are left out; the spool still
// tells one server from another by the whole URI.
TEST(Records, AStoreIsShownWithoutItsParametersValues) {
    QString error;
    const auto a = trm::records::ParseLocation(
        "postgresql://line@db.example:5433/line3?sslmode=verify-full&sslrootcert=/etc/ca.pem",
        error);
    const auto b = trm::records::ParseLocation(
        "postgresql://line@db.example:5433/line3?sslmode=verify-full&sslrootcert=/etc/other.pem",
        error);
    ASSERT_TRUE(a && b) << error.toStdString();
    EXPECT_EQ(a->display(), "postgresql://line@db.example:5433/line3?sslmode=...&sslrootcert=...");
    EXPECT_EQ(a->display(), b->display());
    EXPECT_NE(a->uri(), b->uri());
}

// Another program's SQLite file is refused before anything is written to it: the file
// stays the same byte for byte, with no -wal beside it. A file of the last releases
// (our tables, unmarked) is taken, and marked as ours.
TEST(Records, AnotherProgramsDatabaseIsLeftAsItIs) {
    QTemporaryDir dir;
    auto make = [&](const QString& name, const QString& sql) {
        const QString path = dir.filePath(name);
        QProcess sqlite;
        sqlite.start("sqlite3", {path, sql});
        EXPECT_TRUE(sqlite.waitForFinished(30000) && sqlite.exitCode() == 0) << name.toStdString();
        return path;
    };
    const QString theirs = "CREATE TABLE notes (t TEXT); INSERT INTO notes VALUES ('mine');";
    const std::vector<std::pair<QString, const char*>> foreign{
        {make("marked.db", "PRAGMA application_id = 305419896; " + theirs), "another program"},
        {make("unmarked.db", theirs), "not a trm415 records file"},
        {make("mixed.db", "CREATE TABLE updates (id TEXT); " + theirs), "not a trm415"},
        {make("newer.db", "CREATE TABLE updates (id TEXT); PRAGMA user_version = 99;"),
         "newer trm415"},
    };
    for (const auto& [path, says] : foreign) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray before = f.readAll();
        f.close();
        Program station(TRM_STATION_BIN, {QString("--simulate=1:%1").arg(kFast), "--units=1",
                                          "--records=" + path, "--json"});
        EXPECT_EQ(station.finish(), 2) << path.toStdString();
        EXPECT_TRUE(station.err.contains(says)) << station.err.toStdString();
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), before) << path.toStdString();
        EXPECT_FALSE(QFileInfo::exists(path + "-wal")) << path.toStdString();
    }
    // The last release's file: our schema, no mark.
    const QString older = dir.filePath("older.db");
    {
        trm::records::RecordStore store;
        QString error;
        ASSERT_TRUE(store.open(older, error)) << error.toStdString();
    }
    make("older.db", "PRAGMA application_id = 0;");
    {
        trm::records::RecordStore store;
        QString error;
        ASSERT_TRUE(store.open(older, error)) << error.toStdString();
    }
    QProcess id;
    id.start("sqlite3", {older, "PRAGMA application_id"});
    ASSERT_TRUE(id.waitForFinished(30000));
    EXPECT_EQ(id.readAllStandardOutput().trimmed().toInt(), trm::records::kApplicationId);
}
