// The four built-in images, compiled in as constant tables. The tables are generated
// at build time (tools/embed_images) from mcu_image0.hex, mcu_image1.hex,
// dsp_image0.txt and dsp_image1.txt in src/firmware/.
#pragma once

#include <cstdint>
#include <span>

namespace trm::data {

extern const std::span<const char* const> McuImage0;   // Intel HEX lines, pair 0
extern const std::span<const char* const> McuImage1;   // Intel HEX lines, pair 1
extern const std::span<const std::uint32_t> DspImage0; // 32-bit words, pair 0
extern const std::span<const std::uint32_t> DspImage1; // 32-bit words, pair 1

// The tables of pair `imageSel`: 0 selects the first pair, anything else the second.
inline std::span<const char* const> McuImage(std::int32_t imageSel) {
    return imageSel == 0 ? McuImage0 : McuImage1;
}
inline std::span<const std::uint32_t> DspImage(std::int32_t imageSel) {
    return imageSel == 0 ? DspImage0 : DspImage1;
}

} // namespace trm::data
