// trm415-run as a program: a whole simulated update in JSON parsed line by line (stdout
// holds JSON only, the summary last), and the same update for people without a
// terminal (the phase lines, progress every 10 %, no control characters).
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray out, err;
};

Outcome run(const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(TRM_RUNNER_BIN, args);
    Outcome r;
    if (!p.waitForFinished(240000)) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace

TEST(RunnerProgram, JsonRunParsesLineByLineWithTheSummaryLast) {
    const Outcome r = run({"--simulate=others=2", "--json", "--trace"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    ASSERT_GT(lines.size(), 1000);
    QStringList events;
    double last = 0;
    int traces = 0;
    for (const QByteArray& line : lines) {
        QJsonParseError e{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &e);
        ASSERT_TRUE(doc.isObject()) << line.toStdString() << ": " << e.errorString().toStdString();
        const QJsonObject o = doc.object();
        EXPECT_EQ(o["schema"].toInt(), 1);
        ASSERT_TRUE(o["t"].isDouble());
        EXPECT_GE(o["t"].toDouble(), last);
        last = o["t"].toDouble();
        events << o["event"].toString();
        traces += o["event"].toString() == "trace" && o["line"].toString().startsWith("W 00  ");
    }
    EXPECT_GT(traces, 1000); // every report written, as JSON
    for (const char* e : {"start", "unit", "phase", "identity", "progress", "message", "verify"}) {
        EXPECT_TRUE(events.contains(e)) << e;
    }
    EXPECT_EQ(events.count("summary"), 1);
    ASSERT_EQ(events.last(), "summary");
    const QJsonObject s = QJsonDocument::fromJson(lines.last()).object();
    EXPECT_EQ(s["result"].toString(), "ok");
    EXPECT_EQ(s["exit_status"].toInt(), 0);
    EXPECT_EQ(s["identity_text"].toString(), "TRM415 V0104P 20210630");
    EXPECT_EQ(s["unit_type"].toInt(), 0x19);
    EXPECT_EQ(s["image_pair"].toInt(), 1);
    EXPECT_EQ(s["messages"].toArray(), QJsonArray({" Program OK !! "}));
    EXPECT_EQ(s["mcu_sha256"].toString().size(), 64);
    EXPECT_EQ(s["dsp_sha256"].toString().size(), 64);
    EXPECT_TRUE(s["holds_builtin_images"].toBool());
    const QJsonObject d = s["durations_s"].toObject();
    for (const char* phase : {"identity-query", "restart-to-boot-loader", "boot-loader",
                              "restart-to-application", "dsp-download"}) {
        EXPECT_TRUE(d[phase].isDouble()) << phase;
    }
    EXPECT_GT(d["boot-loader"].toDouble(), 20.0); // 1036 packets, 20 ms apart at least
}

TEST(RunnerProgram, PhaseLinesWithoutATerminal) {
    const Outcome r = run({"--simulate"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QString out = QString::fromUtf8(r.out);
    EXPECT_FALSE(out.contains(QChar('\033')));
    EXPECT_FALSE(out.contains(QChar('\r')));
    const QStringList lines = out.trimmed().split('\n');
    EXPECT_LT(lines.size(), 60); // a few dozen lines, not one per packet
    const QRegularExpression shape(R"(^\[ *\d+\.\ds\] \S)");
    for (const QString& l : lines) {
        EXPECT_TRUE(shape.match(l).hasMatch()) << l.toStdString();
    }
    for (const char* text :
         {"unit found        run identity", "identity          unit type 0x19",
          "restart           into the boot loader", "unit found        update identity",
          "boot loader       10% ", "boot loader       90% ", "boot loader       firmware written",
          "signal processor  downloading", "signal processor  100% 770/770 blocks",
          "signal processor  program downloaded",
          "message           information \" Program OK !! \" -> OK",
          "result            ok, exit status 0"}) {
        EXPECT_TRUE(out.contains(text)) << text << "\n" << out.toStdString();
    }
    EXPECT_FALSE(out.contains("\"Connect\"")); // step labels only with --verbose
}

// Each failure ends with its status and its cure; the identity line says what the
// gate saw: the type it expected, or that the unit did not answer at all.
TEST(RunnerProgram, ExitStatusesForRefusalNoUnitAndNoAccess) {
    struct Case {
        const char* scenario;
        int status;
        const char* result;
        const char* identityLine; // in the identity event's line, when one is expected
        const char* cure;         // a word of the cure
    };
    for (const Case& c :
         {Case{"--simulate=type=0x18,others=3", 3, "refused", "unit type 0x18, expected 0x19",
               "right unit"},
          Case{"--simulate=identity=TRM415 V0105P 20230101", 3, "refused",
               "too new (version digits \"0105\"; this program takes version 0104 only)",
               "not meant for that unit"},
          Case{"--simulate=absent,others=2", 7, "no unit", nullptr, "plug the unit in"},
          Case{"--simulate=denied,others=2", 6, "cannot open", nullptr, "plugdev"},
          Case{"--simulate=silent", 5, "time-out",
               "no answer to the identity query within 3000 ms: the update goes on with image "
               "pair 1",
               "plug it in again"}}) {
        const Outcome r = run({c.scenario, "--timeout=8"});
        EXPECT_EQ(r.exitCode, c.status) << c.scenario << "\n" << r.out.toStdString();
        if (c.identityLine != nullptr) {
            EXPECT_TRUE(r.out.contains(c.identityLine)) << c.scenario << "\n"
                                                        << r.out.toStdString();
        }
        EXPECT_FALSE(r.out.contains("0x-1")) << c.scenario;
        EXPECT_TRUE(r.out.contains("what to do")) << c.scenario;
        const Outcome j = run({c.scenario, "--json", "--timeout=8"});
        const QJsonObject s = QJsonDocument::fromJson(j.out.trimmed().split('\n').last()).object();
        EXPECT_EQ(s["event"].toString(), "summary") << c.scenario;
        EXPECT_EQ(s["result"].toString(), c.result) << c.scenario;
        EXPECT_EQ(s["exit_status"].toInt(), c.status) << c.scenario;
        EXPECT_TRUE(s["cure"].toString().contains(c.cure))
            << c.scenario << ": " << s["cure"].toString().toStdString();
    }
}

// A unit that drops off in the middle of the boot-loader exchange is told at once, with
// where it was and what that means, long before the time-out.
TEST(RunnerProgram, AUnitThatLeavesMidUpdateIsToldAtOnce) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(TRM_RUNNER_BIN, {"--simulate=margin=0,drop=data:200", "--json", "--timeout=600"});
    QJsonObject removed;
    QByteArray all;
    while (removed.isEmpty() && p.waitForReadyRead(240000)) {
        while (p.canReadLine()) {
            const QByteArray line = p.readLine();
            all += line;
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            ASSERT_NE(o["event"].toString(), "timeout") << all.toStdString();
            if (o["event"].toString() == "unit-removed") {
                removed = o;
            }
        }
    }
    ASSERT_FALSE(removed.isEmpty()) << all.toStdString();
    EXPECT_EQ(removed["phase"].toString(), "boot-loader");
    EXPECT_NEAR(removed["position"].toInt(), 200, 2);
    EXPECT_EQ(removed["maximum"].toInt(), 1036);
    EXPECT_TRUE(removed["meaning"].toString().contains("it is in its boot loader"));
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 1);
    const QJsonObject s =
        QJsonDocument::fromJson(p.readAllStandardOutput().trimmed().split('\n').last()).object();
    EXPECT_EQ(s["result"].toString(), "interrupted");
    EXPECT_EQ(s["last_phase"].toString(), "boot-loader");
    EXPECT_TRUE(s["cure"].toString().contains("boot loader"));
}

namespace {

// The committed recording of a complete update of pair 1, its lines.
QList<QByteArray> recordedLines() {
    QFile f(QStringLiteral(TRM_TEST_DATA "/update-pair1.jsonl"));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll().split('\n');
}

// Line index of the n-th recorded write whose report starts with `first` (after the
// report ID) and, for application frames, carries `command`.
qsizetype nthWrite(const QList<QByteArray>& lines, int n, int first, int command = -1) {
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QJsonObject o = QJsonDocument::fromJson(lines[i]).object();
        const QByteArray b = QByteArray::fromHex(o["bytes"].toString().toLatin1());
        if (o["type"].toString() == "write" && b.size() > 6 && quint8(b[1]) == first &&
            (command < 0 || quint8(b[6]) == command) && --n == 0) {
            return i;
        }
    }
    return -1;
}

// `lines` with byte `offset` of line `index`'s report changed.
QString alteredRecording(QList<QByteArray> lines, qsizetype index, int offset,
                         const QTemporaryDir& dir) {
    QJsonObject o = QJsonDocument::fromJson(lines[index]).object();
    QByteArray b = QByteArray::fromHex(o["bytes"].toString().toLatin1());
    b[offset] = static_cast<char>(b[offset] ^ 0x5A);
    o["bytes"] = QString::fromLatin1(b.toHex());
    lines[index] = QJsonDocument(o).toJson(QJsonDocument::Compact);
    const QString path = dir.filePath("altered.jsonl");
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(lines.join('\n'));
    return path;
}

QJsonObject lastEvent(const Outcome& r, const char* name) {
    QJsonObject found;
    for (const QByteArray& line : r.out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o["event"].toString() == name) {
            found = o;
        }
    }
    return found;
}

} // namespace

// A program that would send other image bytes than the recording holds: the strict
// replay stops at the first difference, naming that packet; a loose one lists a
// difference that does not stop the update and goes on to its end.
TEST(RunnerReplay, ADifferenceIsFoundAtItsPacket) {
    const QList<QByteArray> lines = recordedLines();
    QTemporaryDir dir;
    const qsizetype packet100 = nthWrite(lines, 100, 0x00);
    ASSERT_GT(packet100, 0);
    const Outcome strict =
        run({"--simulate=replay:" + alteredRecording(lines, packet100, 20, dir), "--json"});
    EXPECT_EQ(strict.exitCode, 1);
    const QJsonObject d = [&] {
        for (const QByteArray& line : strict.out.split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o["event"].toString() == "replay" && o.contains("line")) {
                return o;
            }
        }
        return QJsonObject{};
    }();
    EXPECT_EQ(d["line"].toInt(), packet100 + 1) << strict.out.toStdString();
    EXPECT_EQ(d["offset"].toInt(), 20);
    EXPECT_EQ(lastEvent(strict, "summary")["result"].toString(), "failed");

    const qsizetype block5 = nthWrite(lines, 5, 0x10, 0x53);
    ASSERT_GT(block5, 0);
    const Outcome loose =
        run({"--simulate=replay-loose:" + alteredRecording(lines, block5, 12, dir), "--json"});
    EXPECT_EQ(loose.exitCode, 0) << loose.err.toStdString();
    const QJsonObject listed = lastEvent(loose, "replay");
    ASSERT_EQ(listed["differences"].toArray().size(), 1) << loose.out.toStdString();
    EXPECT_TRUE(listed["differences"][0].toString().contains("differs at byte 12"));
    EXPECT_EQ(lastEvent(loose, "summary")["replay_differences"].toInt(), 1);
}

// A recording cut off mid-way, as a killed session leaves it, replays to its end and
// then is a silent unit; fault settings apply on top of a replay.
TEST(RunnerReplay, ACutOffRecordingAndFaultsOnTop) {
    QList<QByteArray> lines = recordedLines();
    QTemporaryDir dir;
    const qsizetype packet300 = nthWrite(lines, 300, 0x00);
    ASSERT_GT(packet300, 0);
    QByteArray cut = lines.mid(0, packet300 + 1).join('\n') + "\n" + lines[packet300 + 1].left(40);
    const QString path = dir.filePath("cut.jsonl");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(cut);
    }
    const Outcome r = run({"--simulate=replay:" + path, "--json", "--timeout=25"});
    EXPECT_TRUE(r.err.contains("cut-off line")) << r.err.toStdString();
    EXPECT_NE(r.exitCode, 0);
    const QJsonObject replay = lastEvent(r, "replay");
    EXPECT_GE(replay["writes_matched"].toInt(), 300 + 9) << r.out.toStdString();
    EXPECT_TRUE(replay["differences"].toArray().isEmpty());

    const Outcome wrongSum =
        run({"--simulate=replay:" TRM_TEST_DATA "/update-pair1.jsonl,wrong-sum=start-program",
             "--json"});
    EXPECT_EQ(wrongSum.exitCode, 4);
    EXPECT_EQ(lastEvent(wrongSum, "summary")["messages"].toArray().last().toString(),
              "Program Start Error !!");
}
