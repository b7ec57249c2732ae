// Posting a function to another thread's event queue.
#include "core/PostToThread.h"

#include <QMetaObject>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#define TRM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TRM_TSAN 1
#endif
#endif

#ifdef TRM_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace trm {

namespace {

// The one synchronisation address of every hand-over. A fixed address, not one read
// from the queued object: the receiving side must not read anything of that object
// before it has taken the edge.
[[maybe_unused]] char handOverTag;

// The poster's side of the edge, before the function enters Qt's queue.
void publish() {
#ifdef TRM_TSAN
    __tsan_release(&handOverTag);
#endif
}

// The receiver's side, before anything of the posted function is touched.
void receive() {
#ifdef TRM_TSAN
    __tsan_acquire(&handOverTag);
#endif
}

// The queued function. Qt moves it into the object it queues, after having written that
// object's own fields; the edge is published at the end of each move, so the last one
// covers every write of the posting thread. It is taken before the function runs and
// before it is destroyed (a destructor's body runs before its members are destroyed).
class Posted {
public:
    explicit Posted(std::function<void()> fn) : fn_(std::move(fn)) {}
    Posted(Posted&& other) noexcept : fn_(std::move(other.fn_)) { publish(); }
    Posted(const Posted&) = delete;
    Posted& operator=(const Posted&) = delete;
    Posted& operator=(Posted&&) = delete;
    ~Posted() { receive(); }

    void operator()() {
        receive();
        if (fn_) {
            fn_();
        }
    }

private:
    std::function<void()> fn_;
};

} // namespace

void PostToThread(QObject* context, std::function<void()> fn) {
    QMetaObject::invokeMethod(context, Posted(std::move(fn)), Qt::QueuedConnection);
}

} // namespace trm
