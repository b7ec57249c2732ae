// The texts of the diagnostic windows: the hex and character dump of a byte range, as
// the program-data window shows it, and the HID traffic window's lines. Plain C++, no
// Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace trm {

// Returns the whole dump of `count` bytes at `bytes`, labelled from `startAddress`:
// rows of "%08X  ", sixteen "%02X " groups, "; " and sixteen characters (bytes
// outside 0x20..0x7E shown as '.'), each row ended by CR LF. A short last row is
// padded with three blanks per missing byte so its character column lines up.
// count 0 yields an empty text.
std::string DumpText(const std::uint8_t* bytes, std::size_t count, std::uint32_t startAddress);

// One traffic line: `prefix` ("W " or "R "), the report ID as "%02X", two blanks, then
// "%02X " for each of the `count` bytes.
std::string TrafficLine(const char* prefix, std::uint8_t reportId, const std::uint8_t* bytes,
                        std::size_t count);

} // namespace trm
