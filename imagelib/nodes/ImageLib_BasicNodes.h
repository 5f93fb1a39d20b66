// The nodes every graph needs: image sources, crops, integer translations,
// clipping into 0..1 and a caching node. They do no arithmetic beyond copying,
// shifting and clipping.
//
// Shared rules of every node family (also for the other headers of this folder):
// - A node's bounds are those of input 0 unless its class says otherwise.
// - Arithmetic is single-precision float through float views of the output;
//   every formula applies to every channel, alpha included, unless stated.
// - Temporary buffers cover exactly the rectangle they are made for and die
//   with the `Compute` that made them, also when an exception passes.
// - Factories return the new node (created with `new`) as a plain
//   `ImageLib_ComputeNode*` for the caller, normally a pipeline, to own.
#pragma once

#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Pipeline.h"

namespace ImageLib_BasicNodes {

// A source reading an access (8-bit, 16-bit or float). The output must have
// the image's channel layout; rows are copied when the formats are equal and
// converted through float otherwise. The access must be fully set up before
// the node is made and outlive it unless the node owns it.
class ImageNode : public ImageLib_ComputeNode {
public:
    ImageNode(ImageLib_ImageAccess* source, bool owns);
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

private:
    std::unique_ptr<ImageLib_ImageAccess> ownedImage; // the source, when the node owns it
    ImageLib_ImageAccess* image;
    std::unique_ptr<ImageLib_ImageAccess> floatView;
};

// The input inside `cropRect`; pixels of a request outside it are left untouched.
class CropNode : public ImageLib_NodeWithOneInput {
public:
    CropNode(const ImageLib_Rect& rect, ImageLib_ComputeNode* node) : ImageLib_NodeWithOneInput(node), cropRect(rect) {}
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    ImageLib_Rect cropRect;
};

// Output pixel (x, y) is input pixel (x + offsetX, y + offsetY).
class TranslateNode : public ImageLib_NodeWithOneInput {
public:
    TranslateNode(int32_t dx, int32_t dy, ImageLib_ComputeNode* node)
        : ImageLib_NodeWithOneInput(node), offsetX(dx), offsetY(dy) {}
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    int32_t offsetX;
    int32_t offsetY;
};

// Clips every float sample into [0, 1]; NaN passes through unchanged.
class FloatClippingNode : public ImageLib_NodeWithOneInput {
public:
    using ImageLib_NodeWithOneInput::ImageLib_NodeWithOneInput;
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;
};

// Keeps the pixels of the last region it computed, in the output's format,
// and computes only what a new request adds. The cache is never invalidated:
// the input must not change while the node lives.
class BufferNode : public ImageLib_NodeWithOneInput {
public:
    using ImageLib_NodeWithOneInput::ImageLib_NodeWithOneInput;
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;
    bool HasCache() const { return cache != nullptr; }

private:
    std::unique_ptr<ImageLib_ImageBuffer> cache;
};

ImageLib_ComputeNode* CreateImageNode(ImageLib_ImageAccess* image);
ImageLib_ComputeNode* CreateOwningImageNode(ImageLib_ImageAccess* image);
ImageLib_ComputeNode* CreateCropNode(const ImageLib_Rect& rect, ImageLib_ComputeNode* input);
ImageLib_ComputeNode* CreateTranslateNode(int32_t dx, int32_t dy, ImageLib_ComputeNode* input);
ImageLib_ComputeNode* CreateFloatClippingNode(ImageLib_ComputeNode* input);
ImageLib_ComputeNode* CreateBufferNode(ImageLib_ComputeNode* input);

} // namespace ImageLib_BasicNodes
