// libFuzzer target: arbitrary input reports through the path they take in the main
// window while an update runs: the hand-on count of the data handler, reassembly,
// decoding, and what each workflow mode reads from a reply (the gate's verdict, the
// boot loader's packet numbers feeding the next packet, the DSP acknowledgement).
// The input is a series of reports: one mode byte, one length byte, then that many
// report bytes.
#include "firmware/ImageLoader.h"
#include "firmware/IspPacket.h"
#include "link/ReplyAssembler.h"
#include "workflow/Gate.h"

#include <array>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::array<std::uint8_t, trm::kImageBufferSize> image{};
    trm::ReplyAssembler assembler;
    std::int32_t mode = 0, packetNo = 0, progress = 0, pos = 0;
    std::size_t i = 0;
    while (i + 2 <= size) {
        const std::uint8_t modeByte = data[i];
        const std::size_t length = data[i + 1];
        i += 2;
        // The reader's buffer: 64 data bytes, zero past what was read.
        std::uint8_t report[64] = {};
        const std::size_t n = length < size - i ? length : size - i;
        for (std::size_t k = 0; k < n && k < 64; ++k) {
            report[k] = data[i + k];
        }
        i += n;
        const int count = trm::ReportHandOnCount(report, 64);
        if (count < 0 || count > 64) {
            __builtin_trap();
        }
        const bool framed = (modeByte & 0x80) == 0;
        for (int k = 0; k < count; ++k) {
            if (!assembler.feed(report[k], framed)) {
                continue;
            }
            const trm::LCmd reply(assembler.reply());
            assembler.clear();
            try {
                switch (modeByte % 3) {
                case 0: // identity query
                    if (reply.command == 0x10) {
                        (void)reply.payload[0];
                    } else if (reply.command == 0x52) {
                        (void)trm::JudgeIdentity(reply.payload.bytes());
                    }
                    break;
                case 1: { // boot loader: the reply's packet number feeds the next packet
                    mode = 9;
                    packetNo = trm::IspReplyPacketNumber(reply);
                    const trm::IspStep s = trm::BuildIspStep({mode, packetNo, progress, pos},
                                                             image.data(), image.size(), 57504);
                    (void)trm::IspPacketSum(s.packet);
                    break;
                }
                default: // DSP acknowledgement: nothing read
                    break;
                }
            } catch (const std::out_of_range&) {
                // a short reply: reported to the operator by the window
            }
        }
    }
    return 0;
}
