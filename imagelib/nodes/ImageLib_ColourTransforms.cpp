#include "ImageLib_ColourTransforms.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_FloatRows.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Views.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

namespace ImageLib_Resampling {

namespace {

// Like the library's conversion from float, without clamping: the low bits
// are kept, and a product that is no 32-bit integer (NaN, huge) stores 0
// rather than an undefined conversion.
template <class Sample> Sample TruncateToSample(float value) {
    if (!(value > -2147483648.0f && value < 2147483648.0f)) return 0;
    return static_cast<Sample>(static_cast<int32_t>(value));
}

// The matrix applied in the access's own integer samples.
template <class Sample>
void TransformSamples(ImageLib_ImageAccess& access, const ImageLib_Rect& region, const ImageLib_Matrix& matrix,
                      float* product) {
    const uint32_t n = access.format.channels;
    const uint32_t pixelBytes = access.format.bytesPerPixel;
    const float scale = access.format.maxValue;
    ImageLib_MappedRegion mapped(access, region, ImageLib_AccessMode::ReadWrite);
    for (const ImageLib_RowIterator& row : mapped.rows()) {
        for (uint8_t* pixel = row.rowBegin; pixel != row.rowEnd; pixel += pixelBytes) {
            std::fill(product, product + n, 0.0f);
            for (uint32_t r = 0; r < n; ++r) {
                for (uint32_t c = 0; c < n; ++c) {
                    Sample sample;
                    // Host rows promise no alignment beyond a byte.
                    std::memcpy(&sample, pixel + c * sizeof(Sample), sizeof(Sample));
                    product[r] += matrix.Element(r, c) * (static_cast<float>(sample) / scale);
                }
            }
            for (uint32_t r = 0; r < n; ++r) {
                const Sample sample = TruncateToSample<Sample>(scale * product[r]);
                std::memcpy(pixel + r * sizeof(Sample), &sample, sizeof(Sample));
            }
        }
    }
}

// One row of three-channel pixels through the matrix, in place: each sum from
// 0 in column order. Returns the pixels done; the caller does the rest.
using MixRow = int32_t (*)(float* pixel, int32_t width, const float (&m)[3][3]);

int32_t MixRowPlain(float*, int32_t, const float (&)[3][3]) { return 0; }

#if SIMD_X86
// Sixteen pixels (three vectors of floats) at a time. Output float g of the
// chunk takes the three samples of its pixel, 3 (g / 3) + k; those of vector
// v lie in [16 v - 2, 16 v + 18) within the chunk, so two loads inside the
// chunk and a two-source permute bring them to g's lane.
SIMD_TARGET_AVX512 int32_t MixRowAvx512(float* pixel, int32_t width, const float (&m)[3][3]) {
    constexpr int32_t kStart[3] = {0, 14, 30}, kHigh[3] = {2, 18, 32};
    __m512i index[3][3];
    __m512 coefficient[3][3];
    for (int32_t v = 0; v < 3; ++v)
        for (int32_t k = 0; k < 3; ++k) {
            int32_t lanes[16];
            float values[16];
            for (int32_t i = 0; i < 16; ++i) {
                const int32_t g = 16 * v + i, q = 3 * (g / 3) + k;
                lanes[i] = q - kStart[v] < 16 ? q - kStart[v] : q - kHigh[v] + 16;
                values[i] = m[g % 3][k];
            }
            index[v][k] = _mm512_loadu_si512(lanes);
            coefficient[v][k] = _mm512_loadu_ps(values);
        }
    int32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        float* chunk = pixel + 3 * x;
        __m512 out[3];
        for (int32_t v = 0; v < 3; ++v) {
            const __m512 low = _mm512_loadu_ps(chunk + kStart[v]), high = _mm512_loadu_ps(chunk + kHigh[v]);
            __m512 sum = _mm512_setzero_ps();
            for (int32_t k = 0; k < 3; ++k)
                sum = _mm512_add_ps(sum,
                                    _mm512_mul_ps(coefficient[v][k], _mm512_permutex2var_ps(low, index[v][k], high)));
            out[v] = sum;
        }
        for (int32_t v = 0; v < 3; ++v) _mm512_storeu_ps(chunk + 16 * v, out[v]);
    }
    return x;
}
#endif

MixRow SelectMixRow() {
#if SIMD_X86
    if (SelectedSimdPath() == SimdPath::Avx512) return &MixRowAvx512;
#endif
    return &MixRowPlain;
}

void TransformFloats(ImageLib_ImageAccess& output, const ImageLib_Rect& region, const ImageLib_Matrix& matrix,
                     float* product) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    const uint32_t n = view->format.channels;
    const uint32_t pixelBytes = view->format.bytesPerPixel;
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::ReadWrite);
    if (n == 3 && pixelBytes == 12 && !SimdReference()) {
        // Colour pixels, rows spread over the workers; each sum runs from 0 in
        // column order, as below, so the bytes are the same.
        float m[3][3];
        for (uint32_t r = 0; r < 3; ++r)
            for (uint32_t c = 0; c < 3; ++c) m[r][c] = matrix.Element(r, c);
        const ImageLib_RowRange& rows = view->rows;
        const int32_t width = region.Width();
        const MixRow mixRow = SelectMixRow();
        ImageLib_ParallelFor(
            region.Height(),
            [&rows, &m, width, mixRow](int32_t y) {
                float* pixel = rows.Row(y).As<float>();
                const int32_t done = mixRow(pixel, width, m);
                pixel += 3 * static_cast<ptrdiff_t>(done);
                for (int32_t x = done; x < width; ++x, pixel += 3) {
                    const float p0 = pixel[0], p1 = pixel[1], p2 = pixel[2];
                    for (uint32_t r = 0; r < 3; ++r) {
                        float sum = 0.0f;
                        sum += m[r][0] * p0;
                        sum += m[r][1] * p1;
                        sum += m[r][2] * p2;
                        pixel[r] = sum;
                    }
                }
            },
            width);
        return;
    }
    for (const ImageLib_RowIterator& row : mapped.rows()) {
        for (uint8_t* at = row.rowBegin; at != row.rowEnd; at += pixelBytes) {
            float* pixel = reinterpret_cast<float*>(at);
            std::fill(product, product + n, 0.0f);
            for (uint32_t r = 0; r < n; ++r)
                for (uint32_t c = 0; c < n; ++c) product[r] += matrix.Element(r, c) * pixel[c];
            std::copy(product, product + n, pixel);
        }
    }
}

void HsvFromRgb(float* pixel) {
    const float r = pixel[0], g = pixel[1], b = pixel[2];
    const float v = std::max({0.0f, r, g, b});
    const float m = std::min({1.0f, r, g, b});
    float hue = 0.0f, saturation = 0.0f;
    if (v != 0.0f) {
        const float delta = v - m;
        saturation = delta / v;
        if (saturation != 0.0f) {
            float h;
            if (r != v)
                h = g == v ? (b - r) / delta + 2.0f : (r - g) / delta + 4.0f;
            else
                h = (g - b) / delta;
            h = h * 60.0f;
            if (h < 0.0f) h = h + 360.0f;
            hue = h / 360.0f;
            // A hue just below 0 wraps to a sum that rounds to 360; hue must
            // stay below 1, and the nearest value there is also the nearest
            // to the true hue.
            if (hue >= 1.0f) hue = std::nextafter(1.0f, 0.0f);
        }
    }
    pixel[0] = hue;
    pixel[1] = saturation;
    pixel[2] = v;
}

} // namespace

void ColorspaceNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& request) {
    const ImageLib_Rect region = ImageLib_Rect::Intersect(request, output.bounds);
    if (region.IsEmpty()) return;
    const uint32_t n = output.format.channels;
    if (matrix.rows < n || matrix.columns < n ||
        matrix.values.size() < static_cast<size_t>(matrix.columns) * matrix.rows)
        throw std::invalid_argument("ColorspaceNode matrix is smaller than a pixel");
    input->Compute(output, region);
    ImageLib_Vector<float> product(n);
    switch (output.format.bytesPerChannel) {
    case 1:
        TransformSamples<uint8_t>(output, region, matrix, product.data());
        break;
    case 2:
        TransformSamples<uint16_t>(output, region, matrix, product.data());
        break;
    default:
        TransformFloats(output, region, matrix, product.data());
        break;
    }
}

ImageLib_Rect ColorspaceNode::ComputeBounds() { return input->GetBounds(); }

void RGB2HSVNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& request) {
    const ImageLib_Rect region = ImageLib_Rect::Intersect(request, output.bounds);
    if (region.IsEmpty()) return;
    if (output.format.channels < 3) throw std::invalid_argument("RGB2HSVNode needs red, green and blue");
    input->Compute(output, region);
    const ImageLib_FloatRows rows(output, region, ImageLib_AccessMode::ReadWrite);
    const uint32_t channels = rows.Channels();
    const uint32_t samples = rows.RowFloats();
    ImageLib_ForEachRow(region, [&rows, channels, samples](int32_t y) {
        float* row = rows.Row(y);
        for (uint32_t i = 0; i < samples; i += channels) HsvFromRgb(row + i);
    });
}

ImageLib_Rect RGB2HSVNode::ComputeBounds() { return input->GetBounds(); }

ImageLib_ComputeNode* CreateColorspaceNode(const ImageLib_Matrix& matrix, ImageLib_ComputeNode* input) {
    return new ColorspaceNode(matrix, input);
}

ImageLib_ComputeNode* CreateRGB2HSVNode(ImageLib_ComputeNode* input) { return new RGB2HSVNode(input); }

} // namespace ImageLib_Resampling
