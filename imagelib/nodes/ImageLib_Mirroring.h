// Mirroring an image over the whole plane, so that filters may read anywhere.
//
// ReflectionNode (of the resampling family, nodes that move or transform
// pixels without filtering) extends a finite input over the plane by mirroring
// it at its edges, edge pixels repeated (... 2 1 0 | 0 1 2 ... W-1 | W-1 W-2
// ...). It moves whole pixels as bytes and works in every format. An infinite
// input passes straight through; an input whose bounds are finite but empty
// has nothing to mirror: the node's bounds are then empty and it writes nothing.
#pragma once

#include "imagelib/core/ImageLib_ComputeNode.h"

#include <cstdint>

namespace ImageLib_Resampling {

class ReflectionNode : public ImageLib_NodeWithOneInput {
public:
    explicit ReflectionNode(ImageLib_ComputeNode* node) : ImageLib_NodeWithOneInput(node) {}

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    // Fills the part of mirrored tile (column, row) that lies in `request`.
    // Everything is relative to the input's top-left corner: `input` is the
    // input moved there, `output` the output moved likewise, `inputBounds` is
    // (0, 0, W, H) and `request` is in those coordinates too.
    virtual void ComputeTile(ImageLib_ComputeNode& translatedInput, ImageLib_ImageAccess& translatedOutput,
                             const ImageLib_Rect& inputBounds, const ImageLib_Rect& request, int32_t column,
                             int32_t row);
};

ImageLib_ComputeNode* CreateReflectionNode(ImageLib_ComputeNode* input);

} // namespace ImageLib_Resampling
