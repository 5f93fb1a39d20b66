// The cost of the noise: a 1080p field of three-channel Gaussian noise through
// the reference and the fast paths of NoiseNode, the draws of 32-pixel blocks
// through the scalar generator and the SIMD lanes, and the logarithm alone.
// Items are samples (draws, logarithms), so the reports read as time per item.
#include "bench/BenchFrames.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/nodes/ImageLib_Drawing.h"
#include "imagelib/nodes/ImageLib_NoiseKernels.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "random/LogFloat.h"
#include "random/UniformRandom.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using benchframes::FloatFormat3;
using benchframes::kChannels;
using benchframes::kFrame;

// threads 0: the host's Iterate runs serially.
void NoiseField(benchmark::State& state, bool reference, bool gaussian, int threads) {
    ImageLib_TestCallbacks callbacks(threads > 0 ? ImageLib_TestCallbacks::IterateMode::Threaded
                                                 : ImageLib_TestCallbacks::IterateMode::Serial,
                                     threads > 0 ? threads : 1);
    callbacks.moveOnLock = false;
    ImageLib_Context context(&callbacks);
    ImageLib_ImageBuffer output(FloatFormat3(), kFrame);
    ImageLib_Drawing::NoiseNode noise(0.0f, 2.0f, gaussian, 20240611);
    SelectSimdPath(reference ? SimdPath::Reference : WidestSimdPath());
    for (auto _ : state) {
        noise.Compute(output, kFrame);
        benchmark::ClobberMemory();
    }
    SelectSimdPath(WidestSimdPath());
    state.SetItemsProcessed(state.iterations() * kFrame.Width() * kFrame.Height() * kChannels);
}

// Whole blocks of 96 draws (32 three-channel pixels), reseeding included, as the noise draws them.
void BlockDraws(benchmark::State& state, SimdPath path, bool gaussian) {
    if (!SelectSimdPath(path)) {
        state.SkipWithError("path not available on this processor");
        return;
    }
    constexpr int32_t kBlocks = 256, kDraws = 32 * kChannels;
    std::vector<float> out(static_cast<size_t>(kBlocks) * kDraws);
    std::vector<ImageLib_NoiseKernels::Block> blocks;
    for (int32_t i = 0; i < kBlocks; ++i) blocks.push_back({out.data() + i * kDraws, 1000 + 77 * i, 0, kDraws});
    const ImageLib_NoiseKernels::Draw draw{gaussian, 1.0f, 0.0f};
    for (auto _ : state) {
        ImageLib_NoiseKernels::FillBlocks(blocks.data(), kBlocks, draw);
        benchmark::ClobberMemory();
    }
    SelectSimdPath(WidestSimdPath());
    state.SetItemsProcessed(state.iterations() * kBlocks * kDraws);
}

// One generator, never reseeded: the draw alone.
void ScalarGaussian(benchmark::State& state) {
    UniformRandom generator(12345);
    for (auto _ : state) benchmark::DoNotOptimize(generator.Gaussian());
    state.SetItemsProcessed(state.iterations());
}

// The values gaussian() takes the logarithm of: squared radii in (0, 1).
std::vector<float> Radii() {
    UniformRandom generator(99);
    std::vector<float> values(4096);
    for (float& v : values) {
        const float a = generator.Uniform() * 2.0f - 1.0f, b = generator.Uniform() * 2.0f - 1.0f;
        v = a * a + b * b;
        if (!(v > 0.0f && v < 1.0f)) v = 0.5f;
    }
    return values;
}

void LogScalar(benchmark::State& state) {
    const std::vector<float> in = Radii();
    std::vector<float> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i) out[i] = LogFloat(in[i]);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

void LogVector(benchmark::State& state) {
    const std::vector<float> in = Radii();
    std::vector<float> out(in.size());
    for (auto _ : state) {
        LogFloatArray(in.data(), out.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

// The C library's logf, for comparison only: the module never uses it.
void LogLibrary(benchmark::State& state) {
    const std::vector<float> in = Radii();
    std::vector<float> out(in.size());
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i) out[i] = std::log(in[i]);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

BENCHMARK_CAPTURE(NoiseField, gaussianReference, true, true, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NoiseField, gaussianFast1Thread, false, true, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NoiseField, gaussianFast2Threads, false, true, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(NoiseField, uniformReference, true, false, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(NoiseField, uniformFast1Thread, false, false, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BlockDraws, gaussianPlain, SimdPath::Plain, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BlockDraws, gaussianAvx2, SimdPath::Avx2, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BlockDraws, gaussianAvx512, SimdPath::Avx512, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BlockDraws, uniformPlain, SimdPath::Plain, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BlockDraws, uniformAvx2, SimdPath::Avx2, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BlockDraws, uniformAvx512, SimdPath::Avx512, false)->Unit(benchmark::kMicrosecond);
BENCHMARK(ScalarGaussian);
BENCHMARK(LogScalar)->Unit(benchmark::kMicrosecond);
BENCHMARK(LogVector)->Unit(benchmark::kMicrosecond);
BENCHMARK(LogLibrary)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
