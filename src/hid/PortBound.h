// Binding to one USB port: a backend that sees only the devices below one port of the
// machine. The port is the sysfs name of the unit's USB device ("1-2.3": bus, then the
// port chain); it stays the same when the unit restarts into its other identity on the
// same port, so an update can follow the unit through its restarts while units on other
// ports stay invisible to it.
#pragma once

#include "hid/HidBackend.h"

#include <memory>
#include <string>

namespace trm {

// The USB port of a device from its sysfs path: the deepest USB device name in it
// ("1-2.3" in ".../usb1/1-2/1-2.3/1-2.3:1.0/0003:0168:0821.0004/hidraw/hidraw3"). Empty
// when the path names none.
std::string UsbPortOf(const std::string& syspath);

// True when `port` is a well-formed port name: bus "-" port ("." port)*, all decimal.
bool IsUsbPortName(const std::string& port);

// True when a device at `devicePort` lies on `port`: the port itself, or a device behind
// a hub plugged into it ("1-2.3.1" lies on "1-2.3"; "1-2.31" does not).
bool LiesOnPort(const std::string& devicePort, const std::string& port);

// Lists, reports and opens only the devices of `inner` that lie on `port`. To the
// controller above it the machine then holds at most that port's devices.
class PortBoundBackend : public HidBackend {
public:
    PortBoundBackend(std::unique_ptr<HidBackend> inner, std::string port);

    std::vector<HidDeviceInfo> enumerate() override;
    // Refuses (ENODEV) a device that does not lie on the port.
    std::unique_ptr<HidConnection> open(const HidDeviceInfo& device, int& error) override;
    void setChangeHandler(std::function<void()> handler) override;

    const std::string& port() const { return port_; }

private:
    std::unique_ptr<HidBackend> inner_;
    std::string port_;
};

} // namespace trm
