// trm415-station as a program on simulated slots, and the records it and trm415-run
// write: every unit's row with its fields, a fault or a killed runner kept to its own
// slot, SIGTERM letting the updates under way finish, several writers at once and
// SIGKILL at any moment leaving every row whole.
#include "runner/Records.h"
#include "sim/Replay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

using namespace trm::runner;

namespace {

constexpr int kDeadlineMs = 240000;
// The simulated boot loader answers right at each step's delay: the shortest update.
const char* const kFast = "margin=0";

// One program run, its JSON lines read as they come.
class Program {
public:
    Program(const char* program, const QStringList& args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p_.setProcessEnvironment(env);
        p_.start(program, args);
    }
    ~Program() {
        if (p_.state() != QProcess::NotRunning) {
            p_.kill();
            p_.waitForFinished();
        }
    }
    // Reads until `done` holds for the lines so far, or the program has ended.
    bool waitUntil(const std::function<bool()>& done, int ms = kDeadlineMs) {
        QDeadlineTimer deadline(ms);
        while (!done()) {
            if (deadline.hasExpired() ||
                (p_.state() == QProcess::NotRunning && !p_.canReadLine())) {
                return false;
            }
            p_.waitForReadyRead(100);
            readLines();
        }
        return true;
    }
    // The exit status; -1 when it did not exit normally in time.
    int finish(int ms = kDeadlineMs) {
        if (!p_.waitForFinished(ms)) {
            return -1;
        }
        readLines();
        err += p_.readAllStandardError();
        return p_.exitStatus() == QProcess::NormalExit ? p_.exitCode() : -1;
    }
    void signal(int n) { ::kill(static_cast<pid_t>(p_.processId()), n); }

    // Events named `name` (and for slot `slot`, when given).
    std::vector<QJsonObject> events(const QString& name, const QString& slot = {}) const {
        std::vector<QJsonObject> out;
        for (const QJsonObject& o : lines) {
            if (o["event"].toString() == name && (slot.isEmpty() || o["slot"].toString() == slot)) {
                out.push_back(o);
            }
        }
        return out;
    }
    std::vector<QJsonObject> lines;
    QByteArray err;

private:
    void readLines() {
        while (p_.canReadLine()) {
            const QJsonDocument d = QJsonDocument::fromJson(p_.readLine().trimmed());
            if (d.isObject()) {
                lines.push_back(d.object());
            }
        }
    }
    QProcess p_;
};

std::vector<UpdateRecord> rowsOf(const QString& path) {
    RecordStore store;
    QString error;
    EXPECT_TRUE(store.open(path, error)) << error.toStdString();
    auto rows = store.all(error);
    EXPECT_TRUE(rows.has_value()) << error.toStdString();
    return rows ? *rows : std::vector<UpdateRecord>{};
}

QString integrity(const QString& path) {
    QString result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "integrity");
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec("PRAGMA integrity_check") && q.next()) {
                result = q.value(0).toString();
            }
        }
    }
    QSqlDatabase::removeDatabase("integrity");
    return result;
}

// The slot event that first shows slot `slot` in `phase`, or null.
bool inPhase(const Program& p, const QString& slot, const QString& phase, qint64* pid = nullptr) {
    for (const QJsonObject& o : p.events("slot", slot)) {
        if (o["phase"].toString() == phase) {
            if (pid != nullptr) {
                *pid = o["pid"].toInteger();
            }
            return true;
        }
    }
    return false;
}

} // namespace

TEST(Station, FourSlotsEightUnitsAllOkEachWithItsRow) {
    QTemporaryDir dir;
    const QString db = dir.filePath("records.sqlite");
    Program station(TRM_STATION_BIN,
                    {QString("--simulate=4:%1,serial=SN").arg(kFast), "--units=8",
                     "--records=" + db, "--record-dir=" + dir.filePath("recs"), "--json"});
    ASSERT_EQ(station.finish(), 0) << station.err.toStdString();
    const auto results = station.events("result");
    ASSERT_EQ(results.size(), 8u);
    std::map<QString, int> perSlot;
    for (const QJsonObject& r : results) {
        EXPECT_EQ(r["result"].toString(), "ok");
        perSlot[r["slot"].toString()] += 1;
    }
    EXPECT_EQ(perSlot, (std::map<QString, int>{{"S1", 2}, {"S2", 2}, {"S3", 2}, {"S4", 2}}));
    const auto totals = station.events("totals");
    ASSERT_EQ(totals.size(), 1u);
    EXPECT_EQ(totals[0]["ok"].toInt(), 8);

    const auto rows = rowsOf(db);
    ASSERT_EQ(rows.size(), 8u);
    std::set<QString> ids;
    for (const UpdateRecord& r : rows) {
        ids.insert(r.id);
        EXPECT_EQ(r.result, "ok");
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.port, "1-" + r.slot.mid(1));
        EXPECT_EQ(r.serial, "SN");
        EXPECT_EQ(r.identity, "TRM415 V0104P 20210630");
        EXPECT_EQ(r.unitType, 0x19);
        EXPECT_EQ(r.imagePair, 1);
        EXPECT_EQ(r.mcuSha256.size(), 64);
        EXPECT_EQ(r.dspSha256.size(), 64);
        EXPECT_EQ(r.message, " Program OK !! ");
        EXPECT_FALSE(r.host.isEmpty());
        EXPECT_LT(r.start, r.end);
        for (const char* phase : kRecordedPhases) {
            EXPECT_TRUE(r.durations.value(phase).isDouble()) << phase;
        }
    }
    EXPECT_EQ(ids.size(), 8u);

    Program report(TRM_STATION_BIN, {"--report=csv", "--records=" + db});
    ASSERT_EQ(report.finish(), 0);

    // One whole recording per unit.
    const QFileInfoList recordings = QDir(dir.filePath("recs")).entryInfoList({"S*.jsonl"});
    ASSERT_EQ(recordings.size(), 8);
    for (const QFileInfo& r : recordings) {
        QFile f(r.filePath());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
        EXPECT_TRUE(lines.last().contains("\"type\":\"end\"")) << r.fileName().toStdString();
    }
}

// Slot 2's unit answers a wrong sum and slot 3's runner is killed mid-update: each is
// reported for its own slot, and slot 1's unit is updated all the same.
TEST(Station, AFaultAndAKilledRunnerStayInTheirSlots) {
    QTemporaryDir dir;
    const QString db = dir.filePath("records.sqlite");
    Program station(TRM_STATION_BIN,
                    {QString("--simulate=3:%1").arg(kFast), "--units=3",
                     "--simulate-slot=2:wrong-sum=start-program", "--records=" + db, "--json"});
    qint64 pid = 0;
    ASSERT_TRUE(station.waitUntil([&] { return inPhase(station, "S3", "boot-loader", &pid); }));
    ASSERT_GT(pid, 0);
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    ASSERT_EQ(station.finish(), 1) << station.err.toStdString();

    std::map<QString, QJsonObject> result;
    for (const QJsonObject& r : station.events("result")) {
        result[r["slot"].toString()] = r;
    }
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result["S1"]["result"].toString(), "ok");
    EXPECT_EQ(result["S2"]["result"].toString(), "boot-loader error");
    EXPECT_EQ(result["S2"]["exit_status"].toInt(), 4);
    EXPECT_EQ(result["S3"]["result"].toString(), "unit lost");
    EXPECT_TRUE(result["S3"]["message"].toString().contains("signal 9"))
        << result["S3"]["message"].toString().toStdString();

    const auto rows = rowsOf(db);
    ASSERT_EQ(rows.size(), 3u);
    for (const UpdateRecord& r : rows) {
        EXPECT_EQ(r.result, result[r.slot]["result"].toString()) << r.slot.toStdString();
        EXPECT_TRUE(r.end.isValid());
    }
}

// SIGTERM while two units are being updated: both finish ok, no further unit starts.
TEST(Station, SigtermLetsTheUpdatesUnderWayFinish) {
    QTemporaryDir dir;
    const QString db = dir.filePath("records.sqlite");
    Program station(TRM_STATION_BIN, {QString("--simulate=2:%1").arg(kFast), "--units=10",
                                      "--records=" + db, "--json"});
    ASSERT_TRUE(station.waitUntil([&] {
        return inPhase(station, "S1", "boot-loader") && inPhase(station, "S2", "boot-loader");
    }));
    station.signal(SIGTERM);
    ASSERT_EQ(station.finish(), 0) << station.err.toStdString();
    const auto results = station.events("result");
    ASSERT_EQ(results.size(), 2u);
    for (const QJsonObject& r : results) {
        EXPECT_EQ(r["result"].toString(), "ok");
    }
    bool draining = false;
    for (const QJsonObject& o : station.events("station")) {
        draining = draining || o["draining"].toBool();
    }
    EXPECT_TRUE(draining);
    EXPECT_EQ(rowsOf(db).size(), 2u);
}

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
        refused += r.result == "refused" && r.exitStatus == 3 && r.end.isValid();
        unfinished += r.result == kUnfinished && r.port == "2-1" && !r.end.isValid();
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
        EXPECT_EQ(r.result, kUnfinished);
    }
    EXPECT_EQ(integrity(stationDb), "ok");
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
}
