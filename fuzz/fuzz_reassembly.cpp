// libFuzzer target: reply reassembly fed arbitrary bytes in both modes (the first
// input byte picks the mode), each completed reply decoded as the main window does.
#include "link/ReplyAssembler.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool framed = (data[0] & 1) != 0;
    trm::ReplyAssembler a;
    for (std::size_t i = 1; i < size; ++i) {
        if (a.feed(data[i], framed)) {
            const trm::Bytes& r = a.reply();
            if (framed ? (r.size() != std::size_t{r[4]} + 8 || r[0] != 0x10 || r[1] != 0x02)
                       : r.size() != 64) {
                std::abort();
            }
            const trm::LCmd cmd(r);
            if (cmd.payload.size() > r.size()) {
                std::abort();
            }
            a.clear();
        }
        if (a.reply().size() > 263) {
            std::abort(); // the accumulator is bounded by the length byte
        }
    }
    return 0;
}
