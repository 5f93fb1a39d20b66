#include "NoiseSampling.h"

#include "GrainAnalysis.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Paths.h"
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

namespace {

struct RefinedCandidate {
    SampleRect rect;
    double variance = 0.0;  // plane-detrended, mean over channels
    double structure = 0.0; // variance of block means over pixel variance, mean over channels
    double gradient = 0.0;  // variance of neighbour differences over twice the pixel variance, mean over channels
    bool usable = true;     // no clipped pixel, some grain
    std::array<float, 3> level{}, channelVariance{}; // per colour channel: the plane's mean, the variance about it
};

constexpr int32_t kMostGridSteps = 24;
constexpr int32_t kBlocks = 4;           // per side of a patch, for the structure ratio
constexpr double kStructureFactor = 2.0; // above this many times the grain's ratio: picture
constexpr double kVarianceFactor = 4.0;  // above this many times the grain's variance: picture
constexpr double kGradientFactor = 1.5;  // a gradient ratio this many times the grain's, or less: picture
constexpr double kStartShare = 0.1;      // the grain's first estimates: the quietest tenth
constexpr int32_t kMostRounds = 32;
constexpr float kClipped = 1.0f / 65536.0f; // this near black or white, grain was cut off
constexpr int32_t kMostClipped = 500;       // a patch with more than 1 in this many samples clipped is dropped

// Sums in eight fixed lanes (value i goes to lane i % 8, lanes added in order at the end): the
// compiler can keep the lanes in vector registers, and the result is the same bit for bit on
// every machine, whatever vectors it has, so a plate selects the same samples everywhere.
constexpr int32_t kLanes = 8;
struct Lanes {
    float lane[kLanes] = {};

    void Add(const float* values, int32_t count) {
        int32_t i = 0;
        for (; i + kLanes <= count; i += kLanes)
            for (int32_t l = 0; l < kLanes; ++l) lane[l] += values[i + l];
        for (; i < count; ++i) lane[i % kLanes] += values[i];
    }
    void AddProducts(const float* values, const float* weights, int32_t count) {
        int32_t i = 0;
        for (; i + kLanes <= count; i += kLanes)
            for (int32_t l = 0; l < kLanes; ++l) lane[l] += values[i + l] * weights[i + l];
        for (; i < count; ++i) lane[i % kLanes] += values[i] * weights[i];
    }
    double Total() const {
        double total = 0.0;
        for (float value : lane) total += value;
        return total;
    }
};

// Per-window scratch rows, allocated once per selection.
struct MeasureRows {
    ImageLib_Vector<float> values, previous, offsets, differences, columns;
    explicit MeasureRows(int32_t size) {
        for (ImageLib_Vector<float>* row : {&values, &previous, &offsets, &differences, &columns})
            row->resize(static_cast<size_t>(size));
        for (int32_t x = 0; x < size; ++x) offsets[static_cast<size_t>(x)] = static_cast<float>(x - (size - 1) / 2.0);
    }
};

// Measures one patch of `strip` (rows `rowFloats` floats apart, `channels` interleaved) whose
// top-left is at column `left`: per channel, its variance about its least-squares plane, the
// variance of its block means about the plane and the variance of its neighbour differences.
// Values are taken relative to the patch's first, so that float sums lose nothing to the level.
[[gnu::always_inline]] inline void MeasureRefinedBody(const float* strip, intptr_t rowFloats, uint32_t channels,
                                                      int32_t left, int32_t size, MeasureRows& rows,
                                                      RefinedCandidate& candidate) {
    const double n = static_cast<double>(size) * size;
    const int32_t block = std::max(1, size / kBlocks);
    const int32_t blocks = std::min(size / block, kBlocks);
    const double centre = (size - 1) / 2.0;
    double line = 0.0; // sum of squared offsets along one axis
    for (int32_t i = 0; i < size; ++i) line += (i - centre) * (i - centre);
    // A bright sky's grain touches white now and then; only patches where it is cut off
    // noticeably are dropped.
    size_t clipped = 0;
    const size_t clippedAllowed = static_cast<size_t>(n) * channels / kMostClipped;
    float* values = rows.values.data();
    float* previous = rows.previous.data();
    float* differences = rows.differences.data();
    float* columns = rows.columns.data();
    for (uint32_t c = 0; c < channels; ++c) {
        const float* first = strip + static_cast<intptr_t>(left) * channels + c;
        const float reference = *first;
        Lanes sum, sumX, squares, across, acrossSquares, down, downSquares;
        double sumY = 0.0;
        double blockSums[kBlocks * kBlocks] = {};
        std::fill(columns, columns + size, 0.0f);
        for (int32_t y = 0; y < size; ++y) {
            const float* row = first + y * rowFloats;
            int32_t clippedInRow = 0;
            for (int32_t x = 0; x < size; ++x) {
                const float v = row[static_cast<size_t>(x) * channels];
                clippedInRow += !(v > kClipped && v < 1.0f - kClipped);
                values[x] = v - reference;
            }
            clipped += static_cast<size_t>(clippedInRow);
            Lanes rowSum;
            rowSum.Add(values, size);
            const double rowTotal = rowSum.Total();
            for (int32_t l = 0; l < kLanes; ++l) sum.lane[l] += rowSum.lane[l];
            sumY += rowTotal * (y - centre);
            sumX.AddProducts(values, rows.offsets.data(), size);
            squares.AddProducts(values, values, size);
            for (int32_t x = 0; x + 1 < size; ++x) differences[x] = values[x + 1] - values[x];
            across.Add(differences, size - 1);
            acrossSquares.AddProducts(differences, differences, size - 1);
            if (y > 0) {
                for (int32_t x = 0; x < size; ++x) differences[x] = values[x] - previous[x];
                down.Add(differences, size);
                downSquares.AddProducts(differences, differences, size);
            }
            for (int32_t x = 0; x < size; ++x) columns[x] += values[x];
            if ((y + 1) % block == 0 && y / block < blocks) {
                for (int32_t bx = 0; bx < blocks; ++bx)
                    for (int32_t x = bx * block; x < (bx + 1) * block; ++x)
                        blockSums[(y / block) * kBlocks + bx] += columns[x];
                std::fill(columns, columns + size, 0.0f);
            }
            std::swap(values, previous);
        }
        if (clipped > clippedAllowed) {
            candidate.usable = false;
            return;
        }
        const double total = sum.Total(), totalX = sumX.Total();
        const double a = total / n, b = totalX / (line * size), d = sumY / (line * size);
        const double variance = (squares.Total() - n * a * a - b * totalX - d * sumY) / (n - 3.0);
        if (!(variance > 0.0)) {
            candidate.usable = false;
            return;
        }
        double blockVariance = 0.0;
        for (int32_t by = 0; by < blocks; ++by)
            for (int32_t bx = 0; bx < blocks; ++bx) {
                const double cx = bx * block + (block - 1) / 2.0 - centre, cy = by * block + (block - 1) / 2.0 - centre;
                const double mean =
                    blockSums[by * kBlocks + bx] / (static_cast<double>(block) * block) - (a + b * cx + d * cy);
                blockVariance += mean * mean;
            }
        const double pairs = static_cast<double>(size - 1) * size;
        const double acrossTotal = across.Total(), downTotal = down.Total();
        const double neighbours = (acrossSquares.Total() - acrossTotal * acrossTotal / pairs + downSquares.Total() -
                                   downTotal * downTotal / pairs) /
                                  (2.0 * pairs);
        candidate.gradient += neighbours / (2.0 * variance) / channels;
        candidate.variance += variance / channels;
        if (c < 3) {
            candidate.level[c] = static_cast<float>(reference + a);
            candidate.channelVariance[c] = static_cast<float>(variance);
        }
        candidate.structure += blockVariance / (static_cast<double>(blocks) * blocks) / variance / channels;
    }
}

// The same arithmetic, lane for lane, with 256-bit vectors where the machine has them.
using MeasureFunction = void (*)(const float*, intptr_t, uint32_t, int32_t, int32_t, MeasureRows&, RefinedCandidate&);
#if SIMD_X86
SIMD_TARGET_AVX2 void MeasureRefinedAvx2(const float* strip, intptr_t rowFloats, uint32_t channels, int32_t left,
                                         int32_t size, MeasureRows& rows, RefinedCandidate& candidate) {
    MeasureRefinedBody(strip, rowFloats, channels, left, size, rows, candidate);
}
#endif
void MeasureRefinedPortable(const float* strip, intptr_t rowFloats, uint32_t channels, int32_t left, int32_t size,
                            MeasureRows& rows, RefinedCandidate& candidate) {
    MeasureRefinedBody(strip, rowFloats, channels, left, size, rows, candidate);
}

MeasureFunction SelectMeasure() {
#if SIMD_X86
    // AVX-512 gains nothing on rows this short.
    constexpr MeasureFunction kByPath[kSimdPathCount] = {&MeasureRefinedPortable, &MeasureRefinedPortable,
                                                         &MeasureRefinedAvx2, &MeasureRefinedAvx2};
    return kByPath[static_cast<int32_t>(SelectedSimdPath())];
#else
    return &MeasureRefinedPortable;
#endif
}

double Median(ImageLib_Vector<double> values) {
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

} // namespace

namespace {

// The window of the refined measurement: kRefinedWindow or the sample size, whichever is larger,
// as far as the layer allows; 0 when nothing can be measured.
int32_t RefinedWindowSize(const SampleSelection& selection, const ImageLib_Rect& bounds) {
    const int32_t room = bounds.infinite ? kRefinedWindow : std::min(bounds.Width(), bounds.Height());
    const int32_t size = std::max(selection.sampleWidth, std::min(kRefinedWindow, room));
    const bool measurable = selection.sampleWidth > 0 && selection.sampleHeight == selection.sampleWidth &&
                            !bounds.infinite && bounds.Width() >= size && bounds.Height() >= size;
    return measurable ? size : 0;
}

// Measures every window of the grid; those with clipped grain or none are left out.
void ScanWindows(const SampleSelection& selection, ImageLib_ComputeNode& layer, int32_t size,
                 ImageLib_Vector<RefinedCandidate>& usable, SampleSelectionCounts* counts) {
    const ImageLib_Rect bounds = layer.GetBounds();
    const uint32_t channels = selection.format.channels;
    const auto step = [&](int32_t extent) {
        return std::max<int64_t>(std::max(size / 2, 1), (static_cast<int64_t>(extent) - size) / kMostGridSteps + 1);
    };
    const int64_t stepX = step(bounds.Width()), stepY = step(bounds.Height());
    ImageLib_ImageBuffer strip(ImageLib_FloatFormat(selection.format), {bounds.x0, 0, bounds.x1, size, false});
    const int64_t rows = (static_cast<int64_t>(bounds.Height()) - size) / stepY + 1;
    ImageLib_ProgressScope progress(static_cast<int32_t>(std::min<int64_t>(rows, INT32_MAX)));
    MeasureRows scratch(size);
    const MeasureFunction measure = SelectMeasure();
    for (int64_t top = bounds.y0; top + size <= bounds.y1; top += stepY) {
        ImageLib_BasicNodes::TranslateNode down(0, static_cast<int32_t>(top), &layer);
        down.Compute(strip, strip.bounds);
        ImageLib_MappedRegion mapped(strip, strip.bounds, ImageLib_AccessMode::Read);
        const float* first = mapped.rows().Row(0).As<float>();
        const intptr_t stride = strip.stride / static_cast<intptr_t>(sizeof(float));
        for (int64_t left = bounds.x0; left + size <= bounds.x1; left += stepX) {
            RefinedCandidate candidate;
            candidate.rect = {static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(left + size),
                              static_cast<int32_t>(top + size), false};
            measure(first, stride, channels, static_cast<int32_t>(left - bounds.x0), size, scratch, candidate);
            if (counts) ++counts->candidates;
            if (candidate.usable)
                usable.push_back(candidate);
            else if (counts)
                ++counts->clipped;
        }
        progress.Step();
    }
}

struct GrainFigures {
    double variance = 0.0, structure = 0.0, gradient = 0.0;
    bool HasTexture(const RefinedCandidate& c) const {
        return c.structure > kStructureFactor * structure || c.gradient * kGradientFactor < gradient ||
               c.gradient > kGradientFactor * gradient;
    }
};

// The grain's own statistics come from the flattest windows, found the way the weak-texture
// patch selection of Liu, Tanaka and Okutomi finds them: start from the quietest tenth, keep
// every window within a factor of the current estimates, take the estimates anew from what was
// kept, until nothing changes. Grain at any strength keeps its shape, so its block-mean share
// and its neighbour-difference ratio stay put while picture detail moves them (smooth shading
// raises the first, detail coarser or finer than the grain lowers or raises the second); the
// variance limit only catches detail that mimics both. However much of the plate is picture
// the loop settles on the grain's cluster. `usable` ends sorted by variance.
GrainFigures SettleOnGrain(ImageLib_Vector<RefinedCandidate>& usable, ImageLib_Vector<RefinedCandidate>& flat) {
    std::stable_sort(usable.begin(), usable.end(),
                     [](const RefinedCandidate& a, const RefinedCandidate& b) { return a.variance < b.variance; });
    ImageLib_Vector<RefinedCandidate> next;
    const auto start = static_cast<ptrdiff_t>(std::ceil(kStartShare * static_cast<double>(usable.size())));
    flat.assign(usable.begin(), usable.begin() + start);
    GrainFigures figures;
    for (int32_t round = 0; round < kMostRounds && !flat.empty(); ++round) {
        ImageLib_Vector<double> variances, ratios, gradients;
        for (const RefinedCandidate& c : flat) {
            variances.push_back(c.variance);
            ratios.push_back(c.structure);
            gradients.push_back(c.gradient);
        }
        figures = {Median(variances), Median(ratios), Median(gradients)};
        next.clear();
        for (const RefinedCandidate& c : usable)
            if (!figures.HasTexture(c) && c.variance <= kVarianceFactor * figures.variance) next.push_back(c);
        const bool settled = std::equal(next.begin(), next.end(), flat.begin(), flat.end(),
                                        [](const RefinedCandidate& a, const RefinedCandidate& b) {
                                            return a.rect.x0 == b.rect.x0 && a.rect.y0 == b.rect.y0;
                                        });
        if (next.empty() || settled) break;
        std::swap(flat, next);
    }
    return figures;
}

} // namespace

void SelectSamplesRefined(const SampleSelection& selection, ImageLib_ComputeNode& layer, SampleSet& samples,
                          SampleSelectionCounts* counts) {
    samples.clear();
    if (counts) *counts = {};
    const ImageLib_Rect bounds = layer.GetBounds();
    if (const int32_t size = RefinedWindowSize(selection, bounds)) {
        ImageLib_Vector<RefinedCandidate> usable, flat;
        ScanWindows(selection, layer, size, usable, counts);
        const double centre = SettleOnGrain(usable, flat).variance;
        if (counts) counts->textured = static_cast<int32_t>(usable.size() - flat.size());
        std::stable_sort(flat.begin(), flat.end(), [centre](const RefinedCandidate& a, const RefinedCandidate& b) {
            return std::fabs(a.variance - centre) < std::fabs(b.variance - centre);
        });
        for (const RefinedCandidate& c : flat) {
            if (static_cast<int32_t>(samples.size()) >= selection.sampleCount) break;
            const bool overlaps = std::any_of(samples.begin(), samples.end(), [&](const SampleRect& taken) {
                return !ImageLib_Rect::Intersect(taken, c.rect).IsEmpty();
            });
            if (!overlaps) samples.push_back(c.rect);
        }
    }
    if (samples.empty()) {
        const SampleRect whole{0, 0, selection.sampleWidth, selection.sampleHeight, false};
        samples.push_back(ImageLib_Rect::Intersect(whole, bounds));
    }
    if (counts) counts->chosen = static_cast<int32_t>(samples.size());
}

void FindGrainWindows(const SampleSelection& selection, ImageLib_ComputeNode& layer,
                      ImageLib_Vector<GrainWindow>& windows) {
    windows.clear();
    const int32_t size = RefinedWindowSize(selection, layer.GetBounds());
    if (size == 0) return;
    ImageLib_Vector<RefinedCandidate> usable, flat;
    ScanWindows(selection, layer, size, usable, nullptr);
    const GrainFigures figures = SettleOnGrain(usable, flat);
    if (flat.empty()) return;
    for (const RefinedCandidate& c : usable)
        if (!figures.HasTexture(c)) windows.push_back({c.rect, c.level, c.channelVariance});
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
