// trm415-station as a program on simulated slots: every unit's row with its fields, a
// fault or a killed runner kept to its own slot (its threads on the CPU it was given),
// SIGTERM letting the updates under way finish.
#include "tests/support/Programs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <vector>

using namespace trm::testing;

namespace {

// A stand-in for the runner: it takes its settings when asked (--version), and at work
// runs `work`, a few lines of shell.
QString fakeRunner(const QTemporaryDir& dir, const QString& name, const char* work) {
    const QString path = dir.filePath(name);
    QFile script(path);
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QByteArray("#!/bin/sh\nfor a; do [ \"$a\" = --version ] && exit 0; done\n") +
                 work);
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

} // namespace

TEST(Station, FourSlotsEightUnitsAllOkEachWithItsRow) {
    QTemporaryDir dir;
    const QString db = dir.filePath("records.sqlite");
    Program station(TRM_STATION_BIN,
                    {QString("--simulate=4:%1,serial=SN").arg(kFast), "--units=8",
                     "--records=" + db, "--record-dir=" + dir.filePath("recs"), "--json",
                     "--log=" + dir.filePath("log"), "--on-start=/usr/bin/printenv TRM_SERIAL"});
    ASSERT_EQ(station.finish(), 0) << station.err.toStdString();
    const auto results = station.events("result");
    ASSERT_EQ(results.size(), 8u);
    // The start hook runs once the unit is known: its serial is set.
    QFile log(dir.filePath("log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll().count("(/usr/bin/printenv TRM_SERIAL) for slot S1 said: SN\n"), 2);
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
        EXPECT_EQ(r.result, Result::Ok);
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
    // The jig's hooks beside them: one that hangs when an update begins (killed after
    // its 10 s, without holding anything up), one that notes each result's environment.
    const QString hooks = dir.filePath("hooks");
    QDir().mkpath(hooks);
    Program station(
        TRM_STATION_BIN,
        {QString("--simulate=3:%1").arg(kFast), "--units=3",
         "--simulate-slot=2:wrong-sum=start-program", "--records=" + db, "--json",
         "--on-start=/bin/sleep 600",
         "--on-result=/bin/sh -c 'env | grep ^TRM_ | sort > \"$0/$TRM_SLOT\"' " + hooks});
    qint64 pid = 0;
    ASSERT_TRUE(station.waitUntil([&] { return inPhase(station, "S3", "boot-loader", &pid); }));
    ASSERT_GT(pid, 0);
    // Every thread of the runner (the window's, the reader, the link worker, the unit's)
    // runs on the one CPU the station gave it.
    QFile cmdline(QString("/proc/%1/cmdline").arg(pid));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    const QByteArrayList args = cmdline.readAll().split('\0');
    const auto cpuArg = std::find_if(args.begin(), args.end(),
                                     [](const QByteArray& a) { return a.startsWith("--cpu="); });
    ASSERT_NE(cpuArg, args.end());
    const QStringList tasks =
        QDir(QString("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    EXPECT_GE(tasks.size(), 4);
    for (const QString& task : tasks) {
        QFile status(QString("/proc/%1/task/%2/status").arg(pid).arg(task));
        ASSERT_TRUE(status.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(status.readAll());
        EXPECT_TRUE(text.contains("Cpus_allowed_list:\t" + cpuArg->mid(6) + "\n"))
            << task.toStdString() << ": " << text.toStdString();
    }
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
        EXPECT_EQ(ResultText(r.result), result[r.slot]["result"].toString())
            << r.slot.toStdString();
        EXPECT_TRUE(r.end.isValid());
        // The result hook saw this update.
        QFile f(QDir(hooks).filePath(r.slot));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << r.slot.toStdString();
        const QString env = QString::fromUtf8(f.readAll());
        for (const QString& line :
             QStringList{"TRM_EVENT=result", "TRM_SLOT=" + r.slot, "TRM_PORT=" + r.port,
                         "TRM_RESULT=" + ResultText(r.result), "TRM_RECORD_ID=" + r.id,
                         QString("TRM_EXIT_STATUS=%1").arg(r.exitStatus)}) {
            EXPECT_TRUE(env.contains(line + "\n")) << line.toStdString() << " in\n"
                                                   << env.toStdString();
        }
    }
    int killed = 0;
    for (const QJsonObject& o : station.events("station")) {
        killed += o["hook_problem"].toString().contains("killed: still running after 10 s");
    }
    EXPECT_EQ(killed, 3);
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

// SIGHUP: the update under way ends, then the station starts again in the same process
// with its configuration read anew (here: two slots instead of one); a configuration it
// cannot use is refused and the station goes on.
TEST(Station, SighupStartsAgainWithTheConfigurationReadAnew) {
    QTemporaryDir dir;
    const QString db = dir.filePath("records.sqlite");
    const QString conf = dir.filePath("station.conf");
    auto configure = [&](const QString& text) {
        QFile f(conf);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.toUtf8());
    };
    configure(QString("simulate = 1:%1\nunits = 5\nrecords = %2\n").arg(kFast, db));
    Program station(TRM_STATION_BIN, {"--config=" + conf, "--json"});
    ASSERT_TRUE(station.waitUntil([&] { return inPhase(station, "S1", "boot-loader"); }));
    // A bad line: the station says why and goes on with what it has.
    configure(QString("simulate = 2:%1\nunits = 3\nrecords = %2\nbogus = 1\n").arg(kFast, db));
    station.signal(SIGHUP);
    ASSERT_TRUE(station.waitUntil([&] {
        for (const QJsonObject& o : station.events("station")) {
            if (o["reload_error"].toString().contains("station.conf:4: 'bogus' is not a setting")) {
                return true;
            }
        }
        return false;
    }));
    configure(QString("simulate = 2:%1\nunits = 3\nrecords = %2\n").arg(kFast, db));
    station.signal(SIGHUP);
    ASSERT_EQ(station.finish(), 0) << station.err.toStdString();

    // Three units in all, those begun before the reload among them.
    const auto results = station.events("result");
    ASSERT_EQ(results.size(), 3u);
    for (const QJsonObject& r : results) {
        EXPECT_EQ(r["result"].toString(), "ok");
    }
    std::vector<int> slotCounts; // of each start
    for (const QJsonObject& o : station.events("station")) {
        if (o.contains("version")) {
            slotCounts.push_back(o["slots"].toInt());
        }
    }
    EXPECT_EQ(slotCounts, (std::vector<int>{1, 2}));
    EXPECT_GE(station.events("station").size(), 2u);
    int before = 0;
    for (const QJsonObject& o : station.events("station")) {
        before = std::max(before, o["units_before_reload"].toInt());
    }
    EXPECT_GE(before, 1);
    EXPECT_EQ(rowsOf(db).size(), 3u);
}

// A unit the second SIGTERM closes in the middle of its firmware is left in its boot
// loader: its slot and its row say so. Plugged in again (it is found in its boot
// loader), it is finished with image pair 1, and its two rows carry the same serial.
TEST(Station, AUnitClosedMidFirmwareFinishesOnItsNextPlugIn) {
    QTemporaryDir dir;
    const QString db = dir.filePath("records.sqlite");
    {
        Program station(TRM_STATION_BIN, {QString("--simulate=1:%1,serial=U-77").arg(kFast),
                                          "--records=" + db, "--json"});
        ASSERT_TRUE(station.waitUntil([&] {
            for (const QJsonObject& o : station.events("slot", "S1")) {
                if (o["phase"].toString() == "boot-loader" && o["percent"].toInt() >= 10) {
                    return true;
                }
            }
            return false;
        }));
        signalTwice(station);
        EXPECT_EQ(station.finish(), 1) << station.err.toStdString();
        const auto results = station.events("result", "S1");
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0]["result"].toString(), "interrupted");
        EXPECT_EQ(results[0]["message"].toString(), "left in its boot loader: plug it into any "
                                                    "slot to finish");
    }
    Program again(TRM_STATION_BIN, {QString("--simulate=1:%1,serial=U-77,update").arg(kFast),
                                    "--units=1", "--records=" + db, "--json"});
    ASSERT_EQ(again.finish(), 0) << again.err.toStdString();
    const auto rows = rowsOf(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].result, Result::Interrupted);
    EXPECT_EQ(rows[0].message, "left in its boot loader: plug it into any slot to finish");
    EXPECT_EQ(rows[1].result, Result::Ok);
    EXPECT_EQ(rows[1].imagePair, 1);
    EXPECT_EQ(rows[0].serial, "U-77");
    EXPECT_EQ(rows[1].serial, rows[0].serial);
}

// Settings a runner does not take are refused before the first unit, with the runner's
// own words; a runner that ends with bad usage all the same is recorded as refusing its
// settings, not as a lost unit, and its slot stops taking units.
TEST(Station, SettingsARunnerRefusesStopBeforeAnyUnitIsTouched) {
    QTemporaryDir dir;
    Program refused(TRM_STATION_BIN, {"--simulate=2", "--simulate-slot=2:wrong-sum=erase-all",
                                      "--records=" + dir.filePath("a.sqlite"), "--json"});
    EXPECT_EQ(refused.finish(), 2);
    EXPECT_TRUE(refused.err.contains("slot S2: trm415-run: unknown place 'erase-all'"))
        << refused.err.toStdString();
    EXPECT_TRUE(refused.events("slot").empty());
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("a.sqlite")));

    // A runner that takes its settings when asked, and refuses them at work.
    const QString runner =
        fakeRunner(dir, "fickle-run", "echo 'trm415-run: no such setting' >&2\nexit 2\n");
    const QString db = dir.filePath("b.sqlite");
    Program station(TRM_STATION_BIN, {"--simulate=2", "--units=6", "--runner=" + runner,
                                      "--records=" + db, "--json"});
    ASSERT_EQ(station.finish(), 1) << station.err.toStdString();
    const auto rows = rowsOf(db);
    ASSERT_EQ(rows.size(), 2u); // one a slot, then it stops
    for (const UpdateRecord& r : rows) {
        EXPECT_EQ(r.result, Result::Failed);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.message, "the runner refused the settings it was given: trm415-run: no such "
                             "setting");
    }
    for (const char* slot : {"S1", "S2"}) {
        EXPECT_EQ(station.events("slot", slot).back()["state"].toString(), "stopped") << slot;
    }
}

// One unit, one program: a second station of the same name is refused, whether it runs
// here (the name's claim) or on another host (its heartbeat in the records, fresh), and
// a slot whose runner finds its unit held by another program records that, counted
// neither ok nor failed.
TEST(Station, ASecondStationOfANameAndAUnitAnotherProgramHoldsAreLeftAlone) {
    QTemporaryDir dir;
    const QString db = dir.filePath("line.sqlite");
    Program first(TRM_STATION_BIN, {"--simulate=1", "--name=press-1", "--records=" + db, "--json"});
    ASSERT_TRUE(first.waitUntil([&] { return !first.events("slot").empty(); }));
    Program second(TRM_STATION_BIN,
                   {"--simulate=1", "--name=press-1", "--records=" + db, "--json"});
    EXPECT_EQ(second.finish(), 2);
    EXPECT_TRUE(QString::fromUtf8(second.err)
                    .contains("a station named 'press-1' runs on this machine already (process " +
                              QString::number(first.pid())))
        << second.err.toStdString();
    first.signal(SIGKILL);
    first.finish();
    {
        RecordStore store;
        QString error;
        ASSERT_TRUE(store.open(db, error)) << error.toStdString();
        StationInfo elsewhere;
        elsewhere.name = "press-2";
        elsewhere.host = "another-host";
        elsewhere.started = elsewhere.heartbeat = QDateTime::currentDateTimeUtc();
        ASSERT_TRUE(store.registerStation(elsewhere, error)) << error.toStdString();
    }
    Program third(TRM_STATION_BIN, {"--simulate=1", "--name=press-2", "--records=" + db, "--json"});
    EXPECT_EQ(third.finish(), 2);
    EXPECT_TRUE(third.err.contains("a station named 'press-2' on another-host is writing"))
        << third.err.toStdString();

    // A runner that finds its unit another program's.
    const QString runner =
        fakeRunner(dir, "held-run",
                   "echo '{\"event\":\"summary\",\"result\":\"claimed by another program\","
                   "\"exit_status\":9}'\nexit 9\n");
    const QString held = dir.filePath("held.sqlite");
    Program station(TRM_STATION_BIN, {"--simulate=1", "--units=2", "--runner=" + runner,
                                      "--records=" + held, "--json"});
    station.finish();
    const auto rows = rowsOf(held);
    ASSERT_EQ(rows.size(), 2u);
    for (const UpdateRecord& r : rows) {
        EXPECT_EQ(r.result, Result::Claimed);
    }
    ASSERT_FALSE(station.events("totals").empty());
    const QJsonObject totals = station.events("totals").back();
    EXPECT_EQ(totals["ok"].toInt() + totals["failed"].toInt(), 0) << station.out.toStdString();
}

// The records file removed (with its -wal and -shm) while the station runs: it says so
// and makes a new file there, which holds every update that ended after.
TEST(Station, ARecordsFileRemovedUnderItIsMadeAgain) {
    QTemporaryDir dir;
    const QString db = dir.filePath("rec.sqlite");
    Program station(TRM_STATION_BIN, {QString("--simulate=2:%1").arg(kFast), "--units=4",
                                      "--records=" + db, "--json"});
    ASSERT_TRUE(station.waitUntil([&] { return !station.events("result").empty(); }));
    for (const char* suffix : {"", "-wal", "-shm"}) {
        QFile::remove(db + suffix);
    }
    const auto before = station.events("result").size();
    ASSERT_EQ(station.finish(), 0) << station.err.toStdString();
    EXPECT_TRUE(station.err.contains("was removed or replaced while the station ran"))
        << station.err.toStdString();
    ASSERT_TRUE(QFileInfo::exists(db));
    const auto rows = rowsOf(db);
    EXPECT_GE(rows.size(), 4 - before);
    for (const UpdateRecord& r : rows) {
        EXPECT_EQ(r.result, Result::Ok) << r.id.toStdString();
    }
}
