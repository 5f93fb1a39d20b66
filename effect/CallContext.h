// The records of the current call of `main`, reachable from the whole shell.
//
// `main` saves the whole context on entry and restores it on every way out, so
// a re-entrant call (a host service calling back into the module) sees its own
// records and leaves the outer call's intact. Worker threads of the iteration
// service may read it; nothing but `main` writes it.
#pragma once

#include "interface/HostInterface.h"

#include <cstdint>

struct HostCallContext {
    uint32_t selector = 0;
    HostInData* in = nullptr;
    HostOutData* out = nullptr;
    HostParamRecord** params = nullptr;
    HostImage* output = nullptr;
    void* extra = nullptr;
    void* eventRecord = nullptr;
    float DownsampleX = 1.0f;
    float DownsampleY = 1.0f;

    friend bool operator==(const HostCallContext&, const HostCallContext&) = default;
};

extern HostCallContext gCall;

// numerator / denominator in single precision; 1 when the denominator is 0.
float DownsampleFactor(int32_t numerator, uint32_t denominator);

// Shortcuts into the current call's records.
inline HostUtilities& HostUtils() { return *gCall.in->utils; }
inline HostEffectRef HostRef() { return gCall.in->effectRef; }
