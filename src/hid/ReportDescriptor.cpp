// HID report descriptor parser: only what the report lengths need.
#include "hid/ReportDescriptor.h"

#include <algorithm>
#include <map>
#include <vector>

namespace trm {
namespace {

struct Globals {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

std::uint32_t itemValue(const std::uint8_t* p, std::size_t size) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < size; ++i) {
        v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
    }
    return v;
}

} // namespace

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> d) {
    ReportDescriptorInfo info;
    Globals g;
    std::vector<Globals> stack;
    // Bits per (kind, report ID); kind 0 input, 1 output, 2 feature.
    std::map<std::pair<int, std::uint32_t>, std::uint64_t> bits;
    bool topUsageTaken = false;
    std::uint32_t pendingUsage = 0;
    bool havePendingUsage = false;
    std::size_t i = 0;
    bool ok = true;

    while (i < d.size()) {
        const std::uint8_t prefix = d[i];
        if (prefix == 0xFE) { // long item: FE size tag data...
            if (i + 3 > d.size()) {
                ok = false;
                break;
            }
            const std::size_t size = d[i + 1];
            if (i + 3 + size > d.size()) {
                ok = false;
                break;
            }
            i += 3 + size;
            continue;
        }
        static constexpr std::size_t kSizes[4] = {0, 1, 2, 4};
        const std::size_t size = kSizes[prefix & 0x03];
        if (i + 1 + size > d.size()) {
            ok = false;
            break;
        }
        const std::uint32_t value = itemValue(&d[i + 1], size);
        const int type = (prefix >> 2) & 0x03;
        const int tag = prefix >> 4;
        i += 1 + size;

        if (type == 0) { // main
            int kind = -1;
            if (tag == 0x8) {
                kind = 0;
            } else if (tag == 0x9) {
                kind = 1;
            } else if (tag == 0xB) {
                kind = 2;
            } else if (tag == 0xA && !topUsageTaken) { // first collection
                info.caps.UsagePage = static_cast<std::uint16_t>(g.usagePage);
                info.caps.Usage = static_cast<std::uint16_t>(havePendingUsage ? pendingUsage : 0);
                topUsageTaken = true;
            }
            if (kind >= 0) {
                bits[{kind, g.reportId}] += std::uint64_t{g.reportSize} * g.reportCount;
            }
            havePendingUsage = false;
        } else if (type == 1) { // global
            switch (tag) {
            case 0x0:
                g.usagePage = value;
                break;
            case 0x7:
                g.reportSize = value;
                break;
            case 0x8:
                g.reportId = value;
                info.numberedReports = true;
                break;
            case 0x9:
                g.reportCount = value;
                break;
            case 0xA: // push
                stack.push_back(g);
                break;
            case 0xB: // pop
                if (!stack.empty()) {
                    g = stack.back();
                    stack.pop_back();
                }
                break;
            default:
                break;
            }
        } else if (type == 2) { // local
            if (tag == 0x0 && !havePendingUsage) {
                pendingUsage = size == 4 ? (value & 0xFFFF) : value;
                havePendingUsage = true;
            }
        }
    }

    std::uint64_t longest[3] = {0, 0, 0};
    for (const auto& [key, count] : bits) {
        longest[key.first] = std::max(longest[key.first], (count + 7) / 8);
    }
    auto length = [](std::uint64_t bytes) -> std::uint16_t {
        return bytes == 0 ? 0
                          : static_cast<std::uint16_t>(std::min<std::uint64_t>(bytes + 1, 0xFFFF));
    };
    info.caps.InputReportByteLength = length(longest[0]);
    info.caps.OutputReportByteLength = length(longest[1]);
    info.caps.FeatureReportByteLength = length(longest[2]);
    info.valid = ok;
    return info;
}

std::vector<std::uint8_t> VendorPageDescriptor(std::uint16_t inputLength,
                                               std::uint16_t outputLength) {
    std::vector<std::uint8_t> d{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
                                0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08};
    auto count = [&d](std::uint16_t length, std::uint8_t main) {
        const unsigned n = length > 1 ? length - 1u : 1u;
        if (n <= 0xFF) {
            d.insert(d.end(), {0x95, static_cast<std::uint8_t>(n)});
        } else {
            d.insert(d.end(), {0x96, static_cast<std::uint8_t>(n & 0xFF),
                               static_cast<std::uint8_t>(n >> 8)});
        }
        d.insert(d.end(), {0x09, 0x01, main, 0x02});
    };
    count(inputLength, 0x81);
    count(outputLength, 0x91);
    d.push_back(0xC0);
    return d;
}

} // namespace trm
