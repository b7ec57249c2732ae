// The controller's backend on Linux: hidraw devices listed and watched through
// libudev, opened as /dev/hidrawN.
#pragma once

#include "hid/HidBackend.h"

#include <memory>

struct udev;
struct udev_monitor;
class QSocketNotifier;
class QTimer;

namespace trm {

// The USB port of a hidraw device from its sysfs path: the name of its USB device, bus
// and port chain ("1-2.3" in ".../usb1/1-2/1-2.3/1-2.3:1.0/0003:0168:0821.0004/hidraw/
// hidraw3"), which stays the same when the unit restarts into its other identity on the
// same port. Empty when the path names none.
std::string UsbPortOf(const std::string& syspath);

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
};

} // namespace trm
