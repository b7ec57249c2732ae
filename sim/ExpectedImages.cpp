// The built-in images as the unit must end up holding them.
#include "sim/ExpectedImages.h"

#include "firmware/BuiltinImageBytes.h"

namespace trm::sim {

std::pair<Bytes, Bytes> BuiltinImagePair(std::int32_t sel) {
    return {BuiltinMcuBytes(sel), BuiltinDspBytes(sel)};
}

bool HoldsBuiltinImages(const SimUnit& unit, std::int32_t sel) {
    const auto [firmware, dsp] = BuiltinImagePair(sel);
    return unit.holds(firmware, dsp);
}

} // namespace trm::sim
