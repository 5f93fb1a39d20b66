#include "ParamCatalogue.h"

#include "CallContext.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

namespace {

using P = ParamId;

// ---- Host orders ---------------------------------------------------------------
// Each host's order is a full table, assembled from runs that every host keeps
// together, and checked below to hold every declared parameter exactly once.

template <size_t N> using Run = std::array<ParamId, N>;

template <size_t... N> constexpr auto Join(const Run<N>&... runs) {
    std::array<ParamId, (N + ...)> out{};
    size_t at = 0;
    ((std::copy(runs.begin(), runs.end(), out.begin() + at), at += N), ...);
    return out;
}

constexpr Run<12> SamplePointGroup(ParamId group, ParamId (*point)(int32_t)) {
    Run<12> run{};
    run[0] = group;
    for (int32_t i = 0; i < kSamplePointCount; ++i) run[1 + i] = point(i);
    run[11] = static_cast<ParamId>(static_cast<int32_t>(group) + 1);
    return run;
}

constexpr Run<10> kHead = {P::InputLayer,    P::ViewingMode,          P::NoiseSourceLayer, P::PreviewRegionGroup,
                           P::PreviewCenter, P::PreviewWidth,         P::PreviewHeight,    P::ShowBox,
                           P::BoxColor,      P::PreviewRegionGroupEnd};
constexpr Run<5> kTweakingStart = {P::TweakingGroup, P::Intensity, P::Size, P::Softness, P::AspectRatio};
constexpr Run<1> kCompensate = {P::CompensateForExistingNoise};
constexpr Run<5> kChannelIntensities = {P::ChannelIntensitiesGroup, P::RedIntensity, P::GreenIntensity,
                                        P::BlueIntensity, P::ChannelIntensitiesGroupEnd};
constexpr Run<5> kChannelSize = {P::ChannelSizeGroup, P::RedSize, P::GreenSize, P::BlueSize, P::ChannelSizeGroupEnd};
constexpr Run<1> kTweakingEnd = {P::TweakingGroupEnd};
constexpr Run<6> kColour = {P::ColorGroup, P::Monochromatic, P::Saturation,
                            P::TintAmount, P::TintColor,     P::ColorGroupEnd};
constexpr Run<6> kApplicationStart = {P::ApplicationGroup, P::BlendingMode, P::Shadows,
                                      P::Midtones,         P::Highlights,   P::Midpoint};
constexpr Run<11> kChannelBalance = {
    P::ChannelBalanceGroup, P::RedShadows,     P::RedMidtones,           P::RedHighlights,
    P::GreenShadows,        P::GreenMidtones,  P::GreenHighlights,       P::BlueShadows,
    P::BlueMidtones,        P::BlueHighlights, P::ChannelBalanceGroupEnd};
constexpr Run<1> kApplicationEnd = {P::ApplicationGroupEnd};
constexpr Run<6> kSamplingStart = {P::SamplingGroup, P::SourceFrame,    P::NumberOfSamples,
                                   P::SampleSize,    P::SampleBoxColor, P::SampleSelection};
constexpr Run<12> kNoisePoints = SamplePointGroup(P::NoiseSamplePointsGroup, NoiseSamplePoint);
constexpr Run<12> kCompensationPoints = SamplePointGroup(P::CompensationSamplePointsGroup, CompensationSamplePoint);
constexpr Run<1> kSamplingEnd = {P::SamplingGroupEnd};
constexpr Run<5> kAnimation = {P::AnimationGroup, P::AnimationSpeed, P::AnimateSmoothly, P::RandomSeed,
                               P::AnimationGroupEnd};
constexpr Run<2> kBlendStart = {P::BlendWithOriginalGroup, P::BlendAmount};
constexpr Run<1> kCombine = {P::CombineMatchAndMask};
constexpr Run<1> kBlurMatte = {P::BlurMatte};
constexpr Run<7> kColourMatching = {P::ColorMatchingGroup,   P::MatchColorUsing,  P::MatchingColor,
                                    P::MatchingTolerance,    P::MatchingSoftness, P::InvertMatch,
                                    P::ColorMatchingGroupEnd};
constexpr Run<5> kMaskingLayer = {P::MaskingLayerGroup, P::MaskLayer, P::MaskingMode, P::IfMaskSizeDiffers,
                                  P::MaskingLayerGroupEnd};
constexpr Run<1> kBlendEnd = {P::BlendWithOriginalGroupEnd};
// Parameters added since the first release go last on every host, so that no
// parameter a saved project refers to moves.
constexpr Run<2> kAppended = {P::Estimator, P::FitResponseToSource};

// Every host but HOSA, HOSB and HOSC: groups nested.
constexpr auto kDefaultOrder = Join(kHead, kTweakingStart, kCompensate, kChannelIntensities, kChannelSize, kTweakingEnd,
                                    kColour, kApplicationStart, kChannelBalance, kApplicationEnd, kSamplingStart,
                                    kNoisePoints, kCompensationPoints, kSamplingEnd, kAnimation, kBlendStart, kCombine,
                                    kBlurMatte, kColourMatching, kMaskingLayer, kBlendEnd, kAppended);
// HOSA: the compensation slider sits between Preview Region and Tweaking.
constexpr auto kHostAOrder = Join(kHead, kCompensate, kTweakingStart, kChannelIntensities, kChannelSize, kTweakingEnd,
                                  kColour, kApplicationStart, kChannelBalance, kApplicationEnd, kSamplingStart,
                                  kNoisePoints, kCompensationPoints, kSamplingEnd, kAnimation, kBlendStart, kCombine,
                                  kBlurMatte, kColourMatching, kMaskingLayer, kBlendEnd, kAppended);
// HOSB and HOSC: no nesting, every group is closed before the next opens.
constexpr auto kFlatOrder = Join(kHead, kTweakingStart, kCompensate, kTweakingEnd, kChannelIntensities, kChannelSize,
                                 kColour, kApplicationStart, kApplicationEnd, kChannelBalance, kSamplingStart,
                                 kSamplingEnd, kNoisePoints, kCompensationPoints, kAnimation, kBlendStart, kBlurMatte,
                                 kBlendEnd, kColourMatching, kMaskingLayer, kCombine, kAppended);

constexpr int32_t kParamTotal = static_cast<int32_t>(kDefaultOrder.size());
static_assert(kParamTotal == 106 && kHostAOrder.size() == 106 && kFlatOrder.size() == 106);

const ParamId* OrderFor(uint32_t appId) {
    if (appId == kHostAppA) return kHostAOrder.data();
    if (appId == kHostAppB || appId == kHostAppC) return kFlatOrder.data();
    return kDefaultOrder.data();
}

// Entries 0..255: host index per ParamId; entry 256: built flag.
int32_t gIndexTable[257];
uint32_t gIndexTableApp = 0;

HostParamRecord gRecords[kMaxParams];

void EnsureIndexTable() {
    const uint32_t appId = gCall.in ? gCall.in->appId : 0;
    if (gIndexTable[256] && gIndexTableApp == appId) return;
    const ParamId* order = OrderFor(appId);
    // Records declared for another host's order sit at other indices: none may outlive the switch.
    if (gIndexTable[256]) std::memset(gRecords, 0, sizeof gRecords);
    std::fill(std::begin(gIndexTable), std::end(gIndexTable), 0);
    for (int32_t i = 0; i < kParamTotal; ++i) gIndexTable[static_cast<int32_t>(order[i])] = i;
    gIndexTable[static_cast<int32_t>(ParamId::ParamCount)] = kParamTotal;
    gIndexTable[256] = 1;
    gIndexTableApp = appId;
}

// The strings, each "key=text"; the key is the table's, the text the user's.
#define TX_KEY(n) "$$$/VT/Texturist/LStr/" #n "="
const char* const kStrings[kStringCount] = {
    TX_KEY(0000) "Texturist, v%d.%d#{cr}#{cr}Copyright Texturist developers. All rights reserved.#{cr}#{cr}"
                 "Matches film grain in an image.",
    TX_KEY(0001) "Viewing Mode",
    TX_KEY(0002) "Preview|Noise Samples|Compensation Samples|Blending Matte|Final Output",
    TX_KEY(0003) "Compensate for Existing Noise",
    TX_KEY(0004) "Preview Region",
    TX_KEY(0005) "Center",
    TX_KEY(0006) "Width",
    TX_KEY(0007) "Height",
    TX_KEY(0008) "Show Box",
    TX_KEY(0009) "Box Color",
    TX_KEY(0010) "Noise Source Layer",
    TX_KEY(0011) "Source Frame",
    TX_KEY(0012) "Number of Samples",
    TX_KEY(0013) "Sample Size",
    TX_KEY(0014) "Sample Box Color",
    TX_KEY(0015) "Sample Selection",
    TX_KEY(0016) "Automatic|Manual",
    TX_KEY(0017) "Sampling",
    TX_KEY(0018) "Noise Sample Points",
    TX_KEY(0019) "Intensity",
    TX_KEY(0020) "Channel Size",
    TX_KEY(0021) "Red Size",
    TX_KEY(0022) "Green Size",
    TX_KEY(0023) "Blue Size",
    TX_KEY(0024) "Channel Intensities",
    TX_KEY(0025) "Red Intensity",
    TX_KEY(0026) "Green Intensity",
    TX_KEY(0027) "Blue Intensity",
    TX_KEY(0028) "Tweaking",
    TX_KEY(0029) "Size",
    TX_KEY(0030) "Aspect Ratio",
    TX_KEY(0031) "Softness",
    TX_KEY(0032) "Intensity",
    TX_KEY(0033) "Color",
    TX_KEY(0034) "Saturation",
    TX_KEY(0035) "Monochromatic",
    TX_KEY(0036) "Tint Amount",
    TX_KEY(0037) "Tint Color",
    TX_KEY(0038) "Channel Balance",
    TX_KEY(0039) "Shadows",
    TX_KEY(0040) "Midtones",
    TX_KEY(0041) "Highlights",
    TX_KEY(0042) "Midpoint",
    TX_KEY(0043) "Red Shadows",
    TX_KEY(0044) "Red Midtones",
    TX_KEY(0045) "Red Highlights",
    TX_KEY(0046) "Green Shadows",
    TX_KEY(0047) "Green Midtones",
    TX_KEY(0048) "Green Highlights",
    TX_KEY(0049) "Blue Shadows",
    TX_KEY(0050) "Blue Midtones",
    TX_KEY(0051) "Blue Highlights",
    TX_KEY(0052) "Application",
    TX_KEY(0053) "Blending Mode",
    TX_KEY(0054) "Film|Multiply|Add|Screen|Overlay",
    TX_KEY(0055) "Blend with Original",
    TX_KEY(0056) "Color Matching",
    TX_KEY(0057) "Masking Layer",
    TX_KEY(0058) "Amount",
    TX_KEY(0059) "Matching Tolerance",
    TX_KEY(0060) "Matching Softness",
    TX_KEY(0061) "Invert Match",
    TX_KEY(0062) "Matching Color",
    TX_KEY(0063) "Match Color Using",
    TX_KEY(0064) "Off|(-|RGB|Hue|Chroma|Luminance|Red Channel|Green Channel|Blue Channel",
    TX_KEY(0065) "Blur Matte",
    TX_KEY(0066) "Mask Layer",
    TX_KEY(0067) "If Mask Size Differs",
    TX_KEY(0068) "Center|Stretch to Fit",
    TX_KEY(0069) "Masking Mode",
    TX_KEY(0070) "Intensity|Alpha|Inverted Intensity|Inverted Alpha",
    TX_KEY(0071) "Combine Match and Mask Using",
    TX_KEY(0072) "Multiply|Screen",
    TX_KEY(0073) "Animation",
    TX_KEY(0074) "Random Seed",
    TX_KEY(0075) "Animation Speed",
    TX_KEY(0076) "Animate Smoothly{{*COMMENT*}}checkbox determines animation smoothness",
    TX_KEY(0077) "Estimator",
    TX_KEY(0078) "Classic|Refined",
    TX_KEY(0079) "Fit Response to Source",
};
#undef TX_KEY

struct StringTable {
    HostStringEntry entries[kStringCount + 1];
    HostStringTableHeader header;
};

const StringTable& Strings() {
    static const StringTable table = [] {
        StringTable t{};
        for (int32_t i = 0; i < kStringCount; ++i) t.entries[i] = {kStrings[i], {0, 0, 0}};
        t.entries[kStringCount] = {nullptr, {~uint64_t{0}, ~uint64_t{0}, 0}};
        t.header = {"FX", kStringCount + 1, t.entries};
        return t;
    }();
    return table;
}

// ---- Declarations -------------------------------------------------------------

enum class Kind : uint8_t { Layer, Slider, Fixed, Percent, Checkbox, Colour, Point, Popup, Group };

struct ParamDeclaration {
    ParamId id;
    Kind kind;
    int16_t name; // string number; -1: sample points, named by their number
    float validMin, validMax, defaultValue, sliderMin, sliderMax;
    int16_t choices; // popups: string of the choices
    int16_t choiceCount;
    bool supervised;
    bool restrict; // points
};

constexpr ParamDeclaration Group(ParamId id, int16_t name) {
    return {id, Kind::Group, name, 0, 0, 0, 0, 0, 0, 0, false, false};
}
constexpr ParamDeclaration Layer(ParamId id, int16_t name) {
    return {id, Kind::Layer, name, 0, 0, 0, 0, 0, 0, 0, false, false};
}
constexpr ParamDeclaration Slider(ParamId id, int16_t name, float min, float max, float def, float smin, float smax,
                                  bool supervised = false) {
    return {id, Kind::Slider, name, min, max, def, smin, smax, 0, 0, supervised, false};
}
constexpr ParamDeclaration Fixed(ParamId id, int16_t name, float min, float max, float def, float smin, float smax) {
    return {id, Kind::Fixed, name, min, max, def, smin, smax, 0, 0, false, false};
}
constexpr ParamDeclaration Fixed(ParamId id, int16_t name, float min, float max, float def) {
    return Fixed(id, name, min, max, def, min, max);
}
constexpr ParamDeclaration Percent(ParamId id, int16_t name, float def) {
    return {id, Kind::Percent, name, 0, 100, def, 0, 100, 0, 0, false, false};
}
constexpr ParamDeclaration Checkbox(ParamId id, int16_t name, bool def, bool supervised = false) {
    return {id, Kind::Checkbox, name, 0, 0, def ? 1.0f : 0.0f, 0, 0, 0, 0, supervised, false};
}
constexpr ParamDeclaration Colour(ParamId id, int16_t name, float level) {
    return {id, Kind::Colour, name, 0, 0, level, 0, 0, 0, 0, false, false};
}
constexpr ParamDeclaration Point(ParamId id, int16_t name, bool restrict) {
    return {id, Kind::Point, name, 0, 0, 50, 0, 0, 0, 0, false, restrict};
}
constexpr ParamDeclaration Popup(ParamId id, int16_t name, int16_t def, int16_t count, int16_t choices,
                                 bool supervised = false) {
    return {id, Kind::Popup, name, 0, 0, static_cast<float>(def), 0, 0, choices, count, supervised, false};
}

// Every declaration, in the order parameter setup makes them (the host order
// comes from the index table alone). Sample points are expanded in code.
constexpr ParamDeclaration kDeclarations[] = {
    Popup(P::ViewingMode, 1, 1, 5, 2),
    Percent(P::CompensateForExistingNoise, 3, 0),
    Group(P::PreviewRegionGroup, 4),
    Point(P::PreviewCenter, 5, true),
    Slider(P::PreviewWidth, 6, 50, 200, 200, 50, 200),
    Slider(P::PreviewHeight, 7, 50, 200, 200, 50, 200),
    Checkbox(P::ShowBox, 8, true),
    Colour(P::BoxColor, 9, 1.0f),
    Group(P::SamplingGroup, 17),
    Layer(P::NoiseSourceLayer, 10),
    Slider(P::SourceFrame, 11, 0, 100000, 0, 0, 1000),
    Slider(P::NumberOfSamples, 12, 1, 10, 8, 1, 10, true),
    Slider(P::SampleSize, 13, 16, 256, 24, 16, 64),
    Colour(P::SampleBoxColor, 14, 1.0f),
    Popup(P::SampleSelection, 15, 1, 2, 16, true),
    Group(P::NoiseSamplePointsGroup, 18),
    Group(P::CompensationSamplePointsGroup, 19),
    Group(P::TweakingGroup, 28),
    Fixed(P::Size, 29, 0, 100, 1, 0, 5),
    Fixed(P::AspectRatio, 30, 0, 10, 1),
    Fixed(P::Softness, 31, 0, 10, 1),
    Fixed(P::Intensity, 32, 0, 100, 1, 0, 5),
    Group(P::ChannelSizeGroup, 20),
    Fixed(P::RedSize, 21, 0, 5, 1),
    Fixed(P::GreenSize, 22, 0, 5, 1),
    Fixed(P::BlueSize, 23, 0, 5, 1),
    Group(P::ChannelIntensitiesGroup, 24),
    Fixed(P::RedIntensity, 25, 0, 100, 1, 0, 10),
    Fixed(P::GreenIntensity, 26, 0, 100, 1, 0, 10),
    Fixed(P::BlueIntensity, 27, 0, 100, 1, 0, 10),
    Group(P::ColorGroup, 33),
    Checkbox(P::Monochromatic, 35, false, true),
    Fixed(P::Saturation, 34, 0, 10, 1),
    Percent(P::TintAmount, 36, 100),
    Colour(P::TintColor, 37, 1.0f),
    Group(P::ApplicationGroup, 52),
    Popup(P::BlendingMode, 53, 3, 5, 54),
    Fixed(P::Shadows, 39, 0, 5, 1),
    Fixed(P::Midtones, 40, 0, 5, 1),
    Fixed(P::Highlights, 41, 0, 5, 1),
    Fixed(P::Midpoint, 42, 0, 1, 0.5f),
    Group(P::ChannelBalanceGroup, 38),
    Fixed(P::RedShadows, 43, 0, 5, 1),
    Fixed(P::RedMidtones, 44, 0, 5, 1),
    Fixed(P::RedHighlights, 45, 0, 5, 1),
    Fixed(P::GreenShadows, 46, 0, 5, 1),
    Fixed(P::GreenMidtones, 47, 0, 5, 1),
    Fixed(P::GreenHighlights, 48, 0, 5, 1),
    Fixed(P::BlueShadows, 49, 0, 5, 1),
    Fixed(P::BlueMidtones, 50, 0, 5, 1),
    Fixed(P::BlueHighlights, 51, 0, 5, 1),
    Group(P::BlendWithOriginalGroup, 55),
    Percent(P::BlendAmount, 58, 0),
    Popup(P::CombineMatchAndMask, 71, 1, 2, 72),
    Fixed(P::BlurMatte, 65, 0, 100, 0, 0, 10),
    Group(P::ColorMatchingGroup, 56),
    Popup(P::MatchColorUsing, 63, 3, 9, 64),
    Colour(P::MatchingColor, 62, 0.5f),
    Fixed(P::MatchingTolerance, 59, 0, 1, 0.1f),
    Fixed(P::MatchingSoftness, 60, 0, 1, 0.1f),
    Checkbox(P::InvertMatch, 61, false),
    Group(P::MaskingLayerGroup, 57),
    Layer(P::MaskLayer, 66),
    Popup(P::MaskingMode, 69, 1, 4, 70),
    Popup(P::IfMaskSizeDiffers, 67, 1, 2, 68),
    Group(P::AnimationGroup, 73),
    Fixed(P::AnimationSpeed, 75, 0, 1, 1),
    Checkbox(P::AnimateSmoothly, 76, false),
    Slider(P::RandomSeed, 74, 0, 10000, 0, 0, 100),
    Popup(P::Estimator, 77, kEstimatorRefined, 2, 78),
    Checkbox(P::FitResponseToSource, 79, false, true),
};

// What a host order may hold: the input layer, each declaration, each group's
// end and the sample points of both point groups.
constexpr bool IsDeclared(ParamId id) {
    if (id == P::InputLayer) return true;
    const int32_t n = static_cast<int32_t>(id);
    for (const ParamDeclaration& d : kDeclarations) {
        const int32_t declared = static_cast<int32_t>(d.id);
        if (n == declared || (d.kind == Kind::Group && n == declared + 1)) return true;
        const bool points = d.id == P::NoiseSamplePointsGroup || d.id == P::CompensationSamplePointsGroup;
        const int32_t first =
            static_cast<int32_t>(d.id == P::NoiseSamplePointsGroup ? NoiseSamplePoint(0) : CompensationSamplePoint(0));
        if (points && n >= first && n < first + kSamplePointCount) return true;
    }
    return false;
}

constexpr int32_t DeclaredCount() {
    int32_t count = 1; // the input layer
    for (const ParamDeclaration& d : kDeclarations) {
        count += d.kind == Kind::Group ? 2 : 1;
        if (d.id == P::NoiseSamplePointsGroup || d.id == P::CompensationSamplePointsGroup) count += kSamplePointCount;
    }
    return count;
}

// A host order must list every declared parameter once, the input layer first.
template <size_t N> constexpr bool IsPermutationOfDeclarations(const std::array<ParamId, N>& order) {
    if (static_cast<int32_t>(N) != DeclaredCount() || order[0] != P::InputLayer) return false;
    for (size_t i = 0; i < N; ++i) {
        if (!IsDeclared(order[i])) return false;
        for (size_t j = 0; j < i; ++j)
            if (order[j] == order[i]) return false;
    }
    return true;
}
static_assert(IsPermutationOfDeclarations(kDefaultOrder));
static_assert(IsPermutationOfDeclarations(kHostAOrder));
static_assert(IsPermutationOfDeclarations(kFlatOrder));

const char* BuiltInString(int32_t number) {
    const char* text = std::strchr(kStrings[number], '=');
    return text ? text + 1 : kStrings[number];
}

// Names come from the host, which may translate them; without a registered
// table (a host that skipped global setup) the compiled-in text stands in.
const char* HostString(int32_t number) {
    const HostHandle global = gCall.in->globalData;
    if (!global || !*global || !gCall.in->fetchString) return BuiltInString(number);
    const void* table = *static_cast<const void* const*>(*global);
    const char* text = gCall.in->fetchString(table, number, 0, 0);
    return text ? text : BuiltInString(number);
}

int32_t Fixed1616(float value) { return static_cast<int32_t>(value * 65536.0f); }

HostParamRecord& Begin(ParamId id, HostParamType type, const char* name) {
    HostParamRecord& record = DeclaredRecord(id);
    std::memset(&record, 0, sizeof record);
    record.flags = kHostParamCollapsed;
    record.id = static_cast<int32_t>(id);
    record.type = type;
    // At most 31 characters; the cleared record supplies the terminator.
    std::memcpy(record.name, name, std::min(std::strlen(name), sizeof record.name - 1));
    return record;
}

void Declare(const ParamDeclaration& spec, const char* name) {
    switch (spec.kind) {
    case Kind::Group:
        Begin(spec.id, kHostParamGroupStart, name);
        Begin(static_cast<ParamId>(static_cast<int32_t>(spec.id) + 1), kHostParamGroupEnd, "");
        return;
    case Kind::Layer:
        Begin(spec.id, kHostParamLayer, name).u.layer.defaultValue = static_cast<int32_t>(spec.defaultValue);
        return;
    case Kind::Slider: {
        HostSliderValue& s = Begin(spec.id, kHostParamSlider, name).u.slider;
        s.validMin = static_cast<int32_t>(spec.validMin);
        s.validMax = static_cast<int32_t>(spec.validMax);
        s.sliderMin = static_cast<int32_t>(spec.sliderMin);
        s.sliderMax = static_cast<int32_t>(spec.sliderMax);
        s.value = s.defaultValue = static_cast<int32_t>(spec.defaultValue);
        break;
    }
    case Kind::Fixed:
    case Kind::Percent: {
        HostSliderValue& s = Begin(spec.id, kHostParamFixedSlider, name).u.slider;
        const bool percent = spec.kind == Kind::Percent;
        // HOSC stores percentages as fractions.
        const float unit = percent && gCall.in->appId == kHostAppC ? 100.0f : 1.0f;
        s.validMin = Fixed1616(spec.validMin / unit);
        s.validMax = Fixed1616(spec.validMax / unit);
        s.sliderMin = Fixed1616(spec.sliderMin / unit);
        s.sliderMax = Fixed1616(spec.sliderMax / unit);
        s.value = s.defaultValue = Fixed1616(spec.defaultValue / unit);
        s.precision = percent ? 1 : 3;
        s.displayFlags = percent ? 1 : 0;
        break;
    }
    case Kind::Checkbox: {
        HostCheckboxValue& c = Begin(spec.id, kHostParamCheckbox, name).u.checkbox;
        c.value = spec.defaultValue != 0.0f;
        c.defaultValue = spec.defaultValue != 0.0f;
        c.label = "";
        break;
    }
    case Kind::Colour: {
        const uint8_t level = static_cast<uint8_t>(spec.defaultValue * 255.0f);
        HostColorValue& c = Begin(spec.id, kHostParamColor, name).u.color;
        c.value = c.defaultValue = {level, level, level, level};
        break;
    }
    case Kind::Point: {
        HostPointValue& p = Begin(spec.id, kHostParamPoint, name).u.point;
        p.defaultX = p.x = static_cast<int32_t>(spec.defaultValue) << 16;
        p.defaultY = p.y = static_cast<int32_t>(spec.defaultValue) << 16;
        p.restrictToLayer = spec.restrict;
        break;
    }
    case Kind::Popup: {
        HostPopupValue& p = Begin(spec.id, kHostParamPopup, name).u.popup;
        p.value = p.defaultValue = static_cast<int16_t>(spec.defaultValue);
        p.choiceCount = spec.choiceCount;
        p.choices = HostString(spec.choices);
        break;
    }
    }
    if (spec.supervised) DeclaredRecord(spec.id).flags |= kHostParamSupervised;
}

void DeclareSamplePoints(ParamId (*point)(int32_t)) {
    for (int32_t i = 0; i < kSamplePointCount; ++i) {
        char name[32];
        HostUtils().formatText(HostRef(), name, sizeof name, "%d", i + 1);
        Declare(Point(point(i), -1, false), name);
    }
}

} // namespace

int32_t HostIndex(ParamId id) {
    EnsureIndexTable();
    const int32_t n = static_cast<int32_t>(id);
    return n >= 0 && n < 256 ? gIndexTable[n] : 0;
}

int32_t HostParamCount() { return HostIndex(ParamId::ParamCount); }

HostParamRecord& DeclaredRecord(ParamId id) { return gRecords[HostIndex(id)]; }

bool IsPercentSlider(ParamId id) {
    return id == P::CompensateForExistingNoise || id == P::TintAmount || id == P::BlendAmount;
}

const HostStringTableHeader& StringTableHeader() { return Strings().header; }

int32_t SetupParameters() {
    gCall.out->numParams = 1;
    for (const ParamDeclaration& spec : kDeclarations) {
        Declare(spec, HostString(spec.name));
        if (spec.id == P::NoiseSamplePointsGroup) DeclareSamplePoints(NoiseSamplePoint);
        if (spec.id == P::CompensationSamplePointsGroup) DeclareSamplePoints(CompensationSamplePoint);
    }
    const int32_t count = HostParamCount();
    for (int32_t index = 1; index < count; ++index) {
        const int32_t error = gCall.in->addParam(HostRef(), -1, &gRecords[index]);
        gCall.out->numParams += 1;
        if (error != 0) return error;
    }
    return 0;
}
