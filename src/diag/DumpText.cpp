// Dump text builder; the text is built once and handed to the view in one piece.
#include "diag/DumpText.h"

namespace trm {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void appendAddress(std::string& out, std::uint32_t a) {
    for (int shift = 28; shift >= 0; shift -= 4) {
        out += kHex[(a >> shift) & 0xF];
    }
    out += "  ";
}

} // namespace

std::string DumpText(const std::uint8_t* bytes, std::size_t count, std::uint32_t startAddress) {
    std::string dump;
    if (count == 0) {
        return dump;
    }
    const std::size_t rows = (count + 15) / 16;
    dump.reserve(rows * (10 + 48 + 2 + 16 + 2));
    std::string chars;
    for (std::size_t row = 0; row < rows; ++row) {
        const std::size_t first = row * 16;
        const std::size_t n = count - first < 16 ? count - first : 16;
        appendAddress(dump, static_cast<std::uint32_t>(startAddress + first));
        chars.assign("; ");
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t b = bytes[first + i];
            dump += kHex[b >> 4];
            dump += kHex[b & 0xF];
            dump += ' ';
            chars += (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
        }
        for (std::size_t i = n; i < 16; ++i) {
            dump += "   ";
        }
        dump += chars;
        dump += "\r\n";
    }
    return dump;
}

std::string TrafficLine(const char* prefix, std::uint8_t reportId, const std::uint8_t* bytes,
                        std::size_t count) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string s = prefix;
    s.reserve(s.size() + 4 + 3 * count);
    s += kHex[reportId >> 4];
    s += kHex[reportId & 0xF];
    s += "  ";
    for (std::size_t i = 0; i < count; ++i) {
        s += kHex[bytes[i] >> 4];
        s += kHex[bytes[i] & 0xF];
        s += ' ';
    }
    return s;
}

} // namespace trm
