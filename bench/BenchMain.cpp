// The entry of the Google Benchmark programs: a Qt application object (the HID and link
// benchmarks run the event loop), then the benchmarks named on the command line.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
