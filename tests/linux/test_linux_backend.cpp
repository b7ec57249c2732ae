// The Linux backend against emulated kernel devices (umockdev): enumeration with the
// right attributes and report lengths, reports written and read through an emulated
// hidraw node with the simulated unit behind it, arrival and removal by uevent, and a
// node that cannot be opened. Runs under umockdev's preload library.
#include "Testbed.h"

#include "hid/HidController.h"
#include "hid/PortBound.h"
#include "hid/linux/LinuxHidBackend.h"
#include "sim/SimUnit.h"
#include "tests/support/ControllerEvents.h"

#include <QTest>

#include <gtest/gtest.h>

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

using namespace trm;
using namespace trm::sim;

namespace {

// The window's claim logic, naming devices by their node; reads of an emulated node
// never report readiness, so the reader polls in short slices.
struct Events : trm::testing::ControllerEvents {
    explicit Events(THidDeviceController* c) {
        label = byPath;
        c->DevThreadSleepTime = 10;
        attach(c);
    }
};

} // namespace

TEST_F(Testbed, EnumerationReadsAttributesAndReportLengths) {
    addUnit(0, 0x0821);
    EmulatedNode node(tb, "/dev/hidraw0", 0x0821);
    ASSERT_TRUE(node.attached_);
    LinuxHidBackend backend;
    const auto list = backend.enumerate();
    ASSERT_EQ(list.size(), 1u);
    const HidDeviceInfo& d = list[0];
    EXPECT_EQ(d.path, "/dev/hidraw0");
    EXPECT_EQ(d.instanceId, hidrawSyspath(0, 0x0821));
    EXPECT_EQ(d.attributes.VendorID, 0x0168);
    EXPECT_EQ(d.attributes.ProductID, 0x0821);
    EXPECT_EQ(d.attributes.VersionNumber, 0x0104);
    EXPECT_TRUE(d.accessible);
    EXPECT_FALSE(d.numberedReports);
    EXPECT_EQ(d.caps.UsagePage, 0xFF00);
    EXPECT_EQ(d.caps.InputReportByteLength, 65);
    EXPECT_EQ(d.caps.OutputReportByteLength, 65);
}

TEST_F(Testbed, ReportWrittenAndReadThroughTheNodeWithTheUnitBehind) {
    addUnit(0, 0x0821);
    EmulatedNode node(tb, "/dev/hidraw0", 0x0821);
    SimUnit unit;
    node.unit = &unit;
    unit.start(&node);
    THidDeviceController ctl(std::make_unique<LinuxHidBackend>());
    Events ev(&ctl);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.device != nullptr; }, kDeadline));
    Bytes report(65, 0);
    const Bytes frame = EncodeCommand(CM_QZR_CMD(1, cmd::GetUnitType), FrameMode::Framed);
    std::copy(frame.begin(), frame.end(), report.begin() + 1);
    std::uint32_t written = 0;
    ASSERT_TRUE(ev.device->WriteFile(report.data(), 65, written));
    EXPECT_EQ(written, 65u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ev.data.empty(); }, kDeadline));
    {
        std::lock_guard lock(node.m_);
        ASSERT_EQ(node.writes_.size(), 1u);
        EXPECT_EQ(node.writes_[0], report); // report ID 0 first, full output length
    }
    ASSERT_EQ(ev.data[0].size(), 65u); // report ID 0 put in front of the 64 bytes
    EXPECT_EQ(ev.data[0][0], 0);
    EXPECT_EQ((Bytes(ev.data[0].begin() + 1, ev.data[0].begin() + 11)),
              (Bytes{0x10, 0x02, 0x01, 0x00, 0x02, 0x10, 0x19, 0x10, 0x03, 0x0B}));
    EXPECT_EQ(unit.state().commands, (std::vector<std::uint8_t>{cmd::GetUnitType}));
}

TEST_F(Testbed, ArrivalAndRemovalByUevent) {
    THidDeviceController ctl(std::make_unique<LinuxHidBackend>());
    Events ev(&ctl);
    QTest::qWait(100);
    EXPECT_EQ(ev.device, nullptr);

    addUnit(0, 0x0821);
    EmulatedNode node(tb, "/dev/hidraw0", 0x0821);
    const std::string syspath = hidrawSyspath(0, 0x0821);
    umockdev_testbed_uevent(tb, syspath.c_str(), "add");
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.device != nullptr; }, kDeadline));
    EXPECT_EQ(ev.events, (std::vector<std::string>{"claim /dev/hidraw0"}));

    umockdev_testbed_uevent(tb, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(tb, syspath.c_str());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.device == nullptr; }, kDeadline));
    EXPECT_EQ(ev.events, (std::vector<std::string>{"claim /dev/hidraw0", "unplug /dev/hidraw0"}));
}

TEST_F(Testbed, NodeThatCannotBeOpenedIsReported) {
    addUnit(1, 0x0821);
    // Replace the emulated node by something no one can open for reading and writing
    // (a directory: this refuses root too, who is not stopped by file modes).
    gchar* rootDir = umockdev_testbed_get_root_dir(tb);
    const std::string root = rootDir;
    g_free(rootDir);
    const std::string node = root + "/dev/hidraw1";
    ::unlink(node.c_str());
    ASSERT_EQ(::mkdir(node.c_str(), 0), 0);
    THidDeviceController ctl(std::make_unique<LinuxHidBackend>());
    Events ev(&ctl);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ev.denied.empty(); }, kDeadline));
    EXPECT_EQ(ev.denied[0].path, "/dev/hidraw1");
    EXPECT_EQ(ev.denied[0].attributes.ProductID, 0x0821); // from the HID device's HID_ID
    EXPECT_NE(ev.denied[0].accessError, 0);
    EXPECT_EQ(ev.device, nullptr);
    ::rmdir(node.c_str());
}

// A unit that goes without a uevent (lost by the system, or never sent): its reader
// sees the node fail with ENODEV and a scan releases it.
TEST_F(Testbed, UnitRemovedWithoutAUeventIsReleasedWhenItsReaderSeesItGone) {
    addUnit(0, 0x0821);
    EmulatedNode node(tb, "/dev/hidraw0", 0x0821);
    THidDeviceController ctl(std::make_unique<LinuxHidBackend>());
    Events ev(&ctl);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.device != nullptr; }, kDeadline));
    node.gone = true;
    umockdev_testbed_remove_device(tb, hidrawSyspath(0, 0x0821).c_str());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.device == nullptr; }, kDeadline));
    EXPECT_EQ(ev.events, (std::vector<std::string>{"claim /dev/hidraw0", "unplug /dev/hidraw0"}));
    EXPECT_TRUE(ctl.Devices().empty());
}

// Without a udev monitor the devices are looked at on a timer: a unit that arrives, and
// its restart into the other identity, are seen without any uevent.
TEST_F(Testbed, WithoutAMonitorArrivalsAndRemovalsAreFoundByLooking) {
    auto backend = std::make_unique<LinuxHidBackend>(LinuxHidBackend::Options::Polling(500));
    EXPECT_TRUE(backend->polling());
    THidDeviceController ctl(std::move(backend));
    Events ev(&ctl);
    addUnit(0, 0x0821);
    EmulatedNode run(tb, "/dev/hidraw0", 0x0821);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.device != nullptr; }, kDeadline));
    EXPECT_TRUE(IsRunIdentity(ev.device->Attributes()));
    umockdev_testbed_remove_device(tb, hidrawSyspath(0, 0x0821).c_str());
    addUnit(1, 0x0904, 2); // a new USB device in sysfs (the emulation keeps the old one)
    EmulatedNode update(tb, "/dev/hidraw1", 0x0904);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ev.device != nullptr && IsUpdateIdentity(ev.device->Attributes()); },
        kDeadline));
    EXPECT_EQ(ev.events, (std::vector<std::string>{"claim /dev/hidraw0", "unplug /dev/hidraw0",
                                                   "claim /dev/hidraw1"}));
}

// A scan opens only the unit's nodes; other HID devices are listed from sysfs.
TEST_F(Testbed, ScanOpensOnlyNodesOfTheUnitsVendor) {
    addDevice(0, 0x046D, 0xC52B, 1);
    EmulatedNode keyboard(tb, "/dev/hidraw0", 0xC52B);
    addUnit(1, 0x0821, 2);
    EmulatedNode unit(tb, "/dev/hidraw1", 0x0821);
    LinuxHidBackend backend;
    const auto list = backend.enumerate();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].attributes.VendorID, 0x046D); // from HID_ID
    EXPECT_EQ(list[0].attributes.ProductID, 0xC52B);
    EXPECT_EQ(list[0].caps.InputReportByteLength, 65); // from sysfs
    EXPECT_EQ(keyboard.ioctls.load(), 0);
    EXPECT_GT(unit.ioctls.load(), 0);
    EXPECT_TRUE(IsRunIdentity(list[1].attributes));
}

// Units on three ports: a controller bound to port 1-2 sees its unit only, follows it
// through its restart into the boot loader on the same port (removed, then back with
// the other product ID), and never claims the units on 1-3 and 1-4.
TEST_F(Testbed, BoundToAPortSeesOnlyItsUnitThroughTheRestart) {
    addUnit(0, 0x0821, 2);
    EmulatedNode mine(tb, "/dev/hidraw0", 0x0821);
    addUnit(1, 0x0821, 3);
    EmulatedNode other(tb, "/dev/hidraw1", 0x0821);
    addUnit(2, 0x0904, 4);
    EmulatedNode third(tb, "/dev/hidraw2", 0x0904);

    for (const auto& [port, node] : {std::pair{"1-2", "/dev/hidraw0"}, {"1-3", "/dev/hidraw1"}}) {
        LinuxHidBackend::Options only;
        only.onlyPort = port;
        PortBoundBackend bound(std::make_unique<LinuxHidBackend>(only), port);
        const auto list = bound.enumerate();
        ASSERT_EQ(list.size(), 1u) << port;
        EXPECT_EQ(list[0].path, node);
        EXPECT_EQ(list[0].serial, std::string("TRM-") + (port + 2));
        int error = 0;
        HidDeviceInfo elsewhere = list[0];
        elsewhere.instanceId = hidrawSyspath(2, 0x0904, 4);
        EXPECT_EQ(bound.open(elsewhere, error), nullptr);
        EXPECT_EQ(error, ENODEV);
    }

    LinuxHidBackend::Options only;
    only.onlyPort = "1-2";
    THidDeviceController ctl(
        std::make_unique<PortBoundBackend>(std::make_unique<LinuxHidBackend>(only), "1-2"));
    Events ev(&ctl);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.device != nullptr; }, kDeadline));
    EXPECT_TRUE(IsRunIdentity(ev.device->Attributes()));

    const std::string runPath = hidrawSyspath(0, 0x0821, 2);
    umockdev_testbed_uevent(tb, runPath.c_str(), "remove");
    umockdev_testbed_remove_device(tb, runPath.c_str());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.device == nullptr; }, kDeadline));
    addRestartedUnit(3, 0x0904, 2, 1);
    EmulatedNode restarted(tb, "/dev/hidraw3", 0x0904);
    umockdev_testbed_uevent(
        tb, (usbPath(2) + "/1-2:1.1/0003:0168:0904.0004/hidraw/hidraw3").c_str(), "add");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ev.device != nullptr && IsUpdateIdentity(ev.device->Attributes()); },
        kDeadline));
    EXPECT_EQ(ev.device->DevicePath(), "/dev/hidraw3");
    EXPECT_EQ(UsbPortOf(ev.device->InstanceId()), "1-2");
    EXPECT_EQ(ev.events, (std::vector<std::string>{"claim /dev/hidraw0", "unplug /dev/hidraw0",
                                                   "claim /dev/hidraw3"}));
    EXPECT_EQ(third.ioctls.load(), 0); // nodes on other ports are never opened
    EXPECT_GT(other.ioctls.load(), 0); // but for the listing bound to 1-3
}
