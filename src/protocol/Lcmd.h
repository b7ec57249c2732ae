// Command records of the run-mode protocol: LCmd, its CM_QZR_ subclasses, and the
// one encoder and one decoder of LinkFrame and raw boot-loader bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace trm {

using Bytes = std::vector<std::uint8_t>;

// How a command is put on the wire.
enum class FrameMode : int {
    Raw = 0,    // the payload alone (boot-loader packets)
    Framed = 1, // a LinkFrame: DLE STX, addresses, length, command, payload, DLE ETX, check
};

// Payload bytes of a command or reply, in wire order. Element access is range-checked:
// reading at or past size() throws std::out_of_range whose what() is exactly "vector",
// and nothing is read outside the bytes held.
class Payload {
public:
    Payload() = default;
    explicit Payload(Bytes bytes) : bytes_(std::move(bytes)) {}

    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::uint8_t operator[](std::size_t index) const;
    const Bytes& bytes() const { return bytes_; }
    Bytes& bytes() { return bytes_; }
    auto begin() const { return bytes_.begin(); }
    auto end() const { return bytes_.end(); }

private:
    Bytes bytes_;
};

// A command about to be sent (CommandPacket) or a decoded reply (ResponsePacket).
class LCmd {
public:
    LCmd() = default;
    LCmd(std::uint8_t address, std::uint8_t command) : address(address), command(command) {}

    // Decodes one received byte string. Never fails and never reads outside `bytes`.
    //
    // A LinkFrame is recognised by its four delimiters alone: bytes[0] = 0x10,
    // bytes[1] = 0x02, bytes[n-3] = 0x10, bytes[n-2] = 0x03 (so n >= 4). It yields
    // address = bytes[2], command = bytes[5] (0 where the string is too short to hold
    // it), value = 0, and payload = the (bytes[4] - 1) bytes from bytes[6]. The payload
    // is taken only when it lies wholly inside the string: a length byte of 0, or one
    // that points past the end (including any framed string shorter than 9 bytes that
    // claims a payload), yields an empty payload.
    //
    // Anything else is a raw block: value = bytes 0..3 little-endian, payload =
    // bytes 4..63, address = command = 0. A block shorter than 64 bytes yields the
    // payload bytes it holds (none below 5 bytes) and reads missing value bytes as 0;
    // bytes past 63 are ignored.
    explicit LCmd(std::span<const std::uint8_t> bytes);

    virtual ~LCmd() = default;
    LCmd(const LCmd&) = default;
    LCmd& operator=(const LCmd&) = default;
    LCmd(LCmd&&) = default;
    LCmd& operator=(LCmd&&) = default;

    std::uint8_t address = 0;
    std::uint8_t command = 0;
    std::uint32_t value = 0;
    Payload payload;
};

// Encodes `cmd` for the wire. Framed: a LinkFrame from the program (address 0) to
// `cmd.address`, as EncodeLinkFrame builds it. Raw: the payload bytes alone. Any other
// mode value yields an empty vector.
Bytes EncodeCommand(const LCmd& cmd, FrameMode mode);

// Frame addresses: the program and the unit.
inline constexpr std::uint8_t kProgramAddress = 0x00;

// A LinkFrame: 10 02, sender, receiver, length byte (payload size + 1 modulo 256),
// command, payload, 10 03, and a check byte that is the XOR of all bytes before it. The
// program sends 0 -> 1; the unit answers 1 -> 0.
Bytes EncodeLinkFrame(std::uint8_t sender, std::uint8_t receiver, std::uint8_t command,
                      const Bytes& payload);

// Little-endian 32-bit fields of boot-loader packets and replies.
inline std::uint32_t Le32(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    return std::uint32_t{b0} | std::uint32_t{b1} << 8 | std::uint32_t{b2} << 16 |
           std::uint32_t{b3} << 24;
}
// Precondition: `p` holds 4 bytes.
inline std::uint32_t ReadLe32(const std::uint8_t* p) {
    return Le32(p[0], p[1], p[2], p[3]);
}
inline void WriteLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// Run-mode command codes.
namespace cmd {
inline constexpr std::uint8_t UpdateDone = 0x04;
inline constexpr std::uint8_t IapReset = 0x08;
inline constexpr std::uint8_t GetUnitType = 0x10;
inline constexpr std::uint8_t RejectUnit = 0x11;
inline constexpr std::uint8_t KeepAlive = 0x12;
inline constexpr std::uint8_t GetVersion = 0x52;
inline constexpr std::uint8_t DspWriteBlock = 0x53;
} // namespace cmd

// The unit's address in every command the program sends.
inline constexpr std::uint8_t kUnitAddress = 1;

// Every workflow command without payload.
class CM_QZR_CMD : public LCmd {
public:
    CM_QZR_CMD(std::uint8_t address, std::uint8_t command) : LCmd(address, command) {}
};

// DspWriteBlock for block `blockIndex`: address 1, command 0x53, payload = block index
// high byte, low byte, then image bytes blockIndex*32 .. blockIndex*32+31.
// Precondition: `image` holds at least blockIndex*32 + 32 bytes.
class CM_QZR_DSP_BYTE_PROG : public LCmd {
public:
    CM_QZR_DSP_BYTE_PROG(std::int32_t blockIndex, const std::uint8_t* image);
};

// One boot-loader packet, sent Raw: address 0, command 0, payload = the first `count`
// bytes of `bytes` (none when count <= 0).
class CM_QZR_PROGRAM_DATA : public LCmd {
public:
    CM_QZR_PROGRAM_DATA(const std::uint8_t* bytes, std::int32_t count);
};

// IapReset: address 1, command from the argument (0x08), no payload.
class CM_QZR_IAP_RESET : public LCmd {
public:
    explicit CM_QZR_IAP_RESET(std::uint8_t command) : LCmd(kUnitAddress, command) {}
};

// True when `v` carries the LinkFrame delimiters: v[0] = 0x10, v[1] = 0x02,
// v[n-3] = 0x10, v[n-2] = 0x03. The link session uses the same test to choose how to
// collect replies.
bool HasFrameDelimiters(std::span<const std::uint8_t> v);

// True when `n` bytes at `p` open a reply frame of the unit: 10 02 01 00.
inline bool StartsReplyFrame(const std::uint8_t* p, std::size_t n) {
    return n >= 4 && p[0] == 0x10 && p[1] == 0x02 && p[2] == kUnitAddress &&
           p[3] == kProgramAddress;
}

} // namespace trm
