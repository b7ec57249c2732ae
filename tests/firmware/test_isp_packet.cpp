// The boot loader's request packets, step by step, and the image streamed through them.
#include "firmware/IspPacket.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <string>
#include <vector>

using namespace trm;

namespace {
struct Isp {
    std::int32_t mode = 2, packetNo = 0, progress = 0, pos = 0;
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(71680);
    std::int32_t length = 0;
    IspStep step() {
        return BuildIspStep({mode, packetNo, progress, pos}, image.data(), image.size(), length);
    }
};
} // namespace

TEST(IspPackets, StepsTwoToEight) {
    Isp s;
    s.length = 57504;
    for (std::size_t i = 0; i < s.image.size(); ++i) {
        s.image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    IspStep c = s.step();
    EXPECT_EQ(c.label, "Connect");
    EXPECT_EQ(c.packet[0], 0x80);
    EXPECT_EQ(c.packet[4], 1);
    EXPECT_EQ(s.packetNo, 1);
    EXPECT_EQ(IspPacketSum(c.packet), 0x81u);

    s.mode = 3;
    s.packetNo = 0x1234; // only the low byte is written
    IspStep sp = s.step();
    EXPECT_EQ(sp.label, "Sync Package");
    EXPECT_EQ(sp.packet[4], 0x34);
    EXPECT_EQ(sp.packet[8], 0x34);
    EXPECT_EQ(sp.packet[5], 0);

    s.mode = 7;
    IspStep sync = s.step();
    EXPECT_EQ(sync.label, "Sync Program");
    EXPECT_EQ(s.packetNo, 1);

    s.mode = 8;
    s.packetNo = 2;
    s.pos = 999;
    IspStep start = s.step();
    EXPECT_EQ(start.label, "Start Program");
    EXPECT_EQ(start.packet[0], 0x85);
    EXPECT_EQ(start.packet[4], 3);
    EXPECT_EQ(start.packet[12] | start.packet[13] << 8, 57504);
    EXPECT_EQ(start.packet[16], s.image[0]);
    EXPECT_EQ(start.packet[63], s.image[47]);
    EXPECT_EQ(s.pos, 48);
    for (std::size_t i = 64; i < 70; ++i) {
        EXPECT_EQ(start.packet[i], 0);
    }
    EXPECT_EQ(IspReplyDelay(8, 48, 57504), 1000);
}

TEST(IspPackets, ImageStreamingCountsAndLastPackets) {
    for (std::int32_t length : {57504, 57968, 48 + 56 * 3, 48, 10}) {
        Isp s;
        s.length = length;
        for (std::size_t i = 0; i < s.image.size(); ++i) {
            s.image[i] = static_cast<std::uint8_t>(i % 251 + 1);
        }
        s.mode = 8;
        s.packetNo = 2;
        std::vector<std::uint8_t> sent;
        IspStep start = s.step();
        sent.insert(sent.end(), start.packet.begin() + 16, start.packet.begin() + 64);
        int packets = 0;
        int lastDelay = 0;
        do {
            s.mode = 9;
            s.packetNo += 1; // the unit's reply: one more than the request
            const std::int32_t before = s.pos;
            IspStep data = s.step();
            ++packets;
            sent.insert(sent.end(), data.packet.begin() + 8,
                        data.packet.begin() + 8 + (s.pos - before));
            lastDelay = IspReplyDelay(9, s.pos, length);
        } while (s.pos < length);
        sent.resize(static_cast<std::size_t>(std::max(length, 48)));
        EXPECT_TRUE(std::equal(sent.begin(),
                               sent.begin() + std::min<std::int32_t>(length, 48 + 56 * packets),
                               s.image.begin()))
            << length;
        if (length == 57504) {
            EXPECT_EQ(packets, 1026);
        } else if (length == 57968) {
            EXPECT_EQ(packets, 1035);
        } else if (length == 48 + 56 * 3) {
            EXPECT_EQ(packets, 3); // ends with a full packet
        } else {
            EXPECT_EQ(packets, 1); // one packet with no image bytes
        }
        EXPECT_EQ(lastDelay, 200);
    }
    EXPECT_EQ(IspReplyDelay(9, 48, 57504), 20);
    EXPECT_EQ(IspReplyDelay(3, 57504, 57504), 200); // a second exchange after a full one
}

TEST(IspPackets, ResetAndAbsurdPacketNumbers) {
    Isp s;
    s.length = 100;
    s.mode = 10;
    s.packetNo = INT_MAX; // from the unit: wraps, never overflows
    IspStep r = s.step();
    EXPECT_TRUE(r.reset);
    EXPECT_EQ(r.label, "MCU Reset");
    EXPECT_EQ(r.packet[0], 0x86);
    EXPECT_EQ(s.mode, 1);
    EXPECT_EQ(s.packetNo, INT_MIN);
    s.mode = 9;
    s.packetNo = INT_MIN;
    s.pos = 48;
    IspStep d = s.step();
    EXPECT_EQ(d.label, "Mcu Programing -1073741825");
    EXPECT_EQ(s.progress, -1073741825);
    // imagePos far outside the buffer: nothing is copied from outside it.
    s.mode = 9;
    s.pos = 70000;
    s.length = 71680 + 1000;
    IspStep outside = s.step();
    EXPECT_EQ(outside.packet[8], s.image[70000]);
}
