#include "UniformRandom.h"

#include "TickCount.h"

#include <cmath>

namespace {

constexpr int32_t kM1 = 2147483563, kA1 = 40014, kQ1 = 53668, kR1 = 12211;
constexpr int32_t kM2 = 2147483399, kA2 = 40692, kQ2 = 52774, kR2 = 3791;
constexpr int32_t kDivisor = 1 + (kM1 - 1) / 32;
constexpr float kScale = 4.6566134e-10f;
constexpr float kLargest = 0.9999999f;

static_assert(kQ1 == kM1 / kA1 && kR1 == kM1 % kA1);
static_assert(kQ2 == kM2 / kA2 && kR2 == kM2 % kA2);
static_assert(kDivisor == 67108862);

// Schrage's method: a * x mod m without leaving 32 bits.
inline int32_t Step(int32_t x, int32_t a, int32_t m, int32_t q, int32_t r) {
    const int32_t k = x / q;
    x = a * (x - k * q) - k * r;
    if (x < 0) x += m;
    return x;
}

} // namespace

void UniformRandom::Seed(int32_t seed) {
    state1_ = seed;
    state2_ = 123456789;
    last_ = 0;
    hasSpare_ = false;
    spare_ = 0.0f;
    for (int32_t& entry : table_) entry = 0;
    if (seed > 0) state1_ = -seed;
    if (state1_ == 0) {
        state1_ = static_cast<int32_t>(TickCount());
        if (state1_ > 0) state1_ = -state1_;
    }
}

void UniformRandom::Fill() {
    // -INT32_MIN does not exist; its magnitude is out of the generator's range anyway.
    state1_ = state1_ == INT32_MIN ? INT32_MAX : -state1_;
    if (state1_ < 1) state1_ = 1;
    state2_ = state1_;
    for (int32_t count = kTableSize + 7; count >= 0; --count) {
        state1_ = Step(state1_, kA1, kM1, kQ1, kR1);
        if (count < kTableSize) table_[count] = state1_;
    }
    last_ = table_[0];
}

float UniformRandom::Uniform() {
    if (state1_ <= 0) Fill();
    state1_ = Step(state1_, kA1, kM1, kQ1, kR1);
    state2_ = Step(state2_, kA2, kM2, kQ2, kR2);
    const int32_t j = last_ / kDivisor;
    last_ = table_[j] - state2_;
    table_[j] = state1_;
    if (last_ < 1) last_ += kM1 - 1;
    const float value = static_cast<float>(last_) * kScale;
    return value < kLargest ? value : kLargest;
}

float UniformRandom::Gaussian() {
    if (hasSpare_) {
        hasSpare_ = false;
        return spare_;
    }
    float a, b, s;
    do {
        a = static_cast<float>(2.0 * static_cast<double>(Uniform()) - 1.0);
        b = static_cast<float>(2.0 * static_cast<double>(Uniform()) - 1.0);
        s = b * b + a * a;
    } while (!(s < 1.0f) || s == 0.0f);
    const float f =
        static_cast<float>(std::sqrt(-2.0 * static_cast<double>(std::log(s)) / static_cast<double>(s))) * 0.5f;
    spare_ = f * b;
    hasSpare_ = true;
    return f * a;
}
