// Complete updates of the simulated unit through the main window, and what happens
// when the boot loader answers wrong or the unit is unplugged part-way, then comes
// back.
#include "support/Rig.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

using namespace trm;
using namespace trm::testing;

namespace {

constexpr int kUpdateDeadline = 120000;

// What the operator sees along the way.
struct Watch {
    std::vector<QString> steps;
    std::set<int> maxima;
    int redTurns = 0;
    explicit Watch(TfmIsp* w) {
        QObject::connect(w, &TfmIsp::stepLabelChanged,
                         [this](const QString& t) { steps.push_back(t); });
        QObject::connect(w, &TfmIsp::progressChanged, [this](int, int max) { maxima.insert(max); });
        QObject::connect(w, &TfmIsp::statusColourChanged, [this](bool red) { redTurns += red; });
    }
    bool saw(const QString& step) const {
        return std::find(steps.begin(), steps.end(), step) != steps.end();
    }
};

void completeUpdate(const std::string& identity, std::int32_t pair, int mcuMax, int dspMax) {
    sim::UnitScenario s = Rig::defaults();
    s.identityText = identity;
    Rig rig(s);
    Watch watch(rig.w);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    EXPECT_EQ(rig.w->PanelText(1), "Detect Run HID");
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(rig.waitMessage(" Program OK !! ", kUpdateDeadline));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.unit->state().updateDone == 1; }, 10000));
    EXPECT_EQ(rig.messages.size(), 1u);
    EXPECT_EQ(rig.w->imageSel, pair);
    EXPECT_TRUE(rig.holds(pair));
    // Along the way: the boot loader's steps, the reset, the DSP blocks.
    for (const char* step : {"Connect", "Sync Package", "Get Firmware Version", "Get Device ID",
                             "Read Config", "Sync Program", "Start Program", "Mcu Programing 0",
                             "MCU Reset", "Dsp Program", "Dsp Progrmming 0"}) {
        EXPECT_TRUE(watch.saw(step)) << step;
    }
    EXPECT_EQ(watch.steps.back(), QString("Dsp Progrmming %1").arg(dspMax));
    EXPECT_TRUE(watch.maxima.count(mcuMax));
    EXPECT_TRUE(watch.maxima.count(dspMax));
    EXPECT_GE(watch.redTurns, 2);
    // At the end: idle look, link open with its keep-alive, Start stays disabled.
    EXPECT_EQ(rig.w->stage, 0);
    EXPECT_EQ(rig.w->mcuBusy, 0);
    EXPECT_EQ(rig.w->mode, 1);
    EXPECT_FALSE(rig.w->StatusRed());
    EXPECT_EQ(rig.w->PanelText(0), "Disconnect");
    EXPECT_EQ(rig.w->PanelText(1), "Detect Run HID");
    EXPECT_EQ(rig.w->pbProgress->value(), 0);
    EXPECT_TRUE(rig.w->link != nullptr);
    EXPECT_FALSE(rig.w->link->keepAliveSuppressed());
    EXPECT_FALSE(rig.w->btnStartProgram->isEnabled());
    // The program-data window holds the last dump: the DSP program, 16 bytes a row.
    const int dspLength = 4 + 4 * static_cast<int>(data::DspImage(pair).size());
    EXPECT_EQ(fmProgData->moShowCode->blockCount(), (dspLength + 15) / 16);
    const auto st = rig.unit->state();
    EXPECT_EQ(st.dspBlocks, dspMax + 1);
    EXPECT_EQ(st.iapReset, 1);
    EXPECT_EQ(st.mcuReset, 1);
}

} // namespace

TEST(CompleteUpdate, PairOneByVariantLetter) {
    completeUpdate("TRM415 V0104P 20210630", 1, 57968 / 56 + 1, 769);
}

TEST(CompleteUpdate, PairZeroByOtherLetter) {
    completeUpdate("TRM415 V0104A 20210630", 0, 57504 / 56 + 1, 768);
}

TEST(CompleteUpdate, UnitAlreadyInBootLoaderFallsBackToPairOne) {
    sim::UnitScenario s = Rig::defaults();
    s.startInUpdate = true;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    EXPECT_EQ(rig.w->PanelText(1), "Detect Update HID");
    rig.w->btnStartProgram->click();
    Rig::pump(2500);
    EXPECT_TRUE(rig.commands.empty()); // nothing for 3000 ms
    ASSERT_TRUE(rig.waitMessage(" Program OK !! ", kUpdateDeadline));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.unit->state().updateDone == 1; }, 10000));
    EXPECT_EQ(rig.w->imageSel, 1);
    EXPECT_TRUE(rig.holds(1));
}

// A wrong sum at each boot-loader step: the step's message in an error box; the link
// closed at Connect, Sync Package and Get Device ID, left open elsewhere; stage 3 and
// mcuBusy 1 kept.
class BootLoaderError : public ::testing::TestWithParam<std::tuple<int, const char*, bool>> {};

std::string stepCaseName(const ::testing::TestParamInfo<BootLoaderError::ParamType>& info) {
    static const char* const kSteps[] = {"Connect",      "SyncPackage", "FirmwareVersion",
                                         "DeviceId",     "ReadConfig",  "SyncProgram",
                                         "StartProgram", "ProgramData"};
    return std::string("WrongSumAt") + kSteps[std::get<0>(info.param) - 2];
}

TEST_P(BootLoaderError, StopsWithTheStepsMessage) {
    const auto [step, text, closes] = GetParam();
    sim::UnitScenario s = Rig::defaults();
    s.bootFault = sim::Fault::WrongSum;
    s.bootFaultStep = step;
    s.bootFaultPacket = 3;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(rig.waitMessage(text, 30000));
    ASSERT_EQ(rig.messages.size(), 1u);
    EXPECT_EQ(rig.messages[0].first, MessageKind::Error);
    EXPECT_EQ(rig.w->link == nullptr, closes);
    EXPECT_EQ(rig.w->mode, closes ? 0 : step);
    EXPECT_EQ(rig.w->rxGate, 0);
    EXPECT_EQ(rig.w->stage, 3);
    EXPECT_EQ(rig.w->mcuBusy, 1);
    EXPECT_FALSE(rig.w->btnStartProgram->isEnabled());
    // Nothing more is sent.
    const auto sent = rig.commands.size();
    Rig::pump(300);
    EXPECT_EQ(rig.commands.size(), sent);
}

INSTANTIATE_TEST_SUITE_P(Steps, BootLoaderError,
                         ::testing::Values(std::make_tuple(2, "ISP Start Error !!", true),
                                           std::make_tuple(3, "ISP Sync Error !!", true),
                                           std::make_tuple(4, "Erase All Error !!", false),
                                           std::make_tuple(5, "Get ID Error !!", true),
                                           std::make_tuple(6, "Erase All Error !!", false),
                                           std::make_tuple(7, "Erase All Error !!", false),
                                           std::make_tuple(8, "Program Start Error !!", false),
                                           std::make_tuple(9, "Program Data Error !!", false)),
                         stepCaseName);

TEST(Unplug, DuringBootLoaderThenBackInRunIdentityResumesWithTheDspProgram) {
    sim::UnitScenario s = Rig::defaults();
    s.bootFault = sim::Fault::DropOff;
    s.bootFaultStep = sim::step::ProgramData;
    s.bootFaultPacket = 5;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->stage == 3 && rig.w->device == nullptr; }, 30000));
    EXPECT_TRUE(rig.w->link == nullptr);
    EXPECT_EQ(rig.w->PanelText(1), "No Device");
    EXPECT_FALSE(rig.w->btnStartProgram->isEnabled());
    EXPECT_EQ(rig.w->mcuBusy, 1);
    // Back in its boot loader: found, but "Start Program " stays off while mcuBusy.
    rig.unit->replug(sim::Identity::Update);
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->PanelText(1) == "Detect Update HID"; }, 5000));
    Rig::pump(200);
    EXPECT_FALSE(rig.w->btnStartProgram->isEnabled());
    // Back in its application: the signal-processor stage starts by itself.
    rig.unit->unplug();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->device == nullptr; }, 5000));
    rig.unit->replug(sim::Identity::Run);
    ASSERT_TRUE(rig.waitMessage(" Program OK !! ", 30000));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.unit->state().updateDone == 1; }, 10000));
    auto [fw, dsp] = Rig::images(1);
    const auto st = rig.unit->state();
    EXPECT_NE(st.firmware, fw); // the firmware was cut short; the DSP program is whole
    EXPECT_TRUE(std::equal(dsp.begin(), dsp.end(), st.dspProgram.begin()));
}

TEST(Unplug, DuringDspDownloadLeavesTheFlowStopped) {
    sim::UnitScenario s = Rig::defaults();
    s.startInUpdate = true; // skip the gate: straight to the boot loader via the fallback
    s.dspFault = sim::Fault::DropOff;
    s.dspFaultBlock = 100;
    Rig rig(s);
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->stage == 1 && rig.w->device == nullptr; },
                             kUpdateDeadline));
    EXPECT_TRUE(rig.w->link == nullptr);
    EXPECT_EQ(rig.w->mcuBusy, 1);
    EXPECT_FALSE(rig.w->btnStartProgram->isEnabled());
    rig.unit->replug(sim::Identity::Run);
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->PanelText(1) == "Detect Run HID"; }, 5000));
    Rig::pump(500);
    EXPECT_FALSE(rig.w->btnStartProgram->isEnabled());
    EXPECT_FALSE(rig.w->tmRunStep->isActive());
    EXPECT_EQ(rig.w->stage, 1);
    EXPECT_TRUE(rig.messages.empty());
}

// A boot loader that answers before the host's timer has opened the receive gate (it
// answers early, or this thread runs the timer late): the reply is kept and taken when
// the gate opens, and the update completes byte for byte.
struct EarlyCase {
    const char* name;
    int earlyMs;   // the boot loader answers this long before each step's delay
    int guiBusyMs; // the GUI thread is held this long after each boot-loader packet
};

class EarlyReply : public ::testing::TestWithParam<EarlyCase> {};

TEST_P(EarlyReply, IsKeptUntilTheGateOpensAndTheUpdateCompletes) {
    const EarlyCase c = GetParam();
    sim::UnitScenario s = Rig::defaults();
    s.earlyMs = c.earlyMs;
    s.otherDevices = 2;
    Rig rig(s);
    if (c.guiBusyMs > 0) {
        // After the packet's timer has been armed: the tick comes late.
        QObject::connect(rig.w, &TfmIsp::commandSent, [&](int command) {
            if (command == -1) {
                QTimer::singleShot(0, [ms = c.guiBusyMs] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                });
            }
        });
    }
    rig.start();
    ASSERT_TRUE(Rig::waitFor([&] { return rig.w->btnStartProgram->isEnabled(); }));
    rig.w->btnStartProgram->click();
    ASSERT_TRUE(rig.waitMessage(" Program OK !! ", kUpdateDeadline));
    ASSERT_TRUE(Rig::waitFor([&] { return rig.unit->state().updateDone == 1; }, 10000));
    EXPECT_EQ(rig.messages.size(), 1u);
    EXPECT_TRUE(rig.holds(rig.w->imageSel));
    // How the unit saw the pacing: the shortest time between two boot-loader requests
    // beyond the previous step's delay (the figure; the host arms its timer when it
    // hands a packet over, so the worker's write can lag it by a thread wake-up).
    const auto slack = rig.unit->state().bootSlackUs;
    ASSERT_GT(slack.size(), 1000u);
    const double least = *std::min_element(slack.begin(), slack.end());
    RecordProperty("least_slack_us", std::to_string(least));
    std::printf("boot-loader requests: %zu gaps, least slack beyond the step's delay %.0f us\n",
                slack.size(), least);
}

INSTANTIATE_TEST_SUITE_P(BootLoader, EarlyReply,
                         ::testing::Values(EarlyCase{"AnswersFiveMsEarly", 5, 0},
                                           EarlyCase{"GuiThreadBusy30MsAtEveryPacket", 0, 30}),
                         [](const auto& info) { return std::string(info.param.name); });
