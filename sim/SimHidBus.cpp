// In-process HID bus and its backend.
#include "sim/SimHidBus.h"

#include "hid/ReportDescriptor.h"

#include "core/PostToThread.h"
#include "hid/UnitIdentity.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>

namespace trm::sim {

struct SimHidBus::Queue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Bytes> reports;
    bool gone = false;
    bool woken = false;
};

namespace {

class SimConnection : public HidConnection {
public:
    SimConnection(std::shared_ptr<SimHidBus> bus, std::string id,
                  std::shared_ptr<SimHidBus::Queue> q, SimHidBus::OutputSink sink)
        : bus_(std::move(bus)), id_(std::move(id)), q_(std::move(q)), sink_(std::move(sink)) {}

    bool write(const std::uint8_t* data, std::size_t length, int& error) override {
        {
            std::lock_guard lock(q_->m);
            if (q_->gone) {
                error = ENODEV;
                return false;
            }
        }
        sink_(data, length);
        return true;
    }

    ReadResult read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) override {
        std::unique_lock lock(q_->m);
        q_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return q_->woken || q_->gone || !q_->reports.empty(); });
        if (q_->woken) {
            return {ReadStatus::Stopped, 0, 0};
        }
        if (!q_->reports.empty()) {
            Bytes r = std::move(q_->reports.front());
            q_->reports.pop_front();
            const std::size_t n = std::min(capacity, r.size());
            std::memcpy(buffer, r.data(), n);
            return {ReadStatus::Report, static_cast<int>(n), 0};
        }
        if (q_->gone) {
            return {ReadStatus::Gone, 0, ENODEV};
        }
        return {ReadStatus::Timeout, 0, 0};
    }

    void wake() override {
        {
            std::lock_guard lock(q_->m);
            q_->woken = true;
        }
        q_->cv.notify_all();
    }

private:
    std::shared_ptr<SimHidBus> bus_;
    std::string id_;
    std::shared_ptr<SimHidBus::Queue> q_;
    SimHidBus::OutputSink sink_;
};

} // namespace

std::string SimHidBus::add(HIDD_ATTRIBUTES attributes, HIDP_CAPS caps, OutputSink sink,
                           const std::string& usbPort, const std::string& serial) {
    std::string id;
    {
        std::lock_guard lock(m_);
        const int n = nextId_++;
        id = usbPort.empty() ? "sim/hid/" + std::to_string(n)
                             : "sim/usb/" + usbPort + "/hid/" + std::to_string(n);
        Device d;
        d.info.path = "sim:hidraw" + std::to_string(n);
        d.info.instanceId = id;
        d.info.serial = serial;
        d.info.descriptor =
            VendorPageDescriptor(caps.InputReportByteLength, caps.OutputReportByteLength);
        d.info.attributes = attributes;
        d.info.caps = caps;
        d.sink = std::move(sink);
        devices_.emplace(id, std::move(d));
        order_.push_back(id);
    }
    notify();
    return id;
}

void SimHidBus::remove(const std::string& instanceId) {
    {
        std::lock_guard lock(m_);
        auto it = devices_.find(instanceId);
        if (it == devices_.end()) {
            return;
        }
        eachConnection(it->second, [](Queue& q) { q.gone = true; });
        devices_.erase(it);
        order_.erase(std::remove(order_.begin(), order_.end(), instanceId), order_.end());
    }
    notify();
}

void SimHidBus::deliver(const std::string& instanceId, const Bytes& report) {
    std::lock_guard lock(m_);
    auto it = devices_.find(instanceId);
    if (it == devices_.end()) {
        return;
    }
    eachConnection(it->second, [&report](Queue& q) {
        if (q.reports.size() < 64) {
            q.reports.push_back(report);
        }
    });
}

void SimHidBus::eachConnection(Device& d, const std::function<void(Queue&)>& change) {
    for (auto& q : d.connections) {
        {
            std::lock_guard ql(q->m);
            change(*q);
        }
        q->cv.notify_all();
    }
}

void SimHidBus::setOpenError(const std::string& instanceId, int error) {
    std::lock_guard lock(m_);
    auto it = devices_.find(instanceId);
    if (it != devices_.end()) {
        it->second.openError = error;
    }
}

std::vector<HidDeviceInfo> SimHidBus::list() {
    std::lock_guard lock(m_);
    std::vector<HidDeviceInfo> out;
    for (const auto& id : order_) {
        const Device& d = devices_.at(id);
        HidDeviceInfo info = d.info;
        info.accessible = d.openError == 0;
        info.accessError = d.openError;
        out.push_back(info);
    }
    return out;
}

std::unique_ptr<HidConnection> SimHidBus::open(const std::string& instanceId, int& error) {
    std::lock_guard lock(m_);
    auto it = devices_.find(instanceId);
    if (it == devices_.end()) {
        error = ENOENT;
        return nullptr;
    }
    if (it->second.openError != 0) {
        error = it->second.openError;
        return nullptr;
    }
    // Connections that were closed are dropped from the list when the next one opens.
    auto& conns = it->second.connections;
    conns.erase(std::remove_if(conns.begin(), conns.end(),
                               [](const auto& q) { return q.use_count() == 1; }),
                conns.end());
    auto q = std::make_shared<Queue>();
    conns.push_back(q);
    return std::make_unique<SimConnection>(shared_from_this(), instanceId, q, it->second.sink);
}

int SimHidBus::subscribe(QObject* context, std::function<void()> handler) {
    std::lock_guard lock(m_);
    const int token = nextToken_++;
    subscribers_[token] = {context, std::move(handler)};
    return token;
}

void SimHidBus::unsubscribe(int token) {
    std::lock_guard lock(m_);
    subscribers_.erase(token);
}

void SimHidBus::notify() {
    std::lock_guard lock(m_);
    for (auto& [token, sub] : subscribers_) {
        PostToThread(sub.first, sub.second);
    }
}

// ------------------------------------------------------------ backend

SimHidBackend::SimHidBackend(std::shared_ptr<SimHidBus> bus)
    : bus_(std::move(bus)), context_(std::make_unique<QObject>()) {}

SimHidBackend::~SimHidBackend() {
    if (token_ >= 0) {
        bus_->unsubscribe(token_);
    }
}

std::vector<HidDeviceInfo> SimHidBackend::enumerate() {
    return bus_->list();
}

std::unique_ptr<HidConnection> SimHidBackend::open(const HidDeviceInfo& device, int& error) {
    return bus_->open(device.instanceId, error);
}

void SimHidBackend::setChangeHandler(std::function<void()> handler) {
    if (token_ >= 0) {
        bus_->unsubscribe(token_);
        token_ = -1;
    }
    if (handler) {
        token_ = bus_->subscribe(context_.get(), std::move(handler));
    }
}

// ------------------------------------------------------------ unit port

SimBusPort::SimBusPort(std::shared_ptr<SimHidBus> bus, SimUnit& unit,
                       std::uint16_t outputReportLength)
    : bus_(std::move(bus)), unit_(unit), outputLength_(outputReportLength) {}

SimBusPort::~SimBusPort() {
    std::lock_guard lock(m_);
}

void SimBusPort::attach(std::uint16_t productId) {
    HIDP_CAPS caps;
    caps.UsagePage = 0xFF00;
    caps.Usage = 0x01;
    caps.InputReportByteLength = 65;
    caps.OutputReportByteLength = outputLength_;
    HIDD_ATTRIBUTES a{kUnitVendorId, productId, 0x0104};
    SimUnit* unit = &unit_;
    std::lock_guard lock(m_);
    if (!current_.empty()) {
        bus_->remove(current_);
    }
    current_ = bus_->add(
        a, caps, [unit](const std::uint8_t* r, std::size_t n) { unit->onOutputReport(r, n); },
        usbPort_, serial_);
    if (openError_ != 0) {
        bus_->setOpenError(current_, openError_);
    }
}

void SimBusPort::detach() {
    std::lock_guard lock(m_);
    if (!current_.empty()) {
        bus_->remove(current_);
        current_.clear();
    }
}

void SimBusPort::sendInput(const Bytes& report) {
    std::string id;
    {
        std::lock_guard lock(m_);
        id = current_;
    }
    if (!id.empty()) {
        bus_->deliver(id, report);
    }
}

void SimBusPort::setOpenError(int error) {
    std::lock_guard lock(m_);
    openError_ = error;
    if (!current_.empty()) {
        bus_->setOpenError(current_, error);
    }
}

void SimBusPort::setLocation(std::string usbPort, std::string serial) {
    std::lock_guard lock(m_);
    usbPort_ = std::move(usbPort);
    serial_ = std::move(serial);
}

void StartAmongOtherDevices(SimHidBus& bus, SimUnit& unit, SimBusPort& port,
                            const UnitScenario& scenario) {
    const int others = scenario.otherDevices;
    struct Other {
        std::uint16_t vendor, product, usagePage, usage, input, output;
    };
    static const Other kOthers[] = {
        {0x046D, 0xC52B, 0x0001, 0x06, 9, 0},   // keyboard receiver
        {0x046D, 0xC077, 0x0001, 0x02, 8, 0},   // mouse
        {0x1050, 0x0407, 0xF1D0, 0x01, 65, 65}, // security key
        {0x0B05, 0x19AF, 0xFF31, 0x79, 65, 65}, // lighting controller
    };
    auto add = [&bus](int i) {
        const Other& o = kOthers[static_cast<std::size_t>(i) % std::size(kOthers)];
        HIDP_CAPS caps;
        caps.UsagePage = o.usagePage;
        caps.Usage = o.usage;
        caps.InputReportByteLength = o.input;
        caps.OutputReportByteLength = o.output;
        bus.add(
            HIDD_ATTRIBUTES{o.vendor, static_cast<std::uint16_t>(o.product + i / 4), 0x0100}, caps,
            [](const std::uint8_t*, std::size_t) {}, "3-" + std::to_string(i + 1));
    };
    const int before = (others + 1) / 2;
    for (int i = 0; i < before; ++i) {
        add(i);
    }
    port.setLocation(scenario.usbPort, scenario.serial);
    if (scenario.accessDenied) {
        port.setOpenError(EACCES);
    }
    if (!scenario.absent) {
        unit.start(&port);
    }
    for (int i = before; i < others; ++i) {
        add(i);
    }
}

} // namespace trm::sim
