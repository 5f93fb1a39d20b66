#include "imagelib/core/ImageLib_Fourier.h"
#include "imagelib/core/ImageLib_Kernel.h"
#include "imagelib/core/ImageLib_Math.h"
#include "imagelib/core/ImageLib_Matrix.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/SimdPaths.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <type_traits>
#include <vector>

namespace {

using Complex = std::complex<float>;
using ComplexD = std::complex<double>;

// Every test runs inside a request and must hand back all memory and progress levels.
using KernelTest = testimages::NodeTest;
using FourierTest = testimages::NodeTest;

std::vector<float> ValuesOf(const ImageLib_Kernel& kernel) { return {kernel.values.begin(), kernel.values.end()}; }

ImageLib_Kernel RandomKernel(uint32_t width, uint32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    ImageLib_Kernel kernel(width, height);
    for (float& v : kernel.values) v = value(random);
    return kernel;
}

ImageLib_ComplexMatrix RandomMatrix(uint32_t columns, uint32_t rows, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    ImageLib_ComplexMatrix matrix(columns, rows);
    for (Complex& v : matrix.values) v = Complex(value(random), value(random));
    return matrix;
}

bool HasOffset(const ImageLib_Kernel& kernel, int32_t x, int32_t y) {
    return kernel.MinX() <= x && x <= kernel.MaxX() && kernel.MinY() <= y && y <= kernel.MaxY();
}

// F(u, v) = sum of A(c, r) exp(i sign 2 pi (u c / m + v r / n)), in double, same layout as A.
std::vector<ComplexD> NaiveTransform(const ImageLib_ComplexMatrix& a, int sign) {
    const uint32_t m = a.columns, n = a.rows;
    std::vector<ComplexD> out(static_cast<size_t>(m) * n);
    for (uint32_t u = 0; u < m; ++u)
        for (uint32_t v = 0; v < n; ++v) {
            ComplexD sum = 0.0;
            for (uint32_t c = 0; c < m; ++c)
                for (uint32_t r = 0; r < n; ++r) {
                    const double turns = static_cast<double>(u * c % m) / m + static_cast<double>(v * r % n) / n;
                    sum += ComplexD(a.Element(r, c)) * std::polar(1.0, sign * 2.0 * std::numbers::pi * turns);
                }
            out[static_cast<size_t>(u) * n + v] = sum;
        }
    return out;
}

// Ordinary matrix product left * right, with Element(row, column) on both sides.
std::vector<ComplexD> Product(const ImageLib_ComplexMatrix& left, const ImageLib_ComplexMatrix& right) {
    std::vector<ComplexD> out(static_cast<size_t>(right.columns) * left.rows);
    for (uint32_t r = 0; r < left.rows; ++r)
        for (uint32_t c = 0; c < right.columns; ++c) {
            ComplexD sum = 0.0;
            for (uint32_t k = 0; k < left.columns; ++k)
                sum += ComplexD(left.Element(r, k)) * ComplexD(right.Element(k, c));
            out[static_cast<size_t>(c) * left.rows + r] = sum;
        }
    return out;
}

void ExpectNear(const ImageLib_ComplexMatrix& actual, const std::vector<ComplexD>& expected, double tolerance) {
    ASSERT_EQ(actual.values.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual.values[i].real(), expected[i].real(), tolerance) << "element " << i;
        EXPECT_NEAR(actual.values[i].imag(), expected[i].imag(), tolerance) << "element " << i;
    }
}

TEST_F(KernelTest, SumsScaleAndNormaliseInFloat) {
    const ImageLib_Kernel empty(0, 0);
    EXPECT_LT(empty.MaxX(), empty.MinX());
    EXPECT_LT(empty.MaxY(), empty.MinY());
    ImageLib_Kernel kernel(3, 2);
    const std::vector<float> v = {1.0f, -2.0f, 3.0f, 0.5f, -4.0f, 2.0f};
    kernel.values.assign(v.begin(), v.end());
    EXPECT_EQ(kernel.Sum(), 0.5f);
    EXPECT_EQ(kernel.SumOfSquares(), 34.25f);
    kernel.Scale(-2.0f);
    for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(kernel.values[i], -2.0f * v[i]);
    kernel.NormalizeEnergy();
    EXPECT_NEAR(kernel.SumOfSquares(), 1.0f, 1e-6f);
    for (size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(kernel.values[i], -v[i] / std::sqrt(34.25), 1e-6);

    // Accumulated in float in storage order: the 1 is lost against 1e8 before -1e8 cancels it.
    ImageLib_Kernel order(3, 1);
    order.values = {1.0f, 1e8f, -1e8f};
    EXPECT_EQ(order.Sum(), 0.0f);

    ImageLib_Kernel zeros(4, 3);
    zeros.NormalizeEnergy();
    EXPECT_EQ(ValuesOf(zeros), std::vector<float>(12, 0.0f));
}

TEST_F(KernelTest, GaussianMatchesTheDensityAndSumsToOne) {
    struct Case {
        uint32_t width, height;
        float sigmaX, sigmaY;
    } cases[] = {{3, 3, 1.0f, 1.0f}, {5, 3, 2.0f, 0.7f}, {7, 1, 1.5f, 1.0f}, {4, 6, 1.2f, 0.8f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        ImageLib_Kernel kernel(c.width, c.height);
        kernel.MakeGaussian(c.sigmaX, c.sigmaY);
        ASSERT_EQ(kernel.values.size(), size_t{c.width} * c.height);
        double total = 0.0;
        auto density = [&](int32_t x, int32_t y) {
            return std::exp(-0.5 * (x * x / (double{c.sigmaX} * c.sigmaX) + y * y / (double{c.sigmaY} * c.sigmaY)));
        };
        for (int32_t y = kernel.MinY(); y <= kernel.MaxY(); ++y)
            for (int32_t x = kernel.MinX(); x <= kernel.MaxX(); ++x) total += density(x, y);
        for (int32_t y = kernel.MinY(); y <= kernel.MaxY(); ++y)
            for (int32_t x = kernel.MinX(); x <= kernel.MaxX(); ++x)
                EXPECT_NEAR(kernel.At(x, y), density(x, y) / total, 1e-6) << x << "," << y;
        EXPECT_NEAR(kernel.Sum(), 1.0f, 1e-6f);
    }
}

TEST_F(KernelTest, StretchSpreadsEachSampleOverTheCellsItCovers) {
    // An impulse of 1 at `from` in a line of `size` samples, stretched by `factor`; the
    // expectation lists the line from its lowest offset up, worked out by hand from the
    // covered interval [(from - 0.5) factor, (from + 0.5) factor] clipped to the line.
    struct Case {
        uint32_t size;
        float factor;
        int32_t from;
        std::vector<float> expected;
    } cases[] = {
        {5, 1.0f, 0, {0, 0, 1, 0, 0}},
        {5, 1.0f, -2, {1, 0, 0, 0, 0}},
        {5, 2.0f, 0, {0, 0.25f, 0.5f, 0.25f, 0}},
        {5, 2.0f, 1, {0, 0, 0, 0.25f, 0.5f}}, // [1, 3] loses its part beyond 2.5
        {5, 2.0f, 2, {0, 0, 0, 0, 0}},        // [3, 5] lies wholly outside
        {5, 3.0f, 0, {0, 1 / 3.0f, 1 / 3.0f, 1 / 3.0f, 0}},
        {5, 0.5f, 1, {0, 0, 0.5f, 0.5f, 0}}, // [0.25, 0.75] straddles cells 0 and 1
        {5, 0.5f, 2, {0, 0, 0, 1, 0}},       // [0.75, 1.25] inside cell 1
        {5, 0.0f, 0, {0, 0, 0, 0, 0}},       // an empty interval contributes nothing
        {4, 2.0f, 0, {0, 0.25f, 0.5f, 0.25f}},
        {4, 2.0f, 1, {0, 0, 0, 0.25f}},     // clipped at 1.5
        {4, 2.0f, -1, {0.5f, 0.25f, 0, 0}}, // clipped at -2.5
        {4, 2.0f, -2, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " factor " << c.factor << " from " << c.from);
        // Three parallel lines carrying 2, 1 and 0 times the impulse show that lines stay apart.
        ImageLib_Kernel wide(c.size, 3), tall(3, c.size);
        for (int32_t line = -1; line <= 1; ++line) {
            wide.At(c.from, line) = static_cast<float>(-line + 1);
            tall.At(line, c.from) = static_cast<float>(-line + 1);
        }
        wide.StretchX(c.factor);
        tall.StretchY(c.factor);
        ASSERT_EQ(wide.values.size(), size_t{c.size} * 3);
        ASSERT_EQ(tall.values.size(), size_t{c.size} * 3);
        for (int32_t line = -1; line <= 1; ++line)
            for (int32_t i = 0; i < static_cast<int32_t>(c.size); ++i) {
                const float expected = c.expected[static_cast<size_t>(i)] * static_cast<float>(-line + 1);
                EXPECT_NEAR(wide.At(wide.MinX() + i, line), expected, 1e-6f) << "row " << line << " sample " << i;
                EXPECT_NEAR(tall.At(line, tall.MinY() + i), expected, 1e-6f) << "column " << line << " sample " << i;
            }
    }

    ImageLib_Kernel random = RandomKernel(6, 5, 11);
    const std::vector<float> before = ValuesOf(random);
    random.StretchX(1.0f);
    EXPECT_EQ(ValuesOf(random), before);
    random.StretchY(1.0f);
    EXPECT_EQ(ValuesOf(random), before);
}

TEST_F(KernelTest, StretchPreservingEnergyKeepsTheSumOfSquares) {
    const std::pair<float, float> factors[] = {{1.7f, 0.6f}, {0.5f, 2.5f}, {1.0f, 1.0f}, {3.0f, 3.0f}};
    for (const auto& [fx, fy] : factors) {
        SCOPED_TRACE(testing::Message() << fx << " x " << fy);
        ImageLib_Kernel kernel = RandomKernel(7, 5, 3);
        ImageLib_Kernel shape = kernel;
        shape.StretchX(fx);
        shape.StretchY(fy);
        const double energy = kernel.SumOfSquares();
        kernel.StretchPreservingEnergy(fx, fy);
        EXPECT_NEAR(kernel.SumOfSquares(), energy, 1e-5 * energy);
        // Only the overall level differs from a plain stretch.
        const double gain = std::sqrt(energy / shape.SumOfSquares());
        for (size_t i = 0; i < kernel.values.size(); ++i) EXPECT_NEAR(kernel.values[i], shape.values[i] * gain, 1e-5);
    }

    ImageLib_Kernel impulse(5, 5);
    impulse.At(0, 0) = 1.0f;
    impulse.StretchPreservingEnergy(2.0f, 1.0f);
    const double norm = std::sqrt(0.25 * 0.25 * 2 + 0.5 * 0.5);
    for (int32_t y = -2; y <= 2; ++y)
        for (int32_t x = -2; x <= 2; ++x) {
            const double expected = y != 0 ? 0.0 : x == 0 ? 0.5 / norm : std::abs(x) == 1 ? 0.25 / norm : 0.0;
            EXPECT_NEAR(impulse.At(x, y), expected, 1e-6) << x << "," << y;
        }

    ImageLib_Kernel zeros(5, 4);
    zeros.StretchPreservingEnergy(2.0f, 0.5f);
    EXPECT_EQ(ValuesOf(zeros), std::vector<float>(20, 0.0f));
}

TEST_F(KernelTest, SubtractAndResampleLineUpCentres) {
    struct Case {
        uint32_t width, height, otherWidth, otherHeight;
    } cases[] = {{5, 5, 3, 3}, {3, 3, 5, 5}, {4, 4, 3, 3}, {3, 2, 4, 5}, {6, 1, 2, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " with " << c.otherWidth << "x"
                                        << c.otherHeight);
        const ImageLib_Kernel original = RandomKernel(c.width, c.height, 5);
        const ImageLib_Kernel other = RandomKernel(c.otherWidth, c.otherHeight, 6);
        auto shared = [&](int32_t x, int32_t y) { return HasOffset(other, x, y) ? other.At(x, y) : 0.0f; };

        ImageLib_Kernel difference = original;
        difference.Subtract(other);
        ImageLib_Kernel copy(c.width, c.height);
        copy.values.assign(copy.values.size(), 7.0f); // whatever was there before is discarded
        copy.ResampleFrom(other, 1.0f, 1.0f);
        ASSERT_EQ(difference.values.size(), size_t{c.width} * c.height);
        ASSERT_EQ(copy.values.size(), size_t{c.width} * c.height);
        for (int32_t y = original.MinY(); y <= original.MaxY(); ++y)
            for (int32_t x = original.MinX(); x <= original.MaxX(); ++x) {
                EXPECT_EQ(difference.At(x, y), original.At(x, y) - shared(x, y)) << x << "," << y;
                EXPECT_NEAR(copy.At(x, y), shared(x, y), 1e-6f) << x << "," << y;
            }

        // Stretched, the copy keeps the energy of what was copied in, not of the whole source.
        double copiedEnergy = 0.0;
        for (int32_t y = original.MinY(); y <= original.MaxY(); ++y)
            for (int32_t x = original.MinX(); x <= original.MaxX(); ++x) copiedEnergy += shared(x, y) * shared(x, y);
        ImageLib_Kernel resampled(c.width, c.height);
        resampled.ResampleFrom(other, 2.0f, 0.5f);
        EXPECT_NEAR(resampled.SumOfSquares(), copiedEnergy, 1e-5 * copiedEnergy);
    }
}

// Our exponential, cosine and sine are the correctly rounded floats (against the
// long double functions, 64-bit significands) across their ranges, and keep the
// special values; the C library's versions differ between platforms.
TEST(OwnTranscendentals, AreCorrectlyRoundedFloats) {
    int32_t wrong = 0;
    for (int32_t i = 0; i <= 400000; ++i) {
        const float x = -103.9f + static_cast<float>(i) * (192.6f / 400000.0f);
        const float expected = static_cast<float>(std::exp(static_cast<long double>(x)));
        if (ImageLib_Exp(x) != expected && ++wrong < 5) ADD_FAILURE() << "exp " << std::hexfloat << x;
    }
    for (int32_t i = 0; i <= 200000; ++i) {
        const float x = -1500.0f + static_cast<float>(i) * (3000.0f / 200000.0f) + 1e-3f * static_cast<float>(i % 7);
        float cosine = 0.0f, sine = 0.0f;
        ImageLib_CosSin(x, cosine, sine);
        if (cosine != static_cast<float>(std::cos(static_cast<long double>(x))) && ++wrong < 5)
            ADD_FAILURE() << "cos " << std::hexfloat << x;
        if (sine != static_cast<float>(std::sin(static_cast<long double>(x))) && ++wrong < 5)
            ADD_FAILURE() << "sin " << std::hexfloat << x;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(ImageLib_Exp(0.0f), 1.0f);
    EXPECT_EQ(ImageLib_Exp(1.0f), std::numbers::e_v<float>);
    EXPECT_EQ(ImageLib_Exp(89.0f), std::numeric_limits<float>::infinity());
    EXPECT_EQ(ImageLib_Exp(-std::numeric_limits<float>::infinity()), 0.0f);
    EXPECT_TRUE(std::isnan(ImageLib_Exp(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_GT(ImageLib_Exp(-103.0f), 0.0f) << "subnormal results are kept";
    float cosine = 0.0f, sine = 1.0f;
    ImageLib_CosSin(0.0f, cosine, sine);
    EXPECT_EQ(cosine, 1.0f);
    EXPECT_EQ(sine, 0.0f);
}

TEST_F(FourierTest, FourierMatrixAndSingleAxisProducts) {
    ImageLib_Matrix reset(3, 2);
    reset.values[1] = 5.0f;
    reset.Reset(2, 4);
    EXPECT_EQ(std::vector<float>(reset.values.begin(), reset.values.end()), std::vector<float>(8, 0.0f));
    // The angle is formed in single precision as k * ((sign * 8a * (1 / N)) * j) for column j
    // and row k, so the matrix is reproducible to the bit. Swapping j and k rounds differently
    // for some elements, which this size is checked to contain.
    const float eighthTurn = 0.785398163397448309616f;
    for (int32_t sign : {1, -1}) {
        const uint32_t size = 7;
        ImageLib_ComplexMatrix w(size, size);
        MakeFourierMatrix(w, sign);
        const float perUnit = (static_cast<float>(sign) * (8.0f * eighthTurn)) * (1.0f / static_cast<float>(size));
        int asymmetric = 0;
        for (uint32_t j = 0; j < size; ++j)
            for (uint32_t k = 0; k < size; ++k) {
                const float theta = static_cast<float>(k) * (perUnit * static_cast<float>(j));
                const float swapped = static_cast<float>(j) * (perUnit * static_cast<float>(k));
                asymmetric += theta != swapped;
                float cosine = 0.0f, sine = 0.0f;
                ImageLib_CosSin(theta, cosine, sine);
                EXPECT_EQ(w.Element(k, j), Complex(cosine, sine)) << j << "," << k;
            }
        EXPECT_GT(asymmetric, 0);
    }

    // Arbitrary (non-symmetric) W show which index each product runs over: the column
    // transform is W A, the row transform A W.
    const ImageLib_ComplexMatrix a = RandomMatrix(4, 3, 21);
    const ImageLib_ComplexMatrix w3 = RandomMatrix(3, 3, 22);
    const ImageLib_ComplexMatrix w4 = RandomMatrix(4, 4, 23);
    ImageLib_ComplexMatrix out(1, 1);
    TransformColumns(a, w3, out);
    EXPECT_EQ(out.columns, 4u);
    EXPECT_EQ(out.rows, 3u);
    ExpectNear(out, Product(w3, a), 1e-5);
    TransformRows(a, w4, out);
    EXPECT_EQ(out.columns, 4u);
    EXPECT_EQ(out.rows, 3u);
    ExpectNear(out, Product(a, w4), 1e-5);
}

TEST_F(FourierTest, MatchesADoublePrecisionDftOnAnySize) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{6, 5}, {3, 5}, {5, 3}, {7, 1}, {1, 4}, {4, 4}, {1, 1}};
    for (const auto& [columns, rows] : sizes) {
        SCOPED_TRACE(testing::Message() << columns << "x" << rows);
        const ImageLib_ComplexMatrix a = RandomMatrix(columns, rows, 1234 + columns);
        ImageLib_ComplexMatrix forward, inverse, roundTrip;
        ForwardTransform2D(a, forward);
        ASSERT_EQ(forward.columns, columns);
        ASSERT_EQ(forward.rows, rows);
        ExpectNear(forward, NaiveTransform(a, 1), 1e-4);

        std::vector<ComplexD> expectedInverse = NaiveTransform(a, -1);
        for (ComplexD& value : expectedInverse) value /= static_cast<double>(columns * rows);
        InverseTransform2D(a, inverse);
        ExpectNear(inverse, expectedInverse, 1e-5);

        callbacks.progress.clear();
        InverseTransform2D(forward, roundTrip);
        ExpectNear(roundTrip, std::vector<ComplexD>(a.values.begin(), a.values.end()), 1e-5);
        // Progress rises to 1 and never falls back, through every nested scope.
        ASSERT_FALSE(callbacks.progress.empty());
        EXPECT_TRUE(std::is_sorted(callbacks.progress.begin(), callbacks.progress.end()));
        EXPECT_EQ(callbacks.progress.back(), 1.0f);

        const std::vector<ComplexD> expectedForward = NaiveTransform(a, 1);
        ImageLib_Matrix power;
        PowerSpectrum(a, power);
        ASSERT_EQ(power.columns, columns);
        ASSERT_EQ(power.rows, rows);
        for (size_t i = 0; i < expectedForward.size(); ++i) {
            const double expected = std::norm(expectedForward[i]);
            EXPECT_NEAR(power.values[i], expected, 1e-4 * (1.0 + expected)) << "element " << i;
        }

        // In place gives the same result as into a separate matrix.
        ImageLib_ComplexMatrix inPlace = a;
        ForwardTransform2D(inPlace, inPlace);
        EXPECT_TRUE(inPlace.values == forward.values);
    }
}

// The vectorised products sum every element in the plain loops' order: the
// same bits on sizes with and without a vector tail, square or not, forward,
// inverse, spectrum and kernel alike, in every vector width.
TEST_F(FourierTest, FastProductsGiveTheReferenceBits) {
    const auto bits = [](const auto& values, std::vector<uint32_t>& out) {
        for (const auto& v : values) {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, Complex>) {
                out.push_back(std::bit_cast<uint32_t>(v.real()));
                out.push_back(std::bit_cast<uint32_t>(v.imag()));
            } else {
                out.push_back(std::bit_cast<uint32_t>(v));
            }
        }
    };
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},   {2, 3},   {7, 9},   {8, 8},
                                                   {17, 16}, {24, 24}, {33, 20}, {64, 64}};
    for (const auto& [columns, rows] : sizes) {
        const ImageLib_ComplexMatrix a = RandomMatrix(columns, rows, 77 + columns * rows);
        testpaths::ExpectEveryPathGivesTheReference(
            [&] {
                ImageLib_ComplexMatrix forward, inverse;
                ImageLib_Matrix power;
                ImageLib_Kernel kernel;
                ForwardTransform2D(a, forward);
                InverseTransform2D(a, inverse);
                PowerSpectrum(a, power);
                KernelFromPowerSpectrum(power, kernel);
                std::vector<uint32_t> out;
                bits(forward.values, out);
                bits(inverse.values, out);
                bits(power.values, out);
                bits(kernel.values, out);
                return out;
            },
            std::to_string(columns) + "x" + std::to_string(rows));
    }
}

TEST_F(FourierTest, KernelFromPowerSpectrumPutsLagZeroAtTheCentre) {
    // A flat spectrum is the spectrum of a unit impulse at lag zero.
    const std::pair<uint32_t, uint32_t> sizes[] = {{5, 5}, {4, 4}, {4, 6}, {3, 2}, {1, 1}};
    for (const auto& [columns, rows] : sizes) {
        SCOPED_TRACE(testing::Message() << columns << "x" << rows);
        ImageLib_Matrix flat(columns, rows);
        flat.values.assign(flat.values.size(), 1.0f);
        ImageLib_Kernel kernel(2, 2);
        kernel.values.assign(4, 9.0f);
        KernelFromPowerSpectrum(flat, kernel);
        ASSERT_EQ(kernel.width, columns);
        ASSERT_EQ(kernel.height, rows);
        ASSERT_EQ(kernel.values.size(), size_t{columns} * rows);
        for (int32_t y = kernel.MinY(); y <= kernel.MaxY(); ++y)
            for (int32_t x = kernel.MinX(); x <= kernel.MaxX(); ++x)
                EXPECT_NEAR(kernel.At(x, y), x == 0 && y == 0 ? 1.0f : 0.0f, 1e-6f) << x << "," << y;
    }
    ImageLib_Matrix flat(4, 4);
    flat.values.assign(16, 1.0f);
    ImageLib_Kernel even;
    KernelFromPowerSpectrum(flat, even);
    EXPECT_NEAR(even.values[10], 1.0f, 1e-6f);

    // A circularly symmetric kernel gx(x) gy(y) whose spectrum is real and positive is given
    // back by the square root of its power spectrum. The even sizes carry weight at lag N/2,
    // which belongs at the kernel's extra negative offset. Weights are listed by lag modulo N.
    struct Case {
        std::vector<double> gx, gy;
    } cases[] = {
        {{0.5, 0.25, 0, 0, 0.25}, {0.5, 0.25, 0, 0.25}},
        {{0.5, 0.25, 0.1, 0.25}, {0.5, 0.2, 0, 0.05, 0, 0.2}},
    };
    for (const Case& c : cases) {
        const int32_t columns = static_cast<int32_t>(c.gx.size()), rows = static_cast<int32_t>(c.gy.size());
        SCOPED_TRACE(testing::Message() << columns << "x" << rows);
        auto weight = [&](int32_t x, int32_t y) {
            return c.gx[static_cast<size_t>((x + columns) % columns)] * c.gy[static_cast<size_t>((y + rows) % rows)];
        };
        ImageLib_ComplexMatrix circular(columns, rows);
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t col = 0; col < columns; ++col)
                circular.Element(static_cast<uint32_t>(r), static_cast<uint32_t>(col)) =
                    Complex(static_cast<float>(weight(col, r)), 0.0f);
        const std::vector<ComplexD> spectrum = NaiveTransform(circular, 1);
        ImageLib_Matrix power(columns, rows);
        for (size_t i = 0; i < spectrum.size(); ++i) power.values[i] = static_cast<float>(std::norm(spectrum[i]));
        ImageLib_Kernel kernel;
        KernelFromPowerSpectrum(power, kernel);
        ASSERT_EQ(kernel.values.size(), spectrum.size());
        for (int32_t y = kernel.MinY(); y <= kernel.MaxY(); ++y)
            for (int32_t x = kernel.MinX(); x <= kernel.MaxX(); ++x)
                EXPECT_NEAR(kernel.At(x, y), weight(x, y), 1e-6) << x << "," << y;
    }
}

// Every operation with every memory request refused and every abort check
// failing in turn: inputs, outputs and scratch all given back.
TEST(FourierFailures, RefusedMemoryAndAbortReleaseEverything) {
    const std::pair<const char*, std::function<void()>> operations[] = {
        {"Transform2D",
         [] {
             ImageLib_ComplexMatrix out;
             Transform2D(RandomMatrix(2, 3, 4), out, 1);
         }},
        {"Transform2D in place",
         [] {
             ImageLib_ComplexMatrix a = RandomMatrix(3, 2, 4);
             Transform2D(a, a, -1);
         }},
        {"PowerSpectrum",
         [] {
             ImageLib_Matrix out;
             PowerSpectrum(RandomMatrix(3, 3, 4), out);
         }},
        {"KernelFromPowerSpectrum",
         [] {
             ImageLib_Kernel kernel(2, 2);
             KernelFromPowerSpectrum(ImageLib_Matrix(4, 3), kernel);
         }},
    };
    for (const auto& [name, run] : operations) {
        SCOPED_TRACE(name);
        testimages::ExpectCleanFailures([&run](ImageLib_TestCallbacks& callbacks) {
            testimages::CheckedContext context(&callbacks);
            run();
        });
    }
}

} // namespace
