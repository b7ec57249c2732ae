// The controller's backend on Linux: hidraw devices listed and watched through
// libudev, opened as /dev/hidrawN.
#pragma once

#include "hid/HidBackend.h"

#include <memory>

struct udev;
struct udev_monitor;
class QSocketNotifier;

namespace trm {

class LinuxHidBackend : public HidBackend {
public:
    // Sets up the udev monitor before anything is listed, so that no arrival falls
    // between the first enumeration and the monitor.
    LinuxHidBackend();
    ~LinuxHidBackend() override;

    std::vector<HidDeviceInfo> enumerate() override;
    std::unique_ptr<HidConnection> open(const HidDeviceInfo& device, int& error) override;
    void setChangeHandler(std::function<void()> handler) override;

    // Which event source the monitor listens to: "udev" (after the rules have run)
    // or "kernel" (no udev daemon), or "" when no monitor could be made.
    const char* monitorSource() const { return source_; }

private:
    void onMonitorReadable();

    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> handler_;
    const char* source_ = "";
};

} // namespace trm
