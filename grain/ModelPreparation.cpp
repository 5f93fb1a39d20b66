#include "ModelPreparation.h"

#include "GrainAnalysis.h"
#include "ResponseFit.h"
#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Factors that are not positive (or not numbers) become a thousandth, so no
// kernel ever gets a zero or negative scale.
float PositiveFactor(float value) { return value > 0.0f ? value : 0.001f; }

// Kernel sides are products of a measured size and user factors; a side that
// does not fit 32 bits is as impossible to hold as one that does not fit memory.
uint32_t TweakedSide(uint32_t side, float factor) {
    const double scaled = std::trunc(static_cast<double>(static_cast<float>(side) * factor));
    if (!(scaled < static_cast<double>(std::numeric_limits<uint32_t>::max()))) throw ImageLib_MemoryError();
    return std::max(static_cast<uint32_t>(scaled), 9u);
}

} // namespace

int32_t BlendModeFromPopup(int32_t popupValue) {
    switch (popupValue) {
    case 1:
        return 3; // Film: ExpScreen
    case 2:
        return 1; // Multiply: ExpMultiply
    case 3:
        return 0; // Add
    case 4:
        return 2; // Screen
    case 5:
        return 5; // Overlay
    default:
        return 0;
    }
}

void TweakKernels(const GrainTweaks& t, GrainModel& model) {
    const float size = PositiveFactor(t.size);
    const float scale = PositiveFactor(t.softness * size);
    const float aspect = PositiveFactor(t.aspectRatio);
    float gain = t.intensity * std::max(size, 1.0f);
    if (!(gain >= 0.0f)) gain = 0.0f;
    for (size_t k = 0; k < model.kernels.size() && k < 3; ++k) {
        ImageLib_Kernel& old = model.kernels[k];
        float sy = t.channelSize[k] * scale;
        if (!(sy >= 0.001f)) sy = 0.001f;
        const float sx = sy * aspect;
        ImageLib_Kernel tweaked(TweakedSide(old.width, sx), TweakedSide(old.height, sy));
        tweaked.ResampleFrom(old, sx, sy);
        tweaked.Scale(t.monochromatic ? gain : gain * t.channelIntensity[k]);
        old = std::move(tweaked);
    }
}

void SubtractExistingGrain(float percent, GrainModel& measuredTarget, GrainModel& model) {
    const size_t n = std::min(model.kernels.size(), measuredTarget.kernels.size());
    for (size_t k = 0; k < n; ++k) {
        measuredTarget.kernels[k].Scale(percent / 100.0f);
        model.kernels[k].Subtract(measuredTarget.kernels[k]);
    }
}

void SetGrainAppearance(const GrainTweaks& t, GrainModel& model) {
    model.randSeed = model.randSeed2 = t.randomSeed;
    model.randBlend = 0.0f;
    if (t.animationSpeed != 0.0f) {
        float time = t.animationSpeed * static_cast<float>(t.frame);
        // Keep i and i + 1 representable however long the sequence.
        time = std::clamp(time, -2147483520.0f, 2147483520.0f);
        const int32_t i = static_cast<int32_t>(time);
        const float f = time - static_cast<float>(i);
        model.randSeed = t.randomSeed ^ i;
        model.randSeed2 = t.randomSeed ^ (i + 1);
        model.randBlend = t.animateSmoothly ? f : 0.0f;
    }
    model.blurAmount.assign(3, 0.0f);
    model.grainIntensity.clear();
    for (int c = 0; c < 3; ++c) model.grainIntensity.push_back(1.0f);
    const float sum = t.tint[0] + t.tint[1] + t.tint[2];
    for (int c = 0; c < 3; ++c) {
        const float weight = sum == 0.0f ? 1.0f : t.tint[c] / (sum / 3.0f);
        model.grainIntensity[c] *= (1.0f - t.tintAmount / 100.0f) + t.tintAmount * weight / 100.0f;
    }
    model.grainSaturation = t.monochromatic ? 0.0f : t.saturation;
    model.grainResponse.resize(3);
    for (int c = 0; c < 3; ++c) {
        ImageLib_Vector<float>& curve = model.grainResponse[c];
        curve.resize(4);
        curve[0] = t.balance[c][0] * t.shadows;
        curve[1] = t.balance[c][1] * t.midtones;
        curve[2] = t.balance[c][2] * t.highlights;
        curve[3] = t.midpoint;
    }
    model.blendMode = BlendModeFromPopup(t.blendingMode);
}

namespace {

// The measured kernels of the refined estimate span its 48-pixel windows, most of them taps of
// estimation noise around a grain a few pixels wide. Each is cut to the smallest centred square
// holding all but 0.1 % of its energy, at most a quarter of the window either side of the
// origin (then given its energy back), so that tweaks, synthesis and memory scale with the
// grain, not with the window: no larger than the classic kernels.
void CropToGrain(GrainModel& model) {
    for (ImageLib_Kernel& kernel : model.kernels) {
        const double energy = kernel.SumOfSquares();
        if (!(energy > 0.0) || kernel.width < 3 || kernel.height < 3) continue;
        const int32_t most = std::min(-kernel.MinX(), kernel.MaxX()) < std::min(-kernel.MinY(), kernel.MaxY())
                                 ? std::min(-kernel.MinX(), kernel.MaxX())
                                 : std::min(-kernel.MinY(), kernel.MaxY());
        // Half the window is twice the classic kernel's reach: beyond it lies no grain a
        // window could resolve, only the estimate's noise.
        const int32_t reach = std::max<int32_t>(1, static_cast<int32_t>(std::min(kernel.width, kernel.height) / 4));
        double inside = static_cast<double>(kernel.At(0, 0)) * kernel.At(0, 0);
        int32_t radius = 0;
        while (radius < std::min(most, reach) && inside < (1.0 - 1e-3) * energy) {
            ++radius;
            for (int32_t i = -radius; i <= radius; ++i) {
                for (const auto& [x, y] : {std::pair{i, -radius}, std::pair{i, radius}})
                    inside += static_cast<double>(kernel.At(x, y)) * kernel.At(x, y);
                if (i != -radius && i != radius)
                    for (const auto& [x, y] : {std::pair{-radius, i}, std::pair{radius, i}})
                        inside += static_cast<double>(kernel.At(x, y)) * kernel.At(x, y);
            }
        }
        if (radius >= most) continue; // nothing to cut
        ImageLib_Kernel cropped(static_cast<uint32_t>(2 * radius + 1), static_cast<uint32_t>(2 * radius + 1));
        for (int32_t y = -radius; y <= radius; ++y)
            for (int32_t x = -radius; x <= radius; ++x) cropped.At(x, y) = kernel.At(x, y);
        const double kept = cropped.SumOfSquares();
        if (kept > 0.0) cropped.Scale(static_cast<float>(std::sqrt(energy / kept)));
        kernel = std::move(cropped);
    }
}

// The response curves fitted to the layer's grain, in place of the sliders'.
void FitResponseToLayer(ImageLib_ImageAccess& layer, const SampleSet& samples, GrainModel& model) {
    ImageLib_NodePipeline pipeline(0);
    ImageLib_ComputeNode* colour = pipeline.Own(ImageLib_BasicNodes::CreateImageNode(&layer));
    if (layer.format.alphaChannel >= 0)
        colour = pipeline.Own(ImageLib_Alpha::CreateDropAlphaNode(colour, layer.format.alphaChannel == 0));
    pipeline.SetOutputNode(colour);
    const ImageLib_PixelFormat format = ImageLib_Alpha::FormatWithAlphaRemoved(layer.format);
    ResponseLevels levels;
    std::array<ResponseCurve, 3> curves;
    FitLayerResponse(pipeline, format, samples, levels, curves);
    for (uint32_t c = 0; c < 3 && c < model.grainResponse.size(); ++c) {
        const ResponseCurve& curve = curves[c];
        model.grainResponse[c] = {curve.shadows, curve.midtones, curve.highlights, curve.midpoint};
    }
}

} // namespace

void BuildGrainModel(const GrainTweaks& tweaks, ImageLib_ImageAccess& noiseLayer, const SampleSet& noiseSamples,
                     ImageLib_ImageAccess& targetLayer, const SampleSet& targetSamples, GrainModel& model) {
    const bool compensate = tweaks.compensate > 0.0f;
    ImageLib_ProgressScope progress((compensate ? 3 : 2) + (tweaks.fitResponse ? 1 : 0));
    const GrainEstimation how{tweaks.refined};
    AnalyseGrainLayer(noiseLayer, noiseSamples, model, how);
    if (tweaks.refined) CropToGrain(model);
    TweakKernels(tweaks, model);
    progress.Step();
    if (compensate) {
        GrainModel existing;
        AnalyseGrainLayer(targetLayer, targetSamples, existing, how);
        if (tweaks.refined) CropToGrain(existing);
        SubtractExistingGrain(tweaks.compensate, existing, model);
        progress.Step();
    }
    SetGrainAppearance(tweaks, model);
    if (tweaks.fitResponse) {
        FitResponseToLayer(noiseLayer, noiseSamples, model);
        progress.Step();
    }
    model.kernelTerms = tweaks.refined ? kRefinedKernelTerms : 0;
    progress.Step();
}
