#include "ImageLib_IdentityNode.h"

namespace ImageLib_BasicNodes {

void IdentityNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    input->Compute(output, region);
}

ImageLib_Rect IdentityNode::ComputeBounds() { return input->GetBounds(); }

ImageLib_ComputeNode* CreateIdentityNode(ImageLib_ComputeNode* input) { return new IdentityNode(input); }

} // namespace ImageLib_BasicNodes
