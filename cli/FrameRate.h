// Frame rates and the host's time base.
//
// The host measures time in ticks of 1/timeScale second; one frame lasts
// timeStep ticks. Whole rates use 100 ticks per frame (24 fps: scale 2400,
// step 100), as the host does; drop-frame rates given as decimals (23.976,
// 29.97, 59.94) or as ratios ("24000/1001") use the exact ratio (scale 24000,
// step 1001); other decimals their reduced ratio. Rates must lie in 0 to 1000.
#pragma once

#include "host/HostRuntime.h"

#include <cstdint>
#include <string_view>

struct FrameRate {
    uint32_t timeScale = 2400;
    int32_t timeStep = 100;
};

FrameRate ParseFrameRate(std::string_view text);

// The host's timeline for composition frame `frame` (0 = the composition's
// first frame) of a composition `frames` frames long.
HostTimeline TimelineFor(const FrameRate& rate, int64_t frame, int64_t frames);
