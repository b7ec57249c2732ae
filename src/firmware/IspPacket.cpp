// Boot-loader request packets.
#include "firmware/IspPacket.h"

#include <algorithm>
#include <cstring>

namespace trm {
namespace {

void putLe32(IspPacket& p, std::size_t at, std::uint32_t v) {
    WriteLe32(p.data() + at, v);
}

// Packet numbers come from the unit; advancing one must not overflow.
std::int32_t next(std::int32_t n) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + 1u);
}

// Copies up to `count` image bytes from `pos`, clipped to the buffer.
void copyImage(IspPacket& p, std::size_t at, const std::uint8_t* image, std::size_t bufferSize,
               std::int64_t pos, std::int64_t count) {
    if (pos < 0 || count <= 0 || static_cast<std::uint64_t>(pos) >= bufferSize) {
        return;
    }
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>({count, static_cast<std::int64_t>(bufferSize) - pos,
                                static_cast<std::int64_t>(kIspPacketSize - at)}));
    std::memcpy(p.data() + at, image + pos, n);
}

} // namespace

IspStep BuildIspStep(IspFields f, const std::uint8_t* image, std::size_t bufferSize,
                     std::int32_t imageLength) {
    IspStep s;
    IspPacket& p = s.packet;
    auto lowByte = [&] { return static_cast<std::uint8_t>(f.ispPacketNo & 0xFF); };
    switch (f.mode) {
    case 2:
        s.label = "Connect";
        p[0] = 0x80;
        f.ispPacketNo = 1;
        p[4] = 1;
        break;
    case 3:
        s.label = "Sync Package";
        p[0] = 0x81;
        p[4] = p[8] = lowByte();
        break;
    case 4:
        s.label = "Get Firmware Version";
        p[0] = 0x82;
        p[4] = lowByte();
        break;
    case 5:
        s.label = "Get Device ID";
        p[0] = 0x83;
        p[4] = lowByte();
        break;
    case 6:
        s.label = "Read Config";
        p[0] = 0x84;
        p[4] = lowByte();
        break;
    case 7:
        s.label = "Sync Program";
        p[0] = 0x81;
        f.ispPacketNo = 1;
        p[4] = p[8] = 1;
        break;
    case 8:
        s.label = "Start Program";
        p[0] = 0x85;
        f.ispPacketNo = next(f.ispPacketNo);
        putLe32(p, 4, static_cast<std::uint32_t>(f.ispPacketNo));
        putLe32(p, 12, static_cast<std::uint32_t>(imageLength));
        f.imagePos = 0;
        copyImage(p, 16, image, bufferSize, 0, kIspStartBytes);
        f.imagePos = kIspStartBytes;
        break;
    case 9: {
        f.ispProgress = static_cast<std::int32_t>((std::int64_t{f.ispPacketNo} - 3) / 2);
        s.label = "Mcu Programing " + std::to_string(f.ispProgress);
        s.progress = true;
        p[0] = 0x00;
        f.ispPacketNo = next(f.ispPacketNo);
        putLe32(p, 4, static_cast<std::uint32_t>(f.ispPacketNo));
        const std::int64_t pos = f.imagePos;
        const std::int64_t count =
            pos < std::int64_t{imageLength} - kIspDataBytes ? kIspDataBytes : imageLength - pos;
        if (count > 0) {
            copyImage(p, 8, image, bufferSize, pos, count);
            f.imagePos = static_cast<std::int32_t>(pos + count);
        }
        break;
    }
    case 10:
        s.label = "MCU Reset";
        s.reset = true;
        p[0] = 0x86;
        f.ispPacketNo = next(f.ispPacketNo);
        putLe32(p, 4, static_cast<std::uint32_t>(f.ispPacketNo));
        f.mode = 1;
        break;
    default:
        break;
    }
    return s;
}

std::uint32_t IspPacketSum(const IspPacket& packet) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : packet) {
        sum += b;
    }
    return sum;
}

int IspReplyDelay(std::int32_t mode, std::int32_t imagePos, std::int32_t imageLength) {
    if (mode == 8) {
        return 1000;
    }
    return std::int64_t{imagePos} + kIspDataBytes < imageLength ? 20 : 200;
}

} // namespace trm
