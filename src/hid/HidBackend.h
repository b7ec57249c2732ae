// The narrow port under the HID device controller: enumerate HID devices, open one,
// read and write reports, and hear about arrivals and removals. Two implementations:
// Linux (libudev + hidraw, hid/linux/) and simulated (sim/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace trm {

// HID attributes of a device, read once when its object is made.
struct HIDD_ATTRIBUTES {
    std::uint16_t VendorID = 0;
    std::uint16_t ProductID = 0;
    std::uint16_t VersionNumber = 0;
};

// Capabilities of a device. Report lengths include the report-ID byte, so a device
// with 64-byte reports and no report IDs has lengths of 65.
struct HIDP_CAPS {
    std::uint16_t Usage = 0;
    std::uint16_t UsagePage = 0;
    std::uint16_t InputReportByteLength = 0;
    std::uint16_t OutputReportByteLength = 0;
    std::uint16_t FeatureReportByteLength = 0;
};

// One HID device as a scan finds it.
struct HidDeviceInfo {
    std::string path;       // the device node, e.g. /dev/hidraw3
    std::string instanceId; // identifies this arrival of the device (sysfs path)
    HIDD_ATTRIBUTES attributes;
    HIDP_CAPS caps;
    bool numberedReports = false; // the descriptor declares report IDs
    bool accessible = true;       // the node could be opened for read and write
    int accessError = 0;          // errno of the failed open when not accessible
    std::string heldBy; // the other program updating the unit on its port (EBUSY), if one is
    std::string serial; // the HID serial (HID_UNIQ) when the device has one
    std::vector<std::uint8_t> descriptor; // the report descriptor, when it could be read
};

enum class ReadStatus {
    Report,  // one input report was read
    Timeout, // nothing arrived within the time-out
    Stopped, // wake() was called
    Gone,    // the device has been removed (hang-up, ENODEV, EIO)
    Error,   // the read could not be done; `error` holds errno
};

struct ReadResult {
    ReadStatus status = ReadStatus::Timeout;
    int length = 0; // bytes in the buffer, report ID byte included
    int error = 0;
};

// An open handle on a device node.
class HidConnection {
public:
    virtual ~HidConnection() = default;
    // Writes one output report; byte 0 is the report ID. Returns false with `error` set
    // when the write fails.
    virtual bool write(const std::uint8_t* data, std::size_t length, int& error) = 0;
    // Waits up to `timeoutMs` for one input report and stores it with its report ID in
    // byte 0 (0 for devices without report IDs). Never writes past `capacity`; a report
    // longer than the buffer is cut.
    virtual ReadResult read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs) = 0;
    // Makes a read in progress, or the next one, return Stopped. Thread-safe.
    virtual void wake() = 0;
};

class HidBackend {
public:
    virtual ~HidBackend() = default;
    // The HID devices present now, in the order the system lists them.
    virtual std::vector<HidDeviceInfo> enumerate() = 0;
    // Opens the device for reading and writing. Returns null with `error` set on failure.
    virtual std::unique_ptr<HidConnection> open(const HidDeviceInfo& device, int& error) = 0;
    // `handler` runs on the GUI thread after devices may have come or gone; the
    // controller scans then. Set once, before the first scan.
    virtual void setChangeHandler(std::function<void()> handler) = 0;
};

} // namespace trm
