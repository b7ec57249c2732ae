// The built-in images as the loaders lay them into the image buffer: the bytes an
// update sends for each pair. Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <vector>

namespace trm {

// The `imageLength` bytes of the McuImage of pair `sel` after LoadHexImage.
std::vector<std::uint8_t> BuiltinMcuBytes(std::int32_t sel);
// The `imageLength` bytes of the DspImage of pair `sel` after BuildDspImage.
std::vector<std::uint8_t> BuiltinDspBytes(std::int32_t sel);

} // namespace trm
