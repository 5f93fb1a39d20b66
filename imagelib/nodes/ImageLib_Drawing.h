// Nodes that generate pixels: constant colours, inversion, seeded noise and
// box outlines (the markers of previews and samples).
//
// Colours are given per channel in the order of the image's channels and
// copied into the node. `NoiseNode` values depend only on a pixel's position,
// channel, the seed and the channel count, never on the region or tile being
// computed: every aligned run of 32 pixels of a row draws from its own
// generator, seeded from the run's position.
#pragma once

#include "imagelib/core/ImageLib_Allocator.h"
#include "imagelib/core/ImageLib_ComputeNode.h"

#include <cstdint>

namespace ImageLib_Drawing {

// The colour everywhere; bounds are infinite.
class SolidNode : public ImageLib_ComputeNode {
public:
    SolidNode(const float* values, uint32_t count);
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    ImageLib_Vector<float> colour;
};

// Full intensity minus the input, every channel including alpha; integer
// outputs are inverted in their own samples (255 or 32768 minus the sample).
class InvertNode : public ImageLib_NodeWithOneInput {
public:
    using ImageLib_NodeWithOneInput::ImageLib_NodeWithOneInput;
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;
};

// draw * scale + offset per sample, where draw is a Gaussian deviate (standard
// deviation 0.5) or a centred uniform one; bounds are infinite.
class NoiseNode : public ImageLib_ComputeNode {
public:
    static constexpr int32_t kBlock = 32;
    static constexpr int32_t kOrigin = 256;

    NoiseNode(float offset, float scale, bool gaussian, int32_t seed)
        : offset(offset), scale(scale), gaussian(gaussian), seed(seed) {}
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    // The generator seed of the run of 32 pixels that starts at X (plane x + 256)
    // in row Y (plane y + 256); never 0, which would read the clock.
    static int32_t BlockSeed(int32_t x, int32_t y, int32_t seed);

    float offset;
    float scale;
    bool gaussian;
    int32_t seed;
};

// The input with a two-pixel outline drawn just inside `box` in `colour`.
// An empty or infinite box draws nothing.
class ThickBoxNode : public ImageLib_NodeWithOneInput {
public:
    ThickBoxNode(const float* values, uint32_t count, const ImageLib_Rect& rect, ImageLib_ComputeNode* node);
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    ImageLib_Vector<float> colour;
    ImageLib_Rect box;
};

ImageLib_ComputeNode* CreateSolidNode(const float* colour, uint32_t count);
ImageLib_ComputeNode* CreateInvertNode(ImageLib_ComputeNode* input);
ImageLib_ComputeNode* CreateNoiseNode(float offset, float scale, bool gaussian, int32_t seed);
ImageLib_ComputeNode* CreateThickBoxNode(const float* colour, uint32_t count, const ImageLib_Rect* box,
                                         ImageLib_ComputeNode* input);

} // namespace ImageLib_Drawing
