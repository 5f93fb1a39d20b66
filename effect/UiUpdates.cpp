#include "UiUpdates.h"

#include "CallContext.h"
#include "ParamCatalogue.h"
#include "ParamReading.h"
#include "ShellErrors.h"

#include <cstring>

namespace {
constexpr const char* kSuiteName = "PF Param Utils Suite";
constexpr int32_t kSuiteVersion = 2;
} // namespace

void SetEnabled(ParamId id, bool enabled) {
    if (IsEnabled(id) == enabled) return;
    const HostSuiteAccess* suites = gCall.in->suites;
    const void* suite = nullptr;
    if (!suites || suites->acquireSuite(HostRef(), kSuiteName, kSuiteVersion, &suite) != 0 || !suite) return;
    const int32_t index = HostIndex(id);
    HostParamRecord& record = *gCall.params[index];
    record.uiFlags &= ~kHostUiDisabled;
    if (!enabled) record.uiFlags |= kHostUiDisabled;
    static_cast<const HostParamUtilsSuite*>(suite)->updateParamUi(HostRef(), index, &record);
    suites->releaseSuite(HostRef(), kSuiteName, kSuiteVersion);
}

int32_t UpdateParamsUi() {
    const bool mono = ReadFlag(ParamId::Monochromatic);
    for (ParamId id : {ParamId::Saturation, ParamId::ChannelIntensitiesGroup, ParamId::RedIntensity,
                       ParamId::GreenIntensity, ParamId::BlueIntensity})
        SetEnabled(id, !mono);
    // A fitted response takes the place of the response sliders and the channel balance.
    const bool fitted = ReadFlag(ParamId::FitResponseToSource);
    for (ParamId id : {ParamId::Shadows, ParamId::Midtones, ParamId::Highlights, ParamId::Midpoint,
                       ParamId::ChannelBalanceGroup, ParamId::RedShadows, ParamId::RedMidtones, ParamId::RedHighlights,
                       ParamId::GreenShadows, ParamId::GreenMidtones, ParamId::GreenHighlights, ParamId::BlueShadows,
                       ParamId::BlueMidtones, ParamId::BlueHighlights})
        SetEnabled(id, !fitted);
    const bool manual = ReadInteger(ParamId::SampleSelection) == kSelectManual;
    SetEnabled(ParamId::NoiseSamplePointsGroup, manual);
    SetEnabled(ParamId::CompensationSamplePointsGroup, manual);
    const int32_t samples = ReadInteger(ParamId::NumberOfSamples);
    for (int32_t i = 0; i < kSamplePointCount; ++i) {
        const bool enabled = manual && i < samples;
        SetEnabled(NoiseSamplePoint(i), enabled);
        SetEnabled(CompensationSamplePoint(i), enabled);
    }
    return kErrorNone;
}

int32_t ParamChanged(const void* changed) {
    int32_t index = 0;
    if (changed) std::memcpy(&index, changed, sizeof index);
    if (changed && index == HostIndex(ParamId::SampleSelection) &&
        ReadInteger(ParamId::SampleSelection) == kSelectManual)
        SetInteger(ParamId::ViewingMode, kViewNoiseSamples);
    return UpdateParamsUi();
}
