// The unit's two USB identities: the only thing by which it is recognised.
#pragma once

#include "hid/HidBackend.h"

#include <cstdint>

namespace trm {

inline constexpr std::uint16_t kUnitVendorId = 0x0168;
inline constexpr std::uint16_t kRunProductId = 0x0821;    // application firmware running
inline constexpr std::uint16_t kUpdateProductId = 0x0904; // boot loader running

inline bool IsRunIdentity(const HIDD_ATTRIBUTES& a) {
    return a.VendorID == kUnitVendorId && a.ProductID == kRunProductId;
}
inline bool IsUpdateIdentity(const HIDD_ATTRIBUTES& a) {
    return a.VendorID == kUnitVendorId && a.ProductID == kUpdateProductId;
}
inline bool IsUnitIdentity(const HIDD_ATTRIBUTES& a) {
    return IsRunIdentity(a) || IsUpdateIdentity(a);
}

} // namespace trm
