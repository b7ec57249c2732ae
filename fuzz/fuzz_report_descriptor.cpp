// libFuzzer target: the report-descriptor parser over arbitrary descriptors.
#include "hid/ReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const trm::ReportDescriptorInfo info = trm::ParseReportDescriptor({data, size});
    if (info.caps.InputReportByteLength == 1) {
        __builtin_trap(); // a length is 0 (none) or report bytes + 1
    }
    return 0;
}
