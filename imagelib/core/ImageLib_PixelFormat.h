// Pixel formats of image accesses.
//
// Two formats come from the host (four interleaved channels, alpha first, in
// 8-bit or in 16-bit samples whose full scale is 32768); every other format is
// derived from one of them by copying it and changing fields, so `layoutTag`
// and the row converters travel along. All arithmetic happens in float, with
// 1.0 as full intensity; integer samples meet float nodes through converting
// views (ImageLib_Views.h).
#pragma once

#include <cstdint>

struct ImageLib_PixelFormat;

// Converts `pixelCount` pixels of `format.channels` samples from `source` into
// `destination`; `format` describes the integer side.
using ImageLib_RowConverter = void (*)(const ImageLib_PixelFormat& format, const void* source, void* destination,
                                       uint32_t pixelCount);

enum ImageLib_SampleType : uint32_t {
    ImageLib_Sample8 = 0,
    ImageLib_Sample16 = 1,
    ImageLib_SampleFloat = 2,
};

struct ImageLib_PixelFormat {
    uint32_t bytesPerPixel = 0;
    uint32_t bytesPerChannel = 0;
    uint32_t channels = 0;
    uint32_t colorChannels = 0;
    int32_t alphaChannel = -1;
    uint32_t sampleType = ImageLib_Sample8;
    float maxValue = 0.0f;
    ImageLib_RowConverter toFloat = nullptr;   // null: the default conversion
    ImageLib_RowConverter fromFloat = nullptr; // null: the default conversion
    uint32_t layoutTag = 0;
};

// The host's formats: 8-bit and 16-bit (full scale 32768), four channels, alpha first.
ImageLib_PixelFormat ImageLib_HostFormat8();
ImageLib_PixelFormat ImageLib_HostFormat16();

// The float format derived from `format`: same channels, converters and tag.
ImageLib_PixelFormat ImageLib_FloatFormat(const ImageLib_PixelFormat& format);

// Equal layout and scale; converter pointers are not compared.
bool ImageLib_FormatsEqual(const ImageLib_PixelFormat& a, const ImageLib_PixelFormat& b);

// The default row conversions between an integer side described by `format`
// and float. Float from integer divides by `maxValue` (through a table of
// i / 255 for 8-bit samples of full scale 255); integer from float rounds
// value * maxValue + 0.5 toward zero and keeps the low 8 or 16 bits, without
// clamping. A value whose product does not fit a 32-bit integer (NaN, huge)
// stores 0 in place of an undefined conversion.
void ImageLib_DefaultToFloat(const ImageLib_PixelFormat& format, const void* source, void* destination,
                             uint32_t pixelCount);
void ImageLib_DefaultFromFloat(const ImageLib_PixelFormat& format, const void* source, void* destination,
                               uint32_t pixelCount);

// The 256-entry table of i / 255 used by 8-bit conversions.
const float* ImageLib_ByteToFloatTable();
