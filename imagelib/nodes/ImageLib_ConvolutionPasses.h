// Between the convolution node and its vector kernels: the planes a pass
// works on and the fast passes. Internal to the node family.
#pragma once

#include "imagelib/core/ImageLib_Allocator.h"

#include <cstdint>

namespace ImageLib_Convolution {

// One kernel for every channel, or one per channel.
using KernelList = ImageLib_Vector<ImageLib_Vector<float>>;

// The mapped input (over the grown rectangle) and output (over the request),
// addressed in floats from their top-left samples.
struct Planes {
    const float* source;
    intptr_t sourceRow;
    float* target;
    intptr_t targetRow;
    intptr_t pixel;
    int32_t width; // of the request
    int32_t height;
    uint32_t channels;

    const float* Source(int32_t x, int32_t y, uint32_t c) const { return source + y * sourceRow + x * pixel + c; }
    float* Target(int32_t x, int32_t y, uint32_t c) const { return target + y * targetRow + x * pixel + c; }
};

// Longer kernels take the reference loops.
constexpr uint32_t kFastTaps = 1024;

// The one-dimensional passes on the selected vector path, the same bytes as
// the reference loops; per-channel kernels run in slices of rows with a check
// for cancel after each.
void FastHorizontalPasses(const Planes& planes, const KernelList& kernels, uint32_t taps);
void FastVerticalPasses(const Planes& planes, const KernelList& kernels, uint32_t taps);

} // namespace ImageLib_Convolution
