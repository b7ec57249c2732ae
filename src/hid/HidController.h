// The HID device controller: finds HID devices through a backend, keeps one device
// object per device present, claims (checks out) devices, runs one reader thread per
// claimed device, and raises its events on the GUI thread.
#pragma once

#include "core/SyncCall.h"
#include "hid/HidBackend.h"
#include "hid/UnitIdentity.h"

#include <QLoggingCategory>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trm {

Q_DECLARE_LOGGING_CATEGORY(lcHid)

class THidDevice;
class THidDeviceController;

// Reads input reports of one claimed device and hands each to the GUI thread
// synchronously. Shuts down in one order: flag, wake, cancel the pending hand-over,
// join.
class THidDeviceReadThread {
public:
    THidDeviceReadThread(THidDeviceController* controller, THidDevice* device,
                         std::unique_ptr<HidConnection> connection, std::size_t inputLength,
                         int sleepTime);
    ~THidDeviceReadThread(); // stops and joins
    THidDeviceReadThread(const THidDeviceReadThread&) = delete;
    THidDeviceReadThread& operator=(const THidDeviceReadThread&) = delete;

    void stop();

private:
    void run();

    THidDeviceController* controller_;
    THidDevice* device_;
    std::unique_ptr<HidConnection> connection_;
    std::size_t inputLength_;
    int sleepTime_;
    std::atomic<bool> terminated_{false};
    SyncCall handOver_;
    std::mutex pauseMutex_;
    std::condition_variable pauseCv_;
    std::thread thread_;
};

class THidDevice {
public:
    THidDevice(THidDeviceController* controller, HidDeviceInfo info);
    ~THidDevice();
    THidDevice(const THidDevice&) = delete;
    THidDevice& operator=(const THidDevice&) = delete;

    const std::string& DevicePath() const { return info_.path; }
    const std::string& InstanceId() const { return info_.instanceId; }
    const HIDD_ATTRIBUTES& Attributes() const { return info_.attributes; }
    const std::string& SerialNumber() const { return info_.serial; }

    // Capabilities from the device's report descriptor, zero-filled where unknown.
    HIDP_CAPS GetCaps() const { return info_.caps; }

    // Writes `count` bytes as one output report, opening the read/write handle when it
    // is not open. Returns false when the handle cannot be opened or the write fails,
    // with the system's error code in `*error` (0 on success) and a warning in the log
    // category trm415.hid. Thread-safe: the link session's worker calls it.
    bool WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& written,
                   int* error = nullptr);

    bool PluggedIn() const { return pluggedIn_; }
    bool CheckedOut() const { return checkedOut_; }

    int ThreadSleepTime = 100; // reader's wait slice, ms

private:
    friend class THidDeviceController;
    void CloseFile(); // closes the read/write handle

    THidDeviceController* controller_;
    HidDeviceInfo info_;
    bool pluggedIn_ = true;
    bool checkedOut_ = false;
    bool accessReported_ = false; // the access problem was told for this arrival
    std::mutex writeMutex_;
    std::unique_ptr<HidConnection> writeHandle_;
    std::unique_ptr<THidDeviceReadThread> reader_;
};

class THidDeviceController : public QObject {
public:
    explicit THidDeviceController(std::unique_ptr<HidBackend> backend, QObject* parent = nullptr);
    ~THidDeviceController() override;

    // Offers every plugged-in device, in list order, to OnEnumerate; stops when it
    // returns false.
    void Enumerate();
    // Claims the device at `index` and starts its reader. Fails (device = null) when
    // the index is outside the list, the device is already checked out or unplugged,
    // or it cannot be opened for reading and writing.
    bool CheckOutByIndex(THidDevice*& device, int index);
    // Stops the device's reader, closes its handles, and releases it: it becomes
    // available again, or is destroyed when it has been unplugged. device := null.
    void CheckIn(THidDevice*& device);

    int DevThreadSleepTime = 100;

    // Events, all raised on the GUI thread.
    std::function<void()> OnDeviceChange;
    std::function<bool(THidDevice* device, int index)> OnEnumerate;
    std::function<void(THidDevice* device, std::uint8_t reportId, const std::uint8_t* data,
                       int size)>
        OnDeviceData;
    std::function<void(THidDevice* device, int error)> OnDeviceDataError;
    std::function<void(THidDevice* device)> OnDeviceUnplug;
    // A unit (vendor 0x0168, either identity) is present but cannot be opened for
    // reading and writing; raised once per arrival. Without a handler it is told on
    // stderr.
    std::function<void(const HidDeviceInfo& device)> OnDeviceAccessDenied;

    // Raised after every change notification of the system, before the scan it
    // triggers: the main window watches it as its own device-change broadcast.
    std::function<void()> OnSystemDeviceChange;

    const std::vector<std::unique_ptr<THidDevice>>& Devices() const { return devices_; }
    int ScanCount() const { return scans_; } // scans run so far; for the tests

private:
    friend class THidDeviceReadThread;
    friend class THidDevice;
    void deviceChangeNotification();
    void Scan();
    void raiseDeviceData(THidDevice* device, const std::vector<std::uint8_t>& report, int length);
    void raiseDeviceDataError(THidDevice* device, int error);
    bool isListed(const THidDevice* device) const;
    void reportAccessDenied(const HidDeviceInfo& device);

    std::unique_ptr<HidBackend> backend_;
    std::vector<std::unique_ptr<THidDevice>> devices_;
    QTimer accessRetryTimer_;
    std::map<std::string, int> accessRetries_; // instance id -> failed opens so far
    bool scanning_ = false;
    bool firstScan_ = true;
    bool rescanPending_ = false;
    int scans_ = 0;
};

} // namespace trm
