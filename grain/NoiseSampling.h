// Where grain is measured: small square patches of a layer that show grain and as little picture
// detail as possible, away from black and white where grain is clipped.
//
// Contract:
// - `VarianceNode` passes its input through unchanged and accumulates, per channel of the output
//   it is asked to fill, the count, sum and sum of squares of every sample it passes, until
//   `Reset`. The statistics are of the values as computed, before any clipping downstream.
// - `SelectSamplesAutomatically` clears the set, then measures patches of the layer on a 16 x 16
//   grid, drops patches whose brightness is far from the typical one or outside [0.05, 0.95],
//   keeps the `sampleCount` best by score (variance relative to the distance from black or
//   white; lower is better, ties keep grid order), lets each wander by up to 6 pixels in steps of
//   3 to a better place inside the layer, and appends the best of them in score order. When
//   nothing survives it appends the one rectangle (0, 0, width, height) clipped to the layer.
//   It reads only patches that lie inside the layer's bounds.
// - Every container comes from the library allocator; memory, length and abort exceptions pass
//   through with everything temporary released, the set keeping what was appended so far.
#pragma once

#include "imagelib/core/ImageLib_Allocator.h"
#include "imagelib/core/ImageLib_ComputeNode.h"
#include "imagelib/core/ImageLib_PixelFormat.h"
#include "imagelib/core/ImageLib_Rect.h"

#include <array>
#include <cstdint>

// One sample: a rectangle of the layer (never infinite).
using SampleRect = ImageLib_Rect;

// The samples of one layer, in order; the analysis takes the patch size from the first.
using SampleSet = ImageLib_Vector<SampleRect>;

// A measured patch. Statistics are averaged over the colour channels.
struct SampleCandidate {
    SampleRect rect;
    float mean = 0.0f;
    float variance = 0.0f;

    // 1.0 for a mean of exactly 0 or 1, else the variance over the distance of the mean from
    // black (below 0.5) or white.
    float Score() const;
};

class VarianceNode : public ImageLib_NodeWithOneInput {
public:
    explicit VarianceNode(ImageLib_ComputeNode* node) : ImageLib_NodeWithOneInput(node) {}

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    // Forgets everything seen.
    void Reset();
    // Mean and (population) variance of channel c; 0 for a channel never seen.
    float Mean(uint32_t channel) const;
    float Variance(uint32_t channel) const;

private:
    ImageLib_Vector<double> sums;
    ImageLib_Vector<double> sumSquares;
    ImageLib_Vector<double> counts;
};

struct SampleSelection {
    int32_t sampleCount = 0; // N, the most samples wanted
    int32_t sampleWidth = 0;
    int32_t sampleHeight = 0;
    // The layer node's output format (colour channels, no alpha).
    ImageLib_PixelFormat format;
};

// What the automatic selection did with the patches it measured, for reports.
struct SampleSelectionCounts {
    int32_t candidates = 0; // patches measured on the grid
    int32_t clipped = 0;    // dropped as too close to black or white
    int32_t textured = 0;   // dropped for picture structure
    int32_t brightness = 0; // dropped as far from the typical brightness
    int32_t chosen = 0;     // samples delivered
};

void SelectSamplesAutomatically(const SampleSelection& selection, ImageLib_ComputeNode& layer, SampleSet& samples,
                                SampleSelectionCounts* counts = nullptr);

// The refined selection: patches on a grid of half the sample size (coarser on large layers, at
// most 32 x 32 positions), each measured after removing its least-squares plane per channel:
// its variance, the variance of its 4 x 4 block means relative to that (smooth structure raises
// it) and the variance of its neighbour differences relative to twice that (detail coarser or
// finer than the grain moves it); grain at any strength leaves both ratios where they are.
// Patches with more than 1 in 500 samples at black or white (clipped grain) or without grain are
// dropped. The grain's three figures are taken from the quietest tenth, then again, as medians,
// from every patch within a factor of them (ratios 2 and 1.5, variance 4), until the kept set
// settles; the samples are the kept patches whose variance lies nearest the grain's, none
// overlapping another: typical of the grain, not the quietest, and flat even where most of the
// plate is picture. Brightness drops nothing but clipped pixels, so the only flat areas of a
// plate (a bright sky) stay. The fallback is the classic one.
// Samples are windows of kRefinedWindow pixels or the sample size, whichever is larger (as far
// as the layer allows): 24-pixel windows resolve frequency in steps of 1/24 and make coarse
// grain come out finer; 48 measured within a few percent on every plate tried (64 measured
// better on grain alone but drew picture into the samples of real scans).
constexpr int32_t kRefinedWindow = 48;
void SelectSamplesRefined(const SampleSelection& selection, ImageLib_ComputeNode& layer, SampleSet& samples,
                          SampleSelectionCounts* counts = nullptr);

// A window of the refined measurement that holds grain alone, with its level (the mean of its
// least-squares plane) and its variance about that plane, per colour channel.
struct GrainWindow {
    SampleRect rect;
    std::array<float, 3> level{};
    std::array<float, 3> variance{};
};

// Every window of the refined measurement whose texture figures are the grain's, at whatever
// strength: the grain's figures are settled as for the samples, but no variance limit applies,
// so that levels where the grain is much stronger or weaker than the samples' keep their
// windows (the measurement of the grain's response to brightness). Empty when the layer cannot
// be measured or holds no grain.
void FindGrainWindows(const SampleSelection& selection, ImageLib_ComputeNode& layer,
                      ImageLib_Vector<GrainWindow>& windows);

// A manual sample of size x size centred on (x, y), moved inside a width x height layer, or cut
// to it when it is larger than the layer.
SampleRect ManualSample(int32_t x, int32_t y, int32_t size, int32_t width, int32_t height);
