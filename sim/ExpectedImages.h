// What a unit must hold after a complete update with image pair `sel`: the built-in
// microcontroller image as the loader lays it out, and the signal-processor image.
#pragma once

#include "protocol/Lcmd.h"
#include "sim/SimUnit.h"

#include <cstdint>
#include <utility>

namespace trm::sim {

// The bytes of the built-in McuImage and DspImage of pair `sel` (0 or 1).
std::pair<Bytes, Bytes> BuiltinImagePair(std::int32_t sel);

// Whether `unit` holds the built-in images of pair `sel` byte for byte.
bool HoldsBuiltinImages(const SimUnit& unit, std::int32_t sel);

} // namespace trm::sim
