// The statistical description of one film grain.
//
// Grain of colour channel c is white noise mixed across channels by `colourTransform` (adjusted by
// `grainSaturation` and scaled per channel by `grainIntensity`), convolved with `kernels[c]`, shaped
// by the response curve `grainResponse[c]` of the image value and combined with the image by
// `blendMode`; `randSeed`, `randSeed2` and `randBlend` choose the noise fields of the frame.
//
// Contract:
// - The grain analysis fills `kernels` (one per colour channel; the sum of squares of a kernel is
//   that channel's grain variance) and `colourTransform` (channels x channels, row r feeding output
//   channel r); the model preparation sets every other field and reshapes the kernels; synthesis
//   only reads the model.
// - A fresh model is all zeros and empty. Its containers take their storage from the library
//   allocator, so a model that holds anything must die while a context is current.
#pragma once

#include "imagelib/core/ImageLib_Allocator.h"
#include "imagelib/core/ImageLib_Kernel.h"
#include "imagelib/core/ImageLib_Matrix.h"

#include <cstdint>

struct GrainModel {
    int32_t randSeed = 0;
    int32_t randSeed2 = 0;
    // Weight of the second noise field, in [0, 1); 0 is the first field alone.
    float randBlend = 0.0f;
    int32_t blendMode = 0;
    ImageLib_Vector<ImageLib_Kernel> kernels;
    ImageLib_Vector<float> blurAmount;
    ImageLib_Matrix colourTransform;
    ImageLib_Vector<float> grainIntensity;
    // 0 grey grain, 1 as measured, 2 independent channels.
    float grainSaturation = 0.0f;
    // Per channel: factor at black, at the midpoint, at white, then the midpoint itself.
    ImageLib_Vector<ImageLib_Vector<float>> grainResponse;
    // How synthesis realises the 2-D kernels: 0 as one separable pass (the row and column through
    // the origin), otherwise as a sum of up to this many separable terms of the kernel's singular
    // value decomposition.
    int32_t kernelTerms = 0;
};
