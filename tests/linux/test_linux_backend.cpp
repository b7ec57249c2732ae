// The Linux backend against emulated kernel devices (umockdev): enumeration with the
// right attributes and report lengths, reports written and read through an emulated
// hidraw node with the simulated unit behind it, arrival and removal by uevent, and a
// node that cannot be opened. Runs under umockdev's preload library.
// GLib's headers name struct fields "signals"; they come before Qt's, which is built
// with QT_NO_KEYWORDS here.
#include <umockdev.h>

#include "hid/HidController.h"
#include "hid/linux/LinuxHidBackend.h"
#include "sim/SimUnit.h"

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

constexpr int kDeadline = 10000;
const char* const kUsb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";

// The sysfs entries of one unit: USB device, interface, HID device, hidraw node.
std::string unitRecord(int n, std::uint16_t product) {
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:0168:%04X.%04X", product, n + 1);
    const std::string iface = std::string(kUsb).substr(4) + "/1-1:1.0";
    const std::string hid = iface + "/" + hidName;
    char hidId[64];
    std::snprintf(hidId, sizeof hidId, "0003:00000168:%08X", product);
    // Vendor page, 64-byte input and output reports.
    const char* descriptor = "06 00 FF 09 01 A1 01 15 00 26 FF 00 75 08 95 40 09 01 81 02 "
                             "95 40 09 01 91 02 C0";
    std::string desc;
    for (const char* p = descriptor; *p; ++p) {
        if (*p != ' ') {
            desc += *p;
        }
    }
    char product4[8];
    std::snprintf(product4, sizeof product4, "%04x", product);
    return "P: " + std::string(kUsb).substr(4) +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=0168\nA: idProduct=" + product4 +
           "\nA: bcdDevice=0104\n\n"
           "P: " +
           iface +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n"
           "P: " +
           hid + "\nE: SUBSYSTEM=hid\nE: HID_ID=" + hidId + "\nH: report_descriptor=" + desc +
           "\n\n"
           "P: " +
           hid + "/hidraw/hidraw" + std::to_string(n) + "\nN: hidraw" + std::to_string(n) +
           "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw" + std::to_string(n) + "\n";
}

std::string hidrawSyspath(int n, std::uint16_t product) {
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:0168:%04X.%04X", product, n + 1);
    return std::string(kUsb) + "/1-1:1.0/" + hidName + "/hidraw/hidraw" + std::to_string(n);
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
        g_main_loop_quit(loop_);
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
    bool attached_ = false;
    std::mutex m_;
    std::deque<Bytes> input_;
    std::vector<Bytes> writes_;

private:
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* node = static_cast<EmulatedNode*>(self);
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
    void addUnit(int n, std::uint16_t product) {
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(tb, unitRecord(n, product).c_str(), &error))
            << (error ? error->message : "");
    }
};

struct ControllerEvents {
    THidDeviceController* ctl;
    THidDevice* device = nullptr;
    std::vector<std::string> events;
    std::vector<Bytes> data;
    std::vector<HidDeviceInfo> denied;
    explicit ControllerEvents(THidDeviceController* c) : ctl(c) {
        ctl->DevThreadSleepTime = 10; // poll() sees no readiness on an emulated node
        ctl->OnDeviceChange = [this] { ctl->Enumerate(); };
        ctl->OnEnumerate = [this](THidDevice* d, int index) {
            THidDevice* claimed = nullptr;
            if (IsRunIdentity(d->Attributes()) && ctl->CheckOutByIndex(claimed, index)) {
                device = claimed;
                events.push_back("claim " + d->DevicePath());
            }
            return true;
        };
        ctl->OnDeviceUnplug = [this](THidDevice* d) {
            events.push_back("unplug " + d->DevicePath());
            if (d == device) {
                device = nullptr;
                THidDevice* x = d;
                ctl->CheckIn(x);
            }
        };
        ctl->OnDeviceData = [this](THidDevice*, std::uint8_t id, const std::uint8_t* p, int size) {
            Bytes r{id};
            r.insert(r.end(), p, p + size);
            data.push_back(r);
        };
        ctl->OnDeviceAccessDenied = [this](const HidDeviceInfo& info) { denied.push_back(info); };
    }
    // The controller outlives this recorder in the tests; it must not call into it.
    ~ControllerEvents() {
        ctl->OnDeviceUnplug = nullptr;
        ctl->OnDeviceData = nullptr;
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
    ControllerEvents ev(&ctl);
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
    ControllerEvents ev(&ctl);
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
    ControllerEvents ev(&ctl);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ev.denied.empty(); }, kDeadline));
    EXPECT_EQ(ev.denied[0].path, "/dev/hidraw1");
    EXPECT_EQ(ev.denied[0].attributes.ProductID, 0x0821); // from the HID device's HID_ID
    EXPECT_NE(ev.denied[0].accessError, 0);
    EXPECT_EQ(ev.device, nullptr);
    ::rmdir(node.c_str());
}
