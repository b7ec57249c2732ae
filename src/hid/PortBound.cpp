// Binding a backend to one USB port.
#include "hid/PortBound.h"

#include <cerrno>

namespace trm {

bool IsUsbPortName(const std::string& s) {
    // bus "-" port ("." port)*: digits separated by one '-' then '.'s.
    const auto dash = s.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == s.size()) {
        return false;
    }
    bool digit = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if ((i == dash || (c == '.' && i > dash)) && digit) {
            digit = false;
        } else {
            return false;
        }
    }
    return digit;
}

std::string UsbPortOf(const std::string& syspath) {
    std::string port;
    std::size_t start = 0;
    while (start <= syspath.size()) {
        const std::size_t slash = syspath.find('/', start);
        const std::string part =
            syspath.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (IsUsbPortName(part)) {
            port = part; // the deepest one: the device itself, below its hubs
        }
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    return port;
}

bool LiesOnPort(const std::string& devicePort, const std::string& port) {
    if (port.empty() || devicePort.size() < port.size() ||
        devicePort.compare(0, port.size(), port) != 0) {
        return false;
    }
    return devicePort.size() == port.size() || devicePort[port.size()] == '.';
}

PortBoundBackend::PortBoundBackend(std::unique_ptr<HidBackend> inner, std::string port)
    : inner_(std::move(inner)), port_(std::move(port)) {}

std::vector<HidDeviceInfo> PortBoundBackend::enumerate() {
    std::vector<HidDeviceInfo> out;
    for (auto& d : inner_->enumerate()) {
        if (LiesOnPort(UsbPortOf(d.instanceId), port_)) {
            out.push_back(std::move(d));
        }
    }
    return out;
}

std::unique_ptr<HidConnection> PortBoundBackend::open(const HidDeviceInfo& device, int& error) {
    if (!LiesOnPort(UsbPortOf(device.instanceId), port_)) {
        error = ENODEV;
        return nullptr;
    }
    return inner_->open(device, error);
}

void PortBoundBackend::setChangeHandler(std::function<void()> handler) {
    inner_->setChangeHandler(std::move(handler));
}

} // namespace trm
