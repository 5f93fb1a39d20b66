#include "ImageLib_Pipeline.h"

#include "ImageLib_Context.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

// Should a port fail, the nodes made so far go with the half-built members.
ImageLib_NodePipeline::ImageLib_NodePipeline(int32_t inputCount) {
    ports.reserve(static_cast<size_t>(std::max(inputCount, 0)));
    for (int32_t i = 0; i < inputCount; ++i) ports.push_back(Own(new ImageLib_BasicNodes::IdentityNode()));
}

// In the order they were handed over, whatever order a list destroys its elements in.
ImageLib_NodePipeline::~ImageLib_NodePipeline() {
    while (!ownedNodes.empty()) ownedNodes.pop_front();
}

void ImageLib_NodePipeline::OwnNode(std::unique_ptr<ImageLib_ComputeNode> node) {
    if (ownedNodes.size() >= std::numeric_limits<uint32_t>::max() / sizeof(ImageLib_ComputeNode*))
        throw std::length_error(ImageLib_ListTag::kTooLong);
    ownedNodes.push_back(std::move(node));
}

int32_t ImageLib_NodePipeline::GetInputCount() { return static_cast<int32_t>(ports.size()); }

ImageLib_ComputeNode* ImageLib_NodePipeline::GetInput(int32_t index) { return ports[index]; }

void ImageLib_NodePipeline::SetInput(int32_t index, ImageLib_ComputeNode* node) { ports[index]->SetInput(0, node); }

void ImageLib_NodePipeline::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    outputNode->Compute(output, region);
}

ImageLib_Rect ImageLib_NodePipeline::ComputeBounds() { return outputNode->GetBounds(); }

ImageLib_ComputeNode* ImageLib_NodePipeline::GetOutputNode() { return outputNode; }

void ImageLib_NodePipeline::SetOutputNode(ImageLib_ComputeNode* node) { outputNode = node; }

void ImageLib_Evaluate(ImageLib_ComputeNode& node, ImageLib_ImageAccess& output, const ImageLib_Rect& region,
                       int32_t tileWidth, int32_t tileHeight) {
    const ImageLib_Rect r = ImageLib_Rect::Intersect(ImageLib_Rect::Intersect(region, node.GetBounds()), output.bounds);
    // The output's bounds are finite, so r is too; an empty r needs nothing.
    if (r.IsEmpty()) return;
    const int64_t width = static_cast<int64_t>(r.x1) - r.x0;
    const int64_t height = static_cast<int64_t>(r.y1) - r.y0;
    const int64_t tw = tileWidth >= 1 ? tileWidth : width;
    const int64_t th = tileHeight >= 1 ? tileHeight : height;
    const int64_t tiles = ((width + tw - 1) / tw) * ((height + th - 1) / th);

    ImageLib_ProgressScope progress(static_cast<int32_t>(std::min<int64_t>(tiles + 1, INT32_MAX - 1)));
    progress.Step();
    for (int64_t y = r.y0; y < r.y1; y += th) {
        for (int64_t x = r.x0; x < r.x1; x += tw) {
            const ImageLib_Rect tile{static_cast<int32_t>(x), static_cast<int32_t>(y),
                                     static_cast<int32_t>(std::min<int64_t>(x + tw, r.x1)),
                                     static_cast<int32_t>(std::min<int64_t>(y + th, r.y1)), false};
            if (tile.x0 < tile.x1 && tile.y0 < tile.y1) node.Compute(output, tile);
            progress.Step();
        }
    }
}
