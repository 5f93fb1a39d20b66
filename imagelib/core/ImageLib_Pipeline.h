// Sub-graphs as single nodes, and the tiled evaluation that runs a graph.
//
// An `ImageLib_NodePipeline` owns every node handed to `Own` and deletes them
// all, in the order received, when it dies. Its input ports are identity nodes
// that inner nodes take as inputs; the pipeline's user connects outside nodes
// to them with `SetInput`. `outputNode` must be set before the pipeline is
// computed or asked for its bounds. Pipelines nest.
#pragma once

#include "ImageLib_Allocator.h"
#include "ImageLib_ComputeNode.h"
#include "ImageLib_IdentityNode.h"

#include <cstdint>
#include <memory>

class ImageLib_NodePipeline : public ImageLib_ComputeNode {
public:
    explicit ImageLib_NodePipeline(int32_t inputCount = 0);
    ~ImageLib_NodePipeline() override;

    int32_t GetInputCount() override;
    ImageLib_ComputeNode* GetInput(int32_t index) override;
    void SetInput(int32_t index, ImageLib_ComputeNode* node) override;
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;
    virtual ImageLib_ComputeNode* GetOutputNode();
    virtual void SetOutputNode(ImageLib_ComputeNode* node);

    // Takes ownership of `node` and returns it. When it cannot be recorded the
    // node is deleted before the error passes on, so ownership never leaks.
    template <class Node> Node* Own(Node* node) {
        OwnNode(std::unique_ptr<ImageLib_ComputeNode>(node));
        return node;
    }

private:
    void OwnNode(std::unique_ptr<ImageLib_ComputeNode> node);

    ImageLib_List<std::unique_ptr<ImageLib_ComputeNode>> ownedNodes;
    ImageLib_Vector<ImageLib_ComputeNode*> ports; // also in ownedNodes
    ImageLib_ComputeNode* outputNode = nullptr;   // normally also in ownedNodes
};

// Pulls `region` of `node` into `output`, tile by tile (tile sizes below 1
// mean the whole extent), on the calling thread, rows of tiles top to bottom.
// The region is clipped to the node's and the output's bounds first; progress
// runs through one scope of (tile count + 1) steps.
void ImageLib_Evaluate(ImageLib_ComputeNode& node, ImageLib_ImageAccess& output, const ImageLib_Rect& region,
                       int32_t tileWidth, int32_t tileHeight);
