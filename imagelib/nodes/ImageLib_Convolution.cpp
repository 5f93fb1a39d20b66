#include "ImageLib_Convolution.h"
#include "ImageLib_ConvolutionPasses.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Views.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

namespace ImageLib_Convolution {

namespace {

constexpr int64_t kMinEdge = std::numeric_limits<int32_t>::min();
constexpr int64_t kMaxEdge = std::numeric_limits<int32_t>::max();

int32_t Saturate(int64_t value) {
    return static_cast<int32_t>(value < kMinEdge ? kMinEdge : (value > kMaxEdge ? kMaxEdge : value));
}

// The input rectangle a request needs. Edges beyond the 32-bit plane cannot
// belong to any buffer, so such a request is as impossible as one too large
// to allocate.
ImageLib_Rect Grow(const ImageLib_Rect& region, uint32_t marginX, uint32_t marginY) {
    const int64_t x0 = static_cast<int64_t>(region.x0) - marginX, x1 = static_cast<int64_t>(region.x1) + marginX;
    const int64_t y0 = static_cast<int64_t>(region.y0) - marginY, y1 = static_cast<int64_t>(region.y1) + marginY;
    if (x0 < kMinEdge || y0 < kMinEdge || x1 > kMaxEdge || y1 > kMaxEdge) throw ImageLib_MemoryError();
    return {static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(x1), static_cast<int32_t>(y1),
            false};
}

// Nine taps in tap order while the window slides: each pass loads four new
// samples and yields four outputs, so every sample is loaded once. The sums
// run left to right, which is the plain loop's order.
void SlideNine(const float* k, const float* in, intptr_t step, float* out, intptr_t outStep, int32_t count) {
    const float k0 = k[0], k1 = k[1], k2 = k[2], k3 = k[3], k4 = k[4], k5 = k[5], k6 = k[6], k7 = k[7], k8 = k[8];
    float s0 = in[0], s1 = in[step], s2 = in[2 * step], s3 = in[3 * step];
    float s4 = in[4 * step], s5 = in[5 * step], s6 = in[6 * step], s7 = in[7 * step];
    int32_t n = 0;
    for (; n + 4 <= count; n += 4) {
        const float* next = in + static_cast<intptr_t>(n + 8) * step;
        const float s8 = next[0], s9 = next[step], s10 = next[2 * step], s11 = next[3 * step];
        float* o = out + static_cast<intptr_t>(n) * outStep;
        o[0] = k0 * s0 + k1 * s1 + k2 * s2 + k3 * s3 + k4 * s4 + k5 * s5 + k6 * s6 + k7 * s7 + k8 * s8;
        o[outStep] = k0 * s1 + k1 * s2 + k2 * s3 + k3 * s4 + k4 * s5 + k5 * s6 + k6 * s7 + k7 * s8 + k8 * s9;
        o[2 * outStep] = k0 * s2 + k1 * s3 + k2 * s4 + k3 * s5 + k4 * s6 + k5 * s7 + k6 * s8 + k7 * s9 + k8 * s10;
        o[3 * outStep] = k0 * s3 + k1 * s4 + k2 * s5 + k3 * s6 + k4 * s7 + k5 * s8 + k6 * s9 + k7 * s10 + k8 * s11;
        s0 = s4, s1 = s5, s2 = s6, s3 = s7, s4 = s8, s5 = s9, s6 = s10, s7 = s11;
    }
    for (; n < count; ++n) {
        const float s8 = in[static_cast<intptr_t>(n + 8) * step];
        out[static_cast<intptr_t>(n) * outStep] =
            k0 * s0 + k1 * s1 + k2 * s2 + k3 * s3 + k4 * s4 + k5 * s5 + k6 * s6 + k7 * s7 + k8 * s8;
        s0 = s1, s1 = s2, s2 = s3, s3 = s4, s4 = s5, s5 = s6, s6 = s7, s7 = s8;
    }
}

// Nine taps far apart in memory (down a column). The sum runs in tap order from
// the first product, as in the sliding form, so that the result never depends
// on the strides of the buffers, which change with the tiling.
void StrideNine(const float* k, const float* in, intptr_t step, float* out, intptr_t outStep, int32_t count) {
    const float k0 = k[0], k1 = k[1], k2 = k[2], k3 = k[3], k4 = k[4], k5 = k[5], k6 = k[6], k7 = k[7], k8 = k[8];
    for (int32_t n = 0; n < count; ++n) {
        const float* s = in + static_cast<intptr_t>(n) * step;
        out[static_cast<intptr_t>(n) * outStep] = k0 * s[0] + k1 * s[step] + k2 * s[2 * step] + k3 * s[3 * step] +
                                                  k4 * s[4 * step] + k5 * s[5 * step] + k6 * s[6 * step] +
                                                  k7 * s[7 * step] + k8 * s[8 * step];
    }
}

// `count` outputs `outStep` floats apart; output n correlates the kernel with
// the samples from in + n * step onwards, taps `step` floats apart.
void Correlate(const float* k, uint32_t taps, const float* in, intptr_t step, float* out, intptr_t outStep,
               int32_t count) {
    if (taps == 9) {
        if (step == outStep)
            SlideNine(k, in, step, out, outStep, count);
        else
            StrideNine(k, in, step, out, outStep, count);
        return;
    }
    for (int32_t n = 0; n < count; ++n) {
        const float* s = in + static_cast<intptr_t>(n) * step;
        float sum = 0.0f;
        for (uint32_t i = 0; i < taps; ++i) sum += k[i] * s[static_cast<intptr_t>(i) * step];
        out[static_cast<intptr_t>(n) * outStep] = sum;
    }
}

void HorizontalPass(const Planes& p, const KernelList& kernels, uint32_t taps) {
    if (kernels.size() == 1) {
        const float* k = kernels[0].data();
        ImageLib_ParallelFor(
            p.height,
            [&p, k, taps](int32_t y) {
                for (uint32_t c = 0; c < p.channels; ++c)
                    Correlate(k, taps, p.Source(0, y, c), p.pixel, p.Target(0, y, c), p.pixel, p.width);
            },
            int64_t{p.width} * taps);
        ImageLib_CheckAbort();
        return;
    }
    for (int32_t y = 0; y < p.height; ++y) {
        for (uint32_t c = 0; c < p.channels; ++c) {
            Correlate(kernels[c].data(), taps, p.Source(0, y, c), p.pixel, p.Target(0, y, c), p.pixel, p.width);
            ImageLib_CheckAbort();
        }
    }
}

void VerticalPass(const Planes& p, const KernelList& kernels, uint32_t taps) {
    if (kernels.size() == 1) {
        const float* k = kernels[0].data();
        // The input buffer of width * channels floats per row already fitted
        // under 2 GiB, so the job count fits 32 bits.
        const int32_t jobs = p.width * static_cast<int32_t>(p.channels);
        ImageLib_ParallelFor(
            jobs,
            [&p, k, taps](int32_t job) {
                const int32_t x = job / static_cast<int32_t>(p.channels);
                const uint32_t c = static_cast<uint32_t>(job % static_cast<int32_t>(p.channels));
                Correlate(k, taps, p.Source(x, 0, c), p.sourceRow, p.Target(x, 0, c), p.targetRow, p.height);
            },
            int64_t{p.height} * taps);
        ImageLib_CheckAbort();
        return;
    }
    for (uint32_t c = 0; c < p.channels; ++c) {
        for (int32_t x = 0; x < p.width; ++x)
            Correlate(kernels[c].data(), taps, p.Source(x, 0, c), p.sourceRow, p.Target(x, 0, c), p.targetRow,
                      p.height);
        ImageLib_CheckAbort();
    }
}

float CorrelateWindow(const float* k, uint32_t width, uint32_t height, const float* s, const Planes& p) {
    float sum = 0.0f;
    for (uint32_t j = 0; j < height; ++j) {
        const float* line = s + static_cast<intptr_t>(j) * p.sourceRow;
        const float* taps = k + static_cast<size_t>(j) * width;
        for (uint32_t i = 0; i < width; ++i) sum += taps[i] * line[static_cast<intptr_t>(i) * p.pixel];
    }
    return sum;
}

void TwoDimensionalPass(const Planes& p, const KernelList& kernels, uint32_t width, uint32_t height) {
    const bool shared = kernels.size() == 1;
    for (int32_t y = 0; y < p.height; ++y) {
        if (shared) {
            const float* k = kernels[0].data();
            for (int32_t x = 0; x < p.width; ++x)
                for (uint32_t c = 0; c < p.channels; ++c)
                    *p.Target(x, y, c) = CorrelateWindow(k, width, height, p.Source(x, y, c), p);
        } else {
            for (uint32_t c = 0; c < p.channels; ++c)
                for (int32_t x = 0; x < p.width; ++x)
                    *p.Target(x, y, c) = CorrelateWindow(kernels[c].data(), width, height, p.Source(x, y, c), p);
        }
        ImageLib_CheckAbort();
    }
}

} // namespace

ConvolutionNode::ConvolutionNode(const float* const* kernelData, uint32_t kernelCount, uint32_t kernelWidth,
                                 uint32_t kernelHeight, ImageLib_ComputeNode* node)
    : ImageLib_NodeWithOneInput(node), marginX(kernelWidth >> 1), marginY(kernelHeight >> 1), width(kernelWidth),
      height(kernelHeight) {
    const size_t taps = static_cast<size_t>(kernelWidth) * kernelHeight;
    if (kernelCount == 0 || !kernelData) throw std::invalid_argument("ConvolutionNode needs at least one kernel");
    for (uint32_t i = 0; i < kernelCount; ++i)
        if (taps > 0 && !kernelData[i]) throw std::invalid_argument("ConvolutionNode kernel without coefficients");
    kernels.reserve(kernelCount);
    for (uint32_t i = 0; i < kernelCount; ++i) kernels.emplace_back(kernelData[i], kernelData[i] + taps);
}

ImageLib_Rect ConvolutionNode::ComputeBounds() {
    const ImageLib_Rect bounds = input->GetBounds();
    if (bounds.infinite) return bounds;
    return {Saturate(static_cast<int64_t>(bounds.x0) + marginX), Saturate(static_cast<int64_t>(bounds.y0) + marginY),
            Saturate(static_cast<int64_t>(bounds.x1) - marginX), Saturate(static_cast<int64_t>(bounds.y1) - marginY),
            false};
}

void ConvolutionNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& request) {
    // Clipping to the output also settles an infinite request, which no access can hold.
    const ImageLib_Rect region = ImageLib_Rect::Intersect(request, output.bounds);
    if (region.IsEmpty()) return;
    const uint32_t channels = output.format.channels;
    if (kernels.size() != 1 && kernels.size() < channels)
        throw std::invalid_argument("ConvolutionNode has fewer per-channel kernels than the image has channels");
    const ImageLib_Rect grown = Grow(region, marginX, marginY);

    std::unique_ptr<ImageLib_ImageAccess> view;
    if (output.format.sampleType != ImageLib_SampleFloat) view.reset(ImageLib_MakeFloatView(output));
    ImageLib_ImageAccess& target = view ? *view : output;
    ImageLib_ImageBuffer buffer(target.format, grown);
    input->Compute(buffer, grown);
    ImageLib_MappedRegion in(buffer, grown, ImageLib_AccessMode::Read);
    ImageLib_MappedRegion out(target, region, ImageLib_AccessMode::Write);

    const Planes planes{buffer.rows.first.As<const float>(),
                        buffer.stride / static_cast<intptr_t>(sizeof(float)),
                        target.rows.first.As<float>(),
                        target.stride / static_cast<intptr_t>(sizeof(float)),
                        static_cast<intptr_t>(target.format.bytesPerPixel / sizeof(float)),
                        region.Width(),
                        region.Height(),
                        channels};
    const bool fast = !SimdReference();
    if (height == 1) {
        if (fast && width <= kFastTaps)
            FastHorizontalPasses(planes, kernels, width);
        else
            HorizontalPass(planes, kernels, width);
    } else if (width != 1) {
        TwoDimensionalPass(planes, kernels, width, height);
    } else if (fast) {
        FastVerticalPasses(planes, kernels, height);
    } else {
        VerticalPass(planes, kernels, height);
    }
}

ImageLib_ComputeNode* CreateConvolutionNode(const float* const* kernels, uint32_t kernelCount, uint32_t width,
                                            uint32_t height, ImageLib_ComputeNode* input) {
    return new ConvolutionNode(kernels, kernelCount, width, height, input);
}

} // namespace ImageLib_Convolution
