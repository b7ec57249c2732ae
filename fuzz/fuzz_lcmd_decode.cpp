// libFuzzer target: the decoding constructor over arbitrary received bytes. Every
// payload element it reports must be readable, and range-checked access past the end
// must throw rather than read.
#include "protocol/Lcmd.h"

#include <cstdlib>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const trm::LCmd cmd(std::span<const std::uint8_t>(data, size));
    unsigned sum = cmd.address + cmd.command + cmd.value;
    for (std::size_t i = 0; i < cmd.payload.size(); ++i) {
        sum += cmd.payload[i];
    }
    try {
        sum += cmd.payload[cmd.payload.size()];
        std::abort(); // access past the end must throw
    } catch (const std::out_of_range&) {
    }
    if (cmd.payload.size() > size) {
        std::abort();
    }
    // Re-encoding never fails either.
    sum += static_cast<unsigned>(trm::EncodeCommand(cmd, trm::FrameMode::Framed).size());
    return static_cast<int>(sum & 0);
}
