// The operator's program on the Linux backend with umockdev: a unit whose node cannot
// be opened is told once, naming the node and the cure; after the cure and a re-plug it
// is found and the update starts, without restarting the program.
#include "Testbed.h"

#include "app/Isp.h"
#include "app/Startup.h"
#include "hid/linux/LinuxHidBackend.h"
#include "sim/WaitFor.h"

#include <QEventLoop>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

namespace {
bool waitFor(const std::function<bool()>& pred, int ms = 10000) {
    return trm::WaitFor(pred, ms, 5);
}
} // namespace

TEST_F(Testbed, UnitWithoutAccessIsToldOnceThenFoundAfterCureAndReplug) {
    addUnit(2, 0x0821);
    gchar* rootDir = umockdev_testbed_get_root_dir(tb);
    const std::string node = std::string(rootDir) + "/dev/hidraw2";
    g_free(rootDir);
    ::unlink(node.c_str());
    ASSERT_EQ(::mkdir(node.c_str(), 0), 0); // no one can open it for reading and writing

    CreateForms(std::make_unique<LinuxHidBackend>());
    fmIsp->HidCtl->DevThreadSleepTime = 10;
    std::vector<QString> messages;
    fmIsp->operatorStandIn = [&](MessageKind, const QString& text) { messages.push_back(text); };
    ASSERT_TRUE(waitFor([&] { return !messages.empty(); }));
    EXPECT_TRUE(messages[0].contains("/dev/hidraw2")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains("udev rule")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains("plug")) << messages[0].toStdString();
    // Later scans offer it again: not claimed, and not told twice.
    fmIsp->HidCtl->Enumerate();
    waitFor([] { return false; }, 300);
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(fmIsp->PanelText(1), "No Device");
    EXPECT_FALSE(fmIsp->btnStartProgram->isEnabled());

    // The cure, then a re-plug: the old node goes, the unit arrives anew.
    const std::string old = hidrawSyspath(2, 0x0821);
    umockdev_testbed_uevent(tb, old.c_str(), "remove");
    umockdev_testbed_remove_device(tb, old.c_str());
    ::rmdir(node.c_str());
    addUnit(3, 0x0821, 2); // plugged in again, into the next port
    EmulatedNode emulated(tb, "/dev/hidraw3", 0x0821);
    SimUnit unit;
    emulated.unit = &unit;
    unit.start(&emulated);
    umockdev_testbed_uevent(tb, hidrawSyspath(3, 0x0821, 2).c_str(), "add");
    ASSERT_TRUE(waitFor([] { return fmIsp->btnStartProgram->isEnabled(); }));
    EXPECT_EQ(fmIsp->PanelText(1), "Detect Run HID");

    // The update starts: identity query, gate passed, restart into the boot loader.
    fmIsp->btnStartProgram->click();
    ASSERT_TRUE(waitFor([&] { return unit.state().iapReset == 1; }));
    EXPECT_EQ(unit.state().commands, (std::vector<std::uint8_t>{cmd::GetUnitType, cmd::GetVersion,
                                                                cmd::GetUnitType, cmd::IapReset}));
    EXPECT_EQ(fmIsp->mcuBusy, 1);
    EXPECT_EQ(messages.size(), 1u);
    fmIsp->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms();
}

// After a restart into its other identity, the unit's node can appear before udev has
// given this user access to it. The opening is tried again; the update goes on without
// any message.
TEST_F(Testbed, UpdateIdentityNodeReadableOnlyAfterAMomentIsClaimedWithoutAMessage) {
    addUnit(4, 0x0904);
    EmulatedNode emulated(tb, "/dev/hidraw4", 0x0904);
    const std::string node = devNode(4);
    const std::string away = node + ".away";
    ASSERT_EQ(::rename(node.c_str(), away.c_str()), 0);
    ASSERT_EQ(::mkdir(node.c_str(), 0), 0); // cannot be opened for reading and writing
    QTimer::singleShot(300, [&] {
        ::rmdir(node.c_str());
        ::rename(away.c_str(), node.c_str());
    });
    CreateForms(std::make_unique<LinuxHidBackend>());
    fmIsp->HidCtl->DevThreadSleepTime = 10;
    std::vector<QString> messages;
    fmIsp->operatorStandIn = [&](MessageKind, const QString& text) { messages.push_back(text); };
    ASSERT_TRUE(waitFor([] { return fmIsp->PanelText(1) == "Detect Update HID"; }));
    EXPECT_TRUE(fmIsp->btnStartProgram->isEnabled());
    UnitScenario s;
    s.startInUpdate = true;
    SimUnit unit(s);
    emulated.unit = &unit;
    unit.start(&emulated);
    // In its boot loader the unit answers nothing run-mode: the fallback starts the
    // boot-loader exchange after 3000 ms.
    fmIsp->btnStartProgram->click();
    ASSERT_TRUE(waitFor([&] { return unit.state().dataPackets >= 3; }, 30000));
    EXPECT_TRUE(messages.empty()) << (messages.empty() ? "" : messages[0].toStdString());
    fmIsp->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms();
}
