// Image loading speed: LoadHexImage of McuImage 0 and BuildDspImage of DspImage 1.
#include "firmware/ImageLoader.h"
#include "firmware/data/BuiltinImages.h"

#include <benchmark/benchmark.h>

#include <array>

namespace {

std::array<std::uint8_t, trm::kImageBufferSize> g_buffer;

void LoadMcuImage0(benchmark::State& state) {
    std::int32_t length = 0;
    for (auto _ : state) {
        bool ok = trm::LoadHexImage(trm::data::McuImage0, trm::ImageBuffer(g_buffer), length,
                                    trm::kMcuUsableLength, {});
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    state.counters["imageLength"] = length;
}
BENCHMARK(LoadMcuImage0)->Unit(benchmark::kMicrosecond);

void BuildDspImage1(benchmark::State& state) {
    std::int32_t length = 0;
    for (auto _ : state) {
        trm::BuildDspImage(trm::data::DspImage1, trm::ImageBuffer(g_buffer), length);
        benchmark::ClobberMemory();
    }
    state.counters["imageLength"] = length;
}
BENCHMARK(BuildDspImage1)->Unit(benchmark::kMicrosecond);

} // namespace
