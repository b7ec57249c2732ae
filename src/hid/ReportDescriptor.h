// Report lengths from a HID report descriptor, computed as the Windows HID parser
// reports them: the longest report of each kind, in bytes, plus one for the report ID.
#pragma once

#include "hid/HidBackend.h"

#include <cstdint>
#include <span>
#include <vector>

namespace trm {

struct ReportDescriptorInfo {
    HIDP_CAPS caps;
    bool numberedReports = false; // at least one Report ID item
    bool valid = false;           // parsed to the end without a malformed item
};

// Parses `descriptor` (short and long items, Push/Pop of the global state, Report ID,
// Report Size, Report Count, Input/Output/Feature main items). Never reads outside the
// descriptor; a truncated item ends the parse with valid = false and the lengths found
// so far.
ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

// The descriptor of a vendor-page device (usage page 0xFF00, usage 1) without report IDs
// whose input and output reports have these lengths, report ID byte included (2 to
// 65536), as the unit declares itself.
std::vector<std::uint8_t> VendorPageDescriptor(std::uint16_t inputLength,
                                               std::uint16_t outputLength);

} // namespace trm
