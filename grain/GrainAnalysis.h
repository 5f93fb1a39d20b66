// Measuring the grain of a layer: a spatial kernel per colour channel and the transform that
// correlates the channels, written into a GrainModel.
//
// Contract:
// - `EstimateGrain` reads one patch per sample, all of the first sample's size and each from its
//   own sample's top-left corner. Kernel c is the zero-phase filter whose power spectrum is the
//   patches' average power spectrum of channel c per pixel with the zero-frequency term dropped:
//   it has the first sample's size, its coefficients sum to 0 and its sum of squares is the
//   channel's average variance about each patch's mean. The transform is the row-normalised
//   lower-triangular factor of the channels' covariance (`ColourTransformFromCovariance`), so that
//   unit noise mixed through it and convolved with the kernels has the measured variances and
//   correlations. A one-channel format gives a 1 x 1 transform of 1.0.
// - When nothing can be measured (no samples, a first sample without pixels, or no patch inside
//   the source's bounds) every kernel is a 1 x 1 zero and the transform is all zeros: no grain.
//   Patches that would reach outside the source's bounds are left out of the averages.
// - Only `kernels` and `colourTransform` change, and only when the call succeeds; memory, length
//   and abort exceptions pass through with all working state released.
// - Progress: one scope of (samples + 1) x channels + samples steps.
#pragma once

#include "GrainModel.h"
#include "NoiseSampling.h"

#include "imagelib/core/ImageLib_ComputeNode.h"
#include "imagelib/core/ImageLib_ImageAccess.h"
#include "imagelib/core/ImageLib_Matrix.h"
#include "imagelib/core/ImageLib_PixelFormat.h"

// How a patch is measured. The classic estimate removes only each patch's mean (through the
// dropped zero-frequency term); the refined one removes each channel's least-squares plane
// a + b x + c y from the patch before its spectrum and covariance, so that gentle gradients (a
// sky) are not grain, and gives the spectrum's zero bin and its four axis neighbours, which the
// plane empties, the mean of the four diagonal neighbours where that is more, which gives back
// the energy the plane took (coarse grain keeps its low frequencies and its strength).
struct GrainEstimation {
    bool removePlane = false;
};

// `format` is the source's output format; its colour channels are the channels measured.
void EstimateGrain(const SampleSet& samples, ImageLib_ComputeNode& source, const ImageLib_PixelFormat& format,
                   GrainModel& model, const GrainEstimation& how = {});

// From a channels x channels covariance S (any common positive factor), the lower-triangular L
// with L L^T = S (coefficients below 1e-10 are not divided by; a non-positive remainder on the
// diagonal gives 0), then row r divided by sqrt(Srr), or zeroed when Srr is 0: every row of a
// channel with grain has unit length and row r . row s is the correlation of channels r and s.
void ColourTransformFromCovariance(const ImageLib_Matrix& covariance, ImageLib_Matrix& transform);

// The layer's part of the analysis once the layer is checked out: its colour channels (alpha
// dropped) are measured at the samples into the model. The access must stay valid meanwhile.
void AnalyseGrainLayer(ImageLib_ImageAccess& layer, const SampleSet& samples, GrainModel& model,
                       const GrainEstimation& how = {});

// Removes the least-squares plane from a width x height patch of values (row-major) and returns
// the sum of squares left.
double RemovePlane(float* values, int32_t width, int32_t height);
