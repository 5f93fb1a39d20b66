// The demand-driven node model.
//
// A node knows the rectangle on which its result is defined (its bounds) and,
// when asked, fills a region of a caller-owned output access with that result,
// pulling what it needs from its inputs the same way. Rules every node keeps:
// - `Compute` writes every pixel of the region and nothing outside it, in the
//   output's format (float nodes wrap integer outputs with a float view).
// - Requests to inputs are not clipped to their bounds; a node that may reach
//   beyond an input puts an edge-handling node in front of it.
// - Every mapping opened is released and every temporary buffer or view is
//   destroyed on every path, exceptions included; exceptions pass through.
// - Bounds are computed once, at the first `GetBounds`, and then held: a graph
//   is fully connected before anyone asks for bounds.
// - A node never owns its inputs; pipelines (ImageLib_Pipeline.h) own nodes.
// - Nodes are not thread-safe; parallelism lives inside `Compute` only,
//   through `ImageLib_ParallelFor`.
#pragma once

#include "ImageLib_Allocator.h"
#include "ImageLib_ImageAccess.h"
#include "ImageLib_Rect.h"

#include <cstdint>

class ImageLib_ComputeNode {
public:
    virtual ~ImageLib_ComputeNode() = default;
    ImageLib_ComputeNode() = default;
    ImageLib_ComputeNode(const ImageLib_ComputeNode&) = delete;
    ImageLib_ComputeNode& operator=(const ImageLib_ComputeNode&) = delete;

    virtual int32_t GetInputCount() { return 0; }
    virtual ImageLib_ComputeNode* GetInput(int32_t /*index*/) { return nullptr; }
    virtual void SetInput(int32_t /*index*/, ImageLib_ComputeNode* /*node*/) {}
    virtual void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) = 0;
    virtual ImageLib_Rect ComputeBounds() = 0;

    const ImageLib_Rect& GetBounds() {
        if (boundsDirty) {
            cachedBounds = ComputeBounds();
            boundsDirty = false;
        }
        return cachedBounds;
    }

    bool boundsDirty = true;
    ImageLib_Rect cachedBounds = ImageLib_Rect::Everything();
};

class ImageLib_NodeWithOneInput : public ImageLib_ComputeNode {
public:
    explicit ImageLib_NodeWithOneInput(ImageLib_ComputeNode* node = nullptr) : input(node) {}

    int32_t GetInputCount() override { return 1; }
    ImageLib_ComputeNode* GetInput(int32_t) override { return input; }
    void SetInput(int32_t, ImageLib_ComputeNode* node) override { input = node; }

    ImageLib_ComputeNode* input;
};

class ImageLib_NodeWithManyInputs : public ImageLib_ComputeNode {
public:
    explicit ImageLib_NodeWithManyInputs(int32_t count) : inputs(count > 0 ? count : 0, nullptr) {}

    int32_t GetInputCount() override { return static_cast<int32_t>(inputs.size()); }
    ImageLib_ComputeNode* GetInput(int32_t index) override { return inputs[index]; }
    void SetInput(int32_t index, ImageLib_ComputeNode* node) override { inputs[index] = node; }

    ImageLib_Vector<ImageLib_ComputeNode*> inputs;
};
