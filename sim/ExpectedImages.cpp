// The built-in images as the unit must end up holding them.
#include "sim/ExpectedImages.h"

#include "firmware/ImageLoader.h"
#include "firmware/data/BuiltinImages.h"

#include <array>

namespace trm::sim {

std::pair<Bytes, Bytes> BuiltinImagePair(std::int32_t sel) {
    std::array<std::uint8_t, kImageBufferSize> buffer{};
    std::int32_t length = 0;
    LoadHexImage(data::McuImage(sel), ImageBuffer(buffer), length, kMcuUsableLength, {});
    Bytes firmware(buffer.begin(), buffer.begin() + length);
    BuildDspImage(data::DspImage(sel), ImageBuffer(buffer), length);
    return {std::move(firmware), Bytes(buffer.begin(), buffer.begin() + length)};
}

bool HoldsBuiltinImages(const SimUnit& unit, std::int32_t sel) {
    const auto [firmware, dsp] = BuiltinImagePair(sel);
    return unit.holds(firmware, dsp);
}

} // namespace trm::sim
