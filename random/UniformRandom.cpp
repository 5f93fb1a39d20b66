#include "random/UniformRandom.h"

#include "random/LogFloat.h"
#include "random/TickCount.h"

#include <cmath>

namespace {

static_assert(UniformRandom::kQ1 == UniformRandom::kM1 / UniformRandom::kA1 &&
              UniformRandom::kR1 == UniformRandom::kM1 % UniformRandom::kA1);
static_assert(UniformRandom::kQ2 == UniformRandom::kM2 / UniformRandom::kA2 &&
              UniformRandom::kR2 == UniformRandom::kM2 % UniformRandom::kA2);
static_assert(UniformRandom::kDivisor == 67108862);

// Schrage's method: a * x mod m without leaving 32 bits.
inline int32_t Step(int32_t x, int32_t a, int32_t m, int32_t q, int32_t r) {
    const int32_t k = x / q;
    x = a * (x - k * q) - k * r;
    if (x < 0) x += m;
    return x;
}

// state1 after seeding: 0 or less, so that the next draw fills the table.
int32_t SeededState(int32_t seed) {
    int32_t state = seed > 0 ? -seed : seed;
    if (state == 0) {
        state = static_cast<int32_t>(TickCount());
        if (state > 0) state = -state;
    }
    return state;
}

// max(-state, 1); -INT32_MIN does not exist, and its magnitude is out of the
// generator's range anyway.
int32_t StartFrom(int32_t state) {
    state = state == INT32_MIN ? INT32_MAX : -state;
    return state < 1 ? 1 : state;
}

} // namespace

int32_t UniformRandom::WarmUpStart(int32_t seed) { return StartFrom(SeededState(seed)); }

void UniformRandom::Seed(int32_t seed) {
    state1_ = SeededState(seed);
    state2_ = kState2Seed;
    last_ = 0;
    hasSpare_ = false;
    spare_ = 0.0f;
    for (int32_t& entry : table_) entry = 0;
}

void UniformRandom::Fill() {
    state1_ = StartFrom(state1_);
    state2_ = state1_;
    for (int32_t count = kWarmUpSteps - 1; count >= 0; --count) {
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
        static_cast<float>(std::sqrt(-2.0 * static_cast<double>(LogFloat(s)) / static_cast<double>(s))) * 0.5f;
    spare_ = f * b;
    hasSpare_ = true;
    return f * a;
}
