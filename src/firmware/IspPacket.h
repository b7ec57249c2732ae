// The boot loader's 70-byte request for each step, its check value and the reply delay
// that follows it. Plain functions over the main window's boot-loader fields, so that
// the window's steps and the tests use the same code.
#pragma once

#include "protocol/Lcmd.h"

#include <array>
#include <cstdint>
#include <string>

namespace trm {

inline constexpr std::size_t kIspPacketSize = 70;
using IspPacket = std::array<std::uint8_t, kIspPacketSize>;

// Image bytes per program-data packet, and carried by Start Program.
inline constexpr std::int32_t kIspDataBytes = 56;
inline constexpr std::int32_t kIspStartBytes = 48;

// The fields a step reads and advances; the window's own fields are passed in.
struct IspFields {
    std::int32_t& mode;
    std::int32_t& ispPacketNo;
    std::int32_t& ispProgress;
    std::int32_t& imagePos;
};

struct IspStep {
    IspPacket packet{};
    std::string label;     // the step label for this step
    bool progress = false; // mode 9: the progress bar takes ispProgress
    bool reset = false;    // mode 10: MCU Reset
};

// Builds the packet for `f.mode` (2..10) and advances the fields as that step does:
// packet numbers (wrapping, never overflowing), imagePos, ispProgress, and mode 10
// turning into 1. Image bytes are taken from `image` (bufferSize bytes), never past
// its end. Modes outside 2..10 yield an all-zero packet with an empty label.
IspStep BuildIspStep(IspFields f, const std::uint8_t* image, std::size_t bufferSize,
                     std::int32_t imageLength);

// The sum of the 70 bytes, each taken as 0..255.
std::uint32_t IspPacketSum(const IspPacket& packet);

// How long after a packet its reply may be taken: 1000 ms after Start Program (mode 8),
// else 20 ms while more than 56 image bytes remain behind imagePos, else 200 ms.
int IspReplyDelay(std::int32_t mode, std::int32_t imagePos, std::int32_t imageLength);

// The packet number a reply to a program-data packet carries: payload bytes 0..3,
// little-endian. The reads are range-checked: a shorter payload throws
// std::out_of_range("vector").
inline std::int32_t IspReplyPacketNumber(const LCmd& reply) {
    return static_cast<std::int32_t>(
        Le32(reply.payload[0], reply.payload[1], reply.payload[2], reply.payload[3]));
}

} // namespace trm
