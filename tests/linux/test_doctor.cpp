// trm415-run --check on emulated kernel devices: a unit that can be opened, one whose
// node cannot be, and none; the USB port read from the sysfs path.
#include "Testbed.h"

#include "hid/PortBound.h"
#include "hid/linux/LinuxHidBackend.h"
#include "runner/Doctor.h"

#include <sys/stat.h>
#include <unistd.h>

using trm::runner::DoctorFindings;
using trm::runner::Examine;

namespace {
DoctorFindings examine() {
    LinuxHidBackend backend(LinuxHidBackend::Options::Polling(60000));
    return Examine(backend);
}
} // namespace

TEST_F(Testbed, DoctorFindsAUsableUnitWithItsPort) {
    addUnit(0, 0x0821, 3);
    EmulatedNode node(tb, "/dev/hidraw0", 0x0821);
    const DoctorFindings f = examine();
    ASSERT_EQ(f.units.size(), 1u);
    EXPECT_EQ(f.units[0].identity, "run");
    EXPECT_EQ(f.units[0].node, "/dev/hidraw0");
    EXPECT_EQ(f.units[0].port, "1-3");
    EXPECT_TRUE(f.units[0].canOpen);
    EXPECT_EQ(f.exitStatus, 0);
    EXPECT_EQ(trm::runner::ToJson(f)["exit_status"].toInt(), 0);
}

TEST_F(Testbed, DoctorTellsWhyANodeCannotBeOpenedAndTheCure) {
    addDevice(0, 0x046D, 0xC52B, 1); // another device is not a finding
    addUnit(1, 0x0904, 2);
    const std::string node = devNode(1);
    ::unlink(node.c_str());
    ASSERT_EQ(::mkdir(node.c_str(), 0), 0);
    const DoctorFindings f = examine();
    ASSERT_EQ(f.units.size(), 1u);
    EXPECT_EQ(f.units[0].identity, "update");
    EXPECT_FALSE(f.units[0].canOpen);
    EXPECT_FALSE(f.units[0].error.isEmpty());
    EXPECT_TRUE(f.units[0].mode.startsWith("d")) << f.units[0].mode.toStdString();
    EXPECT_EQ(f.exitStatus, 6);
    EXPECT_TRUE(f.cures.join('\n').contains("udevadm trigger")) << f.cures.join('\n').toStdString();
    ::rmdir(node.c_str());
}

TEST_F(Testbed, DoctorWithNoUnit) {
    addDevice(0, 0x046D, 0xC52B, 1);
    const DoctorFindings f = examine();
    EXPECT_TRUE(f.units.empty());
    EXPECT_EQ(f.exitStatus, 7);
}

TEST(UsbPort, FromTheSysfsPathOfAHidrawDevice) {
    EXPECT_EQ(UsbPortOf("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.0/"
                        "0003:0168:0821.0004/hidraw/hidraw3"),
              "1-2.3");
    EXPECT_EQ(UsbPortOf("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/"
                        "0003:0168:0904.0002/hidraw/hidraw1"),
              "1-1");
    EXPECT_EQ(UsbPortOf("sim/hid/3"), "");
    EXPECT_EQ(UsbPortOf(""), "");
    EXPECT_EQ(UsbPortOf("/sys/devices/virtual/misc/uhid/0003:0168:0821.0001/hidraw/hidraw0"), "");
    EXPECT_EQ(UsbPortOf("sim/usb/1-4/hid/0"), "1-4");
}

// A device lies on a port when it is the port's device or behind a hub plugged into it;
// a port name is bus "-" port ("." port)*.
TEST(UsbPort, WhatLiesOnAPort) {
    EXPECT_TRUE(LiesOnPort("1-2.3", "1-2.3"));
    EXPECT_TRUE(LiesOnPort("1-2.3.1", "1-2.3"));
    EXPECT_FALSE(LiesOnPort("1-2.31", "1-2.3"));
    EXPECT_FALSE(LiesOnPort("1-2", "1-2.3"));
    EXPECT_FALSE(LiesOnPort("11-2.3", "1-2.3"));
    EXPECT_FALSE(LiesOnPort("", "1-2"));
    EXPECT_FALSE(LiesOnPort("1-2", ""));
    for (const char* good : {"1-1", "3-10.4.2"}) {
        EXPECT_TRUE(IsUsbPortName(good)) << good;
    }
    for (const char* bad :
         {"", "1", "-1", "1-", "1-2.", "1..2", "1-2-3", "a-1", "1-2/..", "1-.2"}) {
        EXPECT_FALSE(IsUsbPortName(bad)) << bad;
    }
}
