// The gate's verdicts on identity texts.
#include "workflow/Gate.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace trm;

namespace {
GateVerdict judge(const std::string& text) {
    return JudgeIdentity(std::vector<std::uint8_t>(text.begin(), text.end()));
}
std::string pad(std::string s, std::size_t n) {
    s.resize(n, ' ');
    return s;
}
} // namespace

TEST(Gate, LongReplyVersionWindowAndVariant) {
    auto v = judge("TRM415 V0104P 20210630"); // 22 bytes: long
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.imageSel, 1);
    v = judge("TRM415 V0104Q 20210630");
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.imageSel, 0);
    EXPECT_EQ(judge("TRM415 V0103P 20210630").refusal, "Too Old Version Uint !! ");
    EXPECT_EQ(judge("TRM415 V0105P 20210630").refusal, "Too New Version Uint !! ");
    EXPECT_EQ(judge("TRM415 VABCDP 20210630").refusal, "Too Old Version Uint !! ");
    EXPECT_EQ(judge("TRM415 V 104P 20210630").imageSel, 1); // leading blank allowed
    EXPECT_EQ(judge("TRM415 V+104P 20210630").imageSel, 1);
    EXPECT_EQ(judge("TRM415 V-104P 20210630").refusal, "Too Old Version Uint !! ");
}

TEST(Gate, ShortReplyDatePivotAndLengthThreshold) {
    // 21 bytes: short, date at characters 13..20.
    const std::string at = "TRM415 xxxxx20210301x";
    ASSERT_EQ(at.size(), 21u);
    EXPECT_TRUE(judge(at).accepted);
    EXPECT_EQ(judge(at).imageSel, 0);
    EXPECT_EQ(judge("TRM415 xxxxx20210302x").imageSel, 1);
    EXPECT_EQ(judge("TRM415 xxxxx99991231x").imageSel, 1); // never refused for its date
    // 22 bytes with a date where the version would be: long, version "xxxx" -> too old.
    EXPECT_EQ(judge("TRM415 xxxxx20210302xx").refusal, "Too Old Version Uint !! ");
    // 10 bytes: a model of 6 characters, an empty date field reading 0.
    const auto ten = judge("TRM415 abc");
    EXPECT_TRUE(ten.accepted);
    EXPECT_EQ(ten.imageSel, 0);
}

TEST(Gate, ModelTextIsCaseSensitiveAndComplete) {
    EXPECT_EQ(judge("trm415 V0104P 20210630").refusal, " Invalid Unit Type !! ");
    EXPECT_EQ(judge("TRM41").refusal, " Invalid Unit Type !! ");
    EXPECT_EQ(judge("").refusal, " Invalid Unit Type !! ");
    EXPECT_EQ(judge(pad("TRM416", 30)).refusal, " Invalid Unit Type !! ");
    // Embedded NUL bytes are characters like any other.
    std::string withNul = "TRM415 V0104P";
    withNul += '\0';
    withNul += "20210630xx";
    EXPECT_TRUE(judge(withNul).accepted);
}

TEST(Gate, LeadingDecimalSaturates) {
    EXPECT_EQ(LeadingDecimal("0104"), 104);
    EXPECT_EQ(LeadingDecimal("  42abc"), 42);
    EXPECT_EQ(LeadingDecimal("x1"), 0);
    EXPECT_EQ(LeadingDecimal(""), 0);
    EXPECT_GT(LeadingDecimal(std::string(60, '9')), 0);
}
