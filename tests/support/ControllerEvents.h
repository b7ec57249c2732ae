// What a window puts on the HID controller's events, recorded for the tests: the unit
// claimed in either identity, released when it goes, every report and every access
// problem kept.
#pragma once

#include "hid/HidController.h"

#include <functional>
#include <string>
#include <vector>

namespace trm::testing {

struct ControllerEvents {
    THidDeviceController* ctl = nullptr;
    THidDevice* device = nullptr;
    std::vector<std::string> events; // "claim LABEL", "unplug LABEL"
    std::vector<Bytes> data;         // report ID + the data bytes handed over
    std::vector<HidDeviceInfo> denied;
    int changes = 0;
    // Names a device in `events`.
    std::function<std::string(THidDevice*)> label = byIdentity;

    static std::string byIdentity(THidDevice* d) {
        return IsRunIdentity(d->Attributes())      ? "run"
               : IsUpdateIdentity(d->Attributes()) ? "update"
                                                   : "other";
    }
    static std::string byPath(THidDevice* d) { return d->DevicePath(); }

    ControllerEvents() = default;
    explicit ControllerEvents(THidDeviceController* c) { attach(c); }
    ControllerEvents(const ControllerEvents&) = delete;
    ControllerEvents& operator=(const ControllerEvents&) = delete;
    // The controller may outlive the recorder: it must not call into it then.
    ~ControllerEvents() { detach(); }

    void attach(THidDeviceController* c) {
        ctl = c;
        ctl->OnDeviceChange = [this] {
            ++changes;
            ctl->Enumerate();
        };
        ctl->OnEnumerate = [this](THidDevice* d, int index) {
            THidDevice* claimed = nullptr;
            if (IsUnitIdentity(d->Attributes()) && ctl->CheckOutByIndex(claimed, index)) {
                device = claimed;
                events.push_back("claim " + label(d));
            }
            return true;
        };
        ctl->OnDeviceUnplug = [this](THidDevice* d) {
            events.push_back("unplug " + label(d));
            if (d == device) {
                device = nullptr;
            }
            if (IsUnitIdentity(d->Attributes()) && d->CheckedOut()) {
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
    void detach() {
        if (ctl != nullptr) {
            ctl->OnDeviceChange = nullptr;
            ctl->OnEnumerate = nullptr;
            ctl->OnDeviceUnplug = nullptr;
            ctl->OnDeviceData = nullptr;
            ctl->OnDeviceAccessDenied = nullptr;
            ctl = nullptr;
        }
    }
    // Writes one output report to the claimed device.
    bool write(const Bytes& report) {
        std::uint32_t written = 0;
        return device != nullptr &&
               device->WriteFile(report.data(), static_cast<std::uint32_t>(report.size()), written);
    }
};

} // namespace trm::testing
