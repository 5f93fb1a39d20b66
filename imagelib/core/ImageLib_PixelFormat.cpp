#include "ImageLib_PixelFormat.h"

#include <array>
#include <cmath>

namespace {

const std::array<float, 256> kByteTable = [] {
    std::array<float, 256> table{};
    for (int i = 0; i < 256; ++i) table[i] = static_cast<float>(i / 255.0);
    return table;
}();

// Rounds value * scale + 0.5 toward zero. Products that do not fit 32 bits
// (and NaN) give 0, which is also what the x86 conversion leaves in the low
// bits; the library clips before integer outputs, so this only keeps the
// conversion defined.
inline int32_t ToSample(float value, float scale) {
    float v = value * scale + 0.5f;
    if (!(v > -2147483648.0f && v < 2147483648.0f)) return 0;
    return static_cast<int32_t>(v);
}

} // namespace

const float* ImageLib_ByteToFloatTable() { return kByteTable.data(); }

ImageLib_PixelFormat ImageLib_HostFormat8() { return {4, 1, 4, 3, 0, ImageLib_Sample8, 255.0f, nullptr, nullptr, 1}; }

ImageLib_PixelFormat ImageLib_HostFormat16() {
    return {8, 2, 4, 3, 0, ImageLib_Sample16, 32768.0f, nullptr, nullptr, 1};
}

ImageLib_PixelFormat ImageLib_FloatFormat(const ImageLib_PixelFormat& format) {
    ImageLib_PixelFormat result = format;
    result.bytesPerPixel = 4 * format.channels;
    result.bytesPerChannel = 4;
    result.sampleType = ImageLib_SampleFloat;
    result.maxValue = 1.0f;
    return result;
}

bool ImageLib_FormatsEqual(const ImageLib_PixelFormat& a, const ImageLib_PixelFormat& b) {
    return a.bytesPerPixel == b.bytesPerPixel && a.bytesPerChannel == b.bytesPerChannel && a.channels == b.channels &&
           a.colorChannels == b.colorChannels && a.alphaChannel == b.alphaChannel && a.sampleType == b.sampleType &&
           a.maxValue == b.maxValue && a.layoutTag == b.layoutTag;
}

void ImageLib_DefaultToFloat(const ImageLib_PixelFormat& format, const void* source, void* destination,
                             uint32_t pixelCount) {
    const uint64_t samples = static_cast<uint64_t>(pixelCount) * format.channels;
    float* out = static_cast<float*>(destination);
    if (format.bytesPerChannel == 1) {
        const uint8_t* in = static_cast<const uint8_t*>(source);
        if (format.maxValue == 255.0f) {
            for (uint64_t i = 0; i < samples; ++i) out[i] = kByteTable[in[i]];
        } else {
            for (uint64_t i = 0; i < samples; ++i) out[i] = static_cast<float>(in[i]) / format.maxValue;
        }
    } else if (format.bytesPerChannel == 2) {
        const uint16_t* in = static_cast<const uint16_t*>(source);
        for (uint64_t i = 0; i < samples; ++i) out[i] = static_cast<float>(in[i]) / format.maxValue;
    }
}

void ImageLib_DefaultFromFloat(const ImageLib_PixelFormat& format, const void* source, void* destination,
                               uint32_t pixelCount) {
    const uint64_t samples = static_cast<uint64_t>(pixelCount) * format.channels;
    const float* in = static_cast<const float*>(source);
    const float scale = format.maxValue;
    if (format.bytesPerChannel == 1) {
        uint8_t* out = static_cast<uint8_t*>(destination);
        for (uint64_t i = 0; i < samples; ++i) out[i] = static_cast<uint8_t>(ToSample(in[i], scale));
    } else if (format.bytesPerChannel == 2) {
        uint16_t* out = static_cast<uint16_t*>(destination);
        for (uint64_t i = 0; i < samples; ++i) out[i] = static_cast<uint16_t>(ToSample(in[i], scale));
    }
}
