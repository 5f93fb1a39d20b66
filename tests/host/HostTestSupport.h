// Shared helpers of the host runtime's tests: fixture module paths and images
// with known contents.
#pragma once

#include "host/HostImageBuffer.h"

#include <cstdint>
#include <string>

inline const char* const kFixtureRenamed = HOST_FIXTURE_RENAMED;
inline const char* const kFixtureUnnamed = HOST_FIXTURE_UNNAMED;
inline const char* const kFixtureMisnamed = HOST_FIXTURE_MISNAMED;

// Every channel different from its neighbours and from the other channels.
inline HostPixelValue PatternValue(int32_t x, int32_t y, int32_t maxValue) {
    auto channel = [&](int32_t c) { return static_cast<uint16_t>((x * 7 + y * 13 + c * 29 + 3) % (maxValue + 1)); };
    return {channel(0), channel(1), channel(2), channel(3)};
}

inline HostImageBuffer Patterned(int32_t width, int32_t height, bool deep) {
    HostImageBuffer image(width, height, deep);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) image.Set(x, y, PatternValue(x, y, image.MaxValue()));
    }
    return image;
}

inline HostImageBuffer Solid(int32_t width, int32_t height, bool deep, HostPixelValue value) {
    HostImageBuffer image(width, height, deep);
    image.Fill(value);
    return image;
}

inline std::string Describe(const HostPixelValue& p) {
    return "(" + std::to_string(p.alpha) + ", " + std::to_string(p.red) + ", " + std::to_string(p.green) + ", " +
           std::to_string(p.blue) + ")";
}
