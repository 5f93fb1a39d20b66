#include "ImageLib_Fourier.h"

#include "ImageLib_Math.h"
#include "ImageLib_Paths.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstring>

#include <utility>

namespace {

using Complex = std::complex<float>;

// A scope of one step per column plus one, the shape every routine here reports.
int32_t StepsFor(uint32_t count) {
    return static_cast<int32_t>(std::min<uint64_t>(static_cast<uint64_t>(count) + 1, INT32_MAX));
}

// acc[i] += x * column[i] for i < n, with the operations of std::complex<float>
// multiplication and addition in their order ((xr yr - xi yi), (xr yi + xi yr)),
// so each sum is the one the plain loops build; those fall back to a library
// routine only when both parts of a product are NaN, which finite inputs never
// give. Vectors hold interleaved (real, imaginary) pairs: the products with xr
// and with xi times the pair-swapped vector are subtracted in the real lanes
// and added in the imaginary ones, which are the scalar operations lane by lane.
inline void MultiplyAddScalar(float xr, float xi, const float* in, float* out, uint32_t from, uint32_t n) {
    for (uint32_t i = from; i < n; ++i) {
        const float yr = in[2 * i], yi = in[2 * i + 1];
        out[2 * i] += xr * yr - xi * yi;
        out[2 * i + 1] += xr * yi + xi * yr;
    }
}

using MultiplyAddFunction = void (*)(float, float, const float*, float*, uint32_t);

void MultiplyAddPlain(float xr, float xi, const float* in, float* out, uint32_t n) {
    MultiplyAddScalar(xr, xi, in, out, 0, n);
}

#if SIMD_X86

SIMD_TARGET_AVX2 void MultiplyAddAvx2(float xr, float xi, const float* in, float* out, uint32_t n) {
    const __m256 vr = _mm256_set1_ps(xr), vi = _mm256_set1_ps(xi);
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256 y = _mm256_loadu_ps(in + 2 * i);
        const __m256 straight = _mm256_mul_ps(vr, y);
        const __m256 crossed = _mm256_mul_ps(vi, _mm256_permute_ps(y, 0xB1));
        const __m256 product =
            _mm256_blend_ps(_mm256_sub_ps(straight, crossed), _mm256_add_ps(straight, crossed), 0xAA);
        _mm256_storeu_ps(out + 2 * i, _mm256_add_ps(_mm256_loadu_ps(out + 2 * i), product));
    }
    MultiplyAddScalar(xr, xi, in, out, i, n);
}

SIMD_TARGET_AVX512 void MultiplyAddAvx512(float xr, float xi, const float* in, float* out, uint32_t n) {
    const __m512 vr = _mm512_set1_ps(xr), vi = _mm512_set1_ps(xi);
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m512 y = _mm512_loadu_ps(in + 2 * i);
        const __m512 straight = _mm512_mul_ps(vr, y);
        const __m512 crossed = _mm512_mul_ps(vi, _mm512_permute_ps(y, 0xB1));
        const __m512 product =
            _mm512_mask_blend_ps(0xAAAA, _mm512_sub_ps(straight, crossed), _mm512_add_ps(straight, crossed));
        _mm512_storeu_ps(out + 2 * i, _mm512_add_ps(_mm512_loadu_ps(out + 2 * i), product));
    }
    MultiplyAddScalar(xr, xi, in, out, i, n);
}
#endif

MultiplyAddFunction SelectMultiplyAdd() {
#if SIMD_X86
    constexpr MultiplyAddFunction kByPath[kSimdPathCount] = {&MultiplyAddPlain, &MultiplyAddPlain, &MultiplyAddAvx2,
                                                             &MultiplyAddAvx512};
    return kByPath[static_cast<int32_t>(SelectedSimdPath())];
#else
    return &MultiplyAddPlain;
#endif
}

inline void MultiplyAddColumn(MultiplyAddFunction function, Complex x, const Complex* column, Complex* acc,
                              uint32_t n) {
    function(x.real(), x.imag(), reinterpret_cast<const float*>(column), reinterpret_cast<float*>(acc), n);
}

} // namespace

void MakeFourierMatrix(ImageLib_ComplexMatrix& matrix, int32_t sign) {
    assert(matrix.values.size() == static_cast<size_t>(matrix.columns) * matrix.rows);
    ImageLib_ProgressScope progress(StepsFor(matrix.columns));
    // The angle is built from float pi/4 and multiplied in a fixed order, and its
    // cosine and sine are our own, so that every build produces the same matrix
    // to the last bit.
    constexpr float eighthTurn = 0.785398163397448309616f;
    const float step = 1.0f / static_cast<float>(matrix.columns);
    const float perUnit = (static_cast<float>(sign) * (8.0f * eighthTurn)) * step;
    progress.Step();
    for (uint32_t j = 0; j < matrix.columns; ++j) {
        const float perRow = perUnit * static_cast<float>(j);
        for (uint32_t k = 0; k < matrix.rows; ++k) {
            const float theta = static_cast<float>(k) * perRow;
            float cosine = 0.0f, sine = 0.0f;
            ImageLib_CosSin(theta, cosine, sine);
            matrix.Element(k, j) = Complex(cosine, sine);
        }
        progress.Step();
    }
}

void TransformColumns(const ImageLib_ComplexMatrix& input, const ImageLib_ComplexMatrix& fourier,
                      ImageLib_ComplexMatrix& output) {
    assert(&output != &input && &output != &fourier);
    ImageLib_ProgressScope progress(StepsFor(input.columns));
    output.Reset(input.columns, input.rows);
    progress.Step();
    const bool fast = !SimdReference();
    const MultiplyAddFunction multiplyAdd = SelectMultiplyAdd();
    for (uint32_t c = 0; c < input.columns; ++c) {
        if (fast) {
            // Column c of the output gathers, for each k in turn, column k of
            // the Fourier matrix times input (k, c): every element's sum in
            // the same order as below. Columns are contiguous.
            Complex* out = &output.Element(0, c);
            for (uint32_t k = 0; k < input.rows; ++k)
                MultiplyAddColumn(multiplyAdd, input.Element(k, c), &fourier.Element(0, k), out, input.rows);
        } else {
            for (uint32_t r = 0; r < input.rows; ++r) {
                Complex sum(0.0f, 0.0f);
                for (uint32_t k = 0; k < input.rows; ++k) sum += fourier.Element(r, k) * input.Element(k, c);
                output.Element(r, c) = sum;
            }
        }
        progress.Step();
    }
}

void TransformRows(const ImageLib_ComplexMatrix& input, const ImageLib_ComplexMatrix& fourier,
                   ImageLib_ComplexMatrix& output) {
    assert(&output != &input && &output != &fourier);
    ImageLib_ProgressScope progress(StepsFor(input.columns));
    output.Reset(input.columns, input.rows);
    progress.Step();
    const bool fast = !SimdReference();
    const MultiplyAddFunction multiplyAdd = SelectMultiplyAdd();
    for (uint32_t c = 0; c < input.columns; ++c) {
        if (fast) {
            Complex* out = &output.Element(0, c);
            for (uint32_t k = 0; k < input.columns; ++k)
                MultiplyAddColumn(multiplyAdd, fourier.Element(k, c), &input.Element(0, k), out, input.rows);
        } else {
            for (uint32_t r = 0; r < input.rows; ++r) {
                Complex sum(0.0f, 0.0f);
                for (uint32_t k = 0; k < input.columns; ++k) sum += fourier.Element(k, c) * input.Element(r, k);
                output.Element(r, c) = sum;
            }
        }
        progress.Step();
    }
}

void Transform2D(const ImageLib_ComplexMatrix& input, ImageLib_ComplexMatrix& output, int32_t sign) {
    // Taken now: `output` may be `input`, and is overwritten by the last product only.
    const uint32_t columns = input.columns;
    const uint32_t rows = input.rows;
    ImageLib_ProgressScope progress(columns == rows ? 3 : 4);
    ImageLib_ComplexMatrix fourier(rows, rows);
    MakeFourierMatrix(fourier, sign);
    progress.Step();
    ImageLib_ComplexMatrix partial;
    TransformColumns(input, fourier, partial);
    progress.Step();
    if (columns != rows) {
        fourier.Reset(columns, columns);
        MakeFourierMatrix(fourier, sign);
        progress.Step();
    }
    TransformRows(partial, fourier, output);
    progress.Step();
}

void ForwardTransform2D(const ImageLib_ComplexMatrix& input, ImageLib_ComplexMatrix& output) {
    Transform2D(input, output, 1);
}

void InverseTransform2D(const ImageLib_ComplexMatrix& input, ImageLib_ComplexMatrix& output) {
    const uint64_t count = static_cast<uint64_t>(input.columns) * input.rows;
    Transform2D(input, output, -1);
    const Complex scale(1.0f / static_cast<float>(count), 0.0f);
    for (Complex& value : output.values) value *= scale;
}

void PowerSpectrum(const ImageLib_ComplexMatrix& input, ImageLib_Matrix& output) {
    ImageLib_ComplexMatrix spectrum;
    ForwardTransform2D(input, spectrum);
    output.Reset(input.columns, input.rows);
    for (size_t i = 0; i < spectrum.values.size(); ++i) {
        const Complex value = spectrum.values[i];
        output.values[i] = value.imag() * value.imag() + value.real() * value.real();
    }
}

void KernelFromPowerSpectrum(const ImageLib_Matrix& power, ImageLib_Kernel& kernel) {
    ImageLib_ProgressScope progress(3);
    ImageLib_ComplexMatrix spectrum(power.columns, power.rows);
    for (size_t i = 0; i < power.values.size(); ++i) spectrum.values[i] = Complex(std::sqrt(power.values[i]), 0.0f);
    progress.Step();
    InverseTransform2D(spectrum, spectrum);
    progress.Step();
    // Built aside and moved in, so that `kernel` is untouched when memory is refused.
    ImageLib_Kernel result(spectrum.columns, spectrum.rows);
    for (uint32_t c = 0; c < spectrum.columns; ++c) {
        // The transform puts lag zero at index 0 and negative lags at the top end.
        const int32_t x = c <= (spectrum.columns - 1) / 2
                              ? static_cast<int32_t>(c)
                              : static_cast<int32_t>(c) - static_cast<int32_t>(spectrum.columns);
        for (uint32_t r = 0; r < spectrum.rows; ++r) {
            const int32_t y = r <= (spectrum.rows - 1) / 2
                                  ? static_cast<int32_t>(r)
                                  : static_cast<int32_t>(r) - static_cast<int32_t>(spectrum.rows);
            result.At(x, y) = spectrum.Element(r, c).real();
        }
    }
    kernel = std::move(result);
    progress.Step();
}
