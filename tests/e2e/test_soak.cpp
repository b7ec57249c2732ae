// Soak: complete simulated updates one after another in one program run, the unit
// wiped and plugged in again for each, every one byte-verified, with the resident
// memory watched. (One unit throughout: in a second exchange of a run the boot loader's
// first replies are taken 200 ms after each request, as the image position left by the
// first exchange says, and this unit knows to wait that long.)
// TRM_SOAK_UPDATES sets how many (2 by default; 20 by hand).
#include "support/Rig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <unistd.h>

using namespace trm;
using namespace trm::testing;

namespace {
double residentMiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}
} // namespace

TEST(Soak, RepeatedUpdatesInOneProgramRun) {
    const char* env = std::getenv("TRM_SOAK_UPDATES");
    const int updates = env != nullptr ? std::max(1, std::atoi(env)) : 2;
    auto bus = std::make_shared<sim::SimHidBus>();
    CreateForms(std::make_unique<sim::SimHidBackend>(bus));
    TfmIsp* w = fmIsp;
    std::vector<QString> messages;
    w->operatorStandIn = [&](MessageKind, const QString& t) { messages.push_back(t); };
    std::vector<double> rss;
    auto unit = std::make_unique<sim::SimUnit>(Rig::defaults());
    auto port = std::make_unique<sim::SimBusPort>(bus, *unit);
    for (int i = 0; i < updates; ++i) {
        sim::UnitScenario s = Rig::defaults();
        s.identityText = i % 2 == 0 ? "TRM415 V0104P 20210630" : "TRM415 V0104A 20210630";
        unit->setScenario(s);
        unit->wipe();
        if (i == 0) {
            unit->start(port.get());
        } else {
            unit->replug(sim::Identity::Run);
        }
        ASSERT_TRUE(Rig::waitFor([&] { return w->btnStartProgram->isEnabled(); })) << i;
        messages.clear();
        w->btnStartProgram->click();
        ASSERT_TRUE(Rig::waitFor([&] { return !messages.empty(); }, 120000)) << i;
        ASSERT_EQ(messages[0], kProgramOk) << i;
        ASSERT_TRUE(Rig::waitFor([&] { return unit->state().updateDone == 1; }, 10000)) << i;
        auto [fw, dsp] = Rig::images(i % 2 == 0 ? 1 : 0);
        EXPECT_TRUE(unit->holds(fw, dsp)) << i;
        unit->unplug();
        ASSERT_TRUE(Rig::waitFor([&] { return w->device == nullptr; }, 10000)) << i;
        rss.push_back(residentMiB());
        std::printf("update %d of %d verified; resident %.1f MiB\n", i + 1, updates, rss.back());
    }
    // No growth from one update to the next beyond noise: the traffic window is hidden
    // (nothing is logged) and every session and device is released.
    if (rss.size() >= 3) {
        EXPECT_LT(rss.back() - rss[1], 4.0);
    }
    w->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms();
    unit.reset();
    port.reset();
}
