// The grain graph's components on a 1080p three-channel frame, each through
// its reference and its fast path where it has both: separable convolution
// with 9, 24 and 64 taps, the colour matrix, the response multiplier, the
// blend, and the analysis of a grainy plate with the sample counts and sizes
// compositors use. Items are pixels.
#include "bench/BenchFrames.h"
#include "grain/GrainAnalysis.h"
#include "grain/GrainSynthesis.h"
#include "grain/NoiseSampling.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_Blend.h"
#include "imagelib/nodes/ImageLib_ColourTransforms.h"
#include "imagelib/nodes/ImageLib_Convolution.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

using benchframes::FloatFormat3;
using benchframes::kChannels;
using benchframes::kFrame;
// Bands of about 128K pixels, as the module renders a frame.
constexpr int32_t kBandRows = 131072 / 1920;

// Samples of a smooth ramp with seeded grain, written through a float view.
void FillPlate(ImageLib_ImageAccess& image, const ImageLib_Rect& region, float grain, uint32_t seed) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(image));
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::Write);
    std::mt19937 random(seed);
    std::normal_distribution<float> normal(0.0f, grain);
    const uint32_t channels = view->format.channels;
    int32_t y = region.y0;
    for (const ImageLib_RowIterator& row : mapped.rows()) {
        float* out = row.As<float>();
        for (int32_t x = region.x0; x < region.x1; ++x)
            for (uint32_t c = 0; c < channels; ++c)
                *out++ = std::fmin(std::fmax(0.3f + 0.4f * static_cast<float>(x + y) / 3000.0f + normal(random), 0.0f),
                                   1.0f);
        ++y;
    }
}

// A context with the host's Iterate run serially, blocks that stay put and are
// not marked, and
// the reference or fast paths for the benchmark's lifetime.
struct Bench {
    explicit Bench(bool reference) {
        callbacks.moveOnLock = false;
        callbacks.markFresh = false;
        SelectSimdPath(reference ? SimdPath::Reference : WidestSimdPath());
    }
    ~Bench() { SelectSimdPath(WidestSimdPath()); }
    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context{&callbacks};
};

void SetPixels(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kFrame.Width() * kFrame.Height());
}

// A horizontal then a vertical pass with a kernel per channel, as the grain uses them.
void Convolution(benchmark::State& state, bool reference) {
    Bench bench(reference);
    const uint32_t taps = static_cast<uint32_t>(state.range(0));
    const int32_t margin = static_cast<int32_t>(taps);
    ImageLib_ImageBuffer source(FloatFormat3(), {-margin, -margin, kFrame.x1 + margin, kFrame.y1 + margin, false});
    FillPlate(source, source.bounds, 0.05f, 1);
    std::vector<std::vector<float>> kernels(kChannels);
    std::vector<const float*> pointers;
    for (uint32_t c = 0; c < kChannels; ++c) {
        for (uint32_t t = 0; t < taps; ++t)
            kernels[c].push_back(std::exp(-0.1f * std::fabs(static_cast<float>(t) - taps / 2.0f)) / (c + 1.0f));
        pointers.push_back(kernels[c].data());
    }
    ImageLib_NodePipeline graph;
    auto* image = graph.Own(ImageLib_BasicNodes::CreateImageNode(&source));
    auto* across = graph.Own(ImageLib_Convolution::CreateConvolutionNode(pointers.data(), kChannels, taps, 1, image));
    graph.SetOutputNode(
        graph.Own(ImageLib_Convolution::CreateConvolutionNode(pointers.data(), kChannels, 1, taps, across)));
    ImageLib_ImageBuffer output(FloatFormat3(), kFrame);
    for (auto _ : state) ImageLib_Evaluate(graph, output, kFrame, 0, kBandRows);
    SetPixels(state);
}

void ColourMatrix(benchmark::State& state, bool reference) {
    Bench bench(reference);
    ImageLib_ImageBuffer source(FloatFormat3(), kFrame);
    FillPlate(source, kFrame, 0.05f, 2);
    ImageLib_Matrix matrix(kChannels, kChannels);
    for (uint32_t r = 0; r < kChannels; ++r)
        for (uint32_t c = 0; c < kChannels; ++c) matrix.Element(r, c) = r == c ? 0.8f : 0.1f * (r + 1.0f);
    ImageLib_NodePipeline graph;
    auto* image = graph.Own(ImageLib_BasicNodes::CreateImageNode(&source));
    graph.SetOutputNode(graph.Own(ImageLib_Resampling::CreateColorspaceNode(matrix, image)));
    ImageLib_ImageBuffer output(FloatFormat3(), kFrame);
    for (auto _ : state) ImageLib_Evaluate(graph, output, kFrame, 0, kBandRows);
    SetPixels(state);
}

// A node of two inputs over a grain field and a picture, timed in bands.
void TimeTwoInputs(benchmark::State& state, ImageLib_ComputeNode* node, uint32_t seed) {
    ImageLib_ImageBuffer grain(FloatFormat3(), kFrame), picture(FloatFormat3(), kFrame);
    FillPlate(grain, kFrame, 0.2f, seed);
    FillPlate(picture, kFrame, 0.01f, seed + 1);
    ImageLib_NodePipeline graph;
    graph.Own(node);
    node->SetInput(0, graph.Own(ImageLib_BasicNodes::CreateImageNode(&grain)));
    node->SetInput(1, graph.Own(ImageLib_BasicNodes::CreateImageNode(&picture)));
    graph.SetOutputNode(node);
    ImageLib_ImageBuffer output(FloatFormat3(), kFrame);
    for (auto _ : state) ImageLib_Evaluate(graph, output, kFrame, 0, kBandRows);
    SetPixels(state);
}

void Multiplier(benchmark::State& state) {
    Bench bench(false);
    ImageLib_Vector<ImageLib_Vector<float>> curves(kChannels);
    for (auto& curve : curves) curve = {0.4f, 1.0f, 0.7f, 0.45f};
    TimeTwoInputs(state, new Strata_AddGrain::MultiplierNode(curves), 3);
}

void Blend(benchmark::State& state) {
    Bench bench(false);
    TimeTwoInputs(state, ImageLib_Blend::CreateBlendNode(2, static_cast<uint32_t>(state.range(0))), 5);
}

// Spectral analysis of an 8-bit grainy plate: count samples of size x size.
void Analysis(benchmark::State& state) {
    Bench bench(false);
    const int32_t count = static_cast<int32_t>(state.range(0)), size = static_cast<int32_t>(state.range(1));
    ImageLib_ImageBuffer plate(ImageLib_HostFormat8(), kFrame);
    FillPlate(plate, kFrame, 0.03f, 7);
    SampleSet samples;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t x = 40 + i * 170, y = 100 + (i % 3) * 300;
        samples.push_back({x, y, x + size, y + size, false});
    }
    for (auto _ : state) {
        GrainModel model;
        AnalyseGrainLayer(plate, samples, model);
        benchmark::DoNotOptimize(model.kernels.data());
    }
}

// Automatic sample selection over the whole 8-bit plate.
void Selection(benchmark::State& state) {
    Bench bench(false);
    const int32_t count = static_cast<int32_t>(state.range(0)), size = static_cast<int32_t>(state.range(1));
    ImageLib_ImageBuffer plate(ImageLib_HostFormat8(), kFrame);
    FillPlate(plate, kFrame, 0.03f, 8);
    ImageLib_NodePipeline graph;
    auto* image = graph.Own(ImageLib_BasicNodes::CreateImageNode(&plate));
    graph.SetOutputNode(graph.Own(ImageLib_Alpha::CreateDropAlphaNode(image, true)));
    const SampleSelection selection{count, size, size, ImageLib_Alpha::FormatWithAlphaRemoved(plate.format)};
    for (auto _ : state) {
        SampleSet samples;
        SelectSamplesAutomatically(selection, graph, samples);
        benchmark::DoNotOptimize(samples.data());
    }
}

// What a frame's grain model costs before synthesis, for each estimator: automatic selection and
// the analysis of ten samples of the default size over the whole 8-bit 1080p plate.
void SelectAndAnalyse(benchmark::State& state) {
    Bench bench(false);
    const bool refined = state.range(0) != 0;
    ImageLib_ImageBuffer plate(ImageLib_HostFormat8(), kFrame);
    FillPlate(plate, kFrame, 0.03f, 9);
    ImageLib_NodePipeline graph;
    auto* image = graph.Own(ImageLib_BasicNodes::CreateImageNode(&plate));
    graph.SetOutputNode(graph.Own(ImageLib_Alpha::CreateDropAlphaNode(image, true)));
    const SampleSelection selection{10, 24, 24, ImageLib_Alpha::FormatWithAlphaRemoved(plate.format)};
    for (auto _ : state) {
        SampleSet samples;
        if (refined)
            SelectSamplesRefined(selection, graph, samples);
        else
            SelectSamplesAutomatically(selection, graph, samples);
        GrainModel model;
        AnalyseGrainLayer(plate, samples, model, GrainEstimation{refined});
        benchmark::DoNotOptimize(model.kernels.data());
    }
    state.SetLabel(refined ? "refined" : "classic");
}

BENCHMARK_CAPTURE(Convolution, reference, true)->Arg(9)->Arg(24)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convolution, fast, false)->Arg(9)->Arg(24)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ColourMatrix, reference, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ColourMatrix, fast, false)->Unit(benchmark::kMillisecond);
BENCHMARK(Multiplier)->Unit(benchmark::kMillisecond);
BENCHMARK(Blend)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(Analysis)->Args({8, 24})->Args({10, 64})->Args({10, 256})->Unit(benchmark::kMillisecond);
BENCHMARK(Selection)->Args({8, 24})->Args({10, 64})->Unit(benchmark::kMillisecond);
BENCHMARK(SelectAndAnalyse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
