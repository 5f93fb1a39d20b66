// Conversions of user-driven float values to integers that are defined for
// every input: truncation toward zero, NaN to 0, values beyond the int32 range
// held at its ends (a plain cast of those is undefined).
#pragma once

#include <cstdint>
#include <limits>

inline int32_t ImageLib_TruncateToInt32(float value) {
    if (value != value) return 0;
    if (value <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
    if (value >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}
