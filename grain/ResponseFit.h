// The grain's response to brightness, measured on the plate and fitted as the model's curves.
//
// - `MeasureResponse` bins the plate's grain windows (FindGrainWindows) by their level, per
//   colour channel, into kResponseLevels equal levels over 0..1: the number of windows and the
//   grain's deviation there (the square root of the median window variance, robust to the odd
//   window of picture the texture figures let through).
// - `FitResponse` fits one channel's curve through (0, shadows), (midpoint, midtones) and
//   (1, highlights), the form the synthesis multiplies grain by, to the levels holding enough
//   windows so that the largest relative miss at any level is least, the midpoint searched over
//   the measured range. Beyond the measured range the nearest line goes on (not below 0,
//   not above twice the strongest deviation measured), so a level without flat area takes its
//   neighbours' fit; one measured level gives a flat curve. The curve is then divided by the
//   measured deviation's root mean square over the samples' levels: the model's kernel holds
//   the strength measured at the samples, so measured strength there maps to 1.
#pragma once

#include "NoiseSampling.h"
#include "imagelib/core/ImageLib_ComputeNode.h"

#include <array>
#include <cstdint>

constexpr int32_t kResponseLevels = 16;
constexpr int32_t kLeastResponseWindows = 3; // windows a level needs to count

struct ResponseLevels {
    uint32_t channels = 0;
    std::array<std::array<int32_t, kResponseLevels>, 3> windows{};
    std::array<std::array<double, kResponseLevels>, 3> level{}; // mean level of the windows there
    std::array<std::array<double, kResponseLevels>, 3> sigma{};
};

struct ResponseCurve {
    float shadows = 1.0f, midtones = 1.0f, highlights = 1.0f, midpoint = 0.5f;
    float At(float value) const;
};

void MeasureResponse(const ImageLib_Vector<GrainWindow>& windows, uint32_t channels, ResponseLevels& levels);

// `sampleLevels`: each sample's mean in this channel.
ResponseCurve FitResponse(const ResponseLevels& levels, uint32_t channel, const ImageLib_Vector<float>& sampleLevels);

// All of the above on a layer (alpha dropped, `format` its colour channels) whose grain was
// measured at `samples`: its windows (refined, of the samples' size or more), their levels,
// and the three curves (a grey layer's one curve for all three).
void FitLayerResponse(ImageLib_ComputeNode& layer, const ImageLib_PixelFormat& format, const SampleSet& samples,
                      ResponseLevels& levels, std::array<ResponseCurve, 3>& curves);

// Each sample's mean, per colour channel.
void SampleLevels(ImageLib_ComputeNode& layer, const ImageLib_PixelFormat& format, const SampleSet& samples,
                  std::array<ImageLib_Vector<float>, 3>& levels);
