#include "GrainPlates.h"

#include "imagelib/core/ImageLib_Views.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace grainplates {

namespace {

class NoiseSource {
public:
    explicit NoiseSource(uint64_t seed) : state_(seed) {}

    // splitmix64: every seed, including 0, gives a full-quality stream.
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // In (0, 1): the logarithm below never sees 0.
    double Uniform() { return (static_cast<double>(Next() >> 11) + 0.5) * (1.0 / 9007199254740992.0); }

    double Gaussian() {
        if (spare_) {
            spare_ = false;
            return saved_;
        }
        const double radius = std::sqrt(-2.0 * std::log(Uniform()));
        const double turn = 2.0 * std::numbers::pi * Uniform();
        saved_ = radius * std::sin(turn);
        spare_ = true;
        return radius * std::cos(turn);
    }

private:
    uint64_t state_;
    bool spare_ = false;
    double saved_ = 0.0;
};

PlateKernel MakeKernel(const GaussianShape& shape) {
    const double c = std::cos(shape.angle), s = std::sin(shape.angle);
    // The extent along x and y of the turned ellipse at four deviations.
    const double extentX = 4.0 * std::hypot(shape.sigmaU * c, shape.sigmaV * s);
    const double extentY = 4.0 * std::hypot(shape.sigmaU * s, shape.sigmaV * c);
    PlateKernel kernel;
    kernel.radiusX = std::max(1, static_cast<int32_t>(std::ceil(extentX)));
    kernel.radiusY = std::max(1, static_cast<int32_t>(std::ceil(extentY)));
    const int32_t w = 2 * kernel.radiusX + 1;
    kernel.values.resize(static_cast<size_t>(w) * (2 * kernel.radiusY + 1));
    double energy = 0.0;
    for (int32_t dy = -kernel.radiusY; dy <= kernel.radiusY; ++dy) {
        for (int32_t dx = -kernel.radiusX; dx <= kernel.radiusX; ++dx) {
            const double u = c * dx + s * dy;
            const double v = -s * dx + c * dy;
            const double value =
                std::exp(-0.5 * (u * u / (shape.sigmaU * shape.sigmaU) + v * v / (shape.sigmaV * shape.sigmaV)));
            kernel.values[static_cast<size_t>(dy + kernel.radiusY) * w + dx + kernel.radiusX] = value;
            energy += value * value;
        }
    }
    for (double& value : kernel.values) value /= std::sqrt(energy);
    return kernel;
}

} // namespace

double PlateKernel::At(int32_t dx, int32_t dy) const {
    if (dx < -radiusX || dx > radiusX || dy < -radiusY || dy > radiusY) return 0.0;
    return values[static_cast<size_t>(dy + radiusY) * (2 * radiusX + 1) + dx + radiusX];
}

Plate::Plate(const PlateRecipe& recipe) : recipe_(recipe) {
    int32_t radiusX = 0, radiusY = 0;
    for (uint32_t c = 0; c < 3; ++c) {
        kernels_[c] = MakeKernel(recipe.shapes[c]);
        radiusX = std::max(radiusX, kernels_[c].radiusX);
        radiusY = std::max(radiusY, kernels_[c].radiusY);
    }
    // Mixed noise over the plate grown by the largest radius, so every grain pixel sees a full kernel.
    const int32_t fieldWidth = recipe.width + 2 * radiusX;
    const int32_t fieldHeight = recipe.height + 2 * radiusY;
    std::vector<double> mixed(static_cast<size_t>(fieldWidth) * fieldHeight * 3);
    NoiseSource noise(recipe.seed);
    for (size_t p = 0; p < mixed.size(); p += 3) {
        double n[3];
        for (double& value : n) value = noise.Gaussian();
        for (uint32_t c = 0; c < 3; ++c)
            mixed[p + c] = recipe.mix[3 * c] * n[0] + recipe.mix[3 * c + 1] * n[1] + recipe.mix[3 * c + 2] * n[2];
    }
    grain_.assign(static_cast<size_t>(recipe.width) * recipe.height * 3, 0.0f);
    std::vector<double> across(static_cast<size_t>(recipe.width) * fieldHeight);
    for (uint32_t c = 0; c < 3; ++c) {
        const PlateKernel& kernel = kernels_[c];
        auto field = [&](int32_t x, int32_t y) { return mixed[(static_cast<size_t>(y) * fieldWidth + x) * 3 + c]; };
        auto store = [&](int32_t x, int32_t y, double value) {
            grain_[(static_cast<size_t>(y) * recipe.width + x) * 3 + c] = static_cast<float>(value);
        };
        if (recipe.shapes[c].angle == 0.0) {
            // An upright Gaussian is the product of a row and a column: two short passes.
            const double centre = kernel.At(0, 0);
            for (int32_t y = 0; y < fieldHeight; ++y)
                for (int32_t x = 0; x < recipe.width; ++x) {
                    double sum = 0.0;
                    for (int32_t dx = -kernel.radiusX; dx <= kernel.radiusX; ++dx)
                        sum += kernel.At(dx, 0) * field(x + radiusX - dx, y);
                    across[static_cast<size_t>(y) * recipe.width + x] = sum;
                }
            for (int32_t y = 0; y < recipe.height; ++y)
                for (int32_t x = 0; x < recipe.width; ++x) {
                    double sum = 0.0;
                    for (int32_t dy = -kernel.radiusY; dy <= kernel.radiusY; ++dy)
                        sum += kernel.At(0, dy) * across[static_cast<size_t>(y + radiusY - dy) * recipe.width + x];
                    store(x, y, sum / centre);
                }
            continue;
        }
        for (int32_t y = 0; y < recipe.height; ++y)
            for (int32_t x = 0; x < recipe.width; ++x) {
                double sum = 0.0;
                for (int32_t dy = -kernel.radiusY; dy <= kernel.radiusY; ++dy)
                    for (int32_t dx = -kernel.radiusX; dx <= kernel.radiusX; ++dx)
                        sum += kernel.At(dx, dy) * field(x + radiusX - dx, y + radiusY - dy);
                store(x, y, sum);
            }
    }
}

float Plate::Grain(int32_t x, int32_t y, uint32_t c) const {
    return grain_[(static_cast<size_t>(y) * recipe_.width + x) * 3 + c];
}

float Plate::At(int32_t x, int32_t y, uint32_t c) const {
    const float picture = recipe_.picture ? recipe_.picture(x, y, c) : recipe_.grey;
    return picture + Grain(x, y, c);
}

double Plate::MixProduct(uint32_t r, uint32_t s) const {
    double sum = 0.0;
    for (uint32_t i = 0; i < 3; ++i) sum += recipe_.mix[3 * r + i] * recipe_.mix[3 * s + i];
    return sum;
}

double Plate::KernelOverlap(uint32_t r, uint32_t s) const {
    const PlateKernel& a = kernels_[r];
    double sum = 0.0;
    for (int32_t dy = -a.radiusY; dy <= a.radiusY; ++dy)
        for (int32_t dx = -a.radiusX; dx <= a.radiusX; ++dx) sum += a.At(dx, dy) * kernels_[s].At(dx, dy);
    return sum;
}

double Plate::Variance(uint32_t c) const { return MixProduct(c, c); }

double Plate::PatchMeanShare(uint32_t c, int32_t width, int32_t height) const {
    // Var(mean) = (1 / N^2) sum over pixel pairs of the autocorrelation at their lag; a lag
    // (tx, ty) occurs (width - |tx|) (height - |ty|) times. The autocorrelation of unit-energy
    // kernels convolved with white noise is the kernel's own autocorrelation.
    const PlateKernel& k = kernels_[c];
    double sum = 0.0;
    for (int32_t ty = -2 * k.radiusY; ty <= 2 * k.radiusY; ++ty) {
        if (std::abs(ty) >= height) continue;
        for (int32_t tx = -2 * k.radiusX; tx <= 2 * k.radiusX; ++tx) {
            if (std::abs(tx) >= width) continue;
            double correlation = 0.0;
            for (int32_t dy = -k.radiusY; dy <= k.radiusY; ++dy)
                for (int32_t dx = -k.radiusX; dx <= k.radiusX; ++dx)
                    correlation += k.At(dx, dy) * k.At(dx + tx, dy + ty);
            sum += correlation * (width - std::abs(tx)) * (height - std::abs(ty));
        }
    }
    const double pixels = static_cast<double>(width) * height;
    return sum / (pixels * pixels);
}

double Plate::Correlation(uint32_t r, uint32_t s) const {
    const double scale = std::sqrt(MixProduct(r, r) * MixProduct(s, s));
    return scale > 0.0 ? MixProduct(r, s) * KernelOverlap(r, s) / scale : 0.0;
}

double Plate::Spectrum(uint32_t c, double fx, double fy) const {
    // The kernels are even, so their transfer function is real.
    const PlateKernel& kernel = kernels_[c];
    double transfer = 0.0;
    for (int32_t dy = -kernel.radiusY; dy <= kernel.radiusY; ++dy)
        for (int32_t dx = -kernel.radiusX; dx <= kernel.radiusX; ++dx)
            transfer += kernel.At(dx, dy) * std::cos(2.0 * std::numbers::pi * (fx * dx + fy * dy));
    return MixProduct(c, c) * transfer * transfer;
}

namespace {

// Writes the plate into the mapped float rows of `view` over `region`.
void WritePixels(const Plate& plate, const ImageLib_ImageAccess& view, const ImageLib_Rect& region, float alpha) {
    const uint32_t channels = view.format.channels;
    const int32_t alphaChannel = view.format.alphaChannel;
    for (int32_t y = region.y0; y < region.y1; ++y) {
        float* pixel = view.rows.Row(y - region.y0).As<float>();
        for (int32_t x = region.x0; x < region.x1; ++x, pixel += channels) {
            uint32_t colour = 0;
            for (uint32_t k = 0; k < channels; ++k)
                pixel[k] = static_cast<int32_t>(k) == alphaChannel ? alpha : plate.At(x, y, std::min(colour++, 2u));
        }
    }
}

} // namespace

std::unique_ptr<ImageLib_ImageBuffer> Plate::MakeBuffer(const ImageLib_PixelFormat& format, float alpha) const {
    auto buffer =
        std::make_unique<ImageLib_ImageBuffer>(format, ImageLib_Rect{0, 0, recipe_.width, recipe_.height, false});
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(*buffer));
    {
        ImageLib_MappedRegion mapped(*view, view->bounds, ImageLib_AccessMode::Write);
        WritePixels(*this, *view, view->bounds, alpha);
    }
    view.reset();
    return buffer;
}

void PlateNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::Write);
    WritePixels(plate_, *view, region, 1.0f);
}

ImageLib_Rect PlateNode::ComputeBounds() { return {0, 0, plate_.Recipe().width, plate_.Recipe().height, false}; }

std::array<double, 9> MixWithStrengths(const std::array<double, 9>& directions,
                                       const std::array<double, 3>& deviations) {
    std::array<double, 9> mix{};
    for (uint32_t c = 0; c < 3; ++c) {
        const double norm =
            std::sqrt(directions[3 * c] * directions[3 * c] + directions[3 * c + 1] * directions[3 * c + 1] +
                      directions[3 * c + 2] * directions[3 * c + 2]);
        for (uint32_t i = 0; i < 3; ++i) mix[3 * c + i] = directions[3 * c + i] * deviations[c] / norm;
    }
    return mix;
}

} // namespace grainplates
