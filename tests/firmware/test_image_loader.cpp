// The Intel HEX loader and the signal-processor layout: the built-in images' figures,
// and the loader's rules on small hand-made tables.
#include "firmware/ImageLoader.h"
#include "firmware/data/BuiltinImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace trm;

namespace {

struct Buffer {
    std::array<std::uint8_t, kImageBufferSize> bytes{};
    std::int32_t length = -1;
    ImageBuffer span() { return ImageBuffer(bytes); }
};

// Builds a record with a correct checksum.
std::string record(unsigned type, unsigned address, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> body{
        static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
        static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type)};
    body.insert(body.end(), data.begin(), data.end());
    std::uint8_t sum = 0;
    std::string s = ":";
    char hex[3];
    for (auto b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        s += hex;
        sum = static_cast<std::uint8_t>(sum + b);
    }
    std::snprintf(hex, sizeof hex, "%02X", static_cast<std::uint8_t>(-sum));
    return s + hex;
}

struct Table {
    std::vector<std::string> text;
    std::vector<const char*> ptrs;
    Table(std::initializer_list<std::string> lines) : text(lines) {
        for (auto& t : text) {
            ptrs.push_back(t.c_str());
        }
    }
    std::span<const char* const> span() const { return ptrs; }
};

struct Load {
    bool ok;
    std::vector<std::string> messages;
};

Load load(const Table& t, Buffer& b, std::uint32_t usable = kMcuUsableLength) {
    Load r;
    r.ok = LoadHexImage(t.span(), b.span(), b.length, usable,
                        [&](std::string_view m) { r.messages.emplace_back(m); });
    return r;
}

const std::string kEof = ":00000001FF";

} // namespace

TEST(BuiltinImages, FormOfTheFourTables) {
    EXPECT_EQ(data::McuImage0.size(), 3599u);
    EXPECT_EQ(data::McuImage1.size(), 3628u);
    EXPECT_EQ(data::DspImage0.size(), 6144u);
    EXPECT_EQ(data::DspImage1.size(), 6153u);
    for (auto table : {data::McuImage0, data::McuImage1}) {
        EXPECT_STREQ(table.front(), ":020000040000FA");
        EXPECT_STREQ(table.back(), ":00000001FF");
        EXPECT_STREQ(table[table.size() - 4], ":020000040001F9");
        EXPECT_EQ(std::string(table[table.size() - 3]).substr(0, 9), ":080DF800");
        EXPECT_EQ(std::string(table[table.size() - 2]).substr(7, 2), "05");
        for (const char* line : table) {
            EXPECT_LE(std::string(line).size(), 49u);
        }
    }
}

TEST(BuiltinImages, LoadMcuImagesFully) {
    Buffer b;
    auto r = load(Table{}, b); // warm-up: the empty table ends without EOF
    EXPECT_FALSE(r.ok);
    for (int sel : {0, 1}) {
        Load res;
        res.ok = LoadHexImage(data::McuImage(sel), b.span(), b.length, kMcuUsableLength,
                              [&](std::string_view m) { res.messages.emplace_back(m); });
        EXPECT_TRUE(res.ok);
        EXPECT_TRUE(res.messages.empty());
        EXPECT_EQ(b.length, sel == 0 ? 57504 : 57968);
        const std::size_t end = sel == 0 ? 0xE098 : 0xE268;
        // The 8 bytes after the contiguous block are the zero fill that gets sent.
        EXPECT_TRUE(std::all_of(b.bytes.begin() + end, b.bytes.begin() + end + 8,
                                [](auto x) { return x == 0; }));
        // The record at 0x10DF8 is stored though never sent.
        EXPECT_FALSE(std::all_of(b.bytes.begin() + 0x10DF8, b.bytes.begin() + 0x10E00,
                                 [](auto x) { return x == 0; }));
    }
}

TEST(BuiltinImages, ContentsShowMisplacedBytesAndPairsDiffer) {
    Buffer a, c;
    ASSERT_TRUE(load(Table{}, a).ok == false);
    LoadHexImage(data::McuImage0, a.span(), a.length, kMcuUsableLength, {});
    LoadHexImage(data::McuImage1, c.span(), c.length, kMcuUsableLength, {});
    // No short repeating pattern: shifting the image by 1..64 bytes never matches it.
    for (std::size_t shift = 1; shift <= 64; ++shift) {
        EXPECT_FALSE(std::equal(a.bytes.begin(), a.bytes.begin() + 4096, a.bytes.begin() + shift))
            << shift;
    }
    EXPECT_FALSE(std::equal(a.bytes.begin(), a.bytes.begin() + 4096, c.bytes.begin()));
    EXPECT_NE(data::DspImage0[0], data::DspImage1[0]);
}

TEST(BuiltinImages, BuildDspImages) {
    Buffer b;
    BuildDspImage(data::DspImage0, b.span(), b.length);
    EXPECT_EQ(b.length, 24580);
    EXPECT_EQ(b.bytes[0], 0x60);
    EXPECT_EQ(b.bytes[1], 0x04);
    std::uint32_t sum = 0;
    for (std::size_t k = 0; k < data::DspImage0.size(); ++k) {
        const std::uint32_t w = data::DspImage0[k];
        EXPECT_EQ(b.bytes[4 + 4 * k], w >> 24);
        EXPECT_EQ(b.bytes[7 + 4 * k], w & 0xFF);
        sum += (w >> 24) + ((w >> 16) & 0xFF) + ((w >> 8) & 0xFF) + (w & 0xFF);
    }
    EXPECT_EQ(b.bytes[2], (sum >> 8) & 0xFF);
    EXPECT_EQ(b.bytes[3], sum & 0xFF);
    BuildDspImage(data::DspImage1, b.span(), b.length);
    EXPECT_EQ(b.length, 24616);
    EXPECT_EQ(b.bytes[0], 24616 >> 8);
    EXPECT_EQ(b.bytes[1], 24616 & 0xFF);
}

TEST(BuiltinImages, BuffersReplaceEachOther) {
    Buffer b;
    BuildDspImage(data::DspImage1, b.span(), b.length);
    LoadHexImage(data::McuImage0, b.span(), b.length, kMcuUsableLength, {});
    Buffer fresh;
    LoadHexImage(data::McuImage0, fresh.span(), fresh.length, kMcuUsableLength, {});
    EXPECT_TRUE(
        std::equal(b.bytes.begin(), b.bytes.begin() + kMcuUsableLength, fresh.bytes.begin()));
    // Building the DSP program clears 64 KiB only: the McuImage bytes from 65536 stay.
    BuildDspImage(data::DspImage0, b.span(), b.length);
    EXPECT_TRUE(std::equal(b.bytes.begin() + 65536, b.bytes.end(), fresh.bytes.begin() + 65536));
    EXPECT_TRUE(std::all_of(b.bytes.begin() + 24580, b.bytes.begin() + 65536,
                            [](auto x) { return x == 0; }));
}

TEST(HexLoader, ExtendedLinearAndSegmentAddresses) {
    Buffer b;
    EXPECT_TRUE(load({record(4, 0, {0, 1}), record(0, 0x0DF8, {1, 2, 3}), kEof}, b).ok);
    EXPECT_EQ(b.bytes[0x10DF8], 1);
    EXPECT_EQ(b.bytes[0x10DFA], 3);
    EXPECT_EQ(b.length, 3);
    // Linear value 2 puts the record beyond 69632: stopped silently.
    auto r = load({record(4, 0, {0, 2}), record(0, 0x0DF8, {1, 2, 3}), kEof}, b);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(b.length, 0);
    // Segment kind: value * 16; the kind last set wins.
    EXPECT_TRUE(
        load({record(4, 0, {0, 1}), record(2, 0, {0x10, 0x00}), record(0, 0x0004, {9}), kEof}, b)
            .ok);
    EXPECT_EQ(b.bytes[0x10004], 9);
}

TEST(HexLoader, UsableLimitEdge) {
    Buffer b;
    // Last data byte at 69631 is accepted; one further is refused.
    EXPECT_TRUE(load({record(4, 0, {0, 1}), record(0, 0x0FFE, {0xA, 0xB}), kEof}, b).ok);
    EXPECT_EQ(b.bytes[69631], 0xB);
    EXPECT_FALSE(load({record(4, 0, {0, 1}), record(0, 0x0FFF, {0xA, 0xB}), kEof}, b).ok);
    EXPECT_FALSE(load({record(4, 0, {0, 1}), record(0, 0x1000, {}), kEof}, b).ok);
    // A linear value that would overflow 32 bits stays refused.
    EXPECT_FALSE(load({record(4, 0, {0xFF, 0xFF}), record(0, 0xFFFF, {1}), kEof}, b).ok);
}

TEST(HexLoader, GapsAreZeroFilledAndLengthCountsDataBytes) {
    Buffer b;
    b.bytes.fill(0xEE);
    EXPECT_TRUE(load({record(0, 0, {1, 2}), record(0, 8, {3, 4}), kEof}, b).ok);
    EXPECT_EQ(b.length, 4);
    EXPECT_EQ((std::vector<std::uint8_t>(b.bytes.begin(), b.bytes.begin() + 10)),
              (std::vector<std::uint8_t>{1, 2, 0, 0, 0, 0, 0, 0, 3, 4}));
    // Beyond the usable length the buffer is left as it was.
    EXPECT_EQ(b.bytes[kMcuUsableLength], 0xEE);
}

TEST(HexLoader, ChecksumOnlyOnDataRecords) {
    Buffer b;
    // Types 03, 05 and unknown types are skipped even with a wrong checksum.
    EXPECT_TRUE(load({":0400000300000000FF", ":0400000500000131FF", ":00000007FF",
                      record(0, 0, {0x5A}), kEof},
                     b)
                    .ok);
    EXPECT_EQ(b.bytes[0], 0x5A);
    std::string bad = record(0, 0x10, {1, 2, 3});
    bad.back() = bad.back() == '0' ? '1' : '0';
    auto r = load({record(0, 0, {7}), bad, record(0, 0x20, {9}), kEof}, b);
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], "Check sum error!");
    // The faulty record's bytes stay stored and counted; later records are not loaded.
    EXPECT_EQ(b.bytes[0x12], 3);
    EXPECT_EQ(b.length, 4);
    EXPECT_EQ(b.bytes[0x20], 0);
}

TEST(HexLoader, StopsAtLineWithoutColonAndAtMissingEof) {
    Buffer b;
    EXPECT_FALSE(load({record(0, 0, {1}), "garbage", kEof}, b).ok);
    EXPECT_EQ(b.length, 1);
    EXPECT_FALSE(load({record(0, 0, {1})}, b).ok);
    EXPECT_FALSE(load({""}, b).ok);
}

TEST(HexLoader, FieldsStopAtNonHexCharacters) {
    Buffer b;
    // Lower-case digits are hexadecimal too.
    std::string lower = record(0, 0, {0xAB, 0xCD});
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    EXPECT_TRUE(load({lower, kEof}, b).ok);
    EXPECT_EQ(b.bytes[1], 0xCD);
    // Record length "1G" reads as 1; the data byte field runs as usual.
    EXPECT_TRUE(load({":1G0000000BF4", kEof}, b).ok);
    EXPECT_EQ(b.bytes[0], 0x0B);
    // A record claiming 255 data bytes on a short line reads '\0' past the line end
    // (0) and never outside the line; the checksum then fails.
    auto big = load({":FF00000002", kEof}, b);
    EXPECT_FALSE(big.ok);
    EXPECT_EQ(big.messages.size(), 1u);
    EXPECT_EQ(b.length, 255);
    EXPECT_EQ(b.bytes[0], 2);
    // Over-long lines are cut to 49 characters.
    std::string longLine = record(0, 0, std::vector<std::uint8_t>(16, 0x11)) + "FFFFFFFFFFFF";
    EXPECT_TRUE(load({longLine, kEof}, b).ok);
}

TEST(HexLoader, UsableCappedAtBufferSize) {
    Buffer b;
    EXPECT_FALSE(load({record(4, 0, {0, 1}), record(0, 0x1800, {1}), kEof}, b, 0xFFFFFFFF).ok);
}
