// LogFloat must be the float nearest to ln(x) for every float x, and its
// vector form must give the same bits. The truth here is the long double
// logarithm of the C library rounded to float: 64 significant bits, so its own
// rounding error is far below the distance at which a float rounding could go
// either way for any of the inputs checked (a disagreement would be reported
// with its input, and would need a closer look, not a relaxed test).
//
// Every float in a few ranges is checked (all of [0.5, 1), the 2^18 floats
// from 1 up, the 2^21 floats from 2^-48 up, 2^-48 being the smallest squared
// radius the Gaussian deviates can produce, the 2^20 smallest subnormals and
// the 2^20 floats from 2^100 up),
// plus 4 million random floats in (0, 1) and every special value. Each input
// goes through LogFloat, LogFloatArray (the vector forms, AVX-512 where the
// processor has it and AVX2) and the exact path of
// the kernel on its own, so the path taken near rounding boundaries is checked
// on millions of inputs, not only on the few that need it.
#include "random/LogFloat.h"
#include "random/LogFloatKernel.h"
#include "tests/support/SimdPaths.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

float Truth(float x) { return static_cast<float>(logl(static_cast<long double>(x))); }

bool SameBits(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

std::string Describe(float x, float got, float want) {
    std::ostringstream text;
    text << std::hexfloat << "x = " << x << " (0x" << std::hex << std::bit_cast<uint32_t>(x) << std::hexfloat
         << "): got " << got << ", want " << want;
    return text.str();
}

// Checks every input three ways; returns the number of disagreements and
// records the first few.
struct Checker {
    int64_t checked = 0;
    int64_t wrong = 0;
    int64_t vectorDiffers = 0;
    int64_t exactWrong = 0;
    std::vector<std::string> examples;

    void Run(const std::vector<float>& in) {
        // The array in each width of vectors this processor runs.
        std::vector<std::pair<SimdPath, std::vector<float>>> vectorOuts;
        {
            testpaths::PathGuard guard;
            for (SimdPath path : {SimdPath::Avx2, SimdPath::Avx512}) {
                if (!SelectSimdPath(path)) continue;
                vectorOuts.emplace_back(path, std::vector<float>(in.size()));
                LogFloatArray(in.data(), vectorOuts.back().second.data(), in.size());
            }
        }
        for (size_t i = 0; i < in.size(); ++i) {
            const float x = in[i];
            const float want = Truth(x);
            const float got = LogFloat(x);
            ++checked;
            if (!SameBits(got, want)) {
                ++wrong;
                Note("LogFloat " + Describe(x, got, want));
            }
            for (const auto& [path, out] : vectorOuts) {
                if (!SameBits(out[i], got)) {
                    ++vectorDiffers;
                    Note(std::string("LogFloatArray in ") + SimdPathName(path) + " " + Describe(x, out[i], got));
                }
            }
            const uint32_t bits = std::bit_cast<uint32_t>(x);
            if (bits >= 0x00800000u && bits < 0x7F800000u) {
                const float exact = LogFloatKernel::Exact(static_cast<int32_t>(bits));
                if (!SameBits(exact, want)) {
                    ++exactWrong;
                    Note("exact path " + Describe(x, exact, want));
                }
            }
        }
    }

    void RunBits(uint32_t first, uint32_t count) {
        std::vector<float> in;
        in.reserve(count);
        for (uint32_t i = 0; i < count; ++i) in.push_back(std::bit_cast<float>(first + i));
        Run(in);
    }

    void Note(const std::string& text) {
        if (examples.size() < 20) examples.push_back(text);
    }

    void Expect(int64_t atLeast) const {
        EXPECT_GE(checked, atLeast);
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(vectorDiffers, 0);
        EXPECT_EQ(exactWrong, 0);
        for (const std::string& example : examples) ADD_FAILURE() << example;
    }
};

constexpr uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }

TEST(LogFloat, EveryFloatOfSeveralRangesIsCorrectlyRounded) {
    Checker checker;
    checker.RunBits(Bits(0.5f), Bits(1.0f) - Bits(0.5f)); // all of [0.5, 1)
    checker.RunBits(Bits(1.0f), 1u << 18);                // [1, 1 + 2^-5)
    checker.RunBits(Bits(0x1p-48f), 1u << 21);            // squared radii near the smallest
    checker.RunBits(1u, 1u << 20);                        // subnormals
    checker.RunBits(Bits(0x1p100f), 1u << 20);
    checker.Expect(int64_t{1} << 23);
}

TEST(LogFloat, RandomFloatsInTheUnitIntervalAreCorrectlyRounded) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<uint32_t> bits(1u, Bits(1.0f) - 1u);
    std::vector<float> in(1u << 22);
    for (float& x : in) x = std::bit_cast<float>(bits(random));
    Checker checker;
    checker.Run(in);
    checker.Expect(int64_t{1} << 22);
}

TEST(LogFloat, SpecialValues) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(SameBits(LogFloat(1.0f), 0.0f)); // +0, not -0
    EXPECT_TRUE(SameBits(LogFloat(0.0f), -inf));
    EXPECT_TRUE(SameBits(LogFloat(-0.0f), -inf));
    EXPECT_TRUE(SameBits(LogFloat(inf), inf));
    EXPECT_TRUE(std::isnan(LogFloat(-inf)));
    EXPECT_TRUE(std::isnan(LogFloat(-1.0f)));
    EXPECT_TRUE(std::isnan(LogFloat(-std::numeric_limits<float>::denorm_min())));
    EXPECT_TRUE(std::isnan(LogFloat(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_TRUE(std::isnan(LogFloat(-std::numeric_limits<float>::quiet_NaN())));
    // The extremes of the positive floats, against the truth.
    for (float x : {std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(),
                    std::numeric_limits<float>::max(), std::nextafter(1.0f, 0.0f), std::nextafter(1.0f, 2.0f), 2.0f,
                    0.5f, 0x1.8p-1f})
        EXPECT_TRUE(SameBits(LogFloat(x), Truth(x))) << Describe(x, LogFloat(x), Truth(x));
}

// The vector form meets inputs it cannot take (zero, negatives, subnormals,
// infinities, NaNs) mixed with ordinary ones, at every position of a vector
// and in a tail shorter than one.
TEST(LogFloat, VectorFormTakesAnyMixOfInputs) {
    const float specials[] = {0.0f,
                              -0.0f,
                              -2.0f,
                              std::numeric_limits<float>::denorm_min(),
                              0x1p-130f,
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN()};
    std::mt19937 random(7);
    std::uniform_real_distribution<float> ordinary(0.001f, 0.999f);
    for (size_t length : {1u, 7u, 8u, 9u, 17u, 40u, 123u}) {
        for (size_t at = 0; at < length; at += 3) {
            std::vector<float> in(length);
            for (float& x : in) x = ordinary(random);
            in[at] = specials[(at + length) % std::size(specials)];
            std::vector<float> out(length);
            LogFloatArray(in.data(), out.data(), length);
            for (size_t i = 0; i < length; ++i)
                ASSERT_TRUE(SameBits(out[i], LogFloat(in[i])))
                    << "length " << length << " index " << i << ": " << Describe(in[i], out[i], LogFloat(in[i]));
        }
    }
    // In place.
    std::vector<float> values(37);
    for (float& x : values) x = ordinary(random);
    const std::vector<float> original = values;
    LogFloatArray(values.data(), values.data(), values.size());
    for (size_t i = 0; i < values.size(); ++i) EXPECT_TRUE(SameBits(values[i], LogFloat(original[i])));
}

// The floats whose logarithm lies so close to a float midpoint that a plain
// double evaluation rounds it the wrong way (found by a search over every
// float): they need the exact path, in the scalar form and in the vector one,
// wherever they sit in a vector.
TEST(LogFloat, InputsNextToARoundingBoundary) {
    const uint32_t hard[] = {0x4C5D65A5u, 0x65D890D3u, 0x6F31A8ECu};
    for (uint32_t bits : hard) {
        const float x = std::bit_cast<float>(bits);
        EXPECT_TRUE(SameBits(LogFloat(x), Truth(x))) << Describe(x, LogFloat(x), Truth(x));
        for (size_t at = 0; at < 8; ++at) {
            std::vector<float> in(16, 0.75f), out(16);
            in[at] = x;
            in[at + 8] = x;
            LogFloatArray(in.data(), out.data(), in.size());
            EXPECT_TRUE(SameBits(out[at], Truth(x))) << Describe(x, out[at], Truth(x));
            EXPECT_TRUE(SameBits(out[at + 8], Truth(x))) << Describe(x, out[at + 8], Truth(x));
            EXPECT_TRUE(SameBits(out[(at + 1) % 8], LogFloat(0.75f)));
        }
    }
}

} // namespace
