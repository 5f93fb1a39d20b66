#include "ImageLib_Resampling.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_Paths.h"

#include "ImageLib_BasicNodes.h"
#include "imagelib/core/ImageLib_Views.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace ImageLib_Resampling {

namespace {

constexpr int64_t kMinCoordinate = std::numeric_limits<int32_t>::min();
constexpr int64_t kMaxCoordinate = std::numeric_limits<int32_t>::max();

bool FitsPlane(int64_t value) { return value >= kMinCoordinate && value <= kMaxCoordinate; }

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

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
// Sixteen pixels (three vectors of floats) at a time. Output float g of the
// chunk takes the three samples of its pixel, 3 (g / 3) + k; those of vector
// v lie in [16 v - 2, 16 v + 18) within the chunk, so two loads inside the
// chunk and a two-source permute bring them to g's lane.
__attribute__((target("avx512f"))) int32_t MixRowAvx512(float* pixel, int32_t width, const float (&m)[3][3]) {
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
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
    if (ImageLib_SelectedVectorWidth() == ImageLib_VectorWidth::Avx512) return &MixRowAvx512;
#endif
    return &MixRowPlain;
}

void TransformFloats(ImageLib_ImageAccess& output, const ImageLib_Rect& region, const ImageLib_Matrix& matrix,
                     float* product) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    const uint32_t n = view->format.channels;
    const uint32_t pixelBytes = view->format.bytesPerPixel;
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::ReadWrite);
    if (n == 3 && pixelBytes == 12 && !ImageLib_ReferencePaths()) {
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

ImageLib_Rect ReflectionNode::ComputeBounds() {
    const ImageLib_Rect bounds = input->GetBounds();
    return !bounds.infinite && bounds.IsEmpty() ? ImageLib_Rect::Nothing() : ImageLib_Rect::Everything();
}

void ReflectionNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& request) {
    // Clipping to the output also keeps an infinite request from visiting
    // tiles without end.
    const ImageLib_Rect region = ImageLib_Rect::Intersect(request, output.bounds);
    if (region.IsEmpty()) return;
    const ImageLib_Rect bounds = input->GetBounds();
    if (bounds.infinite) {
        input->Compute(output, region);
        return;
    }
    if (bounds.IsEmpty()) return;

    const int64_t w = static_cast<int64_t>(bounds.x1) - bounds.x0;
    const int64_t h = static_cast<int64_t>(bounds.y1) - bounds.y0;
    // Tiles and the views placing them reach up to two tiles beyond the
    // output, in coordinates relative to the input's corner; an image so large
    // that those leave the 32-bit plane cannot be represented.
    const int64_t cornerX = bounds.x0, cornerY = bounds.y0;
    const ImageLib_Rect& out = output.bounds;
    if (!FitsPlane(w) || !FitsPlane(h) || !FitsPlane(-cornerX) || !FitsPlane(-cornerY) ||
        !FitsPlane(out.x0 - cornerX - 2 * w) || !FitsPlane(out.x1 - cornerX + 2 * w) ||
        !FitsPlane(out.y0 - cornerY - 2 * h) || !FitsPlane(out.y1 - cornerY + 2 * h))
        throw ImageLib_MemoryError();

    ImageLib_BasicNodes::TranslateNode translated(bounds.x0, bounds.y0, input);
    ImageLibImplementation::TranslationAccess translatedOutput(output, bounds.x0, bounds.y0);
    const ImageLib_Rect inputBounds{0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h), false};
    const ImageLib_Rect q = region.Offset(-bounds.x0, -bounds.y0);
    const int64_t firstColumn = (q.x0 - w + 1) / w, lastColumn = q.x1 / w;
    const int64_t firstRow = (q.y0 - h + 1) / h, lastRow = q.y1 / h;
    for (int64_t j = firstRow; j <= lastRow; ++j)
        for (int64_t i = firstColumn; i <= lastColumn; ++i)
            ComputeTile(translated, translatedOutput, inputBounds, q, static_cast<int32_t>(i), static_cast<int32_t>(j));
}

void ReflectionNode::ComputeTile(ImageLib_ComputeNode& translatedInput, ImageLib_ImageAccess& translatedOutput,
                                 const ImageLib_Rect& inputBounds, const ImageLib_Rect& request, int32_t column,
                                 int32_t row) {
    const int64_t w = inputBounds.Width(), h = inputBounds.Height();
    const int64_t left = column * w, top = row * h, right = left + w, bottom = top + h;
    const int64_t x0 = std::max<int64_t>(left, request.x0), x1 = std::min<int64_t>(right, request.x1);
    const int64_t y0 = std::max<int64_t>(top, request.y0), y1 = std::min<int64_t>(bottom, request.y1);
    if (x0 >= x1 || y0 >= y1) return;

    const bool mirrorX = column % 2 != 0, mirrorY = row % 2 != 0;
    const int64_t sourceX = mirrorX ? right - x1 : x0 - left;
    const int64_t sourceY = mirrorY ? bottom - y1 : y0 - top;
    const ImageLib_Rect source{static_cast<int32_t>(sourceX), static_cast<int32_t>(sourceY),
                               static_cast<int32_t>(sourceX + (x1 - x0)), static_cast<int32_t>(sourceY + (y1 - y0)),
                               false};
    const int64_t offsetX = mirrorX ? x0 + x1 - right : left;
    const int64_t offsetY = mirrorY ? y0 + y1 - bottom : top;
    ImageLibImplementation::TranslationAccess tile(translatedOutput, static_cast<int32_t>(offsetX),
                                                   static_cast<int32_t>(offsetY));
    translatedInput.Compute(tile, source);

    const uint32_t pixelBytes = tile.format.bytesPerPixel;
    if (mirrorX) {
        const int32_t width = source.Width();
        ImageLib_MappedRegion mapped(tile, source, ImageLib_AccessMode::ReadWrite);
        for (const ImageLib_RowIterator& line : mapped.rows())
            for (int32_t k = 0; k < width / 2; ++k)
                std::swap_ranges(line.rowBegin + static_cast<size_t>(k) * pixelBytes,
                                 line.rowBegin + static_cast<size_t>(k + 1) * pixelBytes,
                                 line.rowBegin + static_cast<size_t>(width - 1 - k) * pixelBytes);
    }
    if (mirrorY) {
        const int32_t height = source.Height();
        ImageLib_MappedRegion mapped(tile, source, ImageLib_AccessMode::ReadWrite);
        for (int32_t k = 0; k < height / 2; ++k) {
            const ImageLib_RowIterator upper = mapped.rows().Row(k), lower = mapped.rows().Row(height - 1 - k);
            std::swap_ranges(upper.rowBegin, upper.rowEnd, lower.rowBegin);
        }
    }
}

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
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    const uint32_t pixelBytes = view->format.bytesPerPixel;
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::ReadWrite);
    for (const ImageLib_RowIterator& row : mapped.rows())
        for (uint8_t* pixel = row.rowBegin; pixel != row.rowEnd; pixel += pixelBytes)
            HsvFromRgb(reinterpret_cast<float*>(pixel));
}

ImageLib_Rect RGB2HSVNode::ComputeBounds() { return input->GetBounds(); }

ImageLib_ComputeNode* CreateReflectionNode(ImageLib_ComputeNode* input) { return new ReflectionNode(input); }

ImageLib_ComputeNode* CreateColorspaceNode(const ImageLib_Matrix& matrix, ImageLib_ComputeNode* input) {
    return new ColorspaceNode(matrix, input);
}

ImageLib_ComputeNode* CreateRGB2HSVNode(ImageLib_ComputeNode* input) { return new RGB2HSVNode(input); }

} // namespace ImageLib_Resampling
