// The arithmetic behind LogFloat, shared by its scalar form and the vectorised
// code that calls it per lane (LogFloat.cpp, the noise lanes of ImageLib).
//
// ln(x) = k ln 2 + ln(c) + ln(1 + r), where x = 2^k z with z in [0.7, 1.4),
// c is the midpoint of the table interval holding z (one of 128) and
// r = z / c - 1 is computed exactly as z * (1/c) - 1 (1/c is stored with 29
// significant bits, so the product of a 24-bit z by it is exact in double, and
// the subtraction is exact because the product is close to 1). The intervals
// next to 1 use c = 1 so that results near 0 keep their relative accuracy.
// ln(1 + r) is its Taylor series to r^9 (|r| < 2^-7, truncation below 2^-63
// relative); the large terms are summed without error (two-sum) and the result
// is carried as a double-double hi + lo with a relative error near 2^-60. It is
// rounded to float through round-to-odd on hi (folding the sign of lo into the
// last bit), which makes the final double-to-float conversion round the exact
// sum hi + lo, not hi alone: no double rounding. That exact path is only
// needed when a plain double estimate (the same reduction, the series to r^8,
// no error terms) lies too close to a rounding boundary: see Estimate. The
// vector kernel computes the estimate and hands the rare close cases to the
// scalar form.
//
// Only IEEE double additions, subtractions and multiplications, in one fixed
// order, with no fused multiply-add: every path that follows the same steps
// gives the same bits on every x86-64 processor. Round-to-nearest must be the
// current rounding mode (it always is for the module). The kernels take
// positive normal finite inputs only; LogFloat handles the rest.
#pragma once

#include <bit>
#include <cstdint>

#include "simd/Simd.h"

namespace LogFloatKernel {

// Padded to four doubles, so that entry i starts at double 4 i; inverse and
// lnHigh are adjacent, so that the vector form fetches both with one load.
struct alignas(32) Entry {
    double inverse; // 1 / c, 29 significant bits
    double lnHigh;  // -ln(inverse) = hi + lo
    double lnLow;
    double unused;
};

constexpr int32_t kTableBits = 7;
// The float bits of 0.69921875: x's significand is reduced into [0.699, 1.398).
constexpr int32_t kOffset = 0x3F330000;
// ln 2 = kLn2High + kLn2Low; kLn2High has 45 significant bits, so k * kLn2High is
// exact for every |k| < 256.
constexpr double kLn2High = 0x1.62e42fefa3900p-1;
constexpr double kLn2Low = 0x1.de6af278ece60p-46;
// ln(1 + r) = r + r^2 (c2 + r (c3 + ... + r c9)).
constexpr double kC2 = -1.0 / 2.0, kC3 = 1.0 / 3.0, kC4 = -1.0 / 4.0, kC5 = 1.0 / 5.0, kC6 = -1.0 / 6.0,
                 kC7 = 1.0 / 7.0, kC8 = -1.0 / 8.0, kC9 = 1.0 / 9.0;

extern const Entry kTable[1 << kTableBits];

// The exact path: ln(bits) carried as a double-double and rounded once.
// `bits` is the bit pattern of a positive normal finite float; subnormals come
// here normalised, with a biased exponent of zero or less in the same linear
// encoding.
inline float Exact(int32_t bits) {
    const int32_t t = bits - kOffset;
    const int32_t i = (t >> (23 - kTableBits)) & ((1 << kTableBits) - 1);
    const int32_t k = t >> 23;
    const int32_t iz = bits - (t & static_cast<int32_t>(0xFF800000u));
    const Entry& e = kTable[i];
    const double z = static_cast<double>(std::bit_cast<float>(iz));
    const double kd = static_cast<double>(k);
    const double r = z * e.inverse - 1.0;
    const double p = kC2 + r * (kC3 + r * (kC4 + r * (kC5 + r * (kC6 + r * (kC7 + r * (kC8 + r * kC9))))));
    const double q = (r * r) * p;
    const double s0 = kd * kLn2High;
    const double s = s0 + e.lnHigh;
    const double sb = s - s0;
    const double t0 = (s0 - (s - sb)) + (e.lnHigh - sb);
    const double u = s + r;
    const double ub = u - s;
    const double v = (s - (u - ub)) + (r - ub);
    const double w = kd * kLn2Low + e.lnLow;
    const double lo = v + (q + (t0 + w));
    const double hi = u + lo;
    const double hb = hi - u;
    const double low = (u - (hi - hb)) + (lo - hb);
    uint64_t b = std::bit_cast<uint64_t>(hi);
    if (low != 0.0) {
        // Round to odd: hi's last bit stands in for everything below it.
        b -= (b ^ std::bit_cast<uint64_t>(low)) >> 63;
        b |= 1u;
    }
    return static_cast<float>(std::bit_cast<double>(b));
}

// The fast path: ln(x) in plain double arithmetic, within a few units in the
// last place of the double result (the terms k ln 2 and ln c are at most about
// twice the result, and every other error is far smaller). Rounding that
// double to float gives the correctly rounded result unless it lies within
// kHardDistance units of a float midpoint, where the true value might be on
// the other side: Hard() tells those apart (about 1 input in 2^23), and they
// take the exact path. That every other float rounds correctly this way is
// checked for all 2^32 inputs, not only argued.
constexpr int64_t kHardDistance = 32;
// The double bits below a float's last place; a midpoint has them at kHalf.
constexpr uint64_t kBelowFloat = (uint64_t{1} << 29) - 1;
constexpr uint64_t kHalf = uint64_t{1} << 28;

inline double Estimate(int32_t bits) {
    const int32_t t = bits - kOffset;
    const int32_t i = (t >> (23 - kTableBits)) & ((1 << kTableBits) - 1);
    const int32_t k = t >> 23;
    const int32_t iz = bits - (t & static_cast<int32_t>(0xFF800000u));
    const Entry& e = kTable[i];
    const double z = static_cast<double>(std::bit_cast<float>(iz));
    const double kd = static_cast<double>(k);
    const double r = z * e.inverse - 1.0;
    // Estrin's scheme: short dependency chains, the same in every path.
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double p = ((kC2 + r * kC3) + r2 * (kC4 + r * kC5)) + r4 * ((kC6 + r * kC7) + r2 * kC8);
    const double q = r2 * p;
    return (kd * kLn2High + e.lnHigh) + (r + (q + kd * kLn2Low));
}

inline bool Hard(double estimate) {
    const int64_t below = static_cast<int64_t>(std::bit_cast<uint64_t>(estimate) & kBelowFloat);
    const int64_t distance = below - static_cast<int64_t>(kHalf);
    return distance >= -kHardDistance && distance <= kHardDistance;
}

// LogFloat of a positive normal finite float given by its bits (or a
// normalised subnormal, as for Exact).
inline float FromBits(int32_t bits) {
    const double estimate = Estimate(bits);
    return Hard(estimate) ? Exact(bits) : static_cast<float>(estimate);
}

#if SIMD_X86

// The (inverse, lnHigh) pairs of four table entries, as a vector of inverses
// and a vector of logarithms: one 16-byte load per entry, where AVX2's gathers
// would take two gathers, slower than plain loads on several processors.
SIMD_TARGET_AVX2 inline void LoadEntriesAvx2(__m128i index, __m256d& inverse, __m256d& lnHigh) {
    const double* base = &kTable[0].inverse;
    const __m128d e0 = _mm_loadu_pd(base + _mm_cvtsi128_si32(index));
    const __m128d e1 = _mm_loadu_pd(base + _mm_extract_epi32(index, 1));
    const __m128d e2 = _mm_loadu_pd(base + _mm_extract_epi32(index, 2));
    const __m128d e3 = _mm_loadu_pd(base + _mm_extract_epi32(index, 3));
    const __m256d even = _mm256_insertf128_pd(_mm256_castpd128_pd256(e0), e2, 1);
    const __m256d odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(e1), e3, 1);
    inverse = _mm256_unpacklo_pd(even, odd);
    lnHigh = _mm256_unpackhi_pd(even, odd);
}

// c0 + x c1.
SIMD_TARGET_AVX2 inline __m256d PairAvx2(__m256d x, double c0, double c1) {
    return _mm256_add_pd(_mm256_set1_pd(c0), _mm256_mul_pd(x, _mm256_set1_pd(c1)));
}

// Estimate and Hard for four lanes: the same operations in the same order.
// Lanes found hard are set in `hard` (all ones).
SIMD_TARGET_AVX2 inline __m128 EstimateAvx2(__m128 zf, __m128i k, __m128i index, __m256i& hard) {
    __m256d inverse, lnHigh;
    LoadEntriesAvx2(index, inverse, lnHigh);
    const __m256d z = _mm256_cvtps_pd(zf);
    const __m256d kd = _mm256_cvtepi32_pd(k);
    const __m256d r = _mm256_sub_pd(_mm256_mul_pd(z, inverse), _mm256_set1_pd(1.0));
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    const __m256d p =
        _mm256_add_pd(_mm256_add_pd(PairAvx2(r, kC2, kC3), _mm256_mul_pd(r2, PairAvx2(r, kC4, kC5))),
                      _mm256_mul_pd(r4, _mm256_add_pd(PairAvx2(r, kC6, kC7), _mm256_mul_pd(r2, _mm256_set1_pd(kC8)))));
    const __m256d q = _mm256_mul_pd(r2, p);
    const __m256d high = _mm256_add_pd(_mm256_mul_pd(kd, _mm256_set1_pd(kLn2High)), lnHigh);
    const __m256d low = _mm256_add_pd(r, _mm256_add_pd(q, _mm256_mul_pd(kd, _mm256_set1_pd(kLn2Low))));
    const __m256d estimate = _mm256_add_pd(high, low);
    const __m256i distance =
        _mm256_sub_epi64(_mm256_and_si256(_mm256_castpd_si256(estimate), _mm256_set1_epi64x(kBelowFloat)),
                         _mm256_set1_epi64x(static_cast<int64_t>(kHalf)));
    hard = _mm256_andnot_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(-kHardDistance), distance),
                               _mm256_cmpgt_epi64(_mm256_set1_epi64x(kHardDistance + 1), distance));
    return _mm256_cvtpd_ps(estimate);
}

// LogFloat of eight positive normal finite floats.
SIMD_TARGET_AVX2 inline __m256 LogAvx2(__m256 x) {
    const __m256i bits = _mm256_castps_si256(x);
    const __m256i t = _mm256_sub_epi32(bits, _mm256_set1_epi32(kOffset));
    // Entry i starts at double 4 i.
    const __m256i index = _mm256_slli_epi32(
        _mm256_and_si256(_mm256_srli_epi32(t, 23 - kTableBits), _mm256_set1_epi32((1 << kTableBits) - 1)), 2);
    const __m256i k = _mm256_srai_epi32(t, 23);
    const __m256i iz =
        _mm256_sub_epi32(bits, _mm256_and_si256(t, _mm256_set1_epi32(static_cast<int32_t>(0xFF800000u))));
    const __m256 z = _mm256_castsi256_ps(iz);
    __m256i hardLow, hardHigh;
    const __m128 low =
        EstimateAvx2(_mm256_castps256_ps128(z), _mm256_castsi256_si128(k), _mm256_castsi256_si128(index), hardLow);
    const __m128 high = EstimateAvx2(_mm256_extractf128_ps(z, 1), _mm256_extracti128_si256(k, 1),
                                     _mm256_extracti128_si256(index, 1), hardHigh);
    __m256 result = _mm256_set_m128(high, low);
    const __m256i hard = _mm256_or_si256(hardLow, hardHigh);
    if (!_mm256_testz_si256(hard, hard)) {
        // Rare: redo the whole vector on the scalar path, which takes Exact where needed.
        float lanes[8];
        int32_t lanesBits[8];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanesBits), bits);
        for (int l = 0; l < 8; ++l) lanes[l] = FromBits(lanesBits[l]);
        result = _mm256_loadu_ps(lanes);
    }
    return result;
}

SIMD_TARGET_AVX512 inline __m512d PairAvx512(__m512d x, double c0, double c1) {
    return _mm512_add_pd(_mm512_set1_pd(c0), _mm512_mul_pd(x, _mm512_set1_pd(c1)));
}

// Estimate and Hard for eight lanes in AVX-512, the table entries gathered.
SIMD_TARGET_AVX512 inline __m256 EstimateAvx512(__m256 zf, __m256i k, __m256i index, __mmask8& hard) {
    const double* base = &kTable[0].inverse;
    const __m512d inverse = _mm512_i32gather_pd(index, base, 8);
    const __m512d lnHigh = _mm512_i32gather_pd(index, base + 1, 8);
    const __m512d z = _mm512_cvtps_pd(zf);
    const __m512d kd = _mm512_cvtepi32_pd(k);
    const __m512d r = _mm512_sub_pd(_mm512_mul_pd(z, inverse), _mm512_set1_pd(1.0));
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    const __m512d p = _mm512_add_pd(
        _mm512_add_pd(PairAvx512(r, kC2, kC3), _mm512_mul_pd(r2, PairAvx512(r, kC4, kC5))),
        _mm512_mul_pd(r4, _mm512_add_pd(PairAvx512(r, kC6, kC7), _mm512_mul_pd(r2, _mm512_set1_pd(kC8)))));
    const __m512d q = _mm512_mul_pd(r2, p);
    const __m512d high = _mm512_add_pd(_mm512_mul_pd(kd, _mm512_set1_pd(kLn2High)), lnHigh);
    const __m512d low = _mm512_add_pd(r, _mm512_add_pd(q, _mm512_mul_pd(kd, _mm512_set1_pd(kLn2Low))));
    const __m512d estimate = _mm512_add_pd(high, low);
    const __m512i distance =
        _mm512_sub_epi64(_mm512_and_si512(_mm512_castpd_si512(estimate), _mm512_set1_epi64(kBelowFloat)),
                         _mm512_set1_epi64(static_cast<int64_t>(kHalf)));
    hard = _mm512_cmpge_epi64_mask(distance, _mm512_set1_epi64(-kHardDistance)) &
           _mm512_cmple_epi64_mask(distance, _mm512_set1_epi64(kHardDistance));
    return _mm512_cvtpd_ps(estimate);
}

// LogFloat of sixteen positive normal finite floats.
SIMD_TARGET_AVX512 inline __m512 LogAvx512(__m512 x) {
    const __m512i bits = _mm512_castps_si512(x);
    const __m512i t = _mm512_sub_epi32(bits, _mm512_set1_epi32(kOffset));
    const __m512i index = _mm512_slli_epi32(
        _mm512_and_si512(_mm512_srli_epi32(t, 23 - kTableBits), _mm512_set1_epi32((1 << kTableBits) - 1)), 2);
    const __m512i k = _mm512_srai_epi32(t, 23);
    const __m512i iz =
        _mm512_sub_epi32(bits, _mm512_and_si512(t, _mm512_set1_epi32(static_cast<int32_t>(0xFF800000u))));
    const __m512d z = _mm512_castsi512_pd(iz);
    __mmask8 hardLow, hardHigh;
    const __m256 low = EstimateAvx512(_mm256_castpd_ps(_mm512_castpd512_pd256(z)), _mm512_castsi512_si256(k),
                                      _mm512_castsi512_si256(index), hardLow);
    const __m256 high = EstimateAvx512(_mm256_castpd_ps(_mm512_extractf64x4_pd(z, 1)), _mm512_extracti64x4_epi64(k, 1),
                                       _mm512_extracti64x4_epi64(index, 1), hardHigh);
    __m512 result =
        _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(low)), _mm256_castps_pd(high), 1));
    if ((hardLow | hardHigh) != 0) {
        // Rare: redo the whole vector on the scalar path, which takes Exact where needed.
        float lanes[16];
        int32_t lanesBits[16];
        _mm512_storeu_si512(lanesBits, bits);
        for (int l = 0; l < 16; ++l) lanes[l] = FromBits(lanesBits[l]);
        result = _mm512_loadu_ps(lanes);
    }
    return result;
}

#endif

} // namespace LogFloatKernel
