// Logical parameter numbers. They are fixed for the life of the product: the
// host stores them as each parameter's identifier, so stored projects depend on
// them. Host indices exist only inside the catalogue (ParamCatalogue.h).
#pragma once

#include <cstdint>

enum class ParamId : int32_t {
    InputLayer = 0,
    NumberOfSamples = 10,
    SampleSize = 11,
    NoiseSourceLayer = 13,
    PreviewCenter = 14,
    PreviewWidth = 15,
    PreviewHeight = 16,
    RandomSeed = 17,
    SampleSelection = 18,
    ViewingMode = 2,
    Saturation = 20,
    Intensity = 21,
    RedIntensity = 22,
    GreenIntensity = 23,
    BlueIntensity = 24,
    TintColor = 25,
    BlendingMode = 29,
    Monochromatic = 31,
    NoiseSamplePoint1 = 50,        // to 59
    CompensationSamplePoint1 = 70, // to 79
    TintAmount = 114,
    BoxColor = 115,
    ShowBox = 117,
    CompensateForExistingNoise = 118,
    Size = 119,
    AspectRatio = 120,
    RedSize = 122,
    GreenSize = 123,
    BlueSize = 124,
    Shadows = 128,
    Midtones = 129,
    Highlights = 130,
    Midpoint = 131,
    RedShadows = 132,
    RedMidtones = 133,
    RedHighlights = 134,
    GreenShadows = 135,
    GreenMidtones = 136,
    GreenHighlights = 137,
    BlueShadows = 138,
    BlueMidtones = 139,
    BlueHighlights = 140,
    SourceFrame = 141,
    SampleBoxColor = 142,
    BlendAmount = 143,
    MatchingColor = 144,
    MatchingTolerance = 145,
    MatchingSoftness = 146,
    MatchColorUsing = 147,
    InvertMatch = 148,
    BlurMatte = 149,
    MaskLayer = 150,
    IfMaskSizeDiffers = 151,
    MaskingMode = 152,
    CombineMatchAndMask = 153,
    AnimateSmoothly = 154,
    AnimationSpeed = 155,
    PreviewRegionGroup = 200,
    PreviewRegionGroupEnd = 201,
    SamplingGroup = 202,
    SamplingGroupEnd = 203,
    TweakingGroup = 204,
    TweakingGroupEnd = 205,
    ChannelIntensitiesGroup = 206,
    ChannelIntensitiesGroupEnd = 207,
    ChannelBalanceGroup = 210,
    ChannelBalanceGroupEnd = 211,
    NoiseSamplePointsGroup = 212,
    NoiseSamplePointsGroupEnd = 213,
    CompensationSamplePointsGroup = 214,
    CompensationSamplePointsGroupEnd = 215,
    ApplicationGroup = 216,
    ApplicationGroupEnd = 217,
    BlendWithOriginalGroup = 218,
    BlendWithOriginalGroupEnd = 219,
    ChannelSizeGroup = 220,
    ChannelSizeGroupEnd = 221,
    AnimationGroup = 224,
    AnimationGroupEnd = 225,
    ColorGroup = 226,
    ColorGroupEnd = 227,
    ColorMatchingGroup = 228,
    ColorMatchingGroupEnd = 229,
    MaskingLayerGroup = 230,
    MaskingLayerGroupEnd = 231,
    Softness = 232,
    Estimator = 156,           // appended after every other parameter in every host order
    FitResponseToSource = 157, // appended after Estimator
    ParamCount = 255,          // slot of the number of host parameters, input layer included
};

constexpr int32_t kSamplePointCount = 10;

// Noise or compensation sample point `i`, counted from 0.
constexpr ParamId NoiseSamplePoint(int32_t i) { return static_cast<ParamId>(50 + i); }
constexpr ParamId CompensationSamplePoint(int32_t i) { return static_cast<ParamId>(70 + i); }

// Values of the popups, 1-based as the host stores them.
enum ViewingModeValue : int32_t {
    kViewPreview = 1,
    kViewNoiseSamples = 2,
    kViewCompensationSamples = 3,
    kViewBlendingMatte = 4,
    kViewFinalOutput = 5,
};
enum SampleSelectionValue : int32_t { kSelectAutomatic = 1, kSelectManual = 2 };
enum EstimatorValue : int32_t { kEstimatorClassic = 1, kEstimatorRefined = 2 };
