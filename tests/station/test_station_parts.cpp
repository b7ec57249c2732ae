// The station's parts read from text a user or a runner gives: hook commands, the page's
// address, the configuration file, and the Prometheus figures built from results.
#include "station/Hooks.h"
#include "station/Metrics.h"
#include "station/Options.h"
#include "tests/support/Completion.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace trm::station;

TEST(StationParts, HookCommandsSplitAsAShellWouldWithoutExpanding) {
    struct Case {
        const char* text;
        QStringList words; // empty: refused
    };
    const Case cases[] = {
        {"/usr/bin/lamp green", {"/usr/bin/lamp", "green"}},
        {"  lamp   'two words'  \"and $HOME\" ", {"lamp", "two words", "and $HOME"}},
        {R"(sh -c 'echo "$TRM_SLOT" > /tmp/x')", {"sh", "-c", R"(echo "$TRM_SLOT" > /tmp/x)"}},
        {R"(printf a\ b 'it''s')", {"printf", "a b", "its"}},
        {"lamp ''", {"lamp", ""}},
        {"lamp 'unbalanced", {}},
        {"   ", {}},
        {"''", {}},
    };
    for (const Case& c : cases) {
        QString error;
        const auto hook = ParseHook(c.text, error);
        if (c.words.isEmpty()) {
            EXPECT_FALSE(hook) << c.text;
            EXPECT_FALSE(error.isEmpty()) << c.text;
        } else {
            ASSERT_TRUE(hook) << c.text << ": " << error.toStdString();
            EXPECT_EQ(QStringList{hook->program} + hook->arguments, c.words) << c.text;
        }
    }
}

TEST(StationParts, PageAddresses) {
    struct Case {
        const char* text;
        const char* host; // null: refused
        int port;
    };
    const Case cases[] = {
        {"127.0.0.1:8415", "127.0.0.1", 8415},
        {":8415", "0.0.0.0", 8415},
        {"[::1]:80", "::1", 80},
        {"localhost:0", "127.0.0.1", 0},
        {"8415", nullptr, 0},
        {"127.0.0.1:", nullptr, 0},
        {"127.0.0.1:70000", nullptr, 0},
        {"example.com:80", nullptr, 0},
        {"127.0.0.1:-1", nullptr, 0},
    };
    for (const Case& c : cases) {
        QHostAddress host;
        quint16 port = 0;
        QString error;
        const bool ok = ParseHttpAddress(c.text, host, port, error);
        EXPECT_EQ(ok, c.host != nullptr) << c.text;
        if (ok && c.host != nullptr) {
            EXPECT_EQ(host == QHostAddress::Any ? QString("0.0.0.0") : host.toString(), c.host);
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(StationParts, ConfigurationErrorsNameTheFileAndLine) {
    QTemporaryDir dir;
    const QString path = dir.filePath("station.conf");
    const std::pair<const char*, const char*> cases[] = {
        {"slots = auto\nhttp = nowhere\n", ":2: --http takes HOST:PORT"},
        {"# hooks\nslots = auto\n\non-result = lamp 'half\n", ":4: --on-result: the hook's"},
        {"slots = auto\nhttp =\n", ":2: 'http' has no value"},
        {"bogus = 1\n", ":1: 'bogus' is not a setting"},
    };
    for (const auto& [text, want] : cases) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        f.close();
        Options o;
        std::string error;
        std::string arg = "--config=" + path.toStdString();
        char* argv[] = {const_cast<char*>("trm415-station"), arg.data()};
        EXPECT_FALSE(ParseOptions(2, argv, o, error)) << text;
        EXPECT_NE(error.find(path.toStdString() + want), std::string::npos) << error;
    }
}

TEST(StationParts, MetricsCountResultsIntoCumulativeBucketsAndEscapeLabels) {
    Metrics m;
    using trm::records::Result;
    m.addUpdate(Result::Ok, 34.6);
    m.addUpdate(Result::Ok, 36);
    m.addUpdate(Result::BootLoaderError, 8);
    m.addUpdate(Result::Ok, 500); // beyond every bucket: +Inf alone
    const QString t = QString::fromUtf8(m.text({{"updating", 3}, {"waiting", 1}}, 2));
    for (const char* line : {
             "trm415_updates_total{result=\"ok\"} 3\n",
             "trm415_updates_total{result=\"refused\"} 0\n",
             "trm415_updates_total{result=\"boot-loader error\"} 1\n",
             "trm415_update_duration_seconds_bucket{le=\"10\"} 1\n",
             "trm415_update_duration_seconds_bucket{le=\"35\"} 2\n",
             "trm415_update_duration_seconds_bucket{le=\"40\"} 3\n",
             "trm415_update_duration_seconds_bucket{le=\"120\"} 3\n",
             "trm415_update_duration_seconds_bucket{le=\"+Inf\"} 4\n",
             "trm415_update_duration_seconds_sum 578.6\n",
             "trm415_update_duration_seconds_count 4\n",
             "trm415_slots{state=\"updating\"} 3\n",
             "trm415_slots{state=\"removed\"} 0\n",
             "trm415_records_held 2\n",
         }) {
        EXPECT_TRUE(t.contains(line)) << line << "in\n" << t.toStdString();
    }
    EXPECT_FALSE(QString::fromUtf8(m.text({}, -1)).contains("records_held"));
    EXPECT_EQ(PromLabel("boot-loader \"error\"\n"), "boot-loader \\\"error\\\"\\n");
    // A runner gone wrong cannot grow the figures without end: a result no trm415 names
    // counts as a failure.
    for (int i = 0; i < 100; ++i) {
        m.addUpdate(trm::records::ResultOrFailed(QString("odd %1").arg(i)), 1);
    }
    EXPECT_LE(QString::fromUtf8(m.text({}, -1)).count("trm415_updates_total{"), 4);
}

// The table of options is what the completion offers and what the shipped example
// configuration may set: every setting it shows, commented out or not, is one.
TEST(StationParts, OptionTableAgreesWithTheCompletionAndTheExampleConfiguration) {
    EXPECT_EQ(trm::testing::CompletionFileWords("trm415-station"),
              trm::testing::AsSet(CompletionWords()));
    const auto keys = trm::testing::AsSet(ConfigurationKeys());
    QFile conf(QString(QT_TESTCASE_SOURCEDIR) + "/../packaging/station.conf");
    ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
    static const QRegularExpression setting(R"(^#? ?([a-z][a-z-]*)( = \S.*)?$)");
    int settings = 0;
    for (const QString& line : QString::fromUtf8(conf.readAll()).split('\n')) {
        const auto m = setting.match(line);
        if (m.hasMatch()) {
            ++settings;
            EXPECT_EQ(keys.count(m.captured(1).toStdString()), 1u) << line.toStdString();
        }
    }
    EXPECT_GE(settings, 10);
    // An option is its whole name: neither order nor a shared beginning picks another.
    for (const auto& [args, check] :
         std::vector<std::pair<std::vector<std::string>, std::function<bool(const Options&)>>>{
             {{"--report", "--records=r.sqlite"},
              [](const Options& o) { return o.records == "r.sqlite"; }},
             {{"--simulate-slot=2:late=5", "--simulate=3"},
              [](const Options& o) { return o.station.slotConfigs.at(1).scenario == "late=5"; }},
             {{"--simulate=2", "--timeout", "30"},
              [](const Options& o) { return o.station.runnerArgs == QStringList{"--timeout=30"}; }},
         }) {
        std::vector<char*> argv{const_cast<char*>("trm415-station")};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        Options o;
        std::string error;
        ASSERT_TRUE(ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error)) << error;
        EXPECT_TRUE(check(o)) << args.front();
    }
    for (const char* bad : {"--record=x", "--simulat=2", "--json=yes"}) {
        char* argv[] = {const_cast<char*>("trm415-station"), const_cast<char*>("--simulate=1"),
                        const_cast<char*>(bad)};
        Options o;
        std::string error;
        EXPECT_FALSE(ParseOptions(3, argv, o, error)) << bad;
    }
}

// Two slots on one unit are refused, wherever they come from, naming both; so are names
// the page's Host check cannot take.
TEST(StationParts, OverlappingSlotsAndBadHostNamesAreRefused) {
    QTemporaryDir dir;
    const QString conf = dir.filePath("station.conf");
    QFile f(conf);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("slots = A=1-1.1,B=1-1.2\n");
    f.close();
    const std::vector<std::pair<std::vector<std::string>, const char*>> cases{
        {{"--slots=A=1-1.1,B=1-1.1"}, "repeats a label or a port"},
        {{"--slots=A=1-1,B=1-1.2"}, "slots A=1-1 and B=1-1.2 overlap"},
        {{"--slots=A=2-1.4.1,B=2-1.4"}, "slots A=2-1.4.1 and B=2-1.4 overlap"},
        {{"--slots=A=1-1.1", "--slots=B=1-1.2"}, "--slots is given twice"},
        {{"--simulate=1", "--http-host=evil example"}, "--http-host takes host names"},
        {{"--simulate=1", "--http-host=a,,b"}, "--http-host takes host names"},
    };
    for (const auto& [args, want] : cases) {
        std::vector<std::string> words{"trm415-station"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) {
            argv.push_back(w.data());
        }
        Options o;
        std::string error;
        EXPECT_FALSE(ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error))
            << args.front();
        EXPECT_NE(error.find(want), std::string::npos) << error;
    }
    // The configuration's slots stand apart; the command line's replace them.
    std::string config = "--config=" + conf.toStdString();
    std::string more = "--slots=C=1-1";
    char* argv[] = {const_cast<char*>("trm415-station"), config.data(), more.data()};
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions(3, argv, o, error)) << error;
    ASSERT_EQ(o.station.slotConfigs.size(), 1u);
    EXPECT_EQ(o.station.slotConfigs[0].port, "1-1");
}
