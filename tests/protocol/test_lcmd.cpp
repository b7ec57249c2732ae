// LinkFrame encoding and decoding, checked byte for byte against known frames, and
// the decoder's behaviour on malformed input.
#include "protocol/Lcmd.h"

#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>

using namespace trm;

namespace {

Bytes framed(const LCmd& c) {
    return EncodeCommand(c, FrameMode::Framed);
}

Bytes dspBlockFrame(std::int32_t block, const std::vector<std::uint8_t>& image) {
    return framed(CM_QZR_DSP_BYTE_PROG(block, image.data()));
}

} // namespace

TEST(LinkFrameEncode, KnownCommandFrames) {
    EXPECT_EQ(framed(CM_QZR_CMD(1, cmd::GetUnitType)),
              (Bytes{0x10, 0x02, 0x00, 0x01, 0x01, 0x10, 0x10, 0x03, 0x11}));
    EXPECT_EQ(framed(CM_QZR_CMD(1, cmd::GetVersion)),
              (Bytes{0x10, 0x02, 0x00, 0x01, 0x01, 0x52, 0x10, 0x03, 0x53}));
    // The check byte itself may be 0x10.
    EXPECT_EQ(framed(CM_QZR_CMD(1, cmd::RejectUnit)),
              (Bytes{0x10, 0x02, 0x00, 0x01, 0x01, 0x11, 0x10, 0x03, 0x10}));
    EXPECT_EQ(framed(CM_QZR_IAP_RESET(cmd::IapReset)),
              (Bytes{0x10, 0x02, 0x00, 0x01, 0x01, 0x08, 0x10, 0x03, 0x09}));
    EXPECT_EQ(framed(LCmd(1, cmd::KeepAlive)),
              (Bytes{0x10, 0x02, 0x00, 0x01, 0x01, 0x12, 0x10, 0x03, 0x13}));
    EXPECT_EQ(framed(CM_QZR_CMD(1, cmd::UpdateDone)),
              (Bytes{0x10, 0x02, 0x00, 0x01, 0x01, 0x04, 0x10, 0x03, 0x05}));
}

TEST(LinkFrameEncode, DspWriteBlockLayoutAndCheckByte) {
    std::vector<std::uint8_t> image(300 * 32);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) * 13 + 1);
    }
    const Bytes f0 = dspBlockFrame(0, image);
    ASSERT_EQ(f0.size(), 43u);
    EXPECT_EQ((Bytes(f0.begin(), f0.begin() + 8)),
              (Bytes{0x10, 0x02, 0x00, 0x01, 0x23, 0x53, 0x00, 0x00}));
    EXPECT_EQ((Bytes(f0.begin() + 8, f0.begin() + 40)), (Bytes(image.begin(), image.begin() + 32)));
    EXPECT_EQ(f0[40], 0x10);
    EXPECT_EQ(f0[41], 0x03);
    const std::uint8_t x = std::accumulate(image.begin(), image.begin() + 32, std::uint8_t{0},
                                           [](std::uint8_t a, std::uint8_t b) { return a ^ b; });
    EXPECT_EQ(f0[42], 0x70 ^ x);

    // Block index is 16-bit big-endian; block 256 carries image bytes 8192..8223.
    const Bytes f256 = dspBlockFrame(256, image);
    EXPECT_EQ(f256[6], 0x01);
    EXPECT_EQ(f256[7], 0x00);
    EXPECT_EQ((Bytes(f256.begin() + 8, f256.begin() + 40)),
              (Bytes(image.begin() + 8192, image.begin() + 8224)));
    EXPECT_EQ(dspBlockFrame(0x12, image)[6], 0x00);
    EXPECT_EQ(dspBlockFrame(0x12, image)[7], 0x12);
}

TEST(LinkFrameEncode, PayloadIsSentUnstuffedAndCommandAddressFromRecord) {
    LCmd c(1, 0x10);
    c.payload = Payload(Bytes{0x10, 0x10, 0x03, 0x02});
    const Bytes f = framed(c);
    EXPECT_EQ(f, (Bytes{0x10, 0x02, 0x00, 0x01, 0x05, 0x10, 0x10, 0x10, 0x03, 0x02, 0x10, 0x03,
                        static_cast<std::uint8_t>(0x01 ^ 0x01 ^ 0x05 ^ 0x10 ^ 0x10 ^ 0x10 ^ 0x03 ^
                                                  0x02)}));
    // Decoding takes the payload length from byte 4 and returns the payload whole.
    const LCmd d(f);
    EXPECT_EQ(d.payload.bytes(), (Bytes{0x10, 0x10, 0x03, 0x02}));
    EXPECT_EQ(d.command, 0x10);
}

TEST(LinkFrameEncode, RawModeAndUnknownMode) {
    std::vector<std::uint8_t> packet(70);
    std::iota(packet.begin(), packet.end(), std::uint8_t{0x80});
    const CM_QZR_PROGRAM_DATA p(packet.data(), 70);
    EXPECT_EQ(p.address, 0);
    EXPECT_EQ(p.command, 0);
    const Bytes raw = EncodeCommand(p, FrameMode::Raw);
    EXPECT_EQ(raw, packet);
    EXPECT_EQ(EncodeCommand(CM_QZR_CMD(1, 0x10), FrameMode::Raw), Bytes{});
    EXPECT_EQ(EncodeCommand(CM_QZR_CMD(1, 0x10), static_cast<FrameMode>(2)), Bytes{});
    EXPECT_TRUE(CM_QZR_PROGRAM_DATA(packet.data(), 0).payload.empty());
    EXPECT_TRUE(CM_QZR_PROGRAM_DATA(packet.data(), -5).payload.empty());
}

TEST(LinkFrameEncode, LengthByteWrapsModulo256) {
    LCmd c(1, 0x20);
    c.payload = Payload(Bytes(255, 0xAA));
    const Bytes f = framed(c);
    EXPECT_EQ(f.size(), 255u + 9);
    EXPECT_EQ(f[4], 0x00);
}

TEST(LinkFrameDecode, KnownReplyAndRoundTrip) {
    const LCmd r(Bytes{0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x19, 0x10, 0x03, 0x0B});
    EXPECT_EQ(r.address, 1);
    EXPECT_EQ(r.command, 0x10);
    EXPECT_EQ(r.value, 0u);
    EXPECT_EQ(r.payload.bytes(), Bytes{0x19});

    // A frame without payload: 9 bytes, length byte 1, decodes to an empty payload.
    const Bytes f = framed(CM_QZR_CMD(1, 0x10));
    EXPECT_EQ(f.size(), 9u);
    EXPECT_EQ(f[4], 1);
    const LCmd d(f);
    EXPECT_TRUE(d.payload.empty());
    EXPECT_EQ(d.command, 0x10);
    EXPECT_EQ(d.address, 0); // byte 2 of a program-built frame
}

TEST(LinkFrameDecode, CheckByteIsNotExamined) {
    Bytes good{0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x19, 0x10, 0x03, 0x0B};
    Bytes bad = good;
    bad.back() = 0xEE;
    const LCmd a(good), b(bad);
    EXPECT_EQ(a.command, b.command);
    EXPECT_EQ(a.payload.bytes(), b.payload.bytes());
}

TEST(LinkFrameDecode, RawBlock) {
    Bytes block(64);
    std::iota(block.begin(), block.end(), std::uint8_t{1});
    const LCmd r(block);
    EXPECT_EQ(r.value, 0x04030201u);
    EXPECT_EQ(r.address, 0);
    EXPECT_EQ(r.command, 0);
    ASSERT_EQ(r.payload.size(), 60u);
    EXPECT_EQ(r.payload[0], 5);
    EXPECT_EQ(r.payload[59], 64);

    // A raw block that happens to carry the delimiters is read as a frame.
    Bytes lookalike(64, 0x55);
    lookalike[0] = 0x10;
    lookalike[1] = 0x02;
    lookalike[4] = 0x03;
    lookalike[61] = 0x10;
    lookalike[62] = 0x03;
    const LCmd f(lookalike);
    EXPECT_EQ(f.value, 0u);
    EXPECT_EQ(f.command, 0x55);
    EXPECT_EQ(f.payload.bytes(), (Bytes{0x55, 0x55}));
}

TEST(LinkFrameDecode, RangeCheckedPayloadAccessSaysVector) {
    const LCmd empty(Bytes{0x10, 0x02, 0x01, 0x00, 0x01, 0x10, 0x10, 0x03, 0x00});
    ASSERT_TRUE(empty.payload.empty());
    try {
        (void)empty.payload[0];
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_EQ(std::string(e.what()), "vector");
    }
    const LCmd one(Bytes{0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x19, 0x10, 0x03, 0x0B});
    EXPECT_EQ(one.payload[0], 0x19);
    EXPECT_THROW((void)one.payload[1], std::out_of_range);
}

// Input the link never delivers but a faulty unit could: nothing outside the string is
// read (ASan checks this), and the header documents what each yields.
TEST(LinkFrameDecode, MalformedInputStaysInBounds) {
    // Length byte 0: empty payload.
    const LCmd zero(Bytes{0x10, 0x02, 0x01, 0x00, 0x00, 0x10, 0x10, 0x03, 0x00});
    EXPECT_EQ(zero.command, 0x10);
    EXPECT_TRUE(zero.payload.empty());

    // Length byte pointing past the end: empty payload, no read past the string.
    const LCmd past(Bytes{0x10, 0x02, 0x01, 0x00, 0xFF, 0x52, 0x41, 0x10, 0x03, 0x00});
    EXPECT_EQ(past.command, 0x52);
    EXPECT_TRUE(past.payload.empty());

    // Length that exactly reaches the last byte is still inside the string.
    const LCmd edge(Bytes{0x10, 0x02, 0x01, 0x00, 0x05, 0x52, 0x41, 0x10, 0x03, 0x00});
    EXPECT_EQ(edge.payload.bytes(), (Bytes{0x41, 0x10, 0x03, 0x00}));

    // Framed strings shorter than 9 bytes.
    const LCmd five(Bytes{0x10, 0x02, 0x10, 0x03, 0x00});
    EXPECT_EQ(five.address, 0x10);
    EXPECT_EQ(five.command, 0);
    EXPECT_TRUE(five.payload.empty());
    const LCmd four(Bytes{0x10, 0x02, 0x03, 0x00}); // b[n-3]=0x02: not a frame
    EXPECT_EQ(four.value, 0x00030210u);
    EXPECT_TRUE(four.payload.empty());
    const LCmd six(Bytes{0x10, 0x02, 0x01, 0x10, 0x03, 0x00});
    EXPECT_EQ(six.address, 0x01);
    EXPECT_TRUE(six.payload.empty());

    // Raw blocks shorter than 64 bytes, and the empty string.
    const LCmd none{std::span<const std::uint8_t>{}};
    EXPECT_EQ(none.value, 0u);
    EXPECT_TRUE(none.payload.empty());
    const LCmd three(Bytes{0x01, 0x02, 0x03});
    EXPECT_EQ(three.value, 0x030201u);
    EXPECT_TRUE(three.payload.empty());
    const LCmd ten(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(ten.payload.bytes(), (Bytes{5, 6, 7, 8, 9, 10}));
    EXPECT_THROW((void)ten.payload[6], std::out_of_range);

    // Bytes past 63 of a raw block are ignored.
    Bytes longer(80, 0x33);
    EXPECT_EQ(LCmd(longer).payload.size(), 60u);
}
