// Link session: worker loop, send queue, reply reassembly, keep-alive.
#include "link/Lusb.h"

#include "core/PostToThread.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <pthread.h>
#include <system_error>

namespace trm {

Q_LOGGING_CATEGORY(lcLink, "trm415.link", QtWarningMsg)

// ---------------------------------------------------------------- LUsb

LUsb::LUsb(LinkOwner* owner) : owner_(owner), delivery_(owner->linkWindow()) {}

LUsb::~LUsb() {
    if (worker_.joinable()) {
        LUsb::Close();
    }
}

bool LUsb::Open() {
    if (running_.load() || worker_.joinable()) {
        return false;
    }
    {
        std::lock_guard lock(eventMutex_);
        stopSignal_ = sendSignal_ = receiveSignal_ = false;
        workerEnded_ = false;
    }
    stopping_ = false;
    delivery_.rearm();
    running_ = true;
    try {
        worker_ = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "trm-link"); // as ps and perf show it
            workerMain();
        });
    } catch (const std::system_error& e) {
        running_ = false;
        qCWarning(lcLink, "the link session's worker cannot be started: %s", e.what());
        return false;
    }
    qCDebug(lcLink, "session %p opened", static_cast<void*>(this));
    return true;
}

void LUsb::Close() {
    if (!worker_.joinable()) {
        return;
    }
    stopping_ = true;
    qCDebug(lcLink, "session %p closing", static_cast<void*>(this));
    signal(WakeUp::Stop);
    if (inDelivery_ > 0) {
        // Called from inside this session's reply handling: the worker is waiting for
        // that handler to return, so it cannot be joined here. It stops writing and
        // delivering now and is joined when the session is released.
        return;
    }
    delivery_.cancel();
    bool ended;
    {
        std::unique_lock lock(eventMutex_);
        ended = eventCv_.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                  [this] { return workerEnded_; });
    }
    if (!ended) {
        Notify(kNotifyWorkerStuck, 0);
    }
    // The worker honours the stop as soon as the report write in progress returns;
    // waiting for it keeps any thread from touching a destroyed session.
    worker_.join();
}

void LUsb::Send(const std::uint8_t* bytes, int length) {
    if (!running_.load()) {
        return;
    }
    {
        std::lock_guard lock(data_);
        pendingWrites_.emplace_back(bytes, bytes + std::clamp(length, 0, kBufferSize));
    }
    signal(WakeUp::Send);
}

void LUsb::Send(const Bytes& v) {
    LUsb::Send(v.data(), static_cast<int>(v.size()));
}

void LUsb::Receive(const std::uint8_t* bytes, int count) {
    {
        std::lock_guard lock(data_);
        if (pendingReports_.size() >= kMaxPendingReports) {
            pendingReports_.pop_front(); // a worker this far behind loses the oldest
        }
        pendingReports_.emplace_back(bytes, bytes + std::clamp(count, 0, kBufferSize));
    }
    signal(WakeUp::Receive);
}

// Posted messages travel as values and become events on the window's own thread, so
// the window never reads memory that the worker wrote without a visible hand-over.
void LUsb::post(int message, quintptr wParam, qint64 lParam) {
    QObject* window = owner_->linkWindow();
    PostToThread(window, [window, message, wParam, lParam] {
        LinkMessage m(message, wParam, lParam);
        QCoreApplication::sendEvent(window, &m);
    });
}

void LUsb::OnByte(std::uint8_t b) {
    post(WM_LINK_BYTE, b, 0);
}

void LUsb::Notify(int code, int argument) {
    post(WM_LINK_NOTIFY, static_cast<quintptr>(code), argument);
}

void LUsb::SetWaitTimeout(int milliseconds) {
    waitTimeout_ = std::max(1, milliseconds);
}

void LUsb::Release() {
    if (inDelivery_ > 0) {
        releasePending_ = true;
        return;
    }
    // Stop and join the worker while the whole object is still intact: the worker
    // calls virtual operations, which must not meet a half-destroyed object.
    Close();
    delete this;
}

void LUsb::signal(WakeUp which) {
    {
        std::lock_guard lock(eventMutex_);
        switch (which) {
        case WakeUp::Receive:
            receiveSignal_ = true;
            break;
        case WakeUp::Send:
            sendSignal_ = true;
            break;
        case WakeUp::Stop:
            stopSignal_ = true;
            break;
        case WakeUp::Timeout:
            break;
        }
    }
    eventCv_.notify_all();
}

// Waits for one event; the receive event wins over the send event, both over stop.
// Each event is auto-reset: taking it clears it, and two signals before a wait count
// as one.
LUsb::WakeUp LUsb::waitEvent() {
    std::unique_lock lock(eventMutex_);
    const bool any =
        eventCv_.wait_for(lock, std::chrono::milliseconds(waitTimeout_.load()),
                          [this] { return receiveSignal_ || sendSignal_ || stopSignal_; });
    if (!any) {
        return WakeUp::Timeout;
    }
    if (receiveSignal_) {
        receiveSignal_ = false;
        return WakeUp::Receive;
    }
    if (sendSignal_) {
        sendSignal_ = false;
        return WakeUp::Send;
    }
    stopSignal_ = false;
    return WakeUp::Stop;
}

std::uint8_t LUsb::transmitByte(int index) {
    std::lock_guard lock(data_);
    return transmitBuffer_[index];
}

void LUsb::workerMain() {
    int grace = 0;
    std::uint8_t local[kBufferSize];
    for (;;) {
        switch (waitEvent()) {
        case WakeUp::Receive: {
            // Every report handed on since the last wake-up, in order.
            for (;;) {
                Bytes report;
                {
                    std::lock_guard lock(data_);
                    if (pendingReports_.empty()) {
                        break;
                    }
                    report = std::move(pendingReports_.front());
                    pendingReports_.pop_front();
                }
                std::lock_guard lock(lock_);
                BeginReport(report);
                for (std::size_t i = 0; i < report.size() && !stopping_.load(); ++i) {
                    OnByte(report[i]);
                }
            }
            break;
        }
        case WakeUp::Send: {
            silentCount_ = 0;
            // Every request handed over, in order, one output report each.
            for (;;) {
                std::lock_guard lock(lock_);
                int n;
                {
                    std::lock_guard dataLock(data_);
                    if (pendingWrites_.empty()) {
                        break;
                    }
                    const Bytes& v = pendingWrites_.front();
                    n = static_cast<int>(v.size());
                    std::memcpy(transmitBuffer_, v.data(), v.size());
                    transmitLength_ = n;
                    std::memcpy(local, v.data(), v.size());
                    pendingWrites_.pop_front();
                }
                // After Close nothing more is written, whatever was handed over.
                if (!stopping_.load()) {
                    qCDebug(lcLink, "write %d bytes, first %02x", n, n > 0 ? local[0] : 0);
                    owner_->WriteReport(local, n);
                }
            }
            break;
        }
        case WakeUp::Timeout:
            // Nothing is re-sent; after the silent limit the time-out is reported every
            // fifth interval, or every interval when the last command code was 0x05.
            if (silentCount_ < silentLimit_) {
                grace = 0;
                ++silentCount_;
            } else if (grace > 3 || transmitByte(5) == 0x05) {
                qCDebug(lcLink, "no reply: time-out notice");
                Notify(kNotifyReplyTimeout, transmitByte(3));
                silentCount_ = 0;
            } else {
                ++grace;
            }
            break;
        case WakeUp::Stop:
            Notify(kNotifyWorkerEnded, transmitByte(3));
            running_ = false;
            {
                std::lock_guard lock(eventMutex_);
                workerEnded_ = true;
            }
            eventCv_.notify_all();
            return;
        }
    }
}

bool LUsb::deliverReply(const Bytes& reply, std::uint32_t elapsedMs) {
    if (stopping_.load()) {
        return false;
    }
    QObject* window = owner_->linkWindow();
    // `reply` stays valid while the GUI runs this: the worker waits, and the session
    // is neither closed nor destroyed under the handler (Close and Release defer).
    return delivery_.call([this, window, &reply, elapsedMs] {
        ++inDelivery_;
        LinkMessage message(WM_LINK_REPLY, reinterpret_cast<quintptr>(&reply), elapsedMs);
        QCoreApplication::sendEvent(window, &message);
        --inDelivery_;
        if (inDelivery_ == 0 && releasePending_) {
            // Released from inside the handler: destroy once this call has returned
            // and the worker has been let go.
            QMetaObject::invokeMethod(
                window,
                [this] {
                    Close();
                    delete this;
                },
                Qt::QueuedConnection);
        }
    });
}

// ---------------------------------------------------------------- LUsbProc

LUsbProc::LUsbProc(LinkOwner* owner) : LUsb(owner) {}

LUsbProc::~LUsbProc() {
    LUsbProc::Close();
    delete keepAliveTimer_;
}

bool LUsbProc::Open() {
    if (keepAliveTimer_ == nullptr) {
        keepAliveTimer_ = new QTimer();
        keepAliveTimer_->setTimerType(Qt::PreciseTimer);
        keepAliveTimer_->setInterval(keepAliveInterval_);
        QObject::connect(keepAliveTimer_, &QTimer::timeout, keepAliveTimer_,
                         [this] { keepAliveTick(); });
        keepAliveTimer_->start();
    }
    return LUsb::Open();
}

void LUsbProc::Close() {
    if (keepAliveTimer_ != nullptr) {
        keepAliveTimer_->stop();
    }
    {
        std::lock_guard lock(data_);
        sendQueue_.clear();
    }
    LUsb::Close();
}

void LUsbProc::Send(const std::uint8_t* bytes, int length) {
    Send(Bytes(bytes, bytes + std::max(length, 0)));
}

void LUsbProc::Send(const Bytes& v) {
    if (!running_.load() || stopping_.load()) {
        return;
    }
    restartKeepAlive();
    std::lock_guard lock(data_);
    if (!busy_) {
        busy_ = true;
        handToWorker(v);
    } else {
        sendQueue_.push_back(v);
    }
}

void LUsbProc::SendFrame(const Bytes& v, bool append) {
    // Only the keep-alive passes append false, and only while idle: both paths queue
    // behind a request in flight.
    (void)append;
    if (!running_.load() || stopping_.load()) {
        return;
    }
    frameMode_ = HasFrameDelimiters(v);
    Send(v);
}

void LUsbProc::handToWorker(const Bytes& v) {
    exchangeStart_ = std::chrono::steady_clock::now();
    exchangeStarted_ = true;
    pendingWrites_.emplace_back(
        v.begin(),
        v.begin() + std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(v.size()), kBufferSize));
    signal(WakeUp::Send);
}

void LUsbProc::OnByte(std::uint8_t b) {
    if (assembler_.feed(b, frameMode_.load())) {
        deliver();
    }
}

void LUsbProc::BeginReport(const Bytes& report) {
    assembler_.beginReport(report.data(), report.size(), frameMode_.load());
}

void LUsbProc::deliver() {
    bool started;
    std::uint32_t elapsed = 0;
    {
        std::lock_guard lock(data_);
        started = exchangeStarted_;
        if (started) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - exchangeStart_)
                                .count();
            elapsed = ms > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms);
        }
    }
    // A reply completing before anything was written is not delivered.
    qCDebug(lcLink, "reply of %zu bytes after %u ms", assembler_.reply().size(), elapsed);
    if (started && deliverReply(assembler_.reply(), elapsed)) {
        requestKeepAliveRestart();
        std::lock_guard lock(data_);
        if (sendQueue_.empty()) {
            busy_ = false;
        } else {
            handToWorker(sendQueue_.front());
            sendQueue_.pop_front();
        }
    }
    assembler_.clear();
}

void LUsbProc::keepAliveTick() {
    if (keepAliveSuppressed_) {
        return;
    }
    {
        std::lock_guard lock(data_);
        if (busy_ || !sendQueue_.empty()) {
            return;
        }
    }
    SendFrame(EncodeCommand(LCmd(static_cast<std::uint8_t>(unitAddress_), cmd::KeepAlive),
                            FrameMode::Framed),
              false);
}

void LUsbProc::restartKeepAlive() {
    if (keepAliveTimer_ != nullptr) {
        keepAliveTimer_->start();
    }
}

void LUsbProc::requestKeepAliveRestart() {
    // The timer belongs to the GUI thread; a restart requested after Close is dropped,
    // and one still queued when the session is destroyed goes with the timer.
    if (keepAliveTimer_ != nullptr && !stopping_.load()) {
        PostToThread(keepAliveTimer_, [this] {
            if (!stopping_.load()) {
                restartKeepAlive();
            }
        });
    }
}

bool LUsbProc::busy() {
    std::lock_guard lock(data_);
    return busy_;
}

std::size_t LUsbProc::queued() {
    std::lock_guard lock(data_);
    return sendQueue_.size();
}

} // namespace trm
