// Per-pixel colour transforms (of the resampling family, nodes that move or
// transform pixels without filtering).
//
// - ColorspaceNode replaces every pixel x of n = `channels` samples by
//   y[r] = sum over c < n of matrix(r, c) * x[c], each sum in float from 0 in
//   increasing c. 8-bit and 16-bit outputs are transformed in their own
//   samples (divided by `maxValue`, results multiplied back and truncated
//   toward zero, keeping the low bits as the format's conversion does); float
//   outputs through a float view. The matrix needs at least n rows and n
//   columns, or `Compute` throws std::invalid_argument.
// - RGB2HSVNode turns the first three samples (red, green, blue) into hue,
//   saturation and value, hue in [0, 1); further samples are left alone. The
//   output needs at least three channels, or `Compute` throws
//   std::invalid_argument.
// Both report their input's bounds and compute in place in the output.
#pragma once

#include "imagelib/core/ImageLib_ComputeNode.h"
#include "imagelib/core/ImageLib_Matrix.h"

#include <cstdint>

namespace ImageLib_Resampling {

class ColorspaceNode : public ImageLib_NodeWithOneInput {
public:
    ColorspaceNode(const ImageLib_Matrix& transform, ImageLib_ComputeNode* node)
        : ImageLib_NodeWithOneInput(node), matrix(transform) {}

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    ImageLib_Matrix matrix;
};

class RGB2HSVNode : public ImageLib_NodeWithOneInput {
public:
    explicit RGB2HSVNode(ImageLib_ComputeNode* node) : ImageLib_NodeWithOneInput(node) {}

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;
};

ImageLib_ComputeNode* CreateColorspaceNode(const ImageLib_Matrix& matrix, ImageLib_ComputeNode* input);
ImageLib_ComputeNode* CreateRGB2HSVNode(ImageLib_ComputeNode* input);

} // namespace ImageLib_Resampling
