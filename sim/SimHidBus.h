// An in-process HID bus: simulated devices appear and vanish on it, and a backend of
// the HID controller lists and opens them as the Linux backend does real hidraw nodes,
// with the same change notifications.
#pragma once

#include "hid/HidBackend.h"
#include "sim/SimUnit.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace trm::sim {

class SimHidBus : public std::enable_shared_from_this<SimHidBus> {
public:
    using OutputSink = std::function<void(const std::uint8_t* report, std::size_t length)>;

    // Adds a device; `sink` receives every output report written to it (any thread).
    // Returns its instance identifier, which names `usbPort` (e.g. "1-2.3") the way a
    // sysfs path does, when one is given.
    std::string add(HIDD_ATTRIBUTES attributes, HIDP_CAPS caps, OutputSink sink,
                    const std::string& usbPort = {}, const std::string& serial = {});
    void remove(const std::string& instanceId);
    // Queues one input report for every open connection of the device (64 at most per
    // connection; further ones are dropped, as the kernel does).
    void deliver(const std::string& instanceId, const Bytes& report);
    // Makes the next opens of the device fail with `error` (0: open normally).
    void setOpenError(const std::string& instanceId, int error);

    std::vector<HidDeviceInfo> list();
    std::unique_ptr<HidConnection> open(const std::string& instanceId, int& error);

    // Change notifications: `handler` runs on `context`'s thread after each add/remove.
    int subscribe(QObject* context, std::function<void()> handler);
    void unsubscribe(int token);

    struct Queue;

private:
    struct Device {
        HidDeviceInfo info;
        OutputSink sink;
        int openError = 0;
        std::vector<std::shared_ptr<Queue>> connections;
    };
    void notify();
    // Changes each open connection of `d` under its lock, then wakes its reader.
    void eachConnection(Device& d, const std::function<void(Queue&)>& change);

    std::mutex m_;
    std::map<std::string, Device> devices_;
    std::vector<std::string> order_;
    int nextId_ = 0;
    std::map<int, std::pair<QObject*, std::function<void()>>> subscribers_;
    int nextToken_ = 0;
};

// The controller's backend over a simulated bus.
class SimHidBackend : public HidBackend {
public:
    explicit SimHidBackend(std::shared_ptr<SimHidBus> bus);
    ~SimHidBackend() override;
    std::vector<HidDeviceInfo> enumerate() override;
    std::unique_ptr<HidConnection> open(const HidDeviceInfo& device, int& error) override;
    void setChangeHandler(std::function<void()> handler) override;

private:
    std::shared_ptr<SimHidBus> bus_;
    std::unique_ptr<QObject> context_;
    int token_ = -1;
};

// Attaches a simulated unit to the bus: each identity is a new device, as after a
// real restart.
class SimBusPort : public UnitPort {
public:
    SimBusPort(std::shared_ptr<SimHidBus> bus, SimUnit& unit,
               std::uint16_t outputReportLength = 65);
    // Waits for an attach or detach under way on the unit's thread to finish.
    ~SimBusPort() override;
    void attach(std::uint16_t productId) override;
    void detach() override;
    void sendInput(const Bytes& report) override;
    // Opens of the unit's node fail with `error` from now on (0: they succeed).
    void setOpenError(int error);
    // The USB port the unit is plugged into and its HID serial, for its next arrivals.
    void setLocation(std::string usbPort, std::string serial);

private:
    std::shared_ptr<SimHidBus> bus_;
    SimUnit& unit_;
    std::uint16_t outputLength_;
    std::mutex m_;
    std::string current_;
    int openError_ = 0;
    std::string usbPort_ = "1-1";
    std::string serial_;
};

// Starts `unit` on `port` as `scenario` says: with its `otherDevices` other HID devices of
// a desktop (keyboards, mice, a security key; never the unit's vendor) on the same bus,
// the first half (rounded up) listed before the unit, the rest after it; not at all
// when it is `absent`; with its node refusing to open when `accessDenied`.
void StartAmongOtherDevices(SimHidBus& bus, SimUnit& unit, SimBusPort& port,
                            const UnitScenario& scenario);

} // namespace trm::sim
