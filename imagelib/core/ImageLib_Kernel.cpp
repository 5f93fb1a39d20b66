#include "ImageLib_Kernel.h"

#include "ImageLib_Math.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Area-weighted stretch of one line of coefficients about offset 0. Sample i of the line
// (offset minOffset + i) is at source[i * stride]; the result is added into destination
// with the same layout. Each source sample covers [(o - 0.5) s, (o + 0.5) s] in
// destination positions; the part of it outside the line's cells is dropped, and the rest
// is shared among the cells it covers in proportion to the overlap, divided by s so that
// the weights of one sample add up to 1 when nothing is dropped.
void StretchLine(const float* source, float* destination, int32_t minOffset, int32_t maxOffset, size_t stride,
                 float factor) {
    const float lowEdge = static_cast<float>(minOffset) - 0.5f;
    const float highEdge = static_cast<float>(maxOffset) + 0.5f;
    for (int32_t offset = minOffset; offset <= maxOffset; ++offset) {
        const float lo = std::max((static_cast<float>(offset) - 0.5f) * factor, lowEdge);
        const float hi = std::min((static_cast<float>(offset) + 0.5f) * factor, highEdge);
        if (lo >= hi) continue;
        const float value = source[static_cast<size_t>(offset - minOffset) * stride];
        // Only the cells near [lo, hi] can overlap it; the exact test below decides, so
        // narrowing the walk changes no sum, only the cost of wide kernels.
        const int32_t first = std::max(minOffset, static_cast<int32_t>(std::floor(lo + 0.5f)) - 1);
        const int32_t last = std::min(maxOffset, static_cast<int32_t>(std::ceil(hi - 0.5f)) + 1);
        for (int32_t cell = first; cell <= last; ++cell) {
            const float cellLo = static_cast<float>(cell) - 0.5f;
            const float cellHi = static_cast<float>(cell) + 0.5f;
            if (!(cellHi > lo && cellLo < hi)) continue;
            const float overlap = std::min(cellHi, hi) - std::max(cellLo, lo);
            destination[static_cast<size_t>(cell - minOffset) * stride] += (overlap / factor) * value;
        }
    }
}

} // namespace

namespace {

// Coefficients of a kernel whose byte count stays below 2 GiB, like every buffer of the library.
size_t CoefficientCount(uint32_t columns, uint32_t rows) {
    const uint64_t count = static_cast<uint64_t>(columns) * rows;
    if (count > 0x7FFFFFFFu / sizeof(float)) throw ImageLib_MemoryError();
    return static_cast<size_t>(count);
}

// Stretching a kernel of this many coefficients takes long enough for the user
// to want to stop it; smaller ones finish before a check would matter.
constexpr size_t kCancellableSize = 65536;

} // namespace

ImageLib_Kernel::ImageLib_Kernel(uint32_t columns, uint32_t rows)
    : values(CoefficientCount(columns, rows), 0.0f), width(columns), height(rows) {}

float ImageLib_Kernel::SumOfSquares() const {
    float sum = 0.0f;
    for (float value : values) sum += value * value;
    return sum;
}

float ImageLib_Kernel::Sum() const {
    float sum = 0.0f;
    for (float value : values) sum += value;
    return sum;
}

void ImageLib_Kernel::NormalizeEnergy() {
    const float energy = SumOfSquares();
    if (energy == 0.0f) return;
    Scale(1.0f / std::sqrt(energy));
}

void ImageLib_Kernel::Scale(float factor) {
    for (float& value : values) value *= factor;
}

void ImageLib_Kernel::Subtract(const ImageLib_Kernel& other) {
    const int32_t x0 = std::max(MinX(), other.MinX());
    const int32_t x1 = std::min(MaxX(), other.MaxX());
    const int32_t y0 = std::max(MinY(), other.MinY());
    const int32_t y1 = std::min(MaxY(), other.MaxY());
    for (int32_t y = y0; y <= y1; ++y)
        for (int32_t x = x0; x <= x1; ++x) At(x, y) -= other.At(x, y);
}

void ImageLib_Kernel::MakeGaussian(float sigmaX, float sigmaY) {
    const float inverseX = 1.0f / (sigmaX * sigmaX);
    const float inverseY = 1.0f / (sigmaY * sigmaY);
    for (int32_t y = MinY(); y <= MaxY(); ++y) {
        // Squares are taken in integers so that every offset's distance is exact.
        const float yy = static_cast<float>(static_cast<int64_t>(y) * y);
        for (int32_t x = MinX(); x <= MaxX(); ++x) {
            const float xx = static_cast<float>(static_cast<int64_t>(x) * x);
            At(x, y) = ImageLib_Exp((yy * inverseY + xx * inverseX) * -0.5f);
        }
    }
    Scale(1.0f / Sum());
}

void ImageLib_Kernel::StretchX(float factor) {
    ImageLib_Vector<float> stretched(values.size(), 0.0f);
    const bool cancellable = values.size() >= kCancellableSize;
    for (int32_t y = MinY(); y <= MaxY(); ++y) {
        if (cancellable) ImageLib_CheckAbort();
        const size_t start = IndexOf(MinX(), y);
        StretchLine(values.data() + start, stretched.data() + start, MinX(), MaxX(), 1, factor);
    }
    values = std::move(stretched);
}

void ImageLib_Kernel::StretchY(float factor) {
    ImageLib_Vector<float> stretched(values.size(), 0.0f);
    const bool cancellable = values.size() >= kCancellableSize;
    for (int32_t x = MinX(); x <= MaxX(); ++x) {
        if (cancellable) ImageLib_CheckAbort();
        const size_t start = IndexOf(x, MinY());
        StretchLine(values.data() + start, stretched.data() + start, MinY(), MaxY(), width, factor);
    }
    values = std::move(stretched);
}

void ImageLib_Kernel::StretchPreservingEnergy(float factorX, float factorY) {
    const float energy = SumOfSquares();
    StretchX(factorX);
    StretchY(factorY);
    NormalizeEnergy();
    Scale(std::sqrt(energy));
}

void ImageLib_Kernel::ResampleFrom(const ImageLib_Kernel& source, float factorX, float factorY) {
    // Resampling a kernel from itself copies nothing; clearing first would lose the source.
    if (&source != this) {
        std::fill(values.begin(), values.end(), 0.0f);
        const int32_t x0 = std::max(MinX(), source.MinX());
        const int32_t x1 = std::min(MaxX(), source.MaxX());
        const int32_t y0 = std::max(MinY(), source.MinY());
        const int32_t y1 = std::min(MaxY(), source.MaxY());
        for (int32_t y = y0; y <= y1; ++y)
            for (int32_t x = x0; x <= x1; ++x) At(x, y) = source.At(x, y);
    }
    StretchPreservingEnergy(factorX, factorY);
}
