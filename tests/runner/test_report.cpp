// trm415-run's output: where colours and the redrawn bar apply, the bar's text, progress
// without a terminal (every 10 %, no control characters), and the JSON fields.
#include "runner/Options.h"
#include "runner/Report.h"
#include "tests/support/Completion.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace trm::runner;
using namespace trm::cli;

namespace {
std::string drain(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        s.append(buf, n);
    }
    return s;
}
} // namespace

TEST(RunnerStyle, ColoursOnlyOnATerminalWithoutNoColorAndNeverInJson) {
    struct Case {
        bool json, tty;
        const char* noColor;
        bool wantTty, wantColour;
    };
    const Case cases[] = {
        {false, true, nullptr, true, true},  {false, true, "", true, false},
        {false, true, "1", true, false},     {false, false, nullptr, false, false},
        {true, true, nullptr, false, false}, {true, false, nullptr, false, false},
    };
    for (const Case& c : cases) {
        const Style s = StyleFor(c.json, false, c.tty, c.noColor);
        EXPECT_EQ(s.tty, c.wantTty) << c.json << c.tty << (c.noColor ? c.noColor : "(unset)");
        EXPECT_EQ(s.colour, c.wantColour) << c.json << c.tty << (c.noColor ? c.noColor : "(unset)");
    }
}

TEST(RunnerStyle, ProgressBarShowsPercentCountRateAndTimeLeft) {
    EXPECT_EQ(ProgressBar(466, 1036, 10.0, 20),
              "[########............]  44%  466/1036  47/s  13 s left");
    EXPECT_EQ(ProgressBar(0, 1036, 0.0, 10), "[..........]   0%  0/1036");
    EXPECT_EQ(ProgressBar(2000, 100, 4.0, 10), "[##########] 100%  100/100  25/s  0 s left");
    EXPECT_EQ(ProgressBar(5, 0, 1.0, 4), "[####] 100%  1/1  1/s  0 s left"); // no maximum yet
}

TEST(RunnerOutput, WithoutATerminalProgressEveryTenPercentAndNoControlCharacters) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    Report out(StyleFor(false, false, false, nullptr), f);
    out.event("phase", "boot loader", "writing");
    out.beginProgress("boot loader", "packets");
    for (int p = 0; p <= 1036; ++p) {
        out.progress(p, 1036);
    }
    out.endProgress();
    out.event("summary", "result", "ok, exit status 0", {}, Tone::Good);
    const std::string s = drain(f);
    std::fclose(f);
    EXPECT_EQ(s.find('\033'), std::string::npos);
    EXPECT_EQ(s.find('\r'), std::string::npos);
    int progressLines = 0;
    for (std::size_t at = s.find("packets"); at != std::string::npos;
         at = s.find("packets", at + 1)) {
        ++progressLines;
    }
    EXPECT_EQ(progressLines, 10); // 10 % .. 100 %
    EXPECT_NE(s.find("] boot loader       10% 104/1036 packets\n"), std::string::npos) << s;
    EXPECT_NE(s.find("] result            ok, exit status 0\n"), std::string::npos) << s;
}

TEST(RunnerOutput, JsonLinesCarryTheSchemaTheEventAndATime) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    Report out(StyleFor(true, false, true, nullptr), f);
    out.event("unit", "unit found", "run identity", {{"identity", "run"}}, Tone::Good);
    out.beginProgress("boot loader", "packets");
    out.progress(52, 100);
    const std::string s = drain(f);
    std::fclose(f);
    EXPECT_EQ(s.find('\033'), std::string::npos);
    int lines = 0;
    std::size_t start = 0;
    for (std::size_t nl = s.find('\n'); nl != std::string::npos; nl = s.find('\n', start)) {
        const auto doc =
            QJsonDocument::fromJson(QByteArray::fromStdString(s.substr(start, nl - start)));
        ASSERT_TRUE(doc.isObject()) << s.substr(start, nl - start);
        const QJsonObject o = doc.object();
        EXPECT_EQ(o["schema"].toInt(), 1);
        EXPECT_TRUE(o["t"].isDouble());
        EXPECT_FALSE(o["event"].toString().isEmpty());
        ++lines;
        start = nl + 1;
    }
    EXPECT_EQ(lines, 2); // the event, and the progress at 50 %
}

// The completion offers what the table of options reads, and an option is its whole
// name: --records is not --record, and an unknown word is refused, not guessed.
TEST(RunnerOptions, TableAgreesWithTheCompletionAndMatchesWholeNames) {
    EXPECT_EQ(trm::testing::CompletionFileWords("trm415-run"),
              trm::testing::AsSet(CompletionWords()));
    char* argv[] = {const_cast<char*>("trm415-run"), const_cast<char*>("--record=s.jsonl"),
                    const_cast<char*>("--records"), const_cast<char*>("r.sqlite"),
                    const_cast<char*>("--simulate")};
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions(5, argv, o, error)) << error;
    EXPECT_EQ(o.sessionRecording, "s.jsonl");
    EXPECT_EQ(o.recordsLocation, "r.sqlite");
    EXPECT_TRUE(o.simulate);
    for (const char* bad : {"--recor=x", "--json=1", "--port", "--timeout=5x"}) {
        char* one[] = {const_cast<char*>("trm415-run"), const_cast<char*>(bad)};
        Options p;
        EXPECT_FALSE(ParseOptions(2, one, p, error)) << bad;
    }
}
