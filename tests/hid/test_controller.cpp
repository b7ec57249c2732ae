// The HID device controller over the simulated bus, with a simulated unit behind it:
// claiming in both identities, unplugging, re-enumeration, restarts into the other
// identity, a unit that cannot be opened, and a claim/traffic/unplug stress run.
#include "hid/HidController.h"
#include "sim/SimHidBus.h"
#include "sim/SimUnit.h"
#include "tests/support/ControllerEvents.h"

#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

using namespace trm;
using namespace trm::sim;

namespace {

constexpr int kDeadline = 10000;

Bytes frameReport(std::uint8_t command) {
    Bytes f = EncodeCommand(CM_QZR_CMD(1, command), FrameMode::Framed);
    Bytes report(65, 0);
    std::copy(f.begin(), f.end(), report.begin() + 1);
    return report;
}

// The controller over its own simulated bus, with the claim logic of a window.
struct Harness : trm::testing::ControllerEvents {
    std::shared_ptr<SimHidBus> bus = std::make_shared<SimHidBus>();
    std::unique_ptr<THidDeviceController> owned =
        std::make_unique<THidDeviceController>(std::make_unique<SimHidBackend>(bus));

    Harness() {
        owned->DevThreadSleepTime = 20;
        attach(owned.get());
    }
    ~Harness() {
        detach();
        owned.reset();
    }
};

} // namespace

TEST(HidController, FirstScanCountsAsChangeWithNoDevices) {
    Harness h;
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.changes == 1; }, kDeadline));
    EXPECT_EQ(h.device, nullptr);
    EXPECT_TRUE(h.ctl->Devices().empty());
}

TEST(HidController, ClaimsRunIdentityAndCarriesTraffic) {
    Harness h;
    SimUnit unit;
    SimBusPort port(h.bus, unit);
    unit.start(&port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.device != nullptr; }, kDeadline));
    EXPECT_EQ(h.events, (std::vector<std::string>{"claim run"}));
    EXPECT_TRUE(h.device->CheckedOut());
    EXPECT_EQ(h.device->GetCaps().InputReportByteLength, 65);
    ASSERT_TRUE(h.write(frameReport(cmd::GetUnitType)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.data.size() == 1; }, kDeadline));
    ASSERT_EQ(h.data[0].size(), 65u); // report ID + 64 data bytes
    EXPECT_EQ(h.data[0][0], 0x00);
    EXPECT_EQ((Bytes(h.data[0].begin() + 1, h.data[0].begin() + 11)),
              (Bytes{0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x19, 0x10, 0x03, 0x0B}));
}

TEST(HidController, ClaimsUpdateIdentity) {
    Harness h;
    UnitScenario s;
    s.startInUpdate = true;
    SimUnit unit(s);
    SimBusPort port(h.bus, unit);
    unit.start(&port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.device != nullptr; }, kDeadline));
    EXPECT_EQ(h.events, (std::vector<std::string>{"claim update"}));
    EXPECT_TRUE(IsUpdateIdentity(h.device->Attributes()));
}

TEST(HidController, UnplugWhileClaimedReleasesTheDevice) {
    Harness h;
    SimUnit unit;
    SimBusPort port(h.bus, unit);
    unit.start(&port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.device != nullptr; }, kDeadline));
    unit.unplug();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.device == nullptr; }, kDeadline));
    EXPECT_EQ(h.events, (std::vector<std::string>{"claim run", "unplug run"}));
    EXPECT_TRUE(h.ctl->Devices().empty()); // checked in after unplug: destroyed
}

TEST(HidController, ReEnumerationLeavesClaimedDeviceAndOtherProductsAlone) {
    Harness h;
    SimUnit unit;
    SimBusPort port(h.bus, unit);
    unit.start(&port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.device != nullptr; }, kDeadline));
    THidDevice* claimed = h.device;
    const int scans = h.ctl->ScanCount();

    // Another product of the same vendor, and a foreign device, come and go.
    HIDP_CAPS caps;
    caps.InputReportByteLength = 65;
    const std::string other =
        h.bus->add({0x0168, 0x0999, 1}, caps, [](const std::uint8_t*, std::size_t) {});
    const std::string foreign =
        h.bus->add({0x046D, 0xC52B, 1}, caps, [](const std::uint8_t*, std::size_t) {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.ctl->Devices().size() == 3; }, kDeadline));
    EXPECT_GT(h.ctl->ScanCount(), scans);
    EXPECT_EQ(h.device, claimed);
    EXPECT_TRUE(claimed->CheckedOut());
    // The claimed device's reader still carries traffic.
    ASSERT_TRUE(h.write(frameReport(cmd::KeepAlive)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.data.size() == 1; }, kDeadline));
    EXPECT_EQ(h.data[0][6], cmd::KeepAlive);

    h.bus->remove(other);
    h.bus->remove(foreign);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.ctl->Devices().size() == 1; }, kDeadline));
    EXPECT_EQ(h.device, claimed);
    EXPECT_EQ(h.events, (std::vector<std::string>{"claim run", "unplug other", "unplug other"}));
}

TEST(HidController, RestartIntoOtherIdentityIsRemovalThenArrival) {
    Harness h;
    UnitScenario s;
    s.restartMs = 100;
    SimUnit unit(s);
    SimBusPort port(h.bus, unit);
    unit.start(&port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.device != nullptr; }, kDeadline));
    ASSERT_TRUE(h.write(frameReport(cmd::IapReset)));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return h.device != nullptr && IsUpdateIdentity(h.device->Attributes()); },
        kDeadline));
    EXPECT_EQ(h.events, (std::vector<std::string>{"claim run", "unplug run", "claim update"}));
    EXPECT_EQ(h.ctl->Devices().size(), 1u);
}

TEST(HidController, UnitThatCannotBeOpenedIsToldOnceAndClaimedAfterReplug) {
    Harness h;
    SimUnit unit;
    SimBusPort port(h.bus, unit);
    port.setOpenError(EACCES);
    unit.start(&port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.denied.size() == 1; }, kDeadline));
    EXPECT_EQ(h.denied[0].accessError, EACCES);
    EXPECT_FALSE(h.denied[0].accessible);
    EXPECT_EQ(h.denied[0].attributes.ProductID, 0x0821);
    // Offered again by a later enumeration: still not claimed, not told twice.
    h.ctl->Enumerate();
    QTest::qWait(100);
    EXPECT_EQ(h.device, nullptr);
    EXPECT_EQ(h.denied.size(), 1u);
    // Cured and re-plugged: found and claimed without a restart of anything.
    port.setOpenError(0);
    unit.unplug();
    unit.replug(Identity::Run);
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.device != nullptr; }, kDeadline));
    EXPECT_EQ(h.denied.size(), 1u);
}

// Claim, traffic, unplug and check-in over and over; under TSan this checks the reader
// threads and the hand-over against the GUI thread.
TEST(HidControllerStress, ClaimTrafficUnplugCheckIn200Times) {
    Harness h;
    UnitScenario s;
    SimUnit unit(s);
    SimBusPort port(h.bus, unit);
    unit.start(&port);
    for (int round = 0; round < 200; ++round) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return h.device != nullptr; }, kDeadline)) << round;
        const std::size_t before = h.data.size();
        ASSERT_TRUE(h.write(frameReport(cmd::GetUnitType)));
        ASSERT_TRUE(h.write(frameReport(cmd::KeepAlive)));
        // Sometimes wait for the replies, sometimes pull the plug with them in flight.
        if (round % 2 == 0) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return h.data.size() >= before + 2; }, kDeadline));
        }
        unit.unplug();
        ASSERT_TRUE(QTest::qWaitFor([&] { return h.device == nullptr; }, kDeadline)) << round;
        unit.replug(Identity::Run);
    }
    EXPECT_GE(h.data.size(), 200u);
}
