// Input reports per second handed from a reader thread to the GUI thread through the
// HID controller over the simulated backend. A producer keeps the device's report
// queue topped up; each report handed over runs the controller's data event on the
// GUI thread, as the main window's handler would.
#include "hid/HidController.h"
#include "sim/SimHidBus.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

using namespace trm;
using namespace trm::sim;

namespace {

void ReportsToGuiThread(benchmark::State& state) {
    auto bus = std::make_shared<SimHidBus>();
    HIDP_CAPS caps;
    caps.InputReportByteLength = 65;
    caps.OutputReportByteLength = 65;
    THidDeviceController ctl(std::make_unique<SimHidBackend>(bus));
    THidDevice* device = nullptr;
    std::atomic<long> received{0};
    ctl.OnDeviceChange = [&] { ctl.Enumerate(); };
    ctl.OnEnumerate = [&](THidDevice*, int index) {
        THidDevice* claimed = nullptr;
        if (device == nullptr && ctl.CheckOutByIndex(claimed, index)) {
            device = claimed;
        }
        return true;
    };
    ctl.OnDeviceData = [&](THidDevice*, std::uint8_t, const std::uint8_t* data, int) {
        benchmark::DoNotOptimize(data[0]);
        received.fetch_add(1, std::memory_order_relaxed);
    };
    const std::string id =
        bus->add({0x0168, 0x0821, 1}, caps, [](const std::uint8_t*, std::size_t) {});
    while (device == nullptr) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }

    std::atomic<bool> stop{false};
    std::atomic<long> delivered{0};
    std::thread producer([&] {
        const Bytes report(65, 0x5A);
        while (!stop.load()) {
            if (delivered.load() - received.load() < 32) {
                bus->deliver(id, report);
                delivered.fetch_add(1);
            } else {
                std::this_thread::yield();
            }
        }
    });

    long total = 0;
    double seconds = 0;
    for (auto _ : state) {
        const long before = received.load();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 1000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        total += received.load() - before;
        seconds += static_cast<double>(t.nsecsElapsed()) / 1e9;
    }
    stop = true;
    producer.join();
    state.counters["reports_per_s"] = static_cast<double>(total) / seconds;
    THidDevice* d = device;
    ctl.CheckIn(d);
}
BENCHMARK(ReportsToGuiThread)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
