// The built-in images, laid out.
#include "firmware/BuiltinImageBytes.h"

#include "firmware/ImageLoader.h"
#include "firmware/data/BuiltinImages.h"

#include <array>
#include <memory>

namespace trm {

std::vector<std::uint8_t> BuiltinMcuBytes(std::int32_t sel) {
    auto buffer = std::make_unique<std::array<std::uint8_t, kImageBufferSize>>();
    std::int32_t length = 0;
    LoadHexImage(data::McuImage(sel), ImageBuffer(*buffer), length, kMcuUsableLength, {});
    return {buffer->begin(), buffer->begin() + length};
}

std::vector<std::uint8_t> BuiltinDspBytes(std::int32_t sel) {
    auto buffer = std::make_unique<std::array<std::uint8_t, kImageBufferSize>>();
    std::int32_t length = 0;
    BuildDspImage(data::DspImage(sel), ImageBuffer(*buffer), length);
    return {buffer->begin(), buffer->begin() + length};
}

} // namespace trm
