// Reply reassembly of the link session: received bytes collected into complete replies,
// a LinkFrame (length byte + 8 bytes) in frame mode, a 64-byte block in raw mode.
// Plain C++ so that it can be fuzzed on its own; the session runs it on its worker.
#pragma once

#include "protocol/Lcmd.h"

#include <cstdint>

namespace trm {

class ReplyAssembler {
public:
    static constexpr std::size_t kRawBlock = 64;

    // Takes one byte. Returns true when it completed a reply, which is then in reply()
    // until clear(). Frame mode: bytes before a 0x10 are dropped, a byte after a lone
    // 0x10 that is not 0x02 is dropped, and the frame is complete when its size equals
    // its byte 4 plus 8 (so it never grows past 263 bytes). Raw mode: 64 bytes.
    bool feed(std::uint8_t b, bool frameMode) {
        if (!frameMode) {
            acc_.push_back(b);
            return acc_.size() >= kRawBlock;
        }
        if (acc_.empty() && b != 0x10) {
            return false;
        }
        if (acc_.size() == 1 && b != 0x02) {
            return false;
        }
        acc_.push_back(b);
        return acc_.size() >= 5 && acc_.size() == std::size_t{acc_[4]} + 8;
    }
    // Called at the start of each report handed on. In frame mode a report that opens a
    // reply frame (10 02 01 00) starts a new reply: a partial frame still collected
    // (a broken or over-long one) is dropped instead of swallowing the new reply.
    void beginReport(const std::uint8_t* p, std::size_t n, bool frameMode) {
        if (frameMode && StartsReplyFrame(p, n)) {
            acc_.clear();
        }
    }
    const Bytes& reply() const { return acc_; }
    void clear() { acc_.clear(); }

private:
    Bytes acc_;
};

// How many bytes of an input report the main window hands to the link: a report that
// starts a reply frame (10 02 01 00) its length byte + 8, any other 64; never more
// than the `held` bytes the report buffer holds.
inline int ReportHandOnCount(const std::uint8_t* data, int held) {
    int count = 64;
    if (held >= 5 && StartsReplyFrame(data, static_cast<std::size_t>(held))) {
        count = data[4] + 8;
    }
    return count < held ? count : held;
}

} // namespace trm
