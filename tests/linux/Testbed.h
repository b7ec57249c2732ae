// Emulated kernel devices for the Linux backend's tests: sysfs records of a unit and
// an emulated hidraw node answering ioctl, read and write with a simulated unit behind.
#pragma once

// GLib's headers name struct fields "signals"; they come before Qt's, which is built
// with QT_NO_KEYWORDS here.
#include <umockdev.h>

#include "sim/SimUnit.h"

#include <gtest/gtest.h>

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

using namespace trm;
using namespace trm::sim;

namespace {

constexpr int kDeadline = 10000;
// The USB device of a unit plugged into port `port`.
std::string usbPath(int port) {
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
}

// The sysfs entries of one HID device: USB device, interface, HID device (its serial
// "TRM-<port>"), hidraw node. A unit that restarts on the same port comes back as a
// new interface `iface` of the USB device already there (`withUsbDevice` false).
std::string deviceRecord(int n, std::uint16_t vendor, std::uint16_t product, int usbPort,
                         bool withUsbDevice = true, int ifaceNumber = 0,
                         const std::string& descriptorHex = {}) {
    const std::string usb = usbPath(usbPort);
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", vendor, product, n + 1);
    const std::string iface =
        usb.substr(4) + "/1-" + std::to_string(usbPort) + ":1." + std::to_string(ifaceNumber);
    const std::string hid = iface + "/" + hidName;
    char hidId[64];
    std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", vendor, product);
    // Vendor page, 64-byte input and output reports.
    const char* descriptor = "06 00 FF 09 01 A1 01 15 00 26 FF 00 75 08 95 40 09 01 81 02 "
                             "95 40 09 01 91 02 C0";
    std::string desc;
    for (const char* p = descriptor; *p; ++p) {
        if (*p != ' ') {
            desc += *p;
        }
    }
    if (!descriptorHex.empty()) {
        desc = descriptorHex;
    }
    char product4[8], vendor4[8];
    std::snprintf(product4, sizeof product4, "%04x", product);
    std::snprintf(vendor4, sizeof vendor4, "%04x", vendor);
    const std::string usbDevice =
        "P: " + usb.substr(4) +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + vendor4 +
        "\nA: idProduct=" + product4 + "\nA: bcdDevice=0104\n\n";
    return (withUsbDevice ? usbDevice : std::string()) + "P: " + iface +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n"
           "P: " +
           hid + "\nE: SUBSYSTEM=hid\nE: HID_ID=" + hidId + "\nE: HID_UNIQ=TRM-" +
           std::to_string(usbPort) + "\nH: report_descriptor=" + desc +
           "\n\n"
           "P: " +
           hid + "/hidraw/hidraw" + std::to_string(n) + "\nN: hidraw" + std::to_string(n) +
           "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw" + std::to_string(n) + "\n";
}

[[maybe_unused]] std::string hidrawSyspath(int n, std::uint16_t product, int usbPort = 1) {
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:0168:%04X.%04X", product, n + 1);
    return usbPath(usbPort) + "/1-" + std::to_string(usbPort) + ":1.0/" + hidName +
           "/hidraw/hidraw" + std::to_string(n);
}

// Answers the node's ioctl, read and write calls on a GLib main context of its own
// thread, with a simulated unit behind it.
class EmulatedNode : public UnitPort {
public:
    EmulatedNode(UMockdevTestbed* tb, const char* dev, std::uint16_t product) : product_(product) {
        ctx_ = g_main_context_new();
        g_main_context_push_thread_default(ctx_);
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(onIoctl), this);
        g_signal_connect(handler_, "handle-read", G_CALLBACK(onRead), this);
        g_signal_connect(handler_, "handle-write", G_CALLBACK(onWrite), this);
        GError* error = nullptr;
        attached_ = umockdev_testbed_attach_ioctl(tb, dev, handler_, &error);
        if (error != nullptr) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
        g_main_context_pop_thread_default(ctx_);
        loop_ = g_main_loop_new(ctx_, FALSE);
        thread_ = std::thread([this] { g_main_loop_run(loop_); });
    }
    ~EmulatedNode() override {
        // Quit from inside the loop: a g_main_loop_quit() that came before the thread
        // entered g_main_loop_run() would be lost and the join would hang.
        GSource* quit = g_idle_source_new();
        g_source_set_callback(
            quit,
            [](gpointer loop) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_, nullptr);
        g_source_attach(quit, ctx_);
        g_source_unref(quit);
        thread_.join();
        g_main_loop_unref(loop_);
        g_object_unref(handler_);
        g_main_context_unref(ctx_);
    }

    void attach(std::uint16_t) override {}
    void detach() override {}
    void sendInput(const Bytes& report) override {
        std::lock_guard lock(m_);
        input_.emplace_back(report.begin() + 1, report.end()); // unnumbered: no report ID
    }

    SimUnit* unit = nullptr;
    std::function<void(const std::uint8_t*, std::size_t)> onOutput; // instead of a unit
    bool attached_ = false;
    std::atomic<bool> gone{false}; // reads fail with ENODEV, as after a removal
    std::atomic<int> ioctls{0};
    std::mutex m_;
    std::deque<Bytes> input_;
    std::vector<Bytes> writes_;

private:
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* node = static_cast<EmulatedNode*>(self);
        ++node->ioctls;
        if (umockdev_ioctl_client_get_request(client) == HIDIOCGRAWINFO) {
            UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
            GError* error = nullptr;
            UMockdevIoctlData* d =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), &error);
            if (d == nullptr) {
                g_clear_error(&error);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            hidraw_devinfo info{};
            info.bustype = 3;
            info.vendor = 0x0168;
            info.product = static_cast<__s16>(node->product_);
            umockdev_ioctl_data_update(d, 0, reinterpret_cast<guint8*>(&info), sizeof info);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    static gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* node = static_cast<EmulatedNode*>(self);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        if (node->gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        std::lock_guard lock(node->m_);
        if (node->input_.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        Bytes r = std::move(node->input_.front());
        node->input_.pop_front();
        const auto n = std::min<std::size_t>(r.size(), static_cast<std::size_t>(arg->data_len));
        umockdev_ioctl_data_update(arg, 0, r.data(), static_cast<gint>(n));
        umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
        return TRUE;
    }
    static gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* node = static_cast<EmulatedNode*>(self);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        Bytes w(arg->data, arg->data + arg->data_len);
        {
            std::lock_guard lock(node->m_);
            node->writes_.push_back(w);
        }
        if (node->unit != nullptr) {
            node->unit->onOutputReport(w.data(), w.size());
        }
        if (node->onOutput) {
            node->onOutput(w.data(), w.size());
        }
        umockdev_ioctl_client_complete(client, arg->data_len, 0);
        return TRUE;
    }

    std::uint16_t product_;
    GMainContext* ctx_;
    GMainLoop* loop_;
    UMockdevIoctlBase* handler_;
    std::thread thread_;
};

struct Testbed : ::testing::Test {
    UMockdevTestbed* tb = nullptr;
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr)
            << "run under umockdev-run.sh";
        tb = umockdev_testbed_new();
    }
    void TearDown() override { g_object_unref(tb); }
    void addUnit(int n, std::uint16_t product, int usbPort = 1) {
        addDevice(n, 0x0168, product, usbPort);
    }
    void addDevice(int n, std::uint16_t vendor, std::uint16_t product, int usbPort) {
        add(deviceRecord(n, vendor, product, usbPort));
    }
    // The unit on `usbPort` back in another identity: a new interface of the same USB
    // device, hence on the same port.
    void addRestartedUnit(int n, std::uint16_t product, int usbPort, int ifaceNumber) {
        add(deviceRecord(n, 0x0168, product, usbPort, false, ifaceNumber));
    }
    void add(const std::string& record) {
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(tb, record.c_str(), &error))
            << (error ? error->message : "");
    }
    std::string devNode(int n) {
        gchar* rootDir = umockdev_testbed_get_root_dir(tb);
        const std::string node = std::string(rootDir) + "/dev/hidraw" + std::to_string(n);
        g_free(rootDir);
        return node;
    }
};

} // namespace
