// libFuzzer target: LoadHexImage over fuzzed tables of lines. The input is split at
// newlines into lines; the first two bytes choose the usable length.
#include "firmware/ImageLoader.h"

#include <array>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::array<std::uint8_t, trm::kImageBufferSize> buffer;
    std::uint32_t usable = trm::kMcuUsableLength;
    if (size >= 2) {
        usable =
            (static_cast<std::uint32_t>(data[0]) << 9) | (static_cast<std::uint32_t>(data[1]) << 1);
        data += 2;
        size -= 2;
    }
    std::vector<std::string> text(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            text.emplace_back();
        } else {
            text.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<const char*> lines;
    for (const auto& t : text) {
        lines.push_back(t.c_str());
    }
    std::int32_t length = 0;
    int messages = 0;
    trm::LoadHexImage(lines, trm::ImageBuffer(buffer), length, usable,
                      [&](std::string_view) { ++messages; });
    if (length < 0 || messages > 1) {
        __builtin_trap();
    }
    return 0;
}
