// LinkFrame encoding and decoding, and the CM_QZR_ command constructors.
#include "protocol/Lcmd.h"

#include <cstring>
#include <stdexcept>

namespace trm {

std::uint8_t Payload::operator[](std::size_t index) const {
    if (index >= bytes_.size()) {
        throw std::out_of_range("vector");
    }
    return bytes_[index];
}

bool HasFrameDelimiters(std::span<const std::uint8_t> v) {
    const std::size_t n = v.size();
    return n >= 4 && v[0] == 0x10 && v[1] == 0x02 && v[n - 3] == 0x10 && v[n - 2] == 0x03;
}

LCmd::LCmd(std::span<const std::uint8_t> b) {
    const std::size_t n = b.size();
    if (HasFrameDelimiters(b)) {
        address = b[2];
        command = n > 5 ? b[5] : 0;
        if (n > 4 && b[4] != 0) {
            const std::size_t count = static_cast<std::size_t>(b[4]) - 1;
            if (6 + count <= n) {
                payload.bytes().assign(b.begin() + 6, b.begin() + 6 + count);
            }
        }
        return;
    }
    for (std::size_t i = 0; i < 4 && i < n; ++i) {
        value |= static_cast<std::uint32_t>(b[i]) << (8 * i);
    }
    if (n > 4) {
        const std::size_t end = n < 64 ? n : 64;
        payload.bytes().assign(b.begin() + 4, b.begin() + end);
    }
}

Bytes EncodeCommand(const LCmd& cmd, FrameMode mode) {
    Bytes out;
    if (mode == FrameMode::Raw) {
        out = cmd.payload.bytes();
    } else if (mode == FrameMode::Framed) {
        out = EncodeLinkFrame(kProgramAddress, cmd.address, cmd.command, cmd.payload.bytes());
    }
    return out;
}

Bytes EncodeLinkFrame(std::uint8_t sender, std::uint8_t receiver, std::uint8_t command,
                      const Bytes& payload) {
    Bytes out;
    out.reserve(payload.size() + 9);
    std::uint8_t check = 0;
    auto put = [&](std::uint8_t b) {
        out.push_back(b);
        check ^= b;
    };
    put(0x10);
    put(0x02);
    put(sender);
    put(receiver);
    put(static_cast<std::uint8_t>(payload.size() + 1));
    put(command);
    for (std::uint8_t b : payload) {
        put(b);
    }
    put(0x10);
    put(0x03);
    out.push_back(check);
    return out;
}

CM_QZR_DSP_BYTE_PROG::CM_QZR_DSP_BYTE_PROG(std::int32_t blockIndex, const std::uint8_t* image)
    : LCmd(kUnitAddress, cmd::DspWriteBlock) {
    Bytes& p = payload.bytes();
    p.assign(34, 0);
    p[0] = static_cast<std::uint8_t>((blockIndex >> 8) & 0xFF);
    p[1] = static_cast<std::uint8_t>(blockIndex & 0xFF);
    std::memcpy(p.data() + 2, image + static_cast<std::ptrdiff_t>(blockIndex) * 32, 32);
}

CM_QZR_PROGRAM_DATA::CM_QZR_PROGRAM_DATA(const std::uint8_t* bytes, std::int32_t count)
    : LCmd(0, 0) {
    if (count > 0) {
        payload.bytes().assign(bytes, bytes + count);
    }
}

} // namespace trm
