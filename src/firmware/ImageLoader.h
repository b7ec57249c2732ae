// Loaders of the built-in images into the image buffer: LoadHexImage parses
// microcontroller firmware held as Intel HEX lines, BuildDspImage lays out a
// signal-processor program behind its 4-byte header. Plain C++, no Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace trm {

// Size of the image buffer shared by both kinds of image.
inline constexpr std::size_t kImageBufferSize = 71680;
// Bytes of the buffer the microcontroller loader may use (its only call passes this).
inline constexpr std::uint32_t kMcuUsableLength = 0x11000;
// Bytes of the buffer the signal-processor builder clears and uses.
inline constexpr std::size_t kDspAreaLength = 65536;
// The loader holds one line at a time; longer lines are cut to this many characters.
inline constexpr std::size_t kMaxHexLine = 49;

using ImageBuffer = std::span<std::uint8_t, kImageBufferSize>;

// Receives the loader's one operator message, "Check sum error!".
using ImageMessageSink = std::function<void(std::string_view)>;

// Parses `lines` (one Intel HEX record each) into `imageBuffer`.
// Clears bytes 0 .. usable-1 first (usable is capped at the buffer size), sets
// `imageLength` to the number of data bytes stored, and honours extended segment (02)
// and extended linear (04) address records; other non-data records are skipped
// unchecked. Returns true only when the end-of-file record was reached. Stops with
// false, silently, at a line not opening with ':', at a data record that would reach
// at or beyond `usable`, or when the table ends without an end-of-file record; stops
// with false after calling `onMessage("Check sum error!")` at a data record whose
// checksum is wrong (its bytes stay stored and counted). Never reads or writes
// outside the lines or the buffer, whatever the lines hold.
bool LoadHexImage(std::span<const char* const> lines, ImageBuffer imageBuffer,
                  std::int32_t& imageLength, std::uint32_t usable,
                  const ImageMessageSink& onMessage);

// Lays `words` into `imageBuffer`: bytes 0..65535 cleared, word k at 4 + 4k most
// significant byte first, header = low 16 bits of 4 + 4N then low 16 bits of the byte
// sum of the words, both high byte first. Sets `imageLength` to 4 + 4N.
// Precondition: at most 16382 words (the build refuses larger tables).
void BuildDspImage(std::span<const std::uint32_t> words, ImageBuffer imageBuffer,
                   std::int32_t& imageLength);

} // namespace trm
