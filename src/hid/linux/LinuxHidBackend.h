// The controller's backend on Linux: hidraw devices listed and watched through
// libudev, opened as /dev/hidrawN.
#pragma once

#include "hid/HidBackend.h"

#include <memory>
#include <string>

struct udev;
struct udev_monitor;
class QSocketNotifier;
class QTimer;

namespace trm {

class LinuxHidBackend : public HidBackend {
public:
    // Sets up the udev monitor before anything is listed, so that no arrival falls
    // between the first enumeration and the monitor.
    struct Options {
        // Listen to udev for arrivals and removals; without it, or when no monitor can
        // be made (netlink refused in some containers and sandboxes), the devices are
        // looked at every `pollIntervalMs` instead.
        bool useMonitor = true;
        int pollIntervalMs = 500;
        // Open the unit's nodes while listing, for their report lengths. Off for a
        // watcher that only needs to know where units are (the station), so that it
        // never opens a node that an update in another process is using; the lengths
        // then come from the descriptor in sysfs alone.
        bool openUnitNodes = true;
        // Look only at devices on this USB port (see hid/PortBound.h), so that a run
        // bound to one port never opens a node on another; empty: every port.
        std::string onlyPort;

        // Devices looked at every `intervalMs`, with no monitor.
        static Options Polling(int intervalMs) {
            Options o;
            o.useMonitor = false;
            o.pollIntervalMs = intervalMs;
            return o;
        }
    };
    LinuxHidBackend() : LinuxHidBackend(Options{}) {}
    explicit LinuxHidBackend(Options options);
    ~LinuxHidBackend() override;

    std::vector<HidDeviceInfo> enumerate() override;
    std::unique_ptr<HidConnection> open(const HidDeviceInfo& device, int& error) override;
    void setChangeHandler(std::function<void()> handler) override;

    // True when the devices are looked at on a timer rather than on notifications (for
    // the tests and diagnostics).
    bool polling() const { return poll_ != nullptr; }

private:
    void onMonitorReadable();
    void startPolling(int intervalMs, const char* why);

    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> poll_;
    std::function<void()> handler_;
    const char* source_ = "";
    bool openUnitNodes_ = true;
    std::string onlyPort_;
};

} // namespace trm
