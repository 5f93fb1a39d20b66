#include "ImageLib_PixelFormat.h"

#include "ImageLib_Paths.h"

#include <array>
#include <cmath>
#include <cstring>

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

// ---- The default conversions, sixteen samples at a time -------------------
//
// Byte i / 255 in float division is the table's float(i / 255.0) for all 256
// bytes (checked by the tests), and 16-bit samples are divided as in the loops
// below; integer outputs take 0 for the lanes ToSample sends to 0, convert the
// others by truncation and keep the low bits, as the casts below do. The same
// bytes as the plain loops; they return how many samples they did.

#if SIMD_X86
#define TEXTURIST_CONVERT_VECTORS 1

SIMD_TARGET_AVX512 uint64_t ToFloatAvx512(const void* source, uint32_t bytes, float* out, uint64_t samples,
                                          float divisor) {
    const __m512 by = _mm512_set1_ps(divisor);
    uint64_t i = 0;
    if (bytes == 1) {
        const uint8_t* in = static_cast<const uint8_t*>(source);
        for (; i + 16 <= samples; i += 16) {
            const __m512i wide = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
            _mm512_storeu_ps(out + i, _mm512_div_ps(_mm512_cvtepi32_ps(wide), by));
        }
    } else {
        const uint16_t* in = static_cast<const uint16_t*>(source);
        for (; i + 16 <= samples; i += 16) {
            const __m512i wide = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)));
            _mm512_storeu_ps(out + i, _mm512_div_ps(_mm512_cvtepi32_ps(wide), by));
        }
    }
    return i;
}

SIMD_TARGET_AVX512 uint64_t FromFloatAvx512(const float* in, uint32_t bytes, void* destination, uint64_t samples,
                                            float scale) {
    const __m512 by = _mm512_set1_ps(scale), half = _mm512_set1_ps(0.5f);
    const __m512 low = _mm512_set1_ps(-2147483648.0f), high = _mm512_set1_ps(2147483648.0f);
    uint64_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        const __m512 v = _mm512_add_ps(_mm512_mul_ps(_mm512_loadu_ps(in + i), by), half);
        const __mmask16 inRange = _mm512_cmp_ps_mask(v, low, _CMP_GT_OQ) & _mm512_cmp_ps_mask(v, high, _CMP_LT_OQ);
        const __m512i value = _mm512_maskz_cvttps_epi32(inRange, v);
        if (bytes == 1)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(static_cast<uint8_t*>(destination) + i),
                             _mm512_cvtepi32_epi8(value));
        else
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(static_cast<uint16_t*>(destination) + i),
                                _mm512_cvtepi32_epi16(value));
    }
    return i;
}

bool VectorConvertersAvailable() { return SelectedSimdPath() == SimdPath::Avx512; }
#else
#define TEXTURIST_CONVERT_VECTORS 0
#endif

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
    uint64_t i = 0;
#if TEXTURIST_CONVERT_VECTORS
    if ((format.bytesPerChannel == 1 || format.bytesPerChannel == 2) && !SimdReference() && VectorConvertersAvailable())
        i = ToFloatAvx512(source, format.bytesPerChannel, out, samples, format.maxValue);
#endif
    if (format.bytesPerChannel == 1) {
        const uint8_t* in = static_cast<const uint8_t*>(source);
        if (format.maxValue == 255.0f) {
            for (; i < samples; ++i) out[i] = kByteTable[in[i]];
        } else {
            for (; i < samples; ++i) out[i] = static_cast<float>(in[i]) / format.maxValue;
        }
    } else if (format.bytesPerChannel == 2) {
        const uint16_t* in = static_cast<const uint16_t*>(source);
        for (; i < samples; ++i) out[i] = static_cast<float>(in[i]) / format.maxValue;
    }
}

void ImageLib_DefaultFromFloat(const ImageLib_PixelFormat& format, const void* source, void* destination,
                               uint32_t pixelCount) {
    const uint64_t samples = static_cast<uint64_t>(pixelCount) * format.channels;
    const float* in = static_cast<const float*>(source);
    const float scale = format.maxValue;
    uint64_t i = 0;
#if TEXTURIST_CONVERT_VECTORS
    if ((format.bytesPerChannel == 1 || format.bytesPerChannel == 2) && !SimdReference() && VectorConvertersAvailable())
        i = FromFloatAvx512(in, format.bytesPerChannel, destination, samples, scale);
#endif
    if (format.bytesPerChannel == 1) {
        uint8_t* out = static_cast<uint8_t*>(destination);
        for (; i < samples; ++i) out[i] = static_cast<uint8_t>(ToSample(in[i], scale));
    } else if (format.bytesPerChannel == 2) {
        uint16_t* out = static_cast<uint16_t*>(destination);
        for (; i < samples; ++i) out[i] = static_cast<uint16_t>(ToSample(in[i], scale));
    }
}
