// Fresh grain with the statistics of a prepared `GrainModel`, laid onto an image.
//
// `BuildGrainNode` returns a pipeline with one input, the image (colour only,
// one channel per model channel), and one output, the image with grain:
// two seeded Gaussian noise fields, cross-faded by `randBlend` with the
// variance restored, mixed across channels by the colour transform (adjusted
// by saturation, scaled by the per-channel intensities), convolved per channel
// with separable approximations of the kernels, shaped by the response curves
// of the image value, blended onto the image and clipped to 0..1. Every node
// keeps copies of what it needs: the model may die once the pipeline exists.
#pragma once

#include "GrainModel.h"
#include "imagelib/core/ImageLib_Pipeline.h"

namespace Strata_AddGrain {

// Scales the grain (input 0) by each channel's response curve evaluated at the
// image value (input 1): piecewise linear through (0, shadows), (midpoint,
// midtones) and (1, highlights), extended linearly beyond 0 and 1. Channels
// without a curve pass unchanged.
class MultiplierNode : public ImageLib_NodeWithManyInputs {
public:
    // Takes the curves over, leaving the caller's vector empty.
    explicit MultiplierNode(ImageLib_Vector<ImageLib_Vector<float>>& responseCurves);
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override;

    ImageLib_Vector<ImageLib_Vector<float>> curves;
    ImageLib_Vector<float> midpoint;
    ImageLib_Vector<float> lowScale;
    ImageLib_Vector<float> highScale;
};

} // namespace Strata_AddGrain

// For channel c, element 2c is the kernel's row through its origin (width x 1)
// and 2c + 1 its column (1 x height), each of unit energy scaled by the fourth
// root of the kernel's energy, so that their outer product keeps the energy.
// A kernel without energy passes unnormalised.
ImageLib_Vector<ImageLib_Kernel> MakeSeparableKernels(const ImageLib_Vector<ImageLib_Kernel>& kernels);

// The kernels as sums of separable terms from their singular value decomposition, as many (up to
// `maxTerms`) as it takes to leave less than 1e-6 of a kernel's energy out (0.1 dB on its spectrum
// where that holds 1 % of the peak), then scaled back to
// the kernel's energy. Term t of channel c: element 2 (t C + c) is its row (width x 1) and the
// next its column (1 x height), C the number of channels; channels that need fewer terms than
// the most get zero terms. Only +, x, / and square roots: the same bits on every machine.
// Kernels of more than 96 x 96 taps (large Size tweaks) take one term, the best separable fit;
// kernels of more than 512 x 512 taps (extreme Size, Aspect Ratio and Softness) take the row and
// column through their origin instead, as MakeSeparableKernels does.
// A term that would add less than `smallestTerm` of the energy ends the sum: in a measured
// kernel such terms are the estimate's noise (a flat tail of singular values, each a fraction of
// a percent), not the grain's shape, and each costs two convolution passes. Synthesis uses
// kNoiseTerm; 0 keeps every term up to `maxTerms`. Each factor then loses its far taps where
// they hold less than `trimShare` of its energy (kNoiseTaps in synthesis; 0 keeps them all).
constexpr double kNoiseTerm = 0.01;
constexpr double kNoiseTaps = 1e-3;
ImageLib_Vector<ImageLib_Kernel> MakeSeparableTerms(const ImageLib_Vector<ImageLib_Kernel>& kernels, int32_t maxTerms,
                                                    double smallestTerm, double trimShare, int32_t& terms);

// The noise gain that keeps the variance of (1 - b) x + b y at that of one field.
float NoiseBlendGain(float randBlend);

// The channel mix: the colour transform adjusted for saturation, each row
// scaled by the noise gain and its channel's intensity.
ImageLib_Matrix GrainColourMatrix(const GrainModel& model, float noiseGain);

// The caller owns the returned pipeline.
ImageLib_NodePipeline* BuildGrainNode(const GrainModel& model);
