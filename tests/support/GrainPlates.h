// Plates of known grain for the grain engine's tests.
//
// A plate is a picture (flat grey unless given) plus grain made the way the grain model describes
// it: three independent fields of unit white Gaussian noise, mixed per pixel by a 3 x 3 matrix,
// then each output channel convolved with its own Gaussian kernel of unit energy. Because the
// recipe is known, so are the grain's statistics: per-channel variance, correlation between
// channels and power spectrum, which the plate reports from the recipe alone (no measurement).
//
// The noise comes from a seeded generator of this file (splitmix64 and Box-Muller), so a plate is
// the same on every platform and standard library. The kernels are sampled at integer offsets
// up to four deviations along each axis and normalised to unit energy; the plate is computed
// without edge effects (the noise field is larger than the plate by the kernel's radius).
#pragma once

#include "imagelib/core/ImageLib_ComputeNode.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace grainplates {

// A Gaussian kernel with deviations along its own axes, turned by `angle` radians
// (counter-clockwise from the x axis).
struct GaussianShape {
    double sigmaU = 1.0;
    double sigmaV = 1.0;
    double angle = 0.0;
};

struct PlateRecipe {
    int32_t width = 0;
    int32_t height = 0;
    // Picture value of channel c at (x, y); a flat grey when empty.
    std::function<float(int32_t x, int32_t y, uint32_t c)> picture;
    float grey = 0.5f;
    std::array<GaussianShape, 3> shapes{};
    // Row-major: mix[3 * c + i] is the weight of noise field i in channel c. Row norms are the
    // channels' grain deviations.
    std::array<double, 9> mix{};
    uint64_t seed = 1;
};

// A unit-energy kernel, coefficient (dx, dy) at values[(dy + radiusY) * (2 radiusX + 1) + dx + radiusX].
struct PlateKernel {
    int32_t radiusX = 0;
    int32_t radiusY = 0;
    std::vector<double> values;

    double At(int32_t dx, int32_t dy) const;
};

class Plate {
public:
    explicit Plate(const PlateRecipe& recipe);

    const PlateRecipe& Recipe() const { return recipe_; }
    const PlateKernel& Kernel(uint32_t channel) const { return kernels_[channel]; }

    // The picture plus grain at (x, y) in channel c.
    float At(int32_t x, int32_t y, uint32_t c) const;
    // The grain alone.
    float Grain(int32_t x, int32_t y, uint32_t c) const;

    // Statistics of the grain from the recipe.
    double Variance(uint32_t c) const;
    // The share of that variance carried by the mean of a width x height patch, which a
    // measurement about each patch's own mean cannot see: its expected within-patch variance
    // is Variance(c) (1 - PatchMeanShare(c, width, height)).
    double PatchMeanShare(uint32_t c, int32_t width, int32_t height) const;
    double Correlation(uint32_t r, uint32_t s) const;
    // Power per pixel of channel c's grain at frequency (fx, fy) in cycles per pixel; summed over
    // the frequencies of an N-pixel grid and divided by N it gives the variance.
    double Spectrum(uint32_t c, double fx, double fy) const;

    // A new buffer over (0, 0, width, height) holding the plate: every colour channel of the
    // format takes the plate's channel of the same number, alpha (if any) is `alpha`.
    std::unique_ptr<ImageLib_ImageBuffer> MakeBuffer(const ImageLib_PixelFormat& format, float alpha = 1.0f) const;

private:
    double MixProduct(uint32_t r, uint32_t s) const; // (M M^T)(r, s)
    double KernelOverlap(uint32_t r, uint32_t s) const;

    PlateRecipe recipe_;
    std::array<PlateKernel, 3> kernels_;
    std::vector<float> grain_; // width * height * 3, row-major, interleaved
};

// The plate as a source node over (0, 0, width, height), without a buffer of its own: into a
// float output it computes without asking the library for memory. Every colour channel of the
// output takes the plate's channel of the same number, alpha (if any) is 1. The plate must
// outlive the node.
class PlateNode : public ImageLib_ComputeNode {
public:
    explicit PlateNode(const Plate& plate) : plate_(plate) {}
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

private:
    const Plate& plate_;
};

// The mixing matrix with the given deviations per channel and unit-length direction rows.
std::array<double, 9> MixWithStrengths(const std::array<double, 9>& directions,
                                       const std::array<double, 3>& deviations);

} // namespace grainplates
