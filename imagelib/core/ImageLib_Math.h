// Exponential, sine and cosine of our own, where their results reach output
// bytes (two blend modes, the Gaussian kernel, the Fourier matrix of every
// analysis). The C libraries' versions differ in the last bit between
// platforms (glibc on Linux, mingw-w64's on Windows), and "same parameters,
// same bytes on every machine" must not rest on two libraries agreeing.
//
// Each is evaluated in IEEE double arithmetic with a fixed sequence of
// operations (the build turns off contraction into fused multiply-adds):
// a reduction by a two-part constant whose products are exact, a Taylor
// polynomial far more accurate than a float needs, one rounding to float. So
// the result is the correctly rounded float except, at worst, where the exact
// value lies within about 2^-40 of a halfway point, and it is the same float
// on every IEEE machine and compiler. There is one version of each: the fast
// and the reference paths call the same function.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace imagelib_math_detail {

// Rounds to the nearest integer (ties to even) in the default rounding mode,
// without a library call: adding and removing 1.5 x 2^52 drops the fraction.
inline double RoundToInteger(double x) {
    constexpr double kShift = 6755399441055744.0;
    return (x + kShift) - kShift;
}

// 2^k for -1022 <= k <= 1023, exactly.
inline double PowerOfTwo(int64_t k) { return std::bit_cast<double>(static_cast<uint64_t>(k + 1023) << 52); }

// 1 / n!, for n up to 18, each the correctly rounded quotient of an exact factorial.
inline constexpr std::array<double, 19> kReciprocalFactorial = [] {
    std::array<double, 19> table{};
    double factorial = 1.0;
    for (int n = 0; n < 19; ++n) {
        if (n > 1) factorial *= n;
        table[static_cast<size_t>(n)] = 1.0 / factorial;
    }
    return table;
}();

} // namespace imagelib_math_detail

// e^x rounded to float; +inf above 88.73, 0 below -103.98, NaN for NaN.
inline float ImageLib_Exp(float value) {
    using namespace imagelib_math_detail;
    if (!(value > -104.0f)) return value != value ? value : 0.0f;
    if (value > 89.0f) return std::numeric_limits<float>::infinity();
    const double x = value;
    const double k = RoundToInteger(x * 1.4426950408889634);
    // ln 2 in two parts; the first has 32 significant bits, so k x it is exact.
    constexpr double kLn2High = 0.693147180369123816490, kLn2Low = 1.90821492927058770002e-10;
    const double r = (x - k * kLn2High) - k * kLn2Low; // |r| <= 0.35
    double p = kReciprocalFactorial[11];
    for (int n = 10; n >= 0; --n) p = p * r + kReciprocalFactorial[static_cast<size_t>(n)];
    return static_cast<float>(p * PowerOfTwo(static_cast<int64_t>(k)));
}

// cos x and sin x rounded to float, for |x| below 2^20 (the reduction's exact range).
inline void ImageLib_CosSin(float value, float& cosine, float& sine) {
    using namespace imagelib_math_detail;
    const double x = value;
    const double q = RoundToInteger(x * 0.636619772367581343076);
    // pi/2 in two parts; the first has 33 significant bits, so q x it is exact.
    constexpr double kHalfPiHigh = 1.57079632673412561417, kHalfPiLow = 6.07710050650619224932e-11;
    const double r = (x - q * kHalfPiHigh) - q * kHalfPiLow; // |r| <= pi/4
    const double r2 = r * r;
    // sin r = r (1 - r^2/3! + r^4/5! - ...), cos r = 1 - r^2/2! + r^4/4! - ..., to r^18.
    double s = kReciprocalFactorial[17], c = -kReciprocalFactorial[18];
    for (int n = 15; n >= 1; n -= 2) {
        const double term = kReciprocalFactorial[static_cast<size_t>(n)];
        s = (n % 4 == 1 ? term : -term) + r2 * s;
    }
    for (int n = 16; n >= 0; n -= 2) {
        const double term = kReciprocalFactorial[static_cast<size_t>(n)];
        c = (n % 4 == 0 ? term : -term) + r2 * c;
    }
    s = s * r;
    switch (static_cast<int64_t>(q) & 3) {
    case 0:
        cosine = static_cast<float>(c), sine = static_cast<float>(s);
        break;
    case 1:
        cosine = static_cast<float>(-s), sine = static_cast<float>(c);
        break;
    case 2:
        cosine = static_cast<float>(-c), sine = static_cast<float>(-s);
        break;
    default:
        cosine = static_cast<float>(s), sine = static_cast<float>(-c);
        break;
    }
}
