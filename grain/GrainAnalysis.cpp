#include "GrainAnalysis.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_Fourier.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Kernel.h"
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <utility>

namespace {

constexpr float kTiny = 1e-10f;

// What the analysis is about to write into the model; moved in only once everything succeeded.
struct Estimate {
    ImageLib_Vector<ImageLib_Kernel> kernels;
    ImageLib_Matrix transform;
};

// The patch read for `sample`: the first sample's size at the sample's own corner, when that lies
// inside the source; a source reads its memory wherever it is asked to.
bool PatchInside(const SampleRect& sample, int32_t width, int32_t height, const ImageLib_Rect& bounds,
                 ImageLib_Rect& patch) {
    const int64_t right = static_cast<int64_t>(sample.x0) + width;
    const int64_t bottom = static_cast<int64_t>(sample.y0) + height;
    if (right > std::numeric_limits<int32_t>::max() || bottom > std::numeric_limits<int32_t>::max()) return false;
    patch = {sample.x0, sample.y0, static_cast<int32_t>(right), static_cast<int32_t>(bottom), false};
    return ImageLib_Rect::Intersect(patch, bounds) == patch;
}

class Accumulator {
public:
    Accumulator(ImageLib_ComputeNode& source, const ImageLib_PixelFormat& format, int32_t width, int32_t height,
                const GrainEstimation& how)
        : how_(how), source_(source), channels_(format.colorChannels), firstColour_(format.alphaChannel == 0 ? 1u : 0u),
          width_(width), height_(height), pixels_(static_cast<float>(width) * static_cast<float>(height)),
          buffer_(ImageLib_FloatFormat(format), {0, 0, width, height, false}),
          patch_(static_cast<uint32_t>(width), static_cast<uint32_t>(height)), means_(channels_, 0.0f),
          covariance_(channels_, channels_), patchCovariance_(channels_, channels_) {
        spectra_.reserve(channels_);
        for (uint32_t c = 0; c < channels_; ++c)
            spectra_.emplace_back(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    }

    // Reads the patch with its top-left corner at (left, top) and adds its spectra and covariance.
    void Add(int32_t left, int32_t top, ImageLib_ProgressScope& progress) {
        ImageLib_BasicNodes::TranslateNode translate(left, top, &source_);
        translate.Compute(buffer_, buffer_.bounds);
        if (how_.removePlane) {
            AddDetrended(progress);
            return;
        }
        for (uint32_t c = 0; c < channels_; ++c) {
            float sum = 0.0f;
            {
                ImageLib_MappedRegion mapped(buffer_, buffer_.bounds, ImageLib_AccessMode::Read);
                for (int32_t y = 0; y < height_; ++y) {
                    const float* sample = mapped.rows().Row(y).As<float>() + firstColour_ + c;
                    for (int32_t x = 0; x < width_; ++x, sample += buffer_.format.channels) {
                        patch_.Element(static_cast<uint32_t>(y), static_cast<uint32_t>(x)) = {*sample, 0.0f};
                        sum += *sample;
                    }
                }
            }
            means_[c] = sum / pixels_;
            // The mean stays in the patch: it only reaches the zero-frequency term, dropped later.
            PowerSpectrum(patch_, power_);
            ImageLib_Matrix& spectrum = spectra_[c];
            for (size_t i = 0; i < spectrum.values.size(); ++i) spectrum.values[i] += power_.values[i];
            progress.Step();
        }
        AddCovariance();
        progress.Step();
        ++patches_;
    }

    // The refined measurement: every channel less its plane, for the spectra and the covariance.
    void AddDetrended(ImageLib_ProgressScope& progress) {
        const size_t n = static_cast<size_t>(width_) * static_cast<size_t>(height_);
        residuals_.resize(n * channels_);
        {
            ImageLib_MappedRegion mapped(buffer_, buffer_.bounds, ImageLib_AccessMode::Read);
            for (int32_t y = 0; y < height_; ++y) {
                const float* pixel = mapped.rows().Row(y).As<float>() + firstColour_;
                for (int32_t x = 0; x < width_; ++x, pixel += buffer_.format.channels)
                    for (uint32_t c = 0; c < channels_; ++c)
                        residuals_[c * n + static_cast<size_t>(y) * width_ + x] = pixel[c];
            }
        }
        for (uint32_t c = 0; c < channels_; ++c) {
            float* values = residuals_.data() + c * n;
            RemovePlane(values, width_, height_);
            for (int32_t y = 0; y < height_; ++y)
                for (int32_t x = 0; x < width_; ++x)
                    patch_.Element(static_cast<uint32_t>(y),
                                   static_cast<uint32_t>(x)) = {values[static_cast<size_t>(y) * width_ + x], 0.0f};
            PowerSpectrum(patch_, power_);
            ImageLib_Matrix& spectrum = spectra_[c];
            for (size_t i = 0; i < spectrum.values.size(); ++i) spectrum.values[i] += power_.values[i];
            progress.Step();
        }
        const double scale = 1.0 / static_cast<double>(n);
        for (uint32_t i = 0; i < channels_; ++i)
            for (uint32_t j = 0; j < channels_; ++j) {
                double sum = 0.0;
                for (size_t k = 0; k < n; ++k)
                    sum += static_cast<double>(residuals_[i * n + k]) * residuals_[j * n + k];
                covariance_.Element(i, j) += static_cast<float>(sum * scale);
            }
        progress.Step();
        ++patches_;
    }

    uint32_t Patches() const { return patches_; }

    // Kernel c from the average spectrum per pixel without its zero-frequency term.
    void MakeKernel(uint32_t c, ImageLib_Kernel& kernel) {
        ImageLib_Matrix& spectrum = spectra_[c];
        spectrum.Element(0, 0) = 0.0f;
        // The classic estimate leaves the degree of freedom the mean takes uncorrected; the
        // refined one fills what its plane took (a patch too small for that is corrected for
        // the plane's three degrees of freedom instead).
        const double pixels = static_cast<double>(width_) * height_;
        const bool fill = how_.removePlane && width_ >= 3 && height_ >= 3;
        const double freedom = how_.removePlane && !fill && pixels > 3.0 ? pixels / (pixels - 3.0) : 1.0;
        if (fill) FillPlaneBins(spectrum);
        const float scale = static_cast<float>(freedom / (pixels * patches_));
        for (float& value : spectrum.values) value *= scale;
        KernelFromPowerSpectrum(spectrum, kernel);
    }

    const ImageLib_Matrix& Covariance() const { return covariance_; }

private:
    // The mean and the plane live at zero frequency and, leaking as a ramp does, along the
    // axes next to it: removing them empties those bins, which for coarse grain (whose power
    // peaks there) takes a good part of its energy and makes the kernel finer than the grain.
    // The four diagonal neighbours of zero hold no part of a plane; the emptied bins take their
    // mean where that is more, which gives back what the plane took in place of a correction
    // for its degrees of freedom (right only for white grain).
    static void FillPlaneBins(ImageLib_Matrix& spectrum) {
        const uint32_t w = spectrum.columns, h = spectrum.rows;
        const double diagonal = (static_cast<double>(spectrum.Element(1, 1)) + spectrum.Element(1, w - 1) +
                                 spectrum.Element(h - 1, 1) + spectrum.Element(h - 1, w - 1)) /
                                4.0;
        for (const auto& [y, x] : {std::pair{0u, 0u}, {0u, 1u}, {0u, w - 1}, {1u, 0u}, {h - 1, 0u}})
            spectrum.Element(y, x) = static_cast<float>(std::max<double>(spectrum.Element(y, x), diagonal));
    }

    void AddCovariance() {
        std::fill(patchCovariance_.values.begin(), patchCovariance_.values.end(), 0.0f);
        {
            ImageLib_MappedRegion mapped(buffer_, buffer_.bounds, ImageLib_AccessMode::Read);
            for (int32_t y = 0; y < height_; ++y) {
                const float* pixel = mapped.rows().Row(y).As<float>() + firstColour_;
                for (int32_t x = 0; x < width_; ++x, pixel += buffer_.format.channels)
                    for (uint32_t i = 0; i < channels_; ++i)
                        for (uint32_t j = 0; j < channels_; ++j)
                            patchCovariance_.Element(i, j) += (pixel[i] - means_[i]) * (pixel[j] - means_[j]);
            }
        }
        const float scale = 1.0f / pixels_;
        for (size_t i = 0; i < covariance_.values.size(); ++i)
            covariance_.values[i] += patchCovariance_.values[i] * scale;
    }

    const GrainEstimation how_;
    ImageLib_ComputeNode& source_;
    const uint32_t channels_;
    const uint32_t firstColour_;
    const int32_t width_;
    const int32_t height_;
    const float pixels_;
    ImageLib_ImageBuffer buffer_;
    ImageLib_ComplexMatrix patch_;
    ImageLib_Matrix power_;
    ImageLib_Vector<float> means_;
    ImageLib_Vector<ImageLib_Matrix> spectra_;
    ImageLib_Matrix covariance_;
    ImageLib_Matrix patchCovariance_;
    ImageLib_Vector<float> residuals_; // refined: each channel's plane-free patch, channel after channel
    uint32_t patches_ = 0;
};

void NothingMeasured(uint32_t channels, Estimate& estimate, ImageLib_ProgressScope& progress) {
    estimate.kernels.clear();
    for (uint32_t c = 0; c < channels; ++c) {
        estimate.kernels.emplace_back(1u, 1u);
        progress.Step();
    }
    estimate.transform.Reset(channels, channels);
}

} // namespace

void ColourTransformFromCovariance(const ImageLib_Matrix& covariance, ImageLib_Matrix& transform) {
    const uint32_t n = std::min(covariance.columns, covariance.rows);
    ImageLib_Matrix factor(n, n);
    if (n == 1) {
        factor.Element(0, 0) = 1.0f;
        transform = std::move(factor);
        return;
    }
    for (uint32_t j = 0; j < n; ++j) {
        float remainder = covariance.Element(j, j);
        for (uint32_t k = 0; k < j; ++k) remainder -= factor.Element(j, k) * factor.Element(j, k);
        const float diagonal = remainder > 0.0f ? std::sqrt(remainder) : 0.0f;
        factor.Element(j, j) = diagonal;
        for (uint32_t i = j + 1; i < n; ++i) {
            // The very first coefficient is guarded by the variance itself, every other one by
            // the diagonal coefficient it is divided by.
            const bool divisible = (i == 1 && j == 0) ? covariance.Element(0, 0) > kTiny : diagonal > kTiny;
            if (!divisible) continue;
            float value = covariance.Element(j, i);
            for (uint32_t k = 0; k < j; ++k) value -= factor.Element(i, k) * factor.Element(j, k);
            factor.Element(i, j) = value / diagonal;
        }
    }
    // Each output channel is its own kernel (which carries the channel's variance) applied to one
    // row of this matrix times unit noise, so every row must have unit length: dividing row r by
    // its channel's deviation leaves the correlations, whatever the channels' strengths.
    for (uint32_t r = 0; r < n; ++r) {
        const float variance = covariance.Element(r, r);
        const float deviation = variance > 0.0f ? std::sqrt(variance) : 0.0f;
        for (uint32_t c = 0; c < n; ++c)
            factor.Element(r, c) = variance > 0.0f ? factor.Element(r, c) / deviation : 0.0f;
    }
    transform = std::move(factor);
}

double RemovePlane(float* values, int32_t width, int32_t height) {
    // Centred coordinates make the three fits independent.
    const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
    double sum = 0.0, sx = 0.0, sy = 0.0, xx = 0.0, yy = 0.0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const double v = values[static_cast<size_t>(y) * width + x];
            sum += v;
            sx += v * (x - cx);
            sy += v * (y - cy);
        }
    for (int32_t x = 0; x < width; ++x) xx += (x - cx) * (x - cx);
    for (int32_t y = 0; y < height; ++y) yy += (y - cy) * (y - cy);
    const double n = static_cast<double>(width) * height;
    const double a = sum / n, b = xx > 0.0 ? sx / (xx * height) : 0.0, c = yy > 0.0 ? sy / (yy * width) : 0.0;
    double squares = 0.0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            float& v = values[static_cast<size_t>(y) * width + x];
            v = static_cast<float>(v - (a + b * (x - cx) + c * (y - cy)));
            squares += static_cast<double>(v) * v;
        }
    return squares;
}

void EstimateGrain(const SampleSet& samples, ImageLib_ComputeNode& source, const ImageLib_PixelFormat& format,
                   GrainModel& model, const GrainEstimation& how) {
    const uint32_t channels = format.colorChannels;
    const uint64_t count = samples.size();
    const uint64_t steps = (count + 1) * channels + count;
    ImageLib_ProgressScope progress(static_cast<int32_t>(std::min<uint64_t>(steps, INT32_MAX)));

    Estimate estimate;
    const int32_t width = count > 0 ? samples[0].Width() : 0;
    const int32_t height = count > 0 ? samples[0].Height() : 0;
    if (width <= 0 || height <= 0) {
        NothingMeasured(channels, estimate, progress);
    } else {
        Accumulator accumulator(source, format, width, height, how);
        const ImageLib_Rect bounds = source.GetBounds();
        for (const SampleRect& sample : samples) {
            ImageLib_Rect patch;
            if (PatchInside(sample, width, height, bounds, patch)) {
                accumulator.Add(patch.x0, patch.y0, progress);
            } else {
                for (uint32_t c = 0; c <= channels; ++c) progress.Step();
            }
        }
        if (accumulator.Patches() == 0) {
            NothingMeasured(channels, estimate, progress);
        } else {
            estimate.kernels.resize(channels);
            for (uint32_t c = 0; c < channels; ++c) {
                accumulator.MakeKernel(c, estimate.kernels[c]);
                progress.Step();
            }
            ColourTransformFromCovariance(accumulator.Covariance(), estimate.transform);
        }
    }
    model.kernels = std::move(estimate.kernels);
    model.colourTransform = std::move(estimate.transform);
    progress.End();
}

void AnalyseGrainLayer(ImageLib_ImageAccess& layer, const SampleSet& samples, GrainModel& model,
                       const GrainEstimation& how) {
    ImageLib_NodePipeline pipeline(0);
    ImageLib_ComputeNode* colour = pipeline.Own(ImageLib_BasicNodes::CreateImageNode(&layer));
    if (layer.format.alphaChannel >= 0)
        colour = pipeline.Own(ImageLib_Alpha::CreateDropAlphaNode(colour, layer.format.alphaChannel == 0));
    pipeline.SetOutputNode(colour);
    EstimateGrain(samples, pipeline, ImageLib_Alpha::FormatWithAlphaRemoved(layer.format), model, how);
}
