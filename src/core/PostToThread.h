// Hands a function from any thread to the thread of a QObject, through that thread's
// event queue, so that it runs there later. Every hand-over from a worker or reader
// thread to the GUI thread goes through here.
#pragma once

#include <QObject>

#include <functional>

namespace trm {

// Queues `fn` to run on `context`'s thread. Everything the calling thread wrote before
// the call is visible to `fn`. When `context` is destroyed first, `fn` never runs and
// is destroyed on `context`'s thread. Thread-safe.
//
// Qt's event queue orders the hand-over with locks of its own; in a Qt not built with
// ThreadSanitizer those are invisible to it, so the edge is also stated to it here.
void PostToThread(QObject* context, std::function<void()> fn);

} // namespace trm
