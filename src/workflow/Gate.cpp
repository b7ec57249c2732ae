// Identity gate verdicts.
#include "workflow/Gate.h"

#include <limits>

namespace trm {
namespace {
constexpr std::int64_t kLowestVersion = 104;  // "0104"
constexpr std::int64_t kHighestVersion = 104; // "0104"
constexpr std::int64_t kDatePivot = 20210301;
constexpr std::size_t kLongReplyThreshold = 21;

// Characters `first`..`first+count-1` (counted from 1), as many as the text holds.
std::string field(const std::string& text, std::size_t first, std::size_t count) {
    if (first - 1 >= text.size()) {
        return {};
    }
    return text.substr(first - 1, count);
}
} // namespace

std::int64_t LeadingDecimal(const std::string& f) {
    std::size_t i = 0;
    while (i < f.size() && f[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < f.size() && (f[i] == '+' || f[i] == '-')) {
        negative = f[i] == '-';
        ++i;
    }
    std::int64_t v = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 10 - 10;
    while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
        v = v < kMax ? v * 10 + (f[i] - '0') : kMax;
        ++i;
    }
    return negative ? -v : v;
}

GateVerdict JudgeIdentity(std::span<const std::uint8_t> payload) {
    GateVerdict v;
    const std::string text(payload.begin(), payload.end());
    if (field(text, 1, 6) != "TRM415") {
        v.refusal = kInvalidUnitType;
        return v;
    }
    if (payload.size() > kLongReplyThreshold) {
        const std::int64_t version = LeadingDecimal(field(text, 9, 4));
        if (version < kLowestVersion) {
            v.refusal = kTooOldVersion;
            return v;
        }
        if (version > kHighestVersion) {
            v.refusal = kTooNewVersion;
            return v;
        }
        v.imageSel = field(text, 13, 1) == "P" ? 1 : 0;
    } else {
        v.imageSel = LeadingDecimal(field(text, 13, 8)) > kDatePivot ? 1 : 0;
    }
    v.accepted = true;
    return v;
}

} // namespace trm
