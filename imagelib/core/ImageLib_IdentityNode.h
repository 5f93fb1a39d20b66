// The pass-through node. It belongs to the basic node family by name; it lives
// in the core because every pipeline's input ports are identity nodes.
#pragma once

#include "ImageLib_ComputeNode.h"

namespace ImageLib_BasicNodes {

// Passes its input through unchanged; the pipeline's port node.
class IdentityNode : public ImageLib_NodeWithOneInput {
public:
    explicit IdentityNode(ImageLib_ComputeNode* node = nullptr) : ImageLib_NodeWithOneInput(node) {}
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;
};

ImageLib_ComputeNode* CreateIdentityNode(ImageLib_ComputeNode* input);

} // namespace ImageLib_BasicNodes
