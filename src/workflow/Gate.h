// The model and version gate's verdict on a unit's replies. Plain functions: the
// window's reply handler acts on the verdict, the tests check it directly.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace trm {

inline constexpr std::uint8_t kAcceptedUnitType = 0x19;

struct GateVerdict {
    bool accepted = false;
    std::int32_t imageSel = 0; // when accepted: 0 or 1
    std::string refusal;       // when refused: the operator's message
};

// Refusal texts, exactly as the operator sees them.
inline constexpr const char* kInvalidUnitType = " Invalid Unit Type !! ";
inline constexpr const char* kTooOldVersion = "Too Old Version Uint !! ";
inline constexpr const char* kTooNewVersion = "Too New Version Uint !! ";

// The identity text of a GetVersion reply: model "TRM415" in characters 1..6; a long
// reply (over 21 bytes) carries the version in 9..12 (only 0104 passes) and selects
// pair 1 by "P" in 13; a short one carries a date in 13..20 and selects pair 1 after
// 20210301.
GateVerdict JudgeIdentity(std::span<const std::uint8_t> payload);

// A decimal field as the gate reads it: leading blanks, an optional sign, then the
// leading digits; anything else reads as 0. Saturates instead of overflowing.
std::int64_t LeadingDecimal(const std::string& field);

} // namespace trm
