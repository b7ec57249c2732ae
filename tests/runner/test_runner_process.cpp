// trm415-run as a program: a whole simulated update in JSON parsed line by line (stdout
// holds JSON only, the summary last), and the same update for people without a
// terminal (the phase lines, progress every 10 %, no control characters).
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <gtest/gtest.h>

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
          "signal processor  downloading", "signal processor  program downloaded",
          "message           information \" Program OK !! \" -> OK",
          "result            ok, exit status 0"}) {
        EXPECT_TRUE(out.contains(text)) << text << "\n" << out.toStdString();
    }
    EXPECT_FALSE(out.contains("\"Connect\"")); // step labels only with --verbose
}

TEST(RunnerProgram, ExitStatusesForRefusalNoUnitAndNoAccess) {
    struct Case {
        const char* scenario;
        int status;
        const char* result;
    };
    for (const Case& c : {Case{"--simulate=type=0x18,others=3", 3, "refused"},
                          Case{"--simulate=absent,others=2", 7, "no unit"},
                          Case{"--simulate=denied,others=2", 6, "cannot open"}}) {
        const Outcome r = run({c.scenario, "--json", "--timeout=4"});
        EXPECT_EQ(r.exitCode, c.status) << c.scenario << "\n" << r.out.toStdString();
        const QJsonObject s = QJsonDocument::fromJson(r.out.trimmed().split('\n').last()).object();
        EXPECT_EQ(s["event"].toString(), "summary") << c.scenario;
        EXPECT_EQ(s["result"].toString(), c.result) << c.scenario;
        EXPECT_EQ(s["exit_status"].toInt(), c.status) << c.scenario;
    }
}
