// Round trip of one request and its reply through a link session whose owner echoes
// each write at once: SendFrame on the GUI thread, the write on the worker, the reply
// handed back to the GUI thread, reassembled on the worker and delivered synchronously.
// Reports the median and 99th percentile of single round trips.
#include "link/Lusb.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

using namespace trm;

namespace {

class EchoOwner : public QObject, public LinkOwner {
public:
    QObject* linkWindow() override { return this; }
    void WriteReport(const std::uint8_t* data, int length) override {
        Bytes reply{0x10, 0x02, 0x01, 0x00, 0x01, length > 5 ? data[5] : std::uint8_t{0},
                    0x10, 0x03, 0x00};
        QMetaObject::invokeMethod(
            this, [this, reply] { session->Receive(reply.data(), static_cast<int>(reply.size())); },
            Qt::QueuedConnection);
    }
    bool event(QEvent* e) override {
        if (e->type() == WM_LINK_REPLY) {
            ++replies;
            loop.quit();
            return true;
        }
        return QObject::event(e);
    }
    LUsbProc* session = nullptr;
    QEventLoop loop;
    long replies = 0;
};

void LinkRoundTrip(benchmark::State& state) {
    EchoOwner owner;
    LinkPtr link(new LUsbProc(&owner));
    owner.session = link.get();
    link->Open();
    link->SetKeepAliveSuppressed(true);
    const Bytes request = EncodeCommand(CM_QZR_CMD(1, cmd::GetUnitType), FrameMode::Framed);
    std::vector<double> us;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        link->SendFrame(request, true);
        owner.loop.exec();
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    owner.session = nullptr;
    link.reset();
}
BENCHMARK(LinkRoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

} // namespace
