#include "ParamReading.h"

#include "CallContext.h"
#include "ParamCatalogue.h"
#include "ShellErrors.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int32_t kMarker = -128;

HostParamRecord gStack[ParamCheckoutStack::kCapacity];
int32_t gCount = 0;

HostParamRecord& Current(ParamId id) { return *gCall.params[HostIndex(id)]; }

} // namespace

int32_t ReadInteger(ParamId id) { return Current(id).u.slider.value; }

bool ReadFlag(ParamId id) { return ReadInteger(id) != 0; }

float ReadNumber(ParamId id) {
    float value = static_cast<float>(Current(id).u.slider.value) * 1.5258789e-5f;
    if (IsPercentSlider(id) && gCall.in->appId == kHostAppC) value *= 100.0f;
    return value;
}

ParamPoint ReadPoint(ParamId id) {
    const HostPointValue& p = Current(id).u.point;
    // The arithmetic shift floors: -0.5 pixels is pixel -1.
    return {p.x >> 16, p.y >> 16};
}

std::array<float, 4> ReadColour(ParamId id) {
    const HostPixel8 c = Current(id).u.color.value;
    return {c.alpha / 255.0f, c.red / 255.0f, c.green / 255.0f, c.blue / 255.0f};
}

bool IsEnabled(ParamId id) { return (Current(id).uiFlags & kHostUiDisabled) == 0; }

void SetInteger(ParamId id, int32_t value) {
    HostParamRecord& record = Current(id);
    record.u.slider.value = value;
    record.id = 1;
    gCall.out->outFlags = kOutFlagsParamChanged;
}

void ParamCheckoutStack::OpenScope() {
    // A full stack has no room for the marker; an unmatched scope would later
    // check in its parent's records.
    if (gCount >= kCapacity) throw VT_Exit_Exception(kErrorInternal);
    std::memset(&gStack[gCount], 0, sizeof(HostParamRecord));
    gStack[gCount].id = kMarker;
    gCount += 1;
}

void ParamCheckoutStack::CloseScope() {
    while (gCount > 0 && gStack[gCount - 1].id != kMarker) {
        gCount -= 1;
        gCall.in->checkinParam(HostRef(), &gStack[gCount]);
    }
    if (gCount > 0) {
        gCount -= 1;
        gStack[gCount].id = 0;
    }
}

HostParamRecord* ParamCheckoutStack::CheckOut(ParamId id, int32_t time, int32_t timeStep, uint32_t timeScale) {
    if (gCount >= kCapacity) return nullptr;
    HostParamRecord& entry = gStack[gCount];
    entry.id = 0;
    const int32_t error = gCall.in->checkoutParam(HostRef(), HostIndex(id), time, timeStep, timeScale, &entry);
    if (error != 0) throw VT_Exit_Exception(error);
    gCount += 1;
    return &entry;
}

int32_t ParamCheckoutStack::Depth() { return gCount; }

int32_t SourceFrameTime() {
    const HostInData& in = *gCall.in;
    // In 64 bits: a large frame number times a large time step must not wrap.
    int64_t t = static_cast<int64_t>(ReadInteger(ParamId::SourceFrame)) * in.timeStep;
    const int64_t last =
        in.appId == kHostAppC ? static_cast<int64_t>(in.totalTime) : static_cast<int64_t>(in.totalTime) - in.timeStep;
    t = std::min(t, last);
    // A composition shorter than one step (or a zero step) would otherwise ask for negative time.
    t = std::max<int64_t>(t, 0);
    return static_cast<int32_t>(std::min<int64_t>(t, INT32_MAX));
}

HostImage& NoiseSourceImage() {
    const HostInData& in = *gCall.in;
    const int32_t t = SourceFrameTime();
    HostParamRecord* record = ParamCheckoutStack::CheckOut(ParamId::NoiseSourceLayer, t, in.timeStep, in.timeScale);
    if (record && !record->u.layer.image.pixels)
        record = ParamCheckoutStack::CheckOut(ParamId::InputLayer, t, in.timeStep, in.timeScale);
    if (!record) throw VT_Exit_Exception(kErrorInternal);
    return record->u.layer.image;
}
