// A cancellable synchronous call from a worker thread into the GUI thread: the caller
// blocks until the GUI thread has run the function, or until the call is cancelled.
// HID readers hand each report this way and link sessions each reply.
#pragma once

#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace trm {

class SyncCall {
public:
    // `context` lives on the thread that runs the functions (the GUI thread) and must
    // outlive every call() made through this object.
    explicit SyncCall(QObject* context);
    ~SyncCall();
    SyncCall(const SyncCall&) = delete;
    SyncCall& operator=(const SyncCall&) = delete;

    // Runs `fn` on the context's thread and waits until it has returned. Returns true
    // when `fn` ran to its end before the caller was released; false when the channel
    // was cancelled before or during the wait (then `fn` either never runs, or is still
    // running on the GUI thread: it must not use memory owned by the caller, so callers
    // capture what `fn` needs by value). Called from the context's own thread it runs
    // `fn` directly.
    bool call(std::function<void()> fn);

    // Releases a waiting call() at once and makes later calls return false without
    // running anything, until rearm(). Thread-safe; never waits for the GUI thread.
    void cancel();
    void rearm();

private:
    struct Shared;
    QObject* context_;
    std::shared_ptr<Shared> shared_;
};

} // namespace trm
