// The link session: LUsb (worker thread, events, buffers) and LUsbProc (reply
// reassembly, send queue, keep-alive). A session carries one request at a time to the
// unit through its owner's WriteReport and hands each complete reply to the owner's
// window as WM_LINK_REPLY.
//
// Threads. Open, Close, SendFrame, Receive, SetWaitTimeout, the suppression setter,
// the keep-alive tick and Release run on the GUI thread (the thread that made the
// session); the wait loop, WriteReport, OnByte and delivery run on the worker. The
// worker takes `lock_` while it writes a report and while it walks received bytes,
// delivery included; the GUI thread never takes it. Everything both threads touch
// (transmit and receive buffers, busy flag, queue, exchange start) is guarded by
// `data_`, which is never held while anything waits for the other thread.
#pragma once

#include "core/SyncCall.h"
#include "link/LinkMessages.h"
#include "link/ReplyAssembler.h"
#include "protocol/Lcmd.h"

#include <QLoggingCategory>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace trm {

Q_DECLARE_LOGGING_CATEGORY(lcLink)

class LUsb {
public:
    static constexpr int kBufferSize = 1024;
    static constexpr int kDefaultWaitTimeout = 800;
    static constexpr int kCloseWaitMs = 5000;

    explicit LUsb(LinkOwner* owner);
    LUsb(const LUsb&) = delete;
    LUsb& operator=(const LUsb&) = delete;

    // Fails when already running or when the worker cannot be started.
    virtual bool Open();
    // Stops the worker and waits for it (up to 5000 ms before posting notify code 5,
    // then until it has ended, so no thread outlives the session). Called from inside
    // this session's own WM_LINK_REPLY handling it only tells the worker to stop: the
    // worker is joined once that delivery has returned.
    virtual void Close();
    virtual void Send(const std::uint8_t* bytes, int length);
    virtual void Send(const Bytes& v);
    // Stores one report's bytes (at most 1024 are kept) and wakes the worker. No
    // running check: bytes given to an unopened session are stored and never taken.
    virtual void Receive(const std::uint8_t* bytes, int count);
    virtual void OnByte(std::uint8_t b);
    virtual void Notify(int code, int argument);
    virtual void SetWaitTimeout(int milliseconds);

    // Destroys the session: at once, or, when called from inside its own WM_LINK_REPLY
    // handling (nested event loops included), once that delivery has returned.
    void Release();

    bool running() const { return running_.load(); }

protected:
    // Sessions are destroyed through Release(), never directly.
    virtual ~LUsb();

    enum class WakeUp { Receive, Send, Stop, Timeout };

    // Worker side: the wait loop. Virtual hooks run on the worker.
    void workerMain();
    // Synchronously hands `reply` to the owner's window as WM_LINK_REPLY; returns
    // false when the session is stopping and nothing was delivered.
    bool deliverReply(const Bytes& reply, std::uint32_t elapsedMs);
    // Worker side, before the bytes of one received report are walked.
    virtual void BeginReport(const Bytes& report) { (void)report; }
    std::uint8_t transmitByte(int index);

    void signal(WakeUp which);
    void post(int message, quintptr wParam, qint64 lParam); // any thread
    WakeUp waitEvent();

    std::mutex lock_; // the session's critical section (worker only)
    std::int8_t silentCount_ = 0;
    LinkOwner* const owner_;
    std::thread worker_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};

    // The three auto-reset events as flags under one mutex.
    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    bool stopSignal_ = false, sendSignal_ = false, receiveSignal_ = false;
    bool workerEnded_ = false;

    std::mutex data_; // guards the buffers below and LUsbProc's shared state
    // The last request written (its bytes 3 and 5 feed the notices).
    std::uint8_t transmitBuffer_[kBufferSize] = {};
    int transmitLength_ = 0;
    // Requests handed to the worker and not yet written, and reports received and not
    // yet walked, in order. A request handed over is never overwritten by the next one,
    // nor a report by the one after it (at most kMaxPendingReports are kept).
    std::deque<Bytes> pendingWrites_;
    std::deque<Bytes> pendingReports_;
    static constexpr std::size_t kMaxPendingReports = 64;

    std::atomic<int> waitTimeout_{kDefaultWaitTimeout};
    int silentLimit_ = 2;

    SyncCall delivery_;
    int inDelivery_ = 0;          // GUI thread only
    bool releasePending_ = false; // GUI thread only
};

class LUsbProc : public LUsb {
public:
    static constexpr int kKeepAliveInterval = 3000;

    explicit LUsbProc(LinkOwner* owner);

    bool Open() override;
    void Close() override;
    void Send(const std::uint8_t* bytes, int length) override;
    void Send(const Bytes& v) override;
    void OnByte(std::uint8_t b) override;

    // Sends `v` (at least 3 bytes): written at once when idle, queued when busy. Dropped
    // when the session is not running.
    void SendFrame(const Bytes& v, bool append);
    void SetKeepAliveSuppressed(bool suppressed) { keepAliveSuppressed_ = suppressed; }
    bool keepAliveSuppressed() const { return keepAliveSuppressed_; }

    // For observers (tests, diagnostics): thread-safe snapshots.
    bool busy();
    std::size_t queued();
    bool frameMode() const { return frameMode_.load(); }

protected:
    ~LUsbProc() override;

private:
    void keepAliveTick();
    void restartKeepAlive();           // GUI thread
    void requestKeepAliveRestart();    // worker thread: posted to the GUI thread
    void handToWorker(const Bytes& v); // caller holds data_
    void deliver();                    // worker, lock_ held
    void BeginReport(const Bytes& report) override;

    std::atomic<bool> frameMode_{false};
    bool keepAliveSuppressed_ = false; // GUI thread only
    bool busy_ = false;                // data_
    ReplyAssembler assembler_;         // the accumulator; worker only
    std::deque<Bytes> sendQueue_;      // data_
    QTimer* keepAliveTimer_ = nullptr; // GUI thread; lives until the destructor
    int keepAliveInterval_ = kKeepAliveInterval;
    int unitAddress_ = kUnitAddress;
    std::chrono::steady_clock::time_point exchangeStart_; // data_
    bool exchangeStarted_ = false;                        // data_: false until the first write
};

// Owning handle for the window's `link` field: resetting it releases the session
// safely, also from inside its own reply handling.
struct LinkReleaser {
    void operator()(LUsbProc* link) const {
        if (link != nullptr) {
            link->Release();
        }
    }
};
using LinkPtr = std::unique_ptr<LUsbProc, LinkReleaser>;

} // namespace trm
