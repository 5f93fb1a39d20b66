// Moving images between formats with and without an alpha channel, where host
// layers (which carry alpha) meet colour-only processing.
//
// Each node asks its input for a format derived from the output's: "with alpha
// added" has one channel more, alpha first when `alphaFirst` is set and last
// otherwise; "with alpha removed" keeps the colour channels only. Byte copies
// respect where the alpha sits: leading each pixel when `alphaChannel` is 0,
// trailing it otherwise. Bounds are those of input 0.
#pragma once

#include "imagelib/core/ImageLib_ComputeNode.h"

namespace ImageLib_Alpha {

ImageLib_PixelFormat FormatWithAlphaAdded(const ImageLib_PixelFormat& format, bool alphaFirst);
ImageLib_PixelFormat FormatWithAlphaRemoved(const ImageLib_PixelFormat& format);

// Into an output without alpha: the input's colour samples. Into an output with
// alpha: the input with every alpha sample made opaque.
class DropAlphaNode : public ImageLib_NodeWithOneInput {
public:
    DropAlphaNode(ImageLib_ComputeNode* node, bool first) : ImageLib_NodeWithOneInput(node), alphaFirst(first) {}
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    bool alphaFirst;
};

// Colour premultiplied by alpha, alpha removed. Outputs have no alpha.
class MultiplyAlphaNode : public ImageLib_NodeWithOneInput {
public:
    MultiplyAlphaNode(ImageLib_ComputeNode* node, bool first) : ImageLib_NodeWithOneInput(node), alphaFirst(first) {}
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    bool alphaFirst;
};

// Input 0's colour with the alpha of input 1 (an image in the output's format),
// or opaque alpha when input 1 is absent. Into an output without alpha it is
// input 0 unchanged.
class AddAlphaNode : public ImageLib_NodeWithManyInputs {
public:
    AddAlphaNode(ImageLib_ComputeNode* color, ImageLib_ComputeNode* alpha);
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;
};

ImageLib_ComputeNode* CreateDropAlphaNode(ImageLib_ComputeNode* input, bool alphaFirst);
ImageLib_ComputeNode* CreateMultiplyAlphaNode(ImageLib_ComputeNode* input, bool alphaFirst);
ImageLib_ComputeNode* CreateAddAlphaNode(ImageLib_ComputeNode* color, ImageLib_ComputeNode* alpha);

} // namespace ImageLib_Alpha
