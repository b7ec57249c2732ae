// libudev enumeration and monitoring of hidraw devices; hidraw I/O.
#include "hid/linux/LinuxHidBackend.h"

#include "core/ProcessLock.h"
#include "hid/PortBound.h"

#include "hid/ReportDescriptor.h"
#include "hid/UnitIdentity.h"

#include <QTimer>

#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <libudev.h>
#include <linux/hidraw.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace trm {
namespace {

// The claim on the unit on a USB port, held through its restarts on that port.
std::string UnitKey(const std::string& port) {
    return "usb-" + port;
}

// Who else holds the unit whose sysfs path is `syspath`.
std::string UnitHolder(const std::string& syspath) {
    const std::string port = UsbPortOf(syspath);
    return IsUsbPortName(port) ? LockHolder(UnitKey(port)) : std::string();
}

class LinuxHidConnection : public HidConnection {
public:
    LinuxHidConnection(int fd, bool numbered)
        : fd_(fd), wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), numbered_(numbered) {}
    ~LinuxHidConnection() override {
        ::close(fd_);
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }

    bool write(const std::uint8_t* data, std::size_t length, int& error) override {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const ssize_t n = ::write(fd_, data, length);
            if (n >= 0) {
                return true;
            }
            error = errno;
            if (error == EINTR) {
                continue;
            }
            if (error != EAGAIN) {
                return false;
            }
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        }
        return false;
    }

    ReadResult read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) override {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            return {ReadStatus::Error, 0, errno};
        }
        if (wakeFd_ >= 0 && (fds[1].revents & POLLIN)) {
            return {ReadStatus::Stopped, 0, 0};
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return {ReadStatus::Gone, 0, 0};
        }
        if (capacity == 0) {
            return {ReadStatus::Timeout, 0, 0};
        }
        // Read even when poll said nothing: emulated nodes do not report readiness.
        // A read returns exactly one report; an unnumbered device's report gets the
        // report ID 0 put in front of it.
        std::uint8_t* into = numbered_ ? buffer : buffer + 1;
        const std::size_t room = numbered_ ? capacity : capacity - 1;
        if (room == 0) {
            return {ReadStatus::Timeout, 0, 0};
        }
        const ssize_t n = ::read(fd_, into, room);
        if (n > 0) {
            if (!numbered_) {
                buffer[0] = 0;
            }
            return {ReadStatus::Report, static_cast<int>(n) + (numbered_ ? 0 : 1), 0};
        }
        if (n == 0) {
            return {ReadStatus::Timeout, 0, 0};
        }
        const int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
            return {ReadStatus::Timeout, 0, 0};
        }
        if (e == ENODEV || e == EIO || e == ESHUTDOWN || e == EPIPE) {
            return {ReadStatus::Gone, 0, e};
        }
        return {ReadStatus::Error, 0, e};
    }

    void wake() override {
        if (wakeFd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
        }
    }

private:
    int fd_;
    int wakeFd_;
    bool numbered_;
};

bool readFile(const std::string& path, std::vector<std::uint8_t>& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !out.empty();
}

// "0003:00000168:00000821" -> vendor, product.
bool parseHidId(const char* hidId, HIDD_ATTRIBUTES& a) {
    unsigned bus = 0, vendor = 0, product = 0;
    if (hidId == nullptr || std::sscanf(hidId, "%x:%x:%x", &bus, &vendor, &product) != 3) {
        return false;
    }
    a.VendorID = static_cast<std::uint16_t>(vendor);
    a.ProductID = static_cast<std::uint16_t>(product);
    return true;
}

} // namespace

LinuxHidBackend::LinuxHidBackend(Options options)
    : udev_(udev_new()), openUnitNodes_(options.openUnitNodes), onlyPort_(options.onlyPort) {
    if (udev_ == nullptr) {
        return;
    }
    if (!options.useMonitor) {
        startPolling(options.pollIntervalMs, nullptr);
        return;
    }
    // Events from the udev daemon come after its rules have set the node's access;
    // without a daemon, listen to the kernel and expect the first open to fail.
    const bool daemon = ::access("/run/udev/control", F_OK) == 0;
    for (const char* source : {daemon ? "udev" : "kernel", daemon ? "kernel" : "udev"}) {
        monitor_ = udev_monitor_new_from_netlink(udev_, source);
        if (monitor_ != nullptr) {
            source_ = source;
            break;
        }
    }
    if (monitor_ == nullptr) {
        startPolling(options.pollIntervalMs, "no udev monitor could be made");
        return;
    }
    udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr);
    if (udev_monitor_enable_receiving(monitor_) < 0) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        source_ = "";
        startPolling(options.pollIntervalMs, "the udev monitor cannot receive events");
        return;
    }
    notifier_ =
        std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { onMonitorReadable(); });
}

void LinuxHidBackend::startPolling(int intervalMs, const char* why) {
    // Without notifications a unit's restart into its other identity would never be
    // seen: look at the devices at a steady pace instead.
    if (why != nullptr) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            std::fprintf(stderr,
                         "trm415: %s (netlink refused?); looking for HID devices every %d ms "
                         "instead\n",
                         why, intervalMs);
        }
    }
    poll_ = std::make_unique<QTimer>();
    poll_->setInterval(std::max(intervalMs, 1));
    QObject::connect(poll_.get(), &QTimer::timeout, poll_.get(), [this] {
        if (handler_) {
            handler_();
        }
    });
    poll_->start();
}

LinuxHidBackend::~LinuxHidBackend() {
    poll_.reset();
    notifier_.reset();
    if (monitor_ != nullptr) {
        udev_monitor_unref(monitor_);
    }
    if (udev_ != nullptr) {
        udev_unref(udev_);
    }
}

void LinuxHidBackend::setChangeHandler(std::function<void()> handler) {
    handler_ = std::move(handler);
}

void LinuxHidBackend::onMonitorReadable() {
    // Drain every pending event; one scan covers them all.
    bool any = false;
    while (udev_device* d = udev_monitor_receive_device(monitor_)) {
        udev_device_unref(d);
        any = true;
    }
    if (any && handler_) {
        handler_();
    }
}

std::vector<HidDeviceInfo> LinuxHidBackend::enumerate() {
    std::vector<HidDeviceInfo> out;
    if (udev_ == nullptr) {
        return out;
    }
    udev_enumerate* e = udev_enumerate_new(udev_);
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_scan_devices(e);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        const char* syspath = udev_list_entry_get_name(entry);
        if (!onlyPort_.empty() && !LiesOnPort(UsbPortOf(syspath), onlyPort_)) {
            continue;
        }
        udev_device* dev = udev_device_new_from_syspath(udev_, syspath);
        if (dev == nullptr) {
            continue;
        }
        const char* node = udev_device_get_devnode(dev);
        if (node == nullptr) {
            udev_device_unref(dev);
            continue;
        }
        HidDeviceInfo info;
        info.path = node;
        info.instanceId = syspath;
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
        const bool haveHidId =
            hid != nullptr &&
            parseHidId(udev_device_get_property_value(hid, "HID_ID"), info.attributes);
        if (hid != nullptr) {
            if (const char* uniq = udev_device_get_property_value(hid, "HID_UNIQ")) {
                info.serial = uniq;
            }
        }
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
        if (usb != nullptr) {
            if (const char* bcd = udev_device_get_sysattr_value(usb, "bcdDevice")) {
                info.attributes.VersionNumber =
                    static_cast<std::uint16_t>(std::strtoul(bcd, nullptr, 16));
            }
        }

        // The descriptor as sysfs publishes it on the HID device, readable without
        // opening the node; the ioctl below is the fallback.
        std::vector<std::uint8_t> descriptor;
        if (hid != nullptr) {
            readFile(std::string(udev_device_get_syspath(hid)) + "/report_descriptor", descriptor);
        }

        // Only the unit's nodes are opened; every other HID device of the machine is
        // listed from sysfs alone.
        if (haveHidId && (info.attributes.VendorID != kUnitVendorId || !openUnitNodes_)) {
            if (::access(node, R_OK | W_OK) != 0) {
                info.accessible = false;
                info.accessError = errno;
            }
            const ReportDescriptorInfo rd = ParseReportDescriptor(descriptor);
            info.descriptor = descriptor;
            info.caps = rd.caps;
            info.numberedReports = rd.numberedReports;
            out.push_back(std::move(info));
            udev_device_unref(dev);
            continue;
        }
        // A unit another program is updating is left alone, its node unopened.
        if (haveHidId) {
            info.heldBy = UnitHolder(syspath);
            if (!info.heldBy.empty()) {
                info.accessible = false;
                info.accessError = EBUSY;
                info.descriptor = descriptor;
                const ReportDescriptorInfo rd = ParseReportDescriptor(descriptor);
                info.caps = rd.caps;
                info.numberedReports = rd.numberedReports;
                out.push_back(std::move(info));
                udev_device_unref(dev);
                continue;
            }
        }
        const int fd = ::open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            hidraw_devinfo raw{};
            if (::ioctl(fd, HIDIOCGRAWINFO, &raw) == 0) {
                info.attributes.VendorID = static_cast<std::uint16_t>(raw.vendor);
                info.attributes.ProductID = static_cast<std::uint16_t>(raw.product);
            } else if (!haveHidId) {
                ::close(fd);
                udev_device_unref(dev);
                continue;
            }
            if (descriptor.empty()) {
                int size = 0;
                if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 &&
                    size <= HID_MAX_DESCRIPTOR_SIZE) {
                    hidraw_report_descriptor rd{};
                    rd.size = static_cast<__u32>(size);
                    if (::ioctl(fd, HIDIOCGRDESC, &rd) == 0) {
                        descriptor.assign(rd.value, rd.value + size);
                    }
                }
            }
            ::close(fd);
        } else {
            // Present but not openable: listed all the same, so the controller can
            // say so, with the attributes the HID device publishes in sysfs.
            info.accessible = false;
            info.accessError = errno;
            if (!haveHidId) {
                udev_device_unref(dev);
                continue;
            }
        }
        const ReportDescriptorInfo rd = ParseReportDescriptor(descriptor);
        info.descriptor = std::move(descriptor);
        info.caps = rd.caps;
        info.numberedReports = rd.numberedReports;
        out.push_back(std::move(info));
        udev_device_unref(dev);
    }
    udev_enumerate_unref(e);
    return out;
}

std::unique_ptr<HidConnection> LinuxHidBackend::open(const HidDeviceInfo& device, int& error) {
    // The unit's port is claimed first, and stays claimed through its restarts.
    std::string holder;
    int claimError = 0;
    const std::string port = UsbPortOf(device.instanceId);
    if (IsUsbPortName(port) && !ClaimLock(UnitKey(port), holder, claimError)) {
        if (claimError == EBUSY) {
            error = EBUSY;
            return nullptr;
        }
        // No lock file to be had (a read-only /run/lock): the update goes on unclaimed,
        // and says so once.
        static std::once_flag told;
        std::call_once(told, [claimError] {
            std::fprintf(stderr, "trm415: cannot make the unit's claim file: %s\n",
                         std::strerror(claimError));
        });
    }
    const int fd = ::open(device.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::make_unique<LinuxHidConnection>(fd, device.numberedReports);
}

} // namespace trm
