// Reading parameter values by `ParamId`, and records checked out from the host.
//
// Values come from the current call's parameter array. Layers needed at
// another time are checked out onto a module-wide stack of 64 records: a scope
// opened by a command collects every check-out made inside it and checks them
// in, newest first, when it closes. A check-out error ends the command with
// the host's code (`VT_Exit_Exception`).
#pragma once

#include "ParamId.h"
#include "interface/HostInterface.h"

#include <array>
#include <cstdint>

int32_t ReadInteger(ParamId id);
bool ReadFlag(ParamId id);
// Sliders as numbers; percent sliders read 0..100 on every host.
float ReadNumber(ParamId id);
struct ParamPoint {
    int32_t x;
    int32_t y;
};
// The pixel position, floored.
ParamPoint ReadPoint(ParamId id);
// Alpha, red, green, blue in 0..1.
std::array<float, 4> ReadColour(ParamId id);
bool IsEnabled(ParamId id);
// Stores a value the module chose; marks the record changed and tells the host.
void SetInteger(ParamId id, int32_t value);

class ParamCheckoutStack {
public:
    static constexpr int32_t kCapacity = 64;

    static void OpenScope();
    static void CloseScope();
    // The record of `id` at the given time, or null when the stack is full.
    static HostParamRecord* CheckOut(ParamId id, int32_t time, int32_t timeStep, uint32_t timeScale);
    static int32_t Depth();
};

// Opens a check-out scope for its lifetime.
class ParamCheckoutScope {
public:
    ParamCheckoutScope() { ParamCheckoutStack::OpenScope(); }
    ~ParamCheckoutScope() { ParamCheckoutStack::CloseScope(); }
    ParamCheckoutScope(const ParamCheckoutScope&) = delete;
    ParamCheckoutScope& operator=(const ParamCheckoutScope&) = delete;
};

// The time of "Source Frame", kept inside the composition: never before its
// start, never past its last frame (on HOSC, past its end).
int32_t SourceFrameTime();
// The layer whose grain is measured: "Noise Source Layer" at the source frame,
// or the effect's own input at that time when no layer is chosen.
HostImage& NoiseSourceImage();
