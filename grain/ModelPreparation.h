// The grain model of one frame: the measured grain reshaped by the user's
// tweaks, less the grain the target already carries, with the frame's seeds,
// tint, saturation, response curves and blend mode.
//
// The shell reads the controls into `GrainTweaks`; everything here is
// independent of the host. Kernels are resampled to the tweaked size (never
// below 9 x 9) keeping their energy, then scaled by the intensities, so Size
// changes the grain's scale and Intensity its strength.
#pragma once

#include "GrainModel.h"
#include "NoiseSampling.h"
#include "imagelib/core/ImageLib_ImageAccess.h"

#include <array>
#include <cstdint>

struct GrainTweaks {
    float compensate = 0.0f; // percent of the target's own grain to remove
    float size = 1.0f;
    float softness = 1.0f;
    float aspectRatio = 1.0f;
    float intensity = 1.0f;
    std::array<float, 3> channelSize{1.0f, 1.0f, 1.0f};
    std::array<float, 3> channelIntensity{1.0f, 1.0f, 1.0f};
    bool monochromatic = false;
    int32_t randomSeed = 0;
    float animationSpeed = 1.0f;
    bool animateSmoothly = false;
    int32_t frame = 0; // current time / time step
    std::array<float, 3> tint{1.0f, 1.0f, 1.0f};
    float tintAmount = 100.0f; // percent
    float saturation = 1.0f;
    float shadows = 1.0f;
    float midtones = 1.0f;
    float highlights = 1.0f;
    float midpoint = 0.5f;
    // Per channel (red, green, blue): shadows, midtones, highlights.
    std::array<std::array<float, 3>, 3> balance{{{1, 1, 1}, {1, 1, 1}, {1, 1, 1}}};
    int32_t blendingMode = 3; // the popup's value: 1 Film .. 5 Overlay
    bool refined = false;     // the refined estimate: detrended patches, kernels as separable sums
    bool fitResponse = false; // response curves fitted to the plate instead of the sliders above
};

// The `BlendMode` code of a "Blending Mode" popup value.
int32_t BlendModeFromPopup(int32_t popupValue);

// Steps that need no measurement, each on a model whose analysis is done.
void TweakKernels(const GrainTweaks& tweaks, GrainModel& model);
void SubtractExistingGrain(float percent, GrainModel& measuredTarget, GrainModel& model);
void SetGrainAppearance(const GrainTweaks& tweaks, GrainModel& model);

// Separable terms the refined estimate realises its kernels with, at most.
constexpr int32_t kRefinedKernelTerms = 4;

// The whole preparation: analyses `noiseLayer` at `noiseSamples`, tweaks the
// kernels, and when `tweaks.compensate` is above 0 analyses `targetLayer` at
// `targetSamples` and removes its grain. With `tweaks.fitResponse` the response curves are
// fitted to the grain's strength by level on the noise layer's flat areas (ResponseFit.h),
// one per channel, in place of Shadows .. Midpoint and the channel balance. Progress: 2 steps,
// one more with compensation, one more with the fit.
void BuildGrainModel(const GrainTweaks& tweaks, ImageLib_ImageAccess& noiseLayer, const SampleSet& noiseSamples,
                     ImageLib_ImageAccess& targetLayer, const SampleSet& targetSamples, GrainModel& model);
