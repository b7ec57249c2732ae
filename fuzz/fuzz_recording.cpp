// The recording reader on arbitrary text: it returns an error or a recording, and never
// reads outside the text or crashes.
#include "sim/Replay.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trm::sim::Recording recording;
    const auto error = trm::sim::ParseRecording(
        std::string_view(reinterpret_cast<const char*>(data), size), recording);
    if (!error) {
        // Every accepted report fits its device's reports.
        for (const auto& e : recording.events) {
            if (e.bytes.size() > 4096) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
