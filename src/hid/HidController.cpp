// HID device controller, device objects and reader threads.
#include "hid/HidController.h"

#include "core/PostToThread.h"

#include <QMetaObject>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <pthread.h>

namespace trm {

Q_LOGGING_CATEGORY(lcHid, "trm415.hid")

namespace {
constexpr std::size_t kDefaultInputLength = 65; // report ID + 64 data bytes
// A unit's node can appear before udev has given this user access to it (after a
// restart into the other identity, say): its opening is tried again this often before
// the unit is reported as one that cannot be opened.
constexpr int kAccessRetries = 10;
constexpr int kAccessRetryMs = 200;

bool isUnit(const HIDD_ATTRIBUTES& a) {
    return IsUnitIdentity(a);
}
} // namespace

// ------------------------------------------------------------ reader thread

THidDeviceReadThread::THidDeviceReadThread(THidDeviceController* controller, THidDevice* device,
                                           std::unique_ptr<HidConnection> connection,
                                           std::size_t inputLength, int sleepTime)
    : controller_(controller), device_(device), connection_(std::move(connection)),
      inputLength_(std::max<std::size_t>(inputLength, 1)), sleepTime_(std::max(sleepTime, 1)),
      handOver_(controller) {
    thread_ = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "trm-hid-read"); // as ps and perf show it
        run();
    });
}

THidDeviceReadThread::~THidDeviceReadThread() {
    stop();
}

void THidDeviceReadThread::stop() {
    {
        std::lock_guard lock(pauseMutex_);
        terminated_ = true;
    }
    pauseCv_.notify_all();
    connection_->wake();
    handOver_.cancel();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void THidDeviceReadThread::run() {
    std::vector<std::uint8_t> buffer(inputLength_);
    while (!terminated_.load()) {
        std::fill(buffer.begin(), buffer.end(), 0);
        const ReadResult r = connection_->read(buffer.data(), buffer.size(), sleepTime_);
        switch (r.status) {
        case ReadStatus::Report:
            if (r.length > 0) {
                // The hand-over owns its copy: the handler may outlive this thread if
                // the device is checked in from a nested event loop inside it.
                handOver_.call([c = controller_, d = device_, buffer, n = r.length] {
                    c->raiseDeviceData(d, buffer, n);
                });
            }
            break;
        case ReadStatus::Timeout:
            break;
        case ReadStatus::Error: {
            handOver_.call(
                [c = controller_, d = device_, e = r.error] { c->raiseDeviceDataError(d, e); });
            // Try again after one slice rather than at once, so a lasting error with a
            // handler that returns at once does not spin; a stop still ends the wait.
            std::unique_lock lock(pauseMutex_);
            pauseCv_.wait_for(lock, std::chrono::milliseconds(sleepTime_),
                              [this] { return terminated_.load(); });
            break;
        }
        case ReadStatus::Gone:
            // Removal normally reaches the controller through the system's
            // notification; a scan is queued as well, so that a notification that
            // never comes cannot leave the claimed unit standing.
            PostToThread(controller_, [c = controller_] { c->Scan(); });
            return;
        case ReadStatus::Stopped:
            return;
        }
    }
}

// ------------------------------------------------------------ device

THidDevice::THidDevice(THidDeviceController* controller, HidDeviceInfo info)
    : ThreadSleepTime(controller->DevThreadSleepTime), controller_(controller),
      info_(std::move(info)) {}

THidDevice::~THidDevice() {
    reader_.reset();
    CloseFile();
}

bool THidDevice::WriteFile(const void* buffer, std::uint32_t count, std::uint32_t& written,
                           int* error) {
    written = 0;
    int e = 0;
    std::lock_guard lock(writeMutex_);
    if (!writeHandle_) {
        writeHandle_ = controller_->backend_->open(info_, e);
    }
    if (writeHandle_ && writeHandle_->write(static_cast<const std::uint8_t*>(buffer), count, e)) {
        written = count;
    } else {
        qCWarning(lcHid, "write of %u bytes to %s failed: %s", count, info_.path.c_str(),
                  std::strerror(e));
    }
    if (error != nullptr) {
        *error = written == count ? 0 : e;
    }
    return written == count;
}

void THidDevice::CloseFile() {
    std::lock_guard lock(writeMutex_);
    writeHandle_.reset();
}

// ------------------------------------------------------------ controller

THidDeviceController::THidDeviceController(std::unique_ptr<HidBackend> backend, QObject* parent)
    : QObject(parent), backend_(std::move(backend)) {
    accessRetryTimer_.setSingleShot(true);
    accessRetryTimer_.setInterval(kAccessRetryMs);
    connect(&accessRetryTimer_, &QTimer::timeout, this, [this] { Scan(); });
    backend_->setChangeHandler([this] { deviceChangeNotification(); });
    // The first scan runs as soon as the event loop runs, and counts as a change.
    QMetaObject::invokeMethod(
        this, [this] { Scan(); }, Qt::QueuedConnection);
}

THidDeviceController::~THidDeviceController() {
    // A device still claimed is reported unplugged once more; the others go silently.
    // The handler may check the device in, which takes it out of the list: walk a
    // copy, and skip a device that an earlier handler has already released.
    std::vector<THidDevice*> claimed;
    for (auto& d : devices_) {
        if (d->checkedOut_) {
            claimed.push_back(d.get());
        }
    }
    for (THidDevice* d : claimed) {
        if (!isListed(d)) {
            continue;
        }
        d->pluggedIn_ = false;
        if (OnDeviceUnplug) {
            OnDeviceUnplug(d);
        }
    }
    devices_.clear();
    backend_->setChangeHandler({});
}

void THidDeviceController::deviceChangeNotification() {
    if (OnSystemDeviceChange) {
        OnSystemDeviceChange();
    }
    Scan();
}

bool THidDeviceController::isListed(const THidDevice* device) const {
    return std::any_of(devices_.begin(), devices_.end(),
                       [device](const auto& d) { return d.get() == device; });
}

void THidDeviceController::Scan() {
    if (scanning_) {
        // Never re-entered; the scan in progress is followed by one more so that the
        // notification is not lost.
        rescanPending_ = true;
        return;
    }
    scanning_ = true;
    ++scans_;
    const std::vector<HidDeviceInfo> found = backend_->enumerate();
    bool changed = false;

    // Removals first, from the last known device to the first.
    std::vector<THidDevice*> gone;
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        THidDevice* d = it->get();
        const bool present = std::any_of(found.begin(), found.end(), [d](const HidDeviceInfo& f) {
            return f.instanceId == d->InstanceId();
        });
        if (!present || !d->pluggedIn_) {
            gone.push_back(d);
        }
    }
    for (THidDevice* d : gone) {
        if (!isListed(d)) {
            continue; // a handler already released it
        }
        d->CloseFile();
        d->pluggedIn_ = false;
        qCDebug(lcHid, "removal of %s", d->DevicePath().c_str());
        changed = true;
        if (OnDeviceUnplug) {
            OnDeviceUnplug(d);
        }
        // The handler may have checked it in, which destroyed it.
        if (isListed(d) && !d->checkedOut_) {
            devices_.erase(std::find_if(devices_.begin(), devices_.end(),
                                        [d](const auto& p) { return p.get() == d; }));
        }
    }

    // Retries are kept only for devices still present.
    for (auto it = accessRetries_.begin(); it != accessRetries_.end();) {
        const bool present = std::any_of(found.begin(), found.end(), [&it](const HidDeviceInfo& f) {
            return f.instanceId == it->first;
        });
        it = present ? std::next(it) : accessRetries_.erase(it);
    }

    // Then arrivals, appended in the order the system lists them.
    for (const HidDeviceInfo& f : found) {
        const bool known = std::any_of(devices_.begin(), devices_.end(), [&f](const auto& d) {
            return d->pluggedIn_ && d->InstanceId() == f.instanceId;
        });
        if (known) {
            continue;
        }
        if (!f.accessible && isUnit(f.attributes)) {
            // Not yet: the arrival is taken once the node opens, or reported when it
            // still does not after the last try.
            int& tries = accessRetries_[f.instanceId];
            if (tries < kAccessRetries) {
                ++tries;
                if (!accessRetryTimer_.isActive()) {
                    accessRetryTimer_.start();
                }
                continue;
            }
        }
        accessRetries_.erase(f.instanceId);
        devices_.push_back(std::make_unique<THidDevice>(this, f));
        qCDebug(lcHid, "arrival %04x:%04x at %s", f.attributes.VendorID, f.attributes.ProductID,
                f.path.c_str());
        changed = true;
        if (!f.accessible && isUnit(f.attributes)) {
            devices_.back()->accessReported_ = true;
            reportAccessDenied(f);
        }
    }

    if (changed || firstScan_) {
        firstScan_ = false;
        if (OnDeviceChange) {
            OnDeviceChange();
        }
    }
    scanning_ = false;
    if (rescanPending_) {
        rescanPending_ = false;
        QMetaObject::invokeMethod(
            this, [this] { Scan(); }, Qt::QueuedConnection);
    }
}

void THidDeviceController::reportAccessDenied(const HidDeviceInfo& f) {
    if (OnDeviceAccessDenied) {
        OnDeviceAccessDenied(f);
    } else {
        std::fprintf(stderr,
                     "trm415-update: unit %04x:%04x at %s cannot be opened for reading and "
                     "writing: %s\n",
                     f.attributes.VendorID, f.attributes.ProductID, f.path.c_str(),
                     std::strerror(f.accessError));
    }
}

void THidDeviceController::Enumerate() {
    std::vector<THidDevice*> snapshot;
    for (auto& d : devices_) {
        snapshot.push_back(d.get());
    }
    for (THidDevice* d : snapshot) {
        if (!isListed(d) || !d->pluggedIn_) {
            continue;
        }
        const auto index =
            static_cast<int>(std::find_if(devices_.begin(), devices_.end(),
                                          [d](const auto& p) { return p.get() == d; }) -
                             devices_.begin());
        const bool more = OnEnumerate ? OnEnumerate(d, index) : true;
        if (isListed(d)) {
            if (!d->checkedOut_) {
                d->CloseFile();
            }
        }
        if (!more) {
            break;
        }
    }
}

bool THidDeviceController::CheckOutByIndex(THidDevice*& device, int index) {
    device = nullptr;
    if (index < 0 || static_cast<std::size_t>(index) >= devices_.size()) {
        return false;
    }
    THidDevice* d = devices_[static_cast<std::size_t>(index)].get();
    if (d->checkedOut_ || !d->pluggedIn_) {
        return false;
    }
    // A device that cannot be opened is not claimed: claiming it would show a unit
    // that nothing can talk to. It is offered again by every later enumeration.
    int error = 0;
    std::unique_ptr<HidConnection> connection = backend_->open(d->info_, error);
    if (!connection) {
        d->info_.accessible = false;
        d->info_.accessError = error;
        if (!d->accessReported_ && isUnit(d->info_.attributes)) {
            d->accessReported_ = true;
            reportAccessDenied(d->info_);
        }
        return false;
    }
    d->info_.accessible = true;
    d->checkedOut_ = true;
    qCDebug(lcHid, "claimed %s", d->DevicePath().c_str());
    device = d;
    if (OnDeviceData) {
        std::size_t inputLength = d->info_.caps.InputReportByteLength;
        if (inputLength == 0) {
            inputLength = kDefaultInputLength;
        }
        d->reader_ = std::make_unique<THidDeviceReadThread>(this, d, std::move(connection),
                                                            inputLength, d->ThreadSleepTime);
    }
    return true;
}

void THidDeviceController::CheckIn(THidDevice*& device) {
    THidDevice* d = device;
    device = nullptr;
    if (d == nullptr) {
        return;
    }
    d->reader_.reset(); // flag, wake, cancel the hand-over, join
    d->CloseFile();
    d->checkedOut_ = false;
    if (!d->pluggedIn_) {
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [d](const auto& p) { return p.get() == d; });
        if (it != devices_.end()) {
            devices_.erase(it);
        }
    }
}

void THidDeviceController::raiseDeviceData(THidDevice* device,
                                           const std::vector<std::uint8_t>& report, int length) {
    if (OnDeviceData && !report.empty()) {
        OnDeviceData(device, report[0], report.data() + 1, length - 1);
    }
}

void THidDeviceController::raiseDeviceDataError(THidDevice* device, int error) {
    if (OnDeviceDataError) {
        OnDeviceDataError(device, error);
    }
}

} // namespace trm
