#include "NoiseSampling.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>

namespace {

constexpr int32_t kGridSize = 16;
constexpr int32_t kGridDivisions = 17;
constexpr int32_t kShiftRange = 2;
constexpr int32_t kShiftStep = 3;
constexpr double kDarkest = 0.05;
constexpr double kBrightest = 0.95;

using CandidateList = ImageLib_List<SampleCandidate>;

bool ScoreBefore(const SampleCandidate& a, const SampleCandidate& b) { return a.Score() < b.Score(); }

// The rectangle of the given size at (left, top) when it lies wholly inside `bounds`. Computed in
// 64 bits so that huge layers or samples cannot wrap a coordinate into the layer.
bool RectInside(int64_t left, int64_t top, int32_t width, int32_t height, const ImageLib_Rect& bounds,
                SampleRect& rect) {
    const int64_t right = left + width;
    const int64_t bottom = top + height;
    constexpr int64_t lowest = std::numeric_limits<int32_t>::min();
    constexpr int64_t highest = std::numeric_limits<int32_t>::max();
    if (left < lowest || top < lowest || right > highest || bottom > highest) return false;
    rect = {static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right),
            static_cast<int32_t>(bottom), false};
    return ImageLib_Rect::Intersect(rect, bounds) == rect;
}

// Measures patches of the layer: the layer's values pass a VarianceNode (which sees them before
// clipping) and a clipping node on their way into one buffer of the sample size.
class PatchMeter {
public:
    PatchMeter(ImageLib_ComputeNode& layer, const SampleSelection& selection)
        : variance_(&layer), clipping_(&variance_),
          buffer_(selection.format, {0, 0, selection.sampleWidth, selection.sampleHeight, false}) {}

    void Measure(SampleCandidate& candidate) {
        ImageLib_BasicNodes::TranslateNode patch(candidate.rect.x0, candidate.rect.y0, &clipping_);
        variance_.Reset();
        patch.Compute(buffer_, buffer_.bounds);
        const uint32_t channels = buffer_.format.channels;
        float mean = 0.0f;
        float variance = 0.0f;
        for (uint32_t c = 0; c < channels; ++c) {
            mean += variance_.Mean(c);
            variance += variance_.Variance(c);
        }
        candidate.mean = channels > 0 ? mean / static_cast<float>(channels) : 0.0f;
        candidate.variance = channels > 0 ? variance / static_cast<float>(channels) : 0.0f;
    }

private:
    VarianceNode variance_;
    ImageLib_BasicNodes::FloatClippingNode clipping_;
    ImageLib_ImageBuffer buffer_;
};

void MeasureGrid(const SampleSelection& selection, const ImageLib_Rect& bounds, PatchMeter& meter,
                 CandidateList& candidates) {
    const int64_t stepX = (static_cast<int64_t>(bounds.x1) - bounds.x0 - selection.sampleWidth) / kGridDivisions;
    const int64_t stepY = (static_cast<int64_t>(bounds.y1) - bounds.y0 - selection.sampleHeight) / kGridDivisions;
    ImageLib_ProgressScope progress(kGridSize * kGridSize);
    for (int32_t i = 0; i < kGridSize; ++i) {
        for (int32_t j = 0; j < kGridSize; ++j) {
            SampleCandidate candidate;
            if (RectInside(stepX / 2 + i * stepX, stepY / 2 + j * stepY, selection.sampleWidth, selection.sampleHeight,
                           bounds, candidate.rect)) {
                meter.Measure(candidate);
                candidates.push_back(candidate);
            }
            progress.Step();
        }
    }
}

// Drops patches much darker or brighter than the typical one, and any near black or white.
void FilterBrightness(CandidateList& candidates, SampleSelectionCounts* counts) {
    if (candidates.empty()) return;
    double meanSum = 0.0;
    double varianceSum = 0.0;
    for (const SampleCandidate& candidate : candidates) {
        meanSum += candidate.mean;
        varianceSum += candidate.variance;
    }
    const double count = static_cast<double>(candidates.size());
    const double typical = meanSum / count;
    const double spread = std::sqrt(varianceSum / count);
    const double lower = std::max(kDarkest, typical - 2.0 * spread);
    const double upper = std::min(kBrightest, typical + 2.0 * spread);
    candidates.remove_if([&](const SampleCandidate& candidate) {
        const double mean = candidate.mean;
        const bool dropped = mean < lower || mean > upper;
        if (dropped && counts) ++(mean < kDarkest || mean > kBrightest ? counts->clipped : counts->brightness);
        return dropped;
    });
}

void Refine(SampleCandidate& candidate, const SampleSelection& selection, const ImageLib_Rect& bounds,
            PatchMeter& meter) {
    SampleCandidate best = candidate;
    for (int32_t a = -kShiftRange; a <= kShiftRange; ++a) {
        for (int32_t b = -kShiftRange; b <= kShiftRange; ++b) {
            SampleCandidate shifted;
            if (!RectInside(static_cast<int64_t>(candidate.rect.x0) + kShiftStep * a,
                            static_cast<int64_t>(candidate.rect.y0) + kShiftStep * b, selection.sampleWidth,
                            selection.sampleHeight, bounds, shifted.rect))
                continue;
            meter.Measure(shifted);
            if (shifted.Score() < best.Score()) best = shifted;
        }
    }
    candidate = best;
}

// Adds a row's samples and squares to each channel's sums, one sample after
// the other as they come: the sums are the same whatever the channel count's
// form, only kept in registers when it is known.
inline void Accumulate(const float* sample, int32_t width, uint32_t channels, double* sums, double* squares) {
    for (int32_t x = 0; x < width; ++x) {
        for (uint32_t c = 0; c < channels; ++c, ++sample) {
            const float value = *sample;
            sums[c] += static_cast<double>(value);
            squares[c] += static_cast<double>(value * value);
        }
    }
}

template <uint32_t kChannels> void Accumulate(const float* sample, int32_t width, double* sums, double* squares) {
    double s[kChannels], q[kChannels];
    for (uint32_t c = 0; c < kChannels; ++c) s[c] = sums[c], q[c] = squares[c];
    for (int32_t x = 0; x < width; ++x, sample += kChannels) {
        for (uint32_t c = 0; c < kChannels; ++c) {
            const float value = sample[c];
            s[c] += static_cast<double>(value);
            q[c] += static_cast<double>(value * value);
        }
    }
    for (uint32_t c = 0; c < kChannels; ++c) sums[c] = s[c], squares[c] = q[c];
}

} // namespace

float SampleCandidate::Score() const {
    if (mean == 0.0f || mean == 1.0f) return 1.0f;
    return mean < 0.5f ? variance / mean : variance / (1.0f - mean);
}

ImageLib_Rect VarianceNode::ComputeBounds() { return input->GetBounds(); }

void VarianceNode::Reset() {
    sums.resize(0);
    sumSquares.resize(0);
    counts.resize(0);
}

void VarianceNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    const uint32_t channels = output.format.channels;
    sums.resize(channels, 0.0);
    sumSquares.resize(channels, 0.0);
    counts.resize(channels, 0.0);
    input->Compute(output, region);
    if (region.IsEmpty()) return;
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::Read);
    const int32_t width = region.Width();
    for (const ImageLib_RowIterator& row : mapped.rows()) {
        for (uint32_t c = 0; c < channels; ++c) counts[c] += width;
        switch (channels) {
        case 3:
            Accumulate<3>(row.As<float>(), width, sums.data(), sumSquares.data());
            break;
        case 4:
            Accumulate<4>(row.As<float>(), width, sums.data(), sumSquares.data());
            break;
        default:
            Accumulate(row.As<float>(), width, channels, sums.data(), sumSquares.data());
            break;
        }
    }
}

float VarianceNode::Mean(uint32_t channel) const {
    // The three vectors can differ in length when memory ran out while they were being resized.
    const size_t entries = std::min({sums.size(), sumSquares.size(), counts.size()});
    if (channel >= entries || !(counts[channel] > 0.0)) return 0.0f;
    return static_cast<float>(sums[channel] / counts[channel]);
}

float VarianceNode::Variance(uint32_t channel) const {
    const size_t entries = std::min({sums.size(), sumSquares.size(), counts.size()});
    if (channel >= entries || !(counts[channel] > 0.0)) return 0.0f;
    // The mean enters in the single precision in which `Mean` reports it.
    const double mean = static_cast<float>(sums[channel] / counts[channel]);
    const double variance = (sumSquares[channel] - (2.0 * mean) * sums[channel]) / counts[channel] + mean * mean;
    return variance > 0.0 ? static_cast<float>(variance) : 0.0f;
}

void SelectSamplesAutomatically(const SampleSelection& selection, ImageLib_ComputeNode& layer, SampleSet& samples,
                                SampleSelectionCounts* counts) {
    samples.clear();
    if (counts) *counts = {};
    const ImageLib_Rect bounds = layer.GetBounds();
    // A patch without pixels has no statistics; only the fallback below is left.
    if (selection.sampleWidth > 0 && selection.sampleHeight > 0) {
        PatchMeter meter(layer, selection);
        CandidateList candidates;
        MeasureGrid(selection, bounds, meter, candidates);
        if (counts) counts->candidates = static_cast<int32_t>(candidates.size());
        FilterBrightness(candidates, counts);
        candidates.sort(ScoreBefore);

        const size_t wanted = selection.sampleCount > 0 ? static_cast<size_t>(selection.sampleCount) : 0;
        CandidateList taken;
        auto end = candidates.begin();
        std::advance(end, std::min(wanted, candidates.size()));
        taken.splice(taken.end(), candidates, candidates.begin(), end);

        ImageLib_ProgressScope progress;
        if (!taken.empty()) progress.Begin(static_cast<int32_t>(taken.size()));
        for (SampleCandidate& candidate : taken) {
            Refine(candidate, selection, bounds, meter);
            progress.Step();
        }
        progress.End();
        taken.sort(ScoreBefore);
        for (const SampleCandidate& candidate : taken) samples.push_back(candidate.rect);
    }
    if (samples.empty()) {
        const SampleRect whole{0, 0, selection.sampleWidth, selection.sampleHeight, false};
        samples.push_back(ImageLib_Rect::Intersect(whole, bounds));
    }
    if (counts) counts->chosen = static_cast<int32_t>(samples.size());
}

SampleRect ManualSample(int32_t x, int32_t y, int32_t size, int32_t width, int32_t height) {
    int64_t left = static_cast<int64_t>(x) - size / 2, top = static_cast<int64_t>(y) - size / 2;
    int64_t right = left + size, bottom = top + size;
    auto inside = [&] { return left >= 0 && right - 1 < width && top >= 0 && bottom - 1 < height; };
    if (!inside()) {
        if (right > width) left -= right - width, right = width;
        if (bottom > height) top -= bottom - height, bottom = height;
        if (left < 0) right -= left, left = 0;
        if (top < 0) bottom -= top, top = 0;
        if (!inside()) {
            left = std::max<int64_t>(left, 0), top = std::max<int64_t>(top, 0);
            right = std::min<int64_t>(right, width), bottom = std::min<int64_t>(bottom, height);
        }
    }
    return {static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right),
            static_cast<int32_t>(bottom), false};
}
