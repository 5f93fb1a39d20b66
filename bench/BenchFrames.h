// What the benchmarks share: a 1080p frame of three float channels, the
// layout the grain graph works in between the host's formats.
#pragma once

#include "imagelib/core/ImageLib_PixelFormat.h"
#include "imagelib/core/ImageLib_Rect.h"

#include <cstdint>

namespace benchframes {

constexpr ImageLib_Rect kFrame{0, 0, 1920, 1080, false};
constexpr uint32_t kChannels = 3;

inline ImageLib_PixelFormat FloatFormat3() {
    ImageLib_PixelFormat format = ImageLib_FloatFormat(ImageLib_HostFormat8());
    format.channels = format.colorChannels = kChannels;
    format.alphaChannel = -1;
    format.bytesPerPixel = 4 * kChannels;
    return format;
}

} // namespace benchframes
