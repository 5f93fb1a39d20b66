// Bringing the unprocessed image back where a matte says so.
//
// The matte combines two optional sources: pixels of the input close to a
// chosen colour (compared in RGB, luminance, chroma, hue or one channel), and
// a masking layer's intensity or alpha, either inverted. Combined by multiply
// or screen, optionally blurred, it mixes the image with grain towards the
// unprocessed image by `amount`. A matte of 1 selects the unprocessed image.
#pragma once

#include "imagelib/core/ImageLib_ImageAccess.h"
#include "imagelib/core/ImageLib_Kernel.h"
#include "imagelib/core/ImageLib_Pipeline.h"

#include <array>
#include <cstdint>

// What colour matching compares: the colours themselves, one value of each
// (luminance), two (chroma), hue or a single channel.
enum class MatchMode : int32_t { Rgb, Luminance, Chroma, Hue, RedChannel, GreenChannel, BlueChannel };
enum class MaskingMode : int32_t { Intensity, InvertedIntensity, Alpha, InvertedAlpha };
// How a colour match and a mask make one matte.
enum class CombineMode : int32_t { Multiply, Screen };

// The blending-matte parameters, as the shell gathers them. The accesses are
// the shell's: they must outlive every graph built from the settings.
struct MatteSettings {
    float amount = 0.0f;                         // 0..1
    float blur = 0.0f;                           // Gaussian sigma in pixels; 0 is no blur
    ImageLib_ImageAccess* matchSource = nullptr; // null: no colour matching
    std::array<float, 3> matchColour{};          // red, green, blue
    MatchMode matchMode = MatchMode::Rgb;
    float tolerance = 0.0f;
    float softness = 0.0f;
    bool invert = false;
    ImageLib_ImageAccess* mask = nullptr; // null: no mask
    MaskingMode maskingMode = MaskingMode::Intensity;
    CombineMode combineMode = CombineMode::Multiply;
};

// Hue, saturation and value of a colour, hue in [0, 1).
std::array<float, 3> MatchColorToHsv(const std::array<float, 3>& rgb);

// Taps of the matte blur: max(9, trunc(3 * blur)) Gaussian taps of sigma
// `blur`, summing to 1.
ImageLib_Kernel MatteBlurKernel(float blur);

// A pipeline without inputs whose output is the matte, 0..1. The caller owns it.
ImageLib_NodePipeline* BuildBlendingMatte(const MatteSettings& settings);

// A pipeline with inputs 0 the image with grain and 1 the unprocessed image,
// whose output is grain + (unprocessed - grain) * matte * amount. The caller owns it.
ImageLib_NodePipeline* BuildApplicationNode(const MatteSettings& settings);
