// Nodes that combine images and make and apply mattes.
//
// - BlendNode lays its inputs onto a base, from the highest-numbered present
//   input (the base) down to input 0, with one of the `BlendMode` formulas
//   (grain onto the image, one matte onto another). Empty slots are skipped.
// - FadeNode cross-fades input 0 towards input 1 by a fixed amount.
// - MatchNode turns an image into a matte: 1 near a reference colour, falling
//   to 0 beyond a tolerance over a softness.
// - SelectChannelNode and LuminanceChannelNode make a grey matte of one channel
//   or of the unweighted mean of all channels.
// - MatteNode moves input 0 towards input 1 where the matte (input 2) says so.
//
// Contract: bounds are those of input 0 (BlendNode falls back on its base when
// input 0 is absent). Arithmetic is float with 1.0 as full intensity and every
// sample of a pixel, alpha included, treated alike; nothing is clamped, so
// integer outputs need their values kept in range by the graph. Parameters are
// fixed at construction. Every temporary buffer, view and mapping is released
// on every path; exceptions from inputs pass through, leaving the output region
// partly written.
#pragma once

#include "ImageLib_Allocator.h"
#include "ImageLib_ComputeNode.h"
#include "ImageLib_PixelFormat.h"

#include <cstdint>

namespace ImageLib_Blend {

// d is the value already in the output (the base), s the one laid on.
enum class BlendMode : uint32_t {
    Add = 0,         // d + s
    ExpMultiply = 1, // d * exp(s)
    Screen = 2,      // 1 - (1 - |s|) * (1 - |d|)
    ExpScreen = 3,   // 1 - exp(s) * (1 - d)
    Multiply = 4,    // s * d
    Overlay = 5,     // v = s + 0.5: d > 0.5 ? 1 - 2 (1 - v)(1 - d) : 2 v d
};

// Codes from here on combine nothing: the output keeps the base.
constexpr uint32_t kBlendModeCount = 6;

class BlendNode : public ImageLib_NodeWithManyInputs {
public:
    BlendNode(int32_t inputCount, uint32_t blendMode);

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    uint32_t mode;
};

// Two inputs: out = input0 + (input1 - input0) * amount.
class FadeNode : public ImageLib_NodeWithManyInputs {
public:
    // A NaN amount becomes 1.
    explicit FadeNode(float fadeAmount);

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    float amount; // in [0, 1]
};

// Where a match compares: in the output's own samples (as its input delivers
// them), or in float whatever the output (for transformed images, whose
// values may be negative or finer than the output's steps), and then with
// channel 0 taken as a hue, an angle in turns compared the short way round.
enum class MatchSpace { Output, Float, FloatHue };

class MatchNode : public ImageLib_NodeWithOneInput {
public:
    // Takes over `referenceColour`: one value per channel of the output format,
    // on the scale where full intensity is 1. Channels beyond its length are
    // compared with 0.
    MatchNode(float tolerance, float softness, ImageLib_Vector<float> referenceColour,
              MatchSpace matchSpace = MatchSpace::Output);

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    float toleranceSquared;
    float softnessSquared;
    float inverseSoftness; // 1 / softnessSquared, or 1e35 for a hard matte
    ImageLib_Vector<float> reference;
    MatchSpace space;
};

class SelectChannelNode : public ImageLib_NodeWithOneInput {
public:
    // The input is computed in `format`; a channel it does not have reads as 0.
    SelectChannelNode(const ImageLib_PixelFormat& format, uint32_t channelIndex, ImageLib_ComputeNode* node);

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    ImageLib_PixelFormat sourceFormat;
    uint32_t channel;
};

class LuminanceChannelNode : public ImageLib_NodeWithOneInput {
public:
    // The input is computed in `format`; every output sample is the mean of its channels.
    LuminanceChannelNode(const ImageLib_PixelFormat& format, ImageLib_ComputeNode* node);

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    ImageLib_PixelFormat sourceFormat;
};

// Inputs: 0 the image, 1 the image mixed in, 2 the matte.
// out = image + (mixed - image) * matte * amount, channel by channel.
class MatteNode : public ImageLib_NodeWithManyInputs {
public:
    explicit MatteNode(float matteAmount);

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    float amount;
};

ImageLib_ComputeNode* CreateBlendNode(int32_t inputCount, uint32_t mode);
ImageLib_ComputeNode* CreateBlendNode(int32_t inputCount, BlendMode mode);
ImageLib_ComputeNode* CreateFadeNode(float amount);
ImageLib_ComputeNode* CreateMatchNode(float tolerance, float softness, ImageLib_Vector<float> reference,
                                      MatchSpace space = MatchSpace::Output);
ImageLib_ComputeNode* CreateSelectChannelNode(const ImageLib_PixelFormat& sourceFormat, uint32_t channel,
                                              ImageLib_ComputeNode* input);
ImageLib_ComputeNode* CreateLuminanceChannelNode(const ImageLib_PixelFormat& sourceFormat, ImageLib_ComputeNode* input);
ImageLib_ComputeNode* CreateMatteNode(float amount);

} // namespace ImageLib_Blend
