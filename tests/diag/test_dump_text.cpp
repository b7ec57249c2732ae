// The program-data window's dump text.
#include "diag/DumpText.h"
#include "firmware/ImageLoader.h"
#include "firmware/data/BuiltinImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

using namespace trm;

namespace {
std::size_t rows(const std::string& s) {
    std::size_t n = 0;
    for (std::size_t p = s.find("\r\n"); p != std::string::npos; p = s.find("\r\n", p + 2)) {
        ++n;
    }
    return n;
}
std::string blanks(std::size_t groups) {
    return std::string(3 * groups, ' ');
}
} // namespace

TEST(DumpText, WorkedExampleLastRowOfFiveBytes) {
    std::vector<std::uint8_t> b(21);
    std::iota(b.begin(), b.begin() + 16, std::uint8_t{0x30});
    std::iota(b.begin() + 16, b.end(), std::uint8_t{0x41});
    const std::string text = DumpText(b.data(), b.size(), 0);
    const std::string first = "00000000  30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F ; "
                              "0123456789:;<=>?\r\n";
    const std::string last = "00000010  41 42 43 44 45 " + blanks(11) + "; ABCDE\r\n";
    EXPECT_EQ(text, first + last);
}

TEST(DumpText, SeventeenAndThirtyTwoBytes) {
    std::vector<std::uint8_t> b(32, 0x61);
    const std::string d17 = DumpText(b.data(), 17, 0x100);
    EXPECT_EQ(rows(d17), 2u);
    EXPECT_EQ(d17.substr(d17.find("\r\n") + 2), "00000110  61 " + blanks(15) + "; a\r\n");
    const std::string d32 = DumpText(b.data(), 32, 0);
    EXPECT_EQ(rows(d32), 2u);
    EXPECT_EQ(d32.find("   "), std::string::npos); // no padding groups
    EXPECT_NE(d32.find("00000010  "), std::string::npos);
}

TEST(DumpText, CharacterColumnAndEmpty) {
    const std::array<std::uint8_t, 6> b{0x00, 0x1F, 0x20, 0x7E, 0x7F, 0xFF};
    EXPECT_EQ(DumpText(b.data(), b.size(), 0xABCDEF01),
              "ABCDEF01  00 1F 20 7E 7F FF " + blanks(10) + "; .. ~..\r\n");
    EXPECT_EQ(DumpText(b.data(), 0, 0), "");
}

TEST(DumpText, McuImage0HasOneRowPerSixteenBytes) {
    std::array<std::uint8_t, kImageBufferSize> buf{};
    std::int32_t len = 0;
    ASSERT_TRUE(LoadHexImage(data::McuImage0, ImageBuffer(buf), len, kMcuUsableLength, {}));
    const std::string d = DumpText(buf.data(), static_cast<std::size_t>(len), 0);
    EXPECT_EQ(rows(d), 3594u);
    EXPECT_EQ(d.size(), 3594u * (10 + 48 + 2 + 16 + 2));
}

// The traffic lines of the worked examples: every byte followed by one blank, the
// report ID by two.
TEST(TrafficLine, GetUnitTypeRequestAndReply) {
    const std::uint8_t request[] = {0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11};
    EXPECT_EQ(TrafficLine("W ", 0, request, sizeof request), "W 00  10 02 00 01 01 10 10 03 11 ");
    const std::uint8_t reply[] = {0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x19, 0x10, 0x03, 0x0B};
    EXPECT_EQ(TrafficLine("R ", 0, reply, sizeof reply), "R 00  10 02 01 00 02 10 19 10 03 0B ");
    EXPECT_EQ(TrafficLine("R ", 0xA5, reply, 0), "R A5  ");
}
