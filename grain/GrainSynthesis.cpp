#include "GrainSynthesis.h"

#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_Blend.h"
#include "imagelib/nodes/ImageLib_Convolution.h"
#include "imagelib/nodes/ImageLib_Drawing.h"
#include "imagelib/nodes/ImageLib_Resampling.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace Strata_AddGrain {

MultiplierNode::MultiplierNode(ImageLib_Vector<ImageLib_Vector<float>>& responseCurves)
    : ImageLib_NodeWithManyInputs(2) {
    curves.swap(responseCurves);
    for (const ImageLib_Vector<float>& curve : curves) {
        const float p = curve.size() > 3 ? curve[3] : 0.5f;
        midpoint.push_back(p);
        if (p == 0.0f) {
            lowScale.push_back(1e30f);
            highScale.push_back(1.0f);
        } else if (p == 1.0f) {
            lowScale.push_back(1.0f);
            highScale.push_back(1e30f);
        } else {
            lowScale.push_back(1.0f / p);
            highScale.push_back(1.0f / (1.0f - p));
        }
    }
}

ImageLib_Rect MultiplierNode::ComputeBounds() { return inputs[0]->GetBounds(); }

void MultiplierNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    inputs[0]->Compute(output, region);
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    ImageLib_ImageBuffer image(view->format, region);
    inputs[1]->Compute(image, region);
    ImageLib_MappedRegion grain(*view, region, ImageLib_AccessMode::ReadWrite);
    ImageLib_MappedRegion guide(image, region, ImageLib_AccessMode::Read);
    const uint32_t channels = view->format.channels;
    const uint32_t curved = std::min(channels, static_cast<uint32_t>(curves.size()));
    // A curve shorter than four values cannot be evaluated; such channels pass.
    float shadows[4] = {}, midtones[4] = {}, highlights[4] = {};
    bool usable[4] = {};
    for (uint32_t c = 0; c < curved && c < 4; ++c) {
        usable[c] = curves[c].size() >= 3;
        if (!usable[c]) continue;
        shadows[c] = curves[c][0];
        midtones[c] = curves[c][1];
        highlights[c] = curves[c][2];
    }
    const int32_t width = region.Width();
    const float* p = midpoint.data();
    const float* low = lowScale.data();
    const float* high = highScale.data();
    const ImageLib_RowRange& grainRows = view->rows;
    const ImageLib_RowRange& imageRows = image.rows;
    if (channels == 3 && curved == 3 && usable[0] && usable[1] && usable[2]) {
        // The usual case, vectorised: the curve's parameters laid out along 8
        // pixels, both sides of the curve computed and one chosen without a
        // branch. The same expressions, so the same values.
        constexpr int32_t kSpan = 24;
        float ps[kSpan], lows[kSpan], highs[kSpan], blacks[kSpan], mids[kSpan], whites[kSpan];
        for (int32_t j = 0; j < kSpan; ++j) {
            const int32_t c = j % 3;
            ps[j] = p[c], lows[j] = low[c], highs[j] = high[c];
            blacks[j] = shadows[c], mids[j] = midtones[c], whites[j] = highlights[c];
        }
        ImageLib_ParallelFor(
            region.Height(),
            [&, width](int32_t y) {
                float* g = grainRows.Row(y).As<float>();
                const float* v = imageRows.Row(y).As<float>();
                const int32_t n = width * 3;
                auto apply = [&](int32_t i, int32_t j) {
                    const float value = v[i];
                    const float below = blacks[j] + (mids[j] - blacks[j]) * value * lows[j];
                    const float above = mids[j] + (whites[j] - mids[j]) * (value - ps[j]) * highs[j];
                    g[i] *= ps[j] > value ? below : above;
                };
                int32_t i = 0;
                for (; i + kSpan <= n; i += kSpan)
                    for (int32_t j = 0; j < kSpan; ++j) apply(i + j, j);
                for (int32_t j = 0; i < n; ++i, ++j) apply(i, j);
            },
            width);
        return;
    }
    ImageLib_ParallelFor(
        region.Height(),
        [&, width, channels](int32_t y) {
            float* g = grainRows.Row(y).As<float>();
            const float* v = imageRows.Row(y).As<float>();
            for (int32_t x = 0; x < width; ++x, g += channels, v += channels) {
                for (uint32_t c = 0; c < curved && c < 4; ++c) {
                    if (!usable[c]) continue;
                    const float factor = p[c] > v[c]
                                             ? shadows[c] + (midtones[c] - shadows[c]) * v[c] * low[c]
                                             : midtones[c] + (highlights[c] - midtones[c]) * (v[c] - p[c]) * high[c];
                    g[c] *= factor;
                }
            }
        },
        width);
}

} // namespace Strata_AddGrain

ImageLib_Vector<ImageLib_Kernel> MakeSeparableKernels(const ImageLib_Vector<ImageLib_Kernel>& kernels) {
    ImageLib_Vector<ImageLib_Kernel> separable;
    separable.reserve(kernels.size() * 2);
    for (const ImageLib_Kernel& k : kernels) {
        const float s = std::sqrt(std::sqrt(k.SumOfSquares()));
        // An empty kernel has no origin to take a row and a column through.
        const bool empty = k.width == 0 || k.height == 0;
        ImageLib_Kernel across(empty ? 1 : k.width, 1), down(1, empty ? 1 : k.height);
        if (!empty) {
            for (int32_t x = k.MinX(); x <= k.MaxX(); ++x) across.At(x, 0) = k.At(x, 0);
            for (int32_t y = k.MinY(); y <= k.MaxY(); ++y) down.At(0, y) = k.At(0, y);
        }
        across.NormalizeEnergy();
        across.Scale(s);
        down.NormalizeEnergy();
        down.Scale(s);
        separable.push_back(std::move(across));
        separable.push_back(std::move(down));
    }
    return separable;
}

float NoiseBlendGain(float b) {
    const float spread = std::sqrt(2.0f * b * b - 2.0f * b + 1.0f);
    return static_cast<float>(1.0 / static_cast<double>(spread));
}

ImageLib_Matrix GrainColourMatrix(const GrainModel& model, float g) {
    ImageLib_Matrix m = model.colourTransform;
    const uint32_t n = m.columns;
    const float s = model.grainSaturation;
    const float a = 1.0f - std::fabs(1.0f - s);
    const float lo = std::max(1.0f - s, 0.0f);
    const float hi = std::max(s - 1.0f, 0.0f);
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t j = 0; j < m.rows; ++j) {
            float& e = m.Element(j, i);
            e = a * e + lo / static_cast<float>(n);
            if (i == j) e += hi;
            const float intensity = j < model.grainIntensity.size() ? model.grainIntensity[j] : 1.0f;
            e *= g * intensity;
        }
    }
    return m;
}

namespace {

// The 1-D kernels of one direction brought to a common length, each centred
// (origin on origin) and padded with zeros.
ImageLib_Vector<ImageLib_Vector<float>> CommonLength(const ImageLib_Vector<ImageLib_Kernel>& separable, size_t first,
                                                     bool horizontal, uint32_t& length) {
    length = 1;
    for (size_t k = first; k < separable.size(); k += 2)
        length = std::max(length, horizontal ? separable[k].width : separable[k].height);
    ImageLib_Vector<ImageLib_Vector<float>> padded;
    for (size_t k = first; k < separable.size(); k += 2) {
        const ImageLib_Kernel& kernel = separable[k];
        const uint32_t own = horizontal ? kernel.width : kernel.height;
        ImageLib_Vector<float> taps(length, 0.0f);
        for (uint32_t i = 0; i < own; ++i) taps[length / 2 - own / 2 + i] = kernel.values[i];
        padded.push_back(std::move(taps));
    }
    return padded;
}

} // namespace

ImageLib_NodePipeline* BuildGrainNode(const GrainModel& model) {
    namespace Basic = ImageLib_BasicNodes;
    auto pipeline = std::make_unique<ImageLib_NodePipeline>(1);
    ImageLib_NodePipeline& p = *pipeline;

    auto* first = p.Own(ImageLib_Drawing::CreateNoiseNode(0.0f, 2.0f, true, model.randSeed));
    auto* second = p.Own(ImageLib_Drawing::CreateNoiseNode(0.0f, 2.0f, true, model.randSeed2));
    auto* mix = p.Own(ImageLib_Blend::CreateFadeNode(model.randBlend));
    mix->SetInput(0, first);
    mix->SetInput(1, second);

    const ImageLib_Matrix matrix = GrainColourMatrix(model, NoiseBlendGain(model.randBlend));
    auto* coloured = p.Own(ImageLib_Resampling::CreateColorspaceNode(matrix, mix));

    const ImageLib_Vector<ImageLib_Kernel> separable = MakeSeparableKernels(model.kernels);
    uint32_t width = 1, height = 1;
    const ImageLib_Vector<ImageLib_Vector<float>> across = CommonLength(separable, 0, true, width);
    const ImageLib_Vector<ImageLib_Vector<float>> down = CommonLength(separable, 1, false, height);
    ImageLib_Vector<const float*> acrossTaps, downTaps;
    for (const ImageLib_Vector<float>& taps : across) acrossTaps.push_back(taps.data());
    for (const ImageLib_Vector<float>& taps : down) downTaps.push_back(taps.data());
    const uint32_t channels = static_cast<uint32_t>(acrossTaps.size());
    ImageLib_ComputeNode* vertical;
    if (ImageLib_ReferencePaths()) {
        // The noise is kept from band to band ahead of both passes.
        auto* noise = p.Own(Basic::CreateBufferNode(coloured));
        auto* horizontal =
            p.Own(ImageLib_Convolution::CreateConvolutionNode(acrossTaps.data(), channels, width, 1, noise));
        vertical = p.Own(ImageLib_Convolution::CreateConvolutionNode(downTaps.data(), channels, 1, height, horizontal));
    } else {
        // The same values with the horizontal pass's output kept instead: the
        // rows a band shares with the next (the vertical pass's margin) are
        // then filtered across once, not once per band. At 2160p a band of 34
        // rows needs 57 rows of input, so this saves 40% of that pass.
        auto* horizontal =
            p.Own(ImageLib_Convolution::CreateConvolutionNode(acrossTaps.data(), channels, width, 1, coloured));
        auto* kept = p.Own(Basic::CreateBufferNode(horizontal));
        vertical = p.Own(ImageLib_Convolution::CreateConvolutionNode(downTaps.data(), channels, 1, height, kept));
    }

    ImageLib_Vector<ImageLib_Vector<float>> curves = model.grainResponse;
    auto* response = p.Own(new Strata_AddGrain::MultiplierNode(curves));
    auto* image = p.Own(Basic::CreateBufferNode(p.GetInput(0)));
    response->SetInput(0, vertical);
    response->SetInput(1, image);

    auto* blend = p.Own(ImageLib_Blend::CreateBlendNode(2, static_cast<uint32_t>(model.blendMode)));
    blend->SetInput(0, response);
    blend->SetInput(1, image);
    p.SetOutputNode(p.Own(Basic::CreateFloatClippingNode(blend)));
    return pipeline.release();
}
