// Centred two-dimensional filter kernels and the arithmetic the grain engine does on them.
//
// Coefficients are stored row-major, row 0 first. The kernel is addressed by offsets
// from its centre: x runs from -(width / 2) to (width - 1) / 2 and y likewise with the
// height, so an even size has one more offset on the negative side than on the positive
// one. Whenever two kernels are combined they are lined up centre on centre and only the
// offsets both have take part; the kernel being changed always keeps its own size.
//
// Sums are accumulated in float in storage order, and every operation follows a fixed
// order of float operations, so results are the same from run to run and build to build.
// Storage comes from the library allocator: a current ImageLib_Context is needed to make,
// copy, stretch or resample a kernel.
#pragma once

#include "ImageLib_Allocator.h"

#include <cstddef>
#include <cstdint>

struct ImageLib_Kernel {
    ImageLib_Vector<float> values;
    uint32_t width = 0;
    uint32_t height = 0;

    ImageLib_Kernel() = default;
    // A kernel of the given size with every coefficient 0.
    ImageLib_Kernel(uint32_t columns, uint32_t rows);

    // Offset ranges, inclusive. For an empty extent Max is one below Min, so loops from
    // Min to Max visit nothing.
    int32_t MinX() const { return -static_cast<int32_t>(width / 2); }
    int32_t MaxX() const { return MinX() + static_cast<int32_t>(width) - 1; }
    int32_t MinY() const { return -static_cast<int32_t>(height / 2); }
    int32_t MaxY() const { return MinY() + static_cast<int32_t>(height) - 1; }

    // Storage index of the coefficient at offset (x, y) from the centre.
    size_t IndexOf(int32_t x, int32_t y) const {
        return static_cast<size_t>((static_cast<int64_t>(height / 2) + y) * static_cast<int64_t>(width) +
                                   static_cast<int64_t>(width / 2) + x);
    }
    float& At(int32_t x, int32_t y) { return values[IndexOf(x, y)]; }
    const float& At(int32_t x, int32_t y) const { return values[IndexOf(x, y)]; }

    float SumOfSquares() const;
    float Sum() const;

    // Brings the sum of squares to 1; a kernel whose sum of squares is 0 is left alone.
    void NormalizeEnergy();
    void Scale(float factor);
    // this(x, y) -= other(x, y) where both have the offset.
    void Subtract(const ImageLib_Kernel& other);

    // A separable Gaussian over the kernel's own size, scaled to sum to 1.
    void MakeGaussian(float sigmaX, float sigmaY);

    // Area-weighted resampling about the centre: a factor above 1 widens the kernel,
    // below 1 narrows it. The total is kept except for what lands beyond the edges.
    void StretchX(float factor);
    void StretchY(float factor);
    // Stretches in both directions, then restores the sum of squares the kernel had.
    void StretchPreservingEnergy(float factorX, float factorY);
    // Replaces the coefficients by those of `source` on the shared offsets (zero
    // elsewhere), then stretches them preserving their energy.
    void ResampleFrom(const ImageLib_Kernel& source, float factorX, float factorY);
};
