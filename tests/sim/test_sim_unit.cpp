// The simulated unit's boot loader and application as the updater relies on them:
// sum echoes, packet numbers, reply delays, what its memory ends up holding, and the
// faults it injects on request.
#include "sim/SimUnit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

using namespace trm;
using namespace trm::sim;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Records what the unit does on its bus, with times.
class RecordingPort : public UnitPort {
public:
    void attach(std::uint16_t productId) override {
        std::lock_guard lock(m);
        events.push_back("attach " + std::to_string(productId));
        cv.notify_all();
    }
    void detach() override {
        std::lock_guard lock(m);
        events.push_back("detach");
        cv.notify_all();
    }
    void sendInput(const Bytes& report) override {
        std::lock_guard lock(m);
        inputs.push_back({Clock::now(), report});
        cv.notify_all();
    }
    bool waitInputs(std::size_t n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 10s, [&] { return inputs.size() >= n; });
    }
    bool waitEvents(std::size_t n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 10s, [&] { return events.size() >= n; });
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> events;
    std::vector<std::pair<Clock::time_point, Bytes>> inputs;
};

Bytes packet(std::uint8_t code, std::uint32_t number, bool wide) {
    Bytes p(65, 0); // report ID + 64 bytes: what reaches a unit with 65-byte reports
    p[1] = code;
    p[5] = static_cast<std::uint8_t>(number);
    if (wide) {
        p[6] = static_cast<std::uint8_t>(number >> 8);
    }
    return p;
}

std::uint32_t sumOf(const Bytes& report) {
    return std::accumulate(report.begin() + 1, report.end(), 0u);
}

std::uint32_t le32(const Bytes& r, std::size_t at) {
    return r[at] | r[at + 1] << 8 | r[at + 2] << 16 | static_cast<std::uint32_t>(r[at + 3]) << 24;
}

Bytes command(std::uint8_t code, Bytes payload = {}) {
    LCmd c(1, code);
    c.payload = Payload(std::move(payload));
    const Bytes f = EncodeCommand(c, FrameMode::Framed);
    Bytes r(65, 0);
    std::copy(f.begin(), f.end(), r.begin() + 1);
    return r;
}

} // namespace

TEST(SimUnit, BootLoaderEchoesSumsAfterTheStepDelayAndStoresTheImage) {
    UnitScenario s;
    s.startInUpdate = true;
    s.restartMs = 50;
    SimUnit unit(s);
    RecordingPort port;
    unit.start(&port);

    // Connect: byte sum echoed, packet number + 1, no sooner than 20 ms.
    Bytes connect = packet(0x80, 1, false);
    auto t0 = Clock::now();
    unit.onOutputReport(connect.data(), connect.size());
    ASSERT_TRUE(port.waitInputs(1));
    Bytes r = port.inputs[0].second;
    EXPECT_EQ(le32(r, 1), sumOf(connect));
    EXPECT_EQ(r[5], 2);
    EXPECT_GE(port.inputs[0].first - t0, 20ms);
    EXPECT_FALSE(r[1] == 0x10 && r[2] == 0x02 && r[3] == 0x01 && r[4] == 0x00);

    // Start Program of a 48 + 56 + 10 byte image, then two data packets.
    const std::uint32_t length = 114;
    Bytes image(length);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    Bytes start = packet(0x85, 3, true);
    start[13] = static_cast<std::uint8_t>(length);
    std::copy(image.begin(), image.begin() + 48, start.begin() + 17);
    t0 = Clock::now();
    unit.onOutputReport(start.data(), start.size());
    ASSERT_TRUE(port.waitInputs(2));
    EXPECT_GE(port.inputs[1].first - t0, 1000ms);
    EXPECT_EQ(le32(port.inputs[1].second, 5), 4u);

    Bytes data1 = packet(0x00, 5, true);
    std::copy(image.begin() + 48, image.begin() + 104, data1.begin() + 9);
    unit.onOutputReport(data1.data(), data1.size());
    Bytes data2 = packet(0x00, 7, true);
    std::copy(image.begin() + 104, image.end(), data2.begin() + 9);
    t0 = Clock::now();
    unit.onOutputReport(data2.data(), data2.size());
    ASSERT_TRUE(port.waitInputs(4));
    EXPECT_GE(port.inputs[3].first - t0, 200ms); // the last packets wait 200 ms
    EXPECT_EQ(unit.state().firmware, image);

    // MCU Reset: no reply; the unit leaves and comes back in the run identity.
    Bytes reset = packet(0x86, 9, true);
    unit.onOutputReport(reset.data(), reset.size());
    ASSERT_TRUE(port.waitEvents(3));
    EXPECT_EQ(port.events, (std::vector<std::string>{"attach 2308", "detach", "attach 2081"}));
    EXPECT_EQ(port.inputs.size(), 4u);
    EXPECT_EQ(unit.state().identity, Identity::Run);
}

TEST(SimUnit, ApplicationAnswersEachCommandAndStoresDspBlocks) {
    UnitScenario s;
    s.unitType = 0x18;
    s.identityText = "TRM415 short";
    SimUnit unit(s);
    RecordingPort port;
    unit.start(&port);
    for (std::uint8_t c :
         {cmd::GetUnitType, cmd::GetVersion, cmd::KeepAlive, cmd::RejectUnit, cmd::UpdateDone}) {
        Bytes r = command(c);
        unit.onOutputReport(r.data(), r.size());
    }
    ASSERT_TRUE(port.waitInputs(3));
    const Bytes& type = port.inputs[0].second;
    EXPECT_EQ((Bytes(type.begin() + 1, type.begin() + 10)),
              (Bytes{0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x18, 0x10, 0x03}));
    const Bytes& version = port.inputs[1].second;
    EXPECT_EQ(version[5], 13);
    EXPECT_EQ(std::string(version.begin() + 7, version.begin() + 19), "TRM415 short");
    EXPECT_EQ(port.inputs[2].second[6], cmd::KeepAlive);

    Bytes block(34);
    block[0] = 0x01; // block 256
    block[1] = 0x00;
    for (int i = 0; i < 32; ++i) {
        block[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
    }
    ASSERT_TRUE(port.waitInputs(4));
    EXPECT_EQ(port.inputs[3].second[6], cmd::UpdateDone); // answered, so the link goes idle
    Bytes r = command(cmd::DspWriteBlock, block);
    unit.onOutputReport(r.data(), r.size());
    ASSERT_TRUE(port.waitInputs(5));
    EXPECT_EQ(port.inputs[4].second[6], cmd::DspWriteBlock);
    const auto st = unit.state();
    ASSERT_EQ(st.dspProgram.size(), 257u * 32);
    EXPECT_EQ(st.dspProgram[256 * 32], 0xA0);
    EXPECT_EQ(st.updateDone, 1);
    EXPECT_EQ(st.rejectUnit, 1);
    EXPECT_EQ(st.commands.size(), 6u);
}

TEST(SimUnit, FaultsOnRequest) {
    // Wrong sum at Connect: answered, but the echo is off by one; only once.
    {
        UnitScenario s;
        s.startInUpdate = true;
        s.bootFault = Fault::WrongSum;
        s.bootFaultStep = step::Connect;
        SimUnit unit(s);
        RecordingPort port;
        unit.start(&port);
        Bytes connect = packet(0x80, 1, false);
        unit.onOutputReport(connect.data(), connect.size());
        unit.onOutputReport(connect.data(), connect.size());
        ASSERT_TRUE(port.waitInputs(2));
        EXPECT_EQ(le32(port.inputs[0].second, 1), sumOf(connect) + 1);
        EXPECT_EQ(le32(port.inputs[1].second, 1), sumOf(connect));
    }
    // Drop off after the second DSP block; silent application.
    {
        UnitScenario s;
        s.dspFault = Fault::DropOff;
        s.dspFaultBlock = 2;
        SimUnit unit(s);
        RecordingPort port;
        unit.start(&port);
        Bytes r = command(cmd::DspWriteBlock, Bytes(34, 0x55));
        unit.onOutputReport(r.data(), r.size());
        ASSERT_TRUE(port.waitInputs(1));
        unit.onOutputReport(r.data(), r.size());
        ASSERT_TRUE(port.waitEvents(2));
        EXPECT_EQ(port.events.back(), "detach");
        EXPECT_FALSE(unit.state().present);
        unit.replug(Identity::Run);
        EXPECT_TRUE(unit.state().present);
        unit.setScenario([] {
            UnitScenario q;
            q.silentApplication = true;
            return q;
        }());
        Bytes t = command(cmd::GetUnitType);
        unit.onOutputReport(t.data(), t.size());
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(port.inputs.size(), 1u); // only the first block's acknowledgement
    }
}
