// Faults and bad input from the unit: a sweep of wrong sums, drop-offs and silences over
// the boot-loader steps, program-data packets and DSP blocks, each ending in its defined
// state with the GUI thread responsive, then the unit brought back where the flow
// resumes; malformed reports, a flood of unsolicited reports, absurd packet numbers.
// TRM_FAULT_SWEEP=long widens the sweep (by hand; the short form runs in CI).
#include "support/Rig.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

using namespace trm;
using namespace trm::testing;

namespace {

constexpr int kDeadline = 120000;

bool longSweep() {
    const char* v = std::getenv("TRM_FAULT_SWEEP");
    return v != nullptr && std::string(v) == "long";
}

// Whether the GUI thread was ever blocked for long: the gaps of a 20 ms timer on the GUI
// thread, less what a reference thread ticking every 5 ms saw of the same time. On a
// machine too busy to run the process at all both gaps grow alike and nothing is
// counted; a GUI thread waiting on another thread shows alone. Timer lateness alone says
// nothing about the program.
struct Probe {
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 worst = 0;                // the longest GUI gap the reference thread did not share (ms)
    std::atomic<qint64> refWorst{0}; // the reference's longest gap since the last GUI tick
    std::atomic<bool> stop{false};
    std::thread reference;
    Probe() {
        clock.start();
        reference = std::thread([this] {
            qint64 prev = clock.elapsed();
            while (!stop.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                const qint64 now = clock.elapsed();
                qint64 seen = refWorst.load();
                while (now - prev > seen && !refWorst.compare_exchange_weak(seen, now - prev)) {
                }
                prev = now;
            }
        });
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            const qint64 gap = now - last;
            worst = std::max(worst, gap - refWorst.exchange(0));
            last = now;
        });
        timer.start();
    }
    ~Probe() {
        stop = true;
        reference.join();
    }
};

const char* kStepTexts[] = {"ISP Start Error !!",     "ISP Sync Error !!",    "Erase All Error !!",
                            "Get ID Error !!",        "Erase All Error !!",   "Erase All Error !!",
                            "Program Start Error !!", "Program Data Error !!"};

struct Case {
    sim::Fault fault;
    int step;   // boot-loader step 2..9, or 0 for a DSP block
    int number; // data packet or DSP block, from 1
};

std::string name(const Case& c) {
    const char* f = c.fault == sim::Fault::WrongSum  ? "WrongSum"
                    : c.fault == sim::Fault::DropOff ? "DropOff"
                                                     : "Silent";
    return std::string(f) +
           (c.step ? "AtStep" + std::to_string(c.step) : std::string("AtDspBlock")) +
           (c.step == 9 || c.step == 0 ? "_" + std::to_string(c.number) : "");
}

std::vector<Case> bootLoaderCases() {
    std::vector<Case> cases;
    std::vector<int> packets = {1, 2};
    if (longSweep()) {
        packets = {1, 2, 100, 513, 1000, 1034, 1035};
    }
    for (sim::Fault f : {sim::Fault::WrongSum, sim::Fault::DropOff, sim::Fault::Silent}) {
        for (int st = 2; st <= 8; ++st) {
            cases.push_back({f, st, 1});
        }
        for (int p : packets) {
            cases.push_back({f, 9, p});
        }
    }
    return cases;
}

// The quick road to the DSP download: the unit drops off at the first program-data
// packet and comes back in its application, where the flow resumes with the DSP stage.
sim::UnitScenario quickToDsp() {
    sim::UnitScenario s = Rig::defaults();
    s.bootFault = sim::Fault::DropOff;
    s.bootFaultStep = sim::step::ProgramData;
    s.bootFaultPacket = 1;
    return s;
}
void reachDsp(Rig& rig) {
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(
        Rig::waitFor([&] { return rig.w->stage == 3 && rig.w->device == nullptr; }, kDeadline));
    rig.unit->replug(sim::Identity::Run);
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->stage == 1 && rig.w->mode == 1; }, kDeadline));
}

} // namespace

class BootLoaderFault : public ::testing::TestWithParam<Case> {};

TEST_P(BootLoaderFault, EndsInItsStateThenResumesWithTheDspProgram) {
    const Case c = GetParam();
    sim::UnitScenario s = Rig::defaults();
    s.bootFault = c.fault;
    s.bootFaultStep = c.step;
    s.bootFaultPacket = c.number;
    Rig rig(s);
    Probe probe;
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    TfmIsp* w = rig.w;
    if (c.fault == sim::Fault::WrongSum) {
        ASSERT_TRUE(rig.waitMessage(kStepTexts[c.step - 2], kDeadline));
        EXPECT_EQ(rig.messages.back().first, MessageKind::Error);
        const bool closes = c.step == 2 || c.step == 3 || c.step == 5;
        EXPECT_EQ(w->link == nullptr, closes);
        EXPECT_EQ(w->mode, closes ? 0 : c.step);
    } else if (c.fault == sim::Fault::DropOff) {
        ASSERT_TRUE(Rig::waitFor([&] { return w->stage == 3 && w->device == nullptr; }, kDeadline));
        EXPECT_TRUE(w->link == nullptr);
        EXPECT_EQ(w->PanelText(1), "No Device");
        EXPECT_EQ(w->mode, 0);
    } else {
        // Silent: the exchange waits at that step, the link open, nothing shown.
        // Program data: once the packets before the silent one have reached the unit
        // (the window is in mode 9 as soon as it hands the first one over).
        ASSERT_TRUE(Rig::waitFor(
            [&] {
                return w->mode == c.step && w->stage == 3 &&
                       (c.step != 9 || rig.unit->state().dataPackets >= c.number - 1);
            },
            kDeadline));
        const int packets = rig.unit->state().dataPackets;
        Rig::pump(c.step == 8 ? 1500 : 500);
        EXPECT_EQ(w->mode, c.step);
        EXPECT_TRUE(w->link != nullptr);
        EXPECT_EQ(rig.unit->state().dataPackets, packets);
    }
    EXPECT_EQ(w->stage, 3);
    EXPECT_EQ(w->mcuBusy, 1);
    EXPECT_FALSE(w->btnStartProgram->isEnabled());
    if (c.fault != sim::Fault::WrongSum) {
        EXPECT_TRUE(rig.messages.empty());
    }
    // Brought back in its application, the flow resumes with the DSP program.
    if (c.fault != sim::Fault::DropOff) {
        rig.unit->unplug();
        ASSERT_TRUE(Rig::waitFor([&] { return w->device == nullptr; }, 10000));
    }
    rig.unit->replug(sim::Identity::Run);
    ASSERT_TRUE(rig.waitMessage(" Program OK !! ", kDeadline));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.unit->state().updateDone == 1; }, 10000));
    const auto dsp = Rig::images(w->imageSel).second;
    const auto st = rig.unit->state();
    EXPECT_TRUE(std::equal(dsp.begin(), dsp.end(), st.dspProgram.begin()));
    EXPECT_LT(probe.worst, 1000) << "GUI thread blocked";
}

INSTANTIATE_TEST_SUITE_P(Sweep, BootLoaderFault, ::testing::ValuesIn(bootLoaderCases()),
                         [](const auto& info) { return name(info.param); });

class DspFault : public ::testing::TestWithParam<Case> {};

TEST_P(DspFault, StopsTheFlowWithTheLinkClosedOrWaiting) {
    const Case c = GetParam();
    sim::UnitScenario s = quickToDsp();
    s.dspFault = c.fault;
    s.dspFaultBlock = c.number;
    Rig rig(s);
    Probe probe;
    reachDsp(rig);
    TfmIsp* w = rig.w;
    ASSERT_TRUE(Rig::waitFor([&] { return rig.unit->state().dspBlocks >= c.number; }, kDeadline));
    if (c.fault == sim::Fault::DropOff) {
        ASSERT_TRUE(Rig::waitFor([&] { return w->device == nullptr; }, 10000));
        EXPECT_TRUE(w->link == nullptr);
    } else {
        Rig::pump(500);
        EXPECT_TRUE(w->link != nullptr);
        EXPECT_TRUE(w->StatusRed());
        EXPECT_EQ(w->mode, 1);
    }
    EXPECT_EQ(w->stage, 1);
    EXPECT_EQ(w->mcuBusy, 1);
    EXPECT_TRUE(rig.messages.empty());
    EXPECT_LT(probe.worst, 1000) << "GUI thread blocked";
    // Back in either identity, neither enables "Start Program " again.
    if (c.fault != sim::Fault::DropOff) {
        rig.unit->unplug();
        ASSERT_TRUE(Rig::waitFor([&] { return w->device == nullptr; }, 10000));
    }
    rig.unit->replug(sim::Identity::Run);
    ASSERT_TRUE(Rig::waitFor([&] { return w->PanelText(1) == "Detect Run HID"; }, 10000));
    Rig::pump(300);
    EXPECT_FALSE(w->btnStartProgram->isEnabled());
    EXPECT_TRUE(rig.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Sweep, DspFault,
                         ::testing::Values(Case{sim::Fault::DropOff, 0, 1},
                                           Case{sim::Fault::Silent, 0, 770}),
                         [](const auto& info) { return name(info.param); });

// After a stop the flow cannot resume from, restarting the program (new windows, same
// unit) updates the unit completely, byte for byte.
TEST(Restart, AfterADspDropARestartedProgramUpdatesFully) {
    sim::UnitScenario s = quickToDsp();
    s.dspFault = sim::Fault::DropOff;
    s.dspFaultBlock = 5;
    Rig rig(s);
    reachDsp(rig);
    ASSERT_TRUE(
        Rig::waitFor([&] { return rig.w->stage == 1 && rig.w->device == nullptr; }, kDeadline));
    // The program is closed and started again; the unit is plugged in again.
    rig.w->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms();
    CreateForms(std::make_unique<sim::SimHidBackend>(rig.bus));
    rig.w = fmIsp;
    rig.w->operatorStandIn = [&](MessageKind k, const QString& t) {
        rig.messages.emplace_back(k, t);
    };
    rig.unit->replug(sim::Identity::Run);
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(rig.waitMessage(" Program OK !! ", kDeadline));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.unit->state().updateDone == 1; }, 10000));
    EXPECT_TRUE(rig.holds(1));
}

// Malformed reports while a reply is awaited: nothing reads outside a report, the
// out-of-range read of a too-short reply is told, and a later good reply still works.
TEST(BadInput, MalformedReportsDuringTheIdentityQuery) {
    sim::UnitScenario s = Rig::defaults();
    s.silentApplication = true; // we answer for it
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnVersionClick();
    ASSERT_TRUE(rig.w->link != nullptr);
    auto inject = [&](const Bytes& data) {
        Bytes report(65, 0); // report ID 0, then the data, zero-filled
        std::copy(data.begin(),
                  data.begin() +
                      static_cast<std::ptrdiff_t>(std::min<std::size_t>(data.size(), 64)),
                  report.begin() + 1);
        rig.port->sendInput(report);
        Rig::pump(30);
    };
    inject({0x10, 0x02, 0x01, 0x00, 0x00, 0x10, 0x10, 0x03}); // length 0
    inject({0x10, 0x02, 0x01, 0x00, 0x01, 0x10, 0x10, 0x03}); // length 1: no unit type
    inject({0x10, 0x02, 0x01, 0x00, 0x38, 0x52, 'T', 'R'});   // length 56: all 64 bytes
    inject({0x10, 0x02, 0x01, 0x00, 0x39, 0x52, 'x'});        // 57: cut to the report
    inject({0x10, 0x02, 0x01, 0x00, 0xFF, 0x52});             // 255: cut to the report
    inject({0x55, 0x66, 0x10, 0x07, 0x10});                   // garbage before DLE STX
    inject({0x10});                                           // a report of one byte
    // The link stays usable: a proper GetVersion reply of a refused version still
    // reaches the gate.
    const Bytes good = [] {
        const std::string t = "TRM415 V0103P 20210630";
        return EncodeLinkFrame(kUnitAddress, kProgramAddress, cmd::GetVersion,
                               Bytes(t.begin(), t.end()));
    }();
    for (int i = 0; i < 6 && !rig.waitMessage("Too Old Version Uint !! ", 100); ++i) {
        inject(good);
    }
    EXPECT_TRUE(rig.waitMessage("Too Old Version Uint !! ", 2000));
    for (auto& [kind, text] : rig.messages) {
        EXPECT_TRUE(text == "vector" || text == " Invalid Unit Type !! " ||
                    text == "Too Old Version Uint !! ")
            << text.toStdString();
    }
    EXPECT_EQ(rig.w->mcuBusy, 0); // nothing was programmed
}

// A flood of unsolicited reports during the DSP download, fake acknowledgements among
// them: every block still reaches the unit in order, and success is only reported for
// a unit that holds the whole program.
TEST(BadInput, FloodOfUnsolicitedReportsDuringTheDspDownload) {
    Rig rig(quickToDsp());
    reachDsp(rig);
    std::mt19937 random(415);
    QTimer flood;
    flood.setInterval(1);
    int injected = 0;
    QObject::connect(&flood, &QTimer::timeout, [&] {
        Bytes report(65, 0);
        switch (injected++ % 5) {
        case 0:
            for (auto& b : report) {
                b = static_cast<std::uint8_t>(random());
            }
            report[0] = 0;
            break;
        case 1: // an unsolicited keep-alive reply
            report = {0, 0x10, 0x02, 0x01, 0x00, 0x01, 0x12, 0x10, 0x03, 0x00};
            break;
        case 2: // a fake block acknowledgement
            report = {0, 0x10, 0x02, 0x01, 0x00, 0x01, 0x53, 0x10, 0x03, 0x00};
            break;
        case 3:
            report = {0, 0x10, 0x02, 0x01, 0x00, 0xFF};
            break;
        default:
            report = {0, 0x10, 0x02, 0x01, 0x00, 0x00};
            break;
        }
        report.resize(65);
        rig.port->sendInput(report);
    });
    flood.start();
    const bool ok = rig.waitMessage(" Program OK !! ", kDeadline);
    flood.stop();
    ASSERT_TRUE(ok);
    const bool done = Rig::waitFor([&] { return rig.unit->state().updateDone == 1; }, 10000);
    if (!done) {
        const auto st = rig.unit->state();
        std::string tail;
        for (std::size_t i = st.commands.size() > 8 ? st.commands.size() - 8 : 0;
             i < st.commands.size(); ++i) {
            tail += std::to_string(st.commands[i]) + " ";
        }
        ADD_FAILURE() << "unit got " << st.dspBlocks << " blocks; last commands " << tail
                      << "; link busy " << (rig.w->link ? rig.w->link->busy() : false) << " queued "
                      << (rig.w->link ? rig.w->link->queued() : 0);
    }
    EXPECT_GT(injected, 10);
    // Success reported only with the whole program stored, every block once.
    const auto dsp = Rig::images(1).second;
    const auto st = rig.unit->state();
    EXPECT_TRUE(std::equal(dsp.begin(), dsp.end(), st.dspProgram.begin()));
    EXPECT_EQ(st.dspBlocks, static_cast<int>(dsp.size() / 32 + 1));
    EXPECT_EQ(rig.count(cmd::DspWriteBlock), st.dspBlocks);
}

TEST(BadInput, AbsurdPacketNumbersWithTheRightSum) {
    sim::UnitScenario s = Rig::defaults();
    s.packetNumberBias = 0x7FFFFFF0u;
    Rig rig(s);
    Probe probe;
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(rig.waitMessage(" Program OK !! ", kDeadline));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.unit->state().updateDone == 1; }, 10000));
    EXPECT_TRUE(rig.holds(1));
    EXPECT_LT(probe.worst, 1000);
}
