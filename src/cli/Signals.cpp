// SIGINT and SIGTERM delivered on the event loop.
#include "cli/Signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace trm::cli {
namespace {

int pipeFds[2] = {-1, -1};

extern "C" void onSignal(int signalNumber) {
    const int saved = errno;
    const unsigned char n = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t w = ::write(pipeFds[1], &n, 1);
    errno = saved;
}

} // namespace

SignalEvents::SignalEvents(std::initializer_list<int> more, QObject* parent)
    : QObject(parent), signals_{SIGINT, SIGTERM} {
    signals_.insert(signals_.end(), more.begin(), more.end());
    if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char n = 0;
        while (::read(pipeFds[0], &n, 1) == 1) {
            emit received(n);
        }
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int n : signals_) {
        ::sigaction(n, &sa, nullptr);
    }
}

SignalEvents::~SignalEvents() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (const int n : signals_) {
        ::sigaction(n, &sa, nullptr);
    }
}

} // namespace trm::cli
