// Cancellable synchronous call into the GUI thread.
#include "core/SyncCall.h"

#include "core/PostToThread.h"

#include <QThread>

namespace trm {

namespace {
enum class CallState { Pending, Running, Done, Abandoned };
}

struct SyncCall::Shared {
    std::mutex m;
    std::condition_variable cv;
    bool cancelled = false;
};

SyncCall::SyncCall(QObject* context) : context_(context), shared_(std::make_shared<Shared>()) {}

SyncCall::~SyncCall() {
    cancel();
}

bool SyncCall::call(std::function<void()> fn) {
    if (QThread::currentThread() == context_->thread()) {
        {
            std::lock_guard lock(shared_->m);
            if (shared_->cancelled) {
                return false;
            }
        }
        fn();
        return true;
    }
    struct Call {
        std::function<void()> fn;
        CallState state = CallState::Pending;
    };
    auto c = std::make_shared<Call>();
    c->fn = std::move(fn);
    {
        std::lock_guard lock(shared_->m);
        if (shared_->cancelled) {
            return false;
        }
    }
    // The queued functor holds only shared state: if the caller has gone by the time
    // it runs, it finds the call abandoned and does nothing.
    PostToThread(context_, [sh = shared_, c] {
        {
            std::lock_guard lock(sh->m);
            if (c->state != CallState::Pending) {
                return;
            }
            c->state = CallState::Running;
        }
        c->fn();
        {
            std::lock_guard lock(sh->m);
            c->state = CallState::Done;
        }
        sh->cv.notify_all();
    });

    std::unique_lock lock(shared_->m);
    shared_->cv.wait(lock, [&] { return c->state == CallState::Done || shared_->cancelled; });
    if (c->state == CallState::Pending) {
        c->state = CallState::Abandoned;
    }
    return c->state == CallState::Done;
}

void SyncCall::cancel() {
    {
        std::lock_guard lock(shared_->m);
        shared_->cancelled = true;
    }
    shared_->cv.notify_all();
}

void SyncCall::rearm() {
    std::lock_guard lock(shared_->m);
    shared_->cancelled = false;
}

} // namespace trm
