// The module's seeded random generator: two multiplicative congruential
// generators combined through a 32-entry shuffle table (L'Ecuyer with
// Bays-Durham shuffle), and Gaussian deviates by the polar Box-Muller method.
//
// The same seed gives the same sequence on every machine: the integer steps are
// exact 32-bit arithmetic, every float step has a fixed precision and the
// logarithm is the module's own (LogFloat). Seed 0 takes the tick count and so
// is not repeatable; seed s and -s are the same.
// A plain value that never allocates, meant to live on the stack.
//
// The constants and the seeding rule are public because the vectorised noise
// (ImageLib_NoiseKernels) runs many of these generators side by side and must
// step each exactly as this class does.
#pragma once

#include <cstdint>

class UniformRandom {
public:
    static constexpr int32_t kM1 = 2147483563, kA1 = 40014, kQ1 = 53668, kR1 = 12211;
    static constexpr int32_t kM2 = 2147483399, kA2 = 40692, kQ2 = 52774, kR2 = 3791;
    static constexpr int32_t kTableSize = 32;
    // Steps of the first generator when the table is filled; the last 32 fill it.
    static constexpr int32_t kWarmUpSteps = kTableSize + 8;
    static constexpr int32_t kDivisor = 1 + (kM1 - 1) / kTableSize;
    static constexpr int32_t kState2Seed = 123456789;
    static constexpr float kScale = 4.6566134e-10f;
    static constexpr float kLargest = 0.9999999f;

    explicit UniformRandom(int32_t seed = 1) { Seed(seed); }

    void Seed(int32_t seed);
    // In (0, 0.9999999].
    float Uniform();
    float Centred() { return Uniform() - 0.5f; }
    // Mean 0, standard deviation 0.5.
    float Gaussian();

    // The value both generators' states take when the table warm-up begins,
    // at the first draw after Seed(seed): never 0 or less. Seed 0 reads the clock.
    static int32_t WarmUpStart(int32_t seed);

private:
    void Fill();

    int32_t state1_;
    int32_t state2_;
    int32_t last_;
    int32_t table_[kTableSize];
    bool hasSpare_;
    float spare_;
};
