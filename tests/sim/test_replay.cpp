// Reading recordings: every kind of bad recording gives a clear error naming its line,
// never a crash; what a later minor version adds is ignored; a last line cut off by a
// killed session is dropped, the rest replayed. And the recorder's own lines read back.
#include "hid/Recording.h"
#include "hid/UnitIdentity.h"
#include "sim/Replay.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

using namespace trm;
using namespace trm::sim;

namespace {

const std::string kHeader =
    R"({"type":"header","format":"trm415-session","version":"1.0","program":"trm415-run"})"
    "\n";
const std::string kArrival =
    R"({"type":"arrival","t":0,"device":"d1","vendor":360,"product":2081,"version":260,)"
    R"("descriptor":"0600ff","input":65,"output":65,"port":"1-1"})"
    "\n";

struct BadCase {
    const char* name;
    std::string text;
    const char* says; // part of the error
};

} // namespace

TEST(Recording, BadRecordingsAreRefusedWithTheirLine) {
    const std::string longReply(66 * 2, 'a');
    const BadCase cases[] = {
        {"empty", "", "empty"},
        {"not a recording", "hello\n", "not a TRM415 session recording"},
        {"no header", kArrival, "no header"},
        {"newer major version",
         R"({"type":"header","format":"trm415-session","version":"2.0"})"
         "\n",
         "newer than this program reads"},
        {"version not a number",
         R"({"type":"header","format":"trm415-session","version":"one"})"
         "\n",
         "MAJOR.MINOR"},
        {"truncated line in the middle",
         kHeader +
             R"({"type":"arrival","t":0,"dev)"
             "\n" +
             kArrival,
         "line 2: not a JSON object"},
        {"wrong hex",
         kHeader + kArrival +
             R"({"type":"write","t":5,"device":"d1","bytes":"0g"})"
             "\n",
         "line 3: the bytes are not hexadecimal"},
        {"odd hex",
         kHeader + kArrival +
             R"({"type":"read","t":5,"device":"d1","bytes":"001"})"
             "\n",
         "not hexadecimal"},
        {"reply longer than the report",
         kHeader + kArrival + R"({"type":"read","t":5,"device":"d1","bytes":")" + longReply +
             "\"}\n",
         "a reply of 66 bytes is longer than the device's input reports (65)"},
        {"device before its arrival",
         kHeader + R"({"type":"read","t":5,"device":"d1","bytes":"00"})"
                   "\n",
         "used before its arrival"},
        {"time going backwards",
         kHeader + kArrival +
             R"({"type":"read","t":5,"device":"d1","bytes":"00"})"
             "\n" +
             R"({"type":"read","t":4,"device":"d1","bytes":"00"})"
             "\n",
         "line 4: the time goes backwards"},
        {"negative time",
         kHeader + R"({"type":"removal","t":-1,"device":"d1"})"
                   "\n",
         "not a time"},
        {"arrival without lengths",
         kHeader +
             R"({"type":"arrival","t":0,"device":"d1","vendor":360,"product":2081,"version":1})"
             "\n",
         "lacks"},
        {"not the unit",
         kHeader + R"({"type":"arrival","t":0,"device":"k","vendor":1133,"product":1,"version":1,)"
                   R"("descriptor":"","input":9,"output":1})"
                   "\n",
         "not a TRM415 identity"},
    };
    for (const BadCase& c : cases) {
        Recording r;
        const auto error = ParseRecording(c.text, r);
        ASSERT_TRUE(error.has_value()) << c.name;
        EXPECT_NE(error->find(c.says), std::string::npos) << c.name << ": " << *error;
    }
}

TEST(Recording, LaterAdditionsAreIgnoredAndACutOffLastLineIsDropped) {
    const std::string text =
        R"({"type":"header","format":"trm415-session","version":"1.7","extra":[1,2]})"
        "\n" +
        kArrival +
        R"({"type":"calibration","t":1,"anything":true})"
        "\n" +
        R"({"type":"write","t":2,"device":"d1","bytes":"0010","new_field":"x"})"
        "\n" +
        R"({"type":"write-error","t":3,"device":"d1","error":19})"
        "\n" +
        R"({"type":"write","t":4,"device":"d1","bytes":"0011"})"
        "\n" +
        R"({"type":"read","t":5,"device":"d1","bytes":"00ff"})"
        "\n" +
        R"({"type":"read","t":6,"device":"d1","by)";
    Recording r;
    const auto error = ParseRecording(text, r);
    ASSERT_FALSE(error.has_value()) << *error;
    EXPECT_EQ(r.minor, 7);
    EXPECT_TRUE(r.cutOff);
    EXPECT_FALSE(r.complete);
    ASSERT_EQ(r.events.size(), 3u); // the failed write is not expected
    EXPECT_EQ(r.events[0].kind, RecordedEvent::Kind::Arrival);
    EXPECT_EQ(r.events[0].arrival.caps.OutputReportByteLength, 65);
    EXPECT_EQ(r.events[1].bytes, (Bytes{0x00, 0x11}));
    EXPECT_EQ(r.events[2].line, 7);
}

// What the recorder writes reads back: header, lines with their times, the end.
TEST(Recording, TheRecordersLinesReadBack) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("s.jsonl").toStdString();
    {
        SessionRecorder rec(path, QJsonObject{{"program", "test"}});
        ASSERT_TRUE(rec.ok());
        rec.line("arrival", {{"device", "a"},
                             {"vendor", 0x0168},
                             {"product", 0x0904},
                             {"version", 1},
                             {"descriptor", ""},
                             {"input", 65},
                             {"output", 65}});
        const std::uint8_t report[3] = {0, 0x80, 0xFF};
        rec.line("write", {{"device", "a"}, {"bytes", QString::fromStdString(ToHex(report, 3))}});
        rec.end({{"result", "ok"}});
    }
    Recording r;
    const auto error = LoadRecording(path, r);
    ASSERT_FALSE(error.has_value()) << *error;
    EXPECT_EQ(r.program, "test");
    EXPECT_TRUE(r.complete);
    ASSERT_EQ(r.events.size(), 2u);
    EXPECT_TRUE(IsUnitIdentity(r.events[0].arrival.attributes));
    EXPECT_EQ(r.events[1].bytes, (Bytes{0x00, 0x80, 0xFF}));
    EXPECT_LE(r.events[0].tUs, r.events[1].tUs);
}
