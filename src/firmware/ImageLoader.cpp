// Intel HEX loader and signal-processor program layout.
#include "firmware/ImageLoader.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace trm {
namespace {

// One line held at a time, cut to kMaxHexLine characters. Reads past its end see '\0'.
class LineBuffer {
public:
    explicit LineBuffer(const char* line) {
        buf_.fill('\0');
        if (line != nullptr) {
            for (std::size_t i = 0; i < kMaxHexLine && line[i] != '\0'; ++i) {
                buf_[i] = line[i];
            }
        }
    }
    char at(std::size_t i) const { return i < buf_.size() ? buf_[i] : '\0'; }

    // Reads at most `digits` hexadecimal characters from `pos`; the first character
    // that is not a hexadecimal digit ends the number early.
    std::uint32_t hex(std::size_t pos, std::size_t digits) const {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            const int d = digit(at(pos + i));
            if (d < 0) {
                break;
            }
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        return v;
    }

private:
    static int digit(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    }
    std::array<char, kMaxHexLine + 1> buf_{};
};

enum class Extension { None, Segment, Linear };

} // namespace

bool LoadHexImage(std::span<const char* const> lines, ImageBuffer imageBuffer,
                  std::int32_t& imageLength, std::uint32_t usable,
                  const ImageMessageSink& onMessage) {
    usable = std::min<std::uint32_t>(usable, kImageBufferSize);
    imageLength = 0;
    std::memset(imageBuffer.data(), 0, usable);
    Extension kind = Extension::None;
    std::uint32_t extValue = 0;

    for (const char* text : lines) {
        const LineBuffer line(text);
        if (line.at(0) != ':') {
            return false;
        }
        const std::uint32_t length = line.hex(1, 2);
        const std::uint32_t address = line.hex(3, 4);
        const std::uint32_t type = line.hex(7, 2);
        switch (type) {
        case 0x00:
            break;
        case 0x01:
            return true;
        case 0x02:
            kind = Extension::Segment;
            extValue = line.hex(9, 4);
            continue;
        case 0x04:
            kind = Extension::Linear;
            extValue = line.hex(9, 4);
            continue;
        default:
            continue;
        }

        std::uint8_t check = static_cast<std::uint8_t>(length + (address >> 8) + address + type);
        std::uint64_t absolute = address;
        if (kind == Extension::Segment) {
            absolute += std::uint64_t{extValue} * 16;
        } else if (kind == Extension::Linear) {
            absolute += std::uint64_t{extValue} * 65536;
        }
        if (absolute >= usable || absolute + length > usable) {
            return false;
        }
        imageLength += static_cast<std::int32_t>(length);
        for (std::uint32_t i = 0; i < length; ++i) {
            const auto b = static_cast<std::uint8_t>(line.hex(9 + 2 * i, 2));
            imageBuffer[static_cast<std::size_t>(absolute) + i] = b;
            check = static_cast<std::uint8_t>(check + b);
        }
        const auto expected = static_cast<std::uint8_t>(line.hex(9 + 2 * length, 2));
        if (static_cast<std::uint8_t>(-check) != expected) {
            if (onMessage) {
                onMessage("Check sum error!");
            }
            return false;
        }
    }
    return false;
}

void BuildDspImage(std::span<const std::uint32_t> words, ImageBuffer imageBuffer,
                   std::int32_t& imageLength) {
    std::memset(imageBuffer.data(), 0, kDspAreaLength);
    const std::size_t n = std::min<std::size_t>(words.size(), (kDspAreaLength - 4) / 4);
    std::uint32_t sum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t w = words[k];
        for (int s = 0; s < 4; ++s) {
            const auto b = static_cast<std::uint8_t>(w >> (24 - 8 * s));
            imageBuffer[4 + 4 * k + static_cast<std::size_t>(s)] = b;
            sum += b;
        }
    }
    imageLength = static_cast<std::int32_t>(4 + 4 * n);
    imageBuffer[0] = static_cast<std::uint8_t>(imageLength >> 8);
    imageBuffer[1] = static_cast<std::uint8_t>(imageLength);
    imageBuffer[2] = static_cast<std::uint8_t>(sum >> 8);
    imageBuffer[3] = static_cast<std::uint8_t>(sum);
}

} // namespace trm
