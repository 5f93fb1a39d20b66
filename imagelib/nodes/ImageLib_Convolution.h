// Filtering with small float kernels: one-dimensional horizontal (height 1),
// one-dimensional vertical (width 1) or two-dimensional.
//
// Kernels are applied as correlation, not reversed: output (x, y) is the sum
// over taps j < height, i < width of k[j * width + i] times
// input(x - marginX + i, y - marginY + j), accumulated in float from 0 in
// increasing tap order (the nine-tap fast path agrees with that sum up to
// rounding). Even sizes reach one tap further before the centre than after it.
//
// One kernel serves every channel; otherwise kernel c serves channel c and
// there must be at least as many kernels as the output has channels, or
// `Compute` throws std::invalid_argument before touching anything.
//
// The input is asked for the request grown by the margins, unclipped, so an
// input that cannot supply pixels beyond its bounds needs an edge-handling node
// in front (ImageLib_Resampling::ReflectionNode). Bounds are the input's shrunk
// by the margins. Shared-kernel one-dimensional passes spread rows or channel
// columns over `Iterate`; the other passes run on the calling thread and check
// for abort between units of work.
#pragma once

#include "imagelib/core/ImageLib_Allocator.h"
#include "imagelib/core/ImageLib_ComputeNode.h"

#include <cstdint>

namespace ImageLib_Convolution {

class ConvolutionNode : public ImageLib_NodeWithOneInput {
public:
    // Copies width * height floats from each of the `kernelCount` pointers;
    // the caller keeps its data. Throws std::invalid_argument when there is no
    // kernel or a pointer is null while the kernel has taps.
    ConvolutionNode(const float* const* kernelData, uint32_t kernelCount, uint32_t kernelWidth, uint32_t kernelHeight,
                    ImageLib_ComputeNode* node);

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

private:
    ImageLib_Vector<ImageLib_Vector<float>> kernels; // copies of the caller's taps
    uint32_t marginX;
    uint32_t marginY;
    uint32_t width;
    uint32_t height;
};

ImageLib_ComputeNode* CreateConvolutionNode(const float* const* kernels, uint32_t kernelCount, uint32_t width,
                                            uint32_t height, ImageLib_ComputeNode* input);

} // namespace ImageLib_Convolution
