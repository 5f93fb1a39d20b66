// Micro-benchmarks of the library's edges: converting rows between integer
// and float samples, and a plain copy of the same rows as the baseline.
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"

#include <benchmark/benchmark.h>

namespace {

constexpr ImageLib_Rect kFrame{0, 0, 1920, 1080, false};

void CopyFrame(benchmark::State& state, ImageLib_PixelFormat format) {
    ImageLib_TestCallbacks callbacks;
    callbacks.moveOnLock = false;
    ImageLib_Context context(&callbacks);
    ImageLib_ImageBuffer source(format, kFrame), target(format, kFrame);
    for (auto _ : state) ImageLib_CopyRegion(target, kFrame, source, kFrame);
    state.SetItemsProcessed(state.iterations() * kFrame.Width() * kFrame.Height());
}

void ConvertFrame(benchmark::State& state, ImageLib_PixelFormat format) {
    ImageLib_TestCallbacks callbacks;
    callbacks.moveOnLock = false;
    ImageLib_Context context(&callbacks);
    ImageLib_ImageBuffer image(format, kFrame);
    ImageLibImplementation::ConverterAccess view(image);
    for (auto _ : state) {
        view.Map(kFrame, ImageLib_AccessMode::ReadWrite);
        benchmark::DoNotOptimize(view.base);
        view.Release();
    }
    state.SetItemsProcessed(state.iterations() * kFrame.Width() * kFrame.Height());
}

BENCHMARK_CAPTURE(CopyFrame, copy8, ImageLib_HostFormat8())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ConvertFrame, roundTrip8, ImageLib_HostFormat8())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CopyFrame, copy16, ImageLib_HostFormat16())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ConvertFrame, roundTrip16, ImageLib_HostFormat16())->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
