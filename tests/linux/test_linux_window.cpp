// The operator's program on the Linux backend with umockdev: a unit whose node cannot
// be opened is told once, naming the node and the cure; after the cure and a re-plug it
// is found and the update starts, without restarting the program.
#include "Testbed.h"

#include "app/Isp.h"
#include "app/Startup.h"
#include "core/ProcessLock.h"
#include "hid/Recording.h"
#include "hid/linux/LinuxHidBackend.h"
#include "sim/Replay.h"
#include "sim/WaitFor.h"

#include <QEventLoop>
#include <QTimer>

#include <map>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
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

// A unit another program is updating (its port's claim held by another process) is
// left alone and said in the status bar, naming that process, with no message box;
// once that process ends, the unit is taken, and a third program is told this one holds it.
TEST_F(Testbed, AUnitAnotherProgramHoldsIsLeftAloneAndToldInTheStatusBar) {
    addUnit(2, 0x0821);
    EmulatedNode emulated(tb, "/dev/hidraw2", 0x0821);
    SimUnit unit;
    emulated.unit = &unit;
    unit.start(&emulated);
    int ready[2], hold[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(hold), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        ::close(hold[1]);
        std::string holder;
        int error = 0;
        const char ok = ClaimLock("usb-1-1", holder, error) ? 'y' : 'n';
        if (ok != 'y') {
            std::fprintf(stderr, "claim: %s %s\n", std::strerror(error), holder.c_str());
        }
        [[maybe_unused]] auto w = ::write(ready[1], &ok, 1);
        char c;
        [[maybe_unused]] auto r = ::read(hold[0], &c, 1); // until told to go
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    struct Reap {
        pid_t pid;
        ~Reap() {
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } reap{other};
    ASSERT_NE(LockHolder("usb-1-1"), "") << std::getenv("TRM415_LOCK_DIR");

    CreateForms(std::make_unique<LinuxHidBackend>());
    fmIsp->HidCtl->DevThreadSleepTime = 10;
    std::vector<QString> messages;
    fmIsp->operatorStandIn = [&](MessageKind, const QString& text) { messages.push_back(text); };
    const QString told = QString("being updated by process %1").arg(other);
    ASSERT_TRUE(waitFor([&] { return fmIsp->sbStatus->currentMessage().contains(told); }))
        << fmIsp->sbStatus->currentMessage().toStdString();
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(fmIsp->btnStartProgram->isEnabled());
    EXPECT_TRUE(unit.state().commands.empty());

    // The other program ends: the next look takes the unit.
    ::close(hold[1]);
    ASSERT_EQ(::waitpid(other, nullptr, 0), other);
    reap.pid = -1;
    fmIsp->HidCtl->Enumerate();
    ASSERT_TRUE(waitFor([] { return fmIsp->btnStartProgram->isEnabled(); }));
    EXPECT_TRUE(fmIsp->sbStatus->currentMessage().isEmpty());
    EXPECT_EQ(LockHolder("usb-1-1"), ""); // this process's own
    const pid_t third = ::fork();
    if (third == 0) {
        ReleaseLocks(""); // a process of its own: nothing of this one's claims
        std::string holder;
        int error = 0;
        const bool refused = !ClaimLock("usb-1-1", holder, error) && error == EBUSY &&
                             holder.find("process " + std::to_string(::getppid())) == 0;
        ::_exit(refused ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(third, &status, 0), third);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
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

namespace {

// A replayed unit's devices as emulated kernel devices: each arrival a hidraw node with
// the recorded identity and descriptor, on the recorded USB port (a restart on the same
// port comes back as a new interface of the USB device already there).
class EmulatedReplayBus : public trm::sim::ReplayBus {
public:
    explicit EmulatedReplayBus(UMockdevTestbed* tb) : tb_(tb) {}
    std::string add(const trm::sim::RecordedDevice& d, Sink sink) override {
        std::lock_guard lock(m_);
        const int n = next_++;
        int port = 1;
        if (const auto dash = d.port.find('-'); dash != std::string::npos) {
            port =
                std::atoi(d.port.c_str() + dash + 1) > 0 ? std::atoi(d.port.c_str() + dash + 1) : 1;
        }
        const int iface = interfaces_[port]++;
        const std::string record =
            deviceRecord(n, d.attributes.VendorID, d.attributes.ProductID, port, iface == 0, iface,
                         trm::ToHex(d.descriptor.data(), d.descriptor.size()));
        // The node's emulation first: adding the records announces the device at once,
        // and an open made before the attach would never reach the emulation.
        const std::string dev = "/dev/hidraw" + std::to_string(n);
        auto node = std::make_unique<EmulatedNode>(tb_, dev.c_str(), d.attributes.ProductID);
        node->onOutput = std::move(sink);
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(tb_, record.c_str(), &error)) {
            ADD_FAILURE() << (error ? error->message : "add failed");
            return {};
        }
        char hidName[64];
        std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", d.attributes.VendorID,
                      d.attributes.ProductID, n + 1);
        const std::string syspath = usbPath(port) + "/1-" + std::to_string(port) + ":1." +
                                    std::to_string(iface) + "/" + hidName + "/hidraw/hidraw" +
                                    std::to_string(n);
        nodes_[syspath] = std::move(node);
        umockdev_testbed_uevent(tb_, syspath.c_str(), "add");
        return syspath;
    }
    void remove(const std::string& id) override {
        std::lock_guard lock(m_);
        const auto it = nodes_.find(id);
        if (it == nodes_.end()) {
            return;
        }
        it->second->gone = true; // kept until the end: a reader may still be polling it
        umockdev_testbed_uevent(tb_, id.c_str(), "remove");
        umockdev_testbed_remove_device(tb_, id.c_str());
    }
    void deliver(const std::string& id, const trm::Bytes& report) override {
        std::lock_guard lock(m_);
        const auto it = nodes_.find(id);
        if (it != nodes_.end() && !it->second->gone) {
            it->second->sendInput(report);
        }
    }

private:
    UMockdevTestbed* tb_;
    std::mutex m_;
    int next_ = 0;
    std::map<int, int> interfaces_;
    std::map<std::string, std::unique_ptr<EmulatedNode>> nodes_;
};

} // namespace

// A recording replayed as emulated kernel devices: the operator's program runs the
// whole update with the unit found in its boot loader through the real hidraw path,
// every report exactly as recorded: the boot-loader exchange, the unit claimed back in
// its run identity on the same port, the signal-processor download, " Program OK !! ".
TEST_F(Testbed, ARecordingReplayedThroughTheHidrawPathMatchesByteForByte) {
    trm::sim::Recording recording;
    const auto bad = trm::sim::LoadRecording(TRM_TEST_DATA "/boot-loader-start.jsonl", recording);
    ASSERT_FALSE(bad.has_value()) << *bad;
    // The recorded writes before the unit comes back in its run identity.
    int bootLoaderWrites = 0;
    for (const auto& e : recording.events) {
        if (e.kind == trm::sim::RecordedEvent::Kind::Arrival &&
            IsRunIdentity(e.arrival.attributes)) {
            break;
        }
        bootLoaderWrites += e.kind == trm::sim::RecordedEvent::Kind::Write ? 1 : 0;
    }
    ASSERT_GT(bootLoaderWrites, 1036); // Connect .. MCU Reset
    EmulatedReplayBus bus(tb);
    auto replay = trm::sim::ReplayUnit::Create(std::move(recording), bus, UnitScenario{});
    CreateForms(std::make_unique<LinuxHidBackend>());
    fmIsp->HidCtl->DevThreadSleepTime = 10;
    std::vector<QString> messages;
    fmIsp->operatorStandIn = [&](MessageKind, const QString& text) { messages.push_back(text); };
    replay->start();
    ASSERT_TRUE(waitFor([] { return fmIsp->PanelText(1) == "Detect Update HID"; }));
    fmIsp->btnStartProgram->click();
    ASSERT_TRUE(waitFor(
        [&] { return replay->writesMatched() >= bootLoaderWrites || replay->silenced(); }, 240000))
        << replay->writesMatched() << " of " << bootLoaderWrites << " boot-loader reports written";
    EXPECT_TRUE(waitFor([] { return fmIsp->PanelText(1) == "Detect Run HID"; }));
    ASSERT_TRUE(waitFor([&] { return !messages.empty() || replay->silenced(); }, 240000))
        << replay->writesMatched() << " of " << replay->totalWrites() << " reports written";
    EXPECT_TRUE(waitFor([&] { return replay->writesLeft() == 0 || replay->silenced(); }));
    const auto differences = replay->differences();
    EXPECT_TRUE(differences.empty()) << differences[0].text();
    EXPECT_FALSE(replay->silenced());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], " Program OK !! ");
    fmIsp->operatorStandIn = [](MessageKind, const QString&) {};
    DestroyForms();
    replay->unplug();
}
