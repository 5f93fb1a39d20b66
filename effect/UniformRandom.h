// The module's seeded random generator: two multiplicative congruential
// generators combined through a 32-entry shuffle table (L'Ecuyer with
// Bays-Durham shuffle), and Gaussian deviates by the polar Box-Muller method.
//
// The same seed gives the same sequence on every machine: the integer steps are
// exact 32-bit arithmetic and every float step has a fixed precision. Seed 0
// takes the tick count and so is not repeatable; seed s and -s are the same.
// A plain value that never allocates, meant to live on the stack.
#pragma once

#include <cstdint>

class UniformRandom {
public:
    explicit UniformRandom(int32_t seed = 1) { Seed(seed); }

    void Seed(int32_t seed);
    // In (0, 0.9999999].
    float Uniform();
    float Centred() { return Uniform() - 0.5f; }
    // Mean 0, standard deviation 0.5.
    float Gaussian();

private:
    static constexpr int32_t kTableSize = 32;

    void Fill();

    int32_t state1_;
    int32_t state2_;
    int32_t last_;
    int32_t table_[kTableSize];
    bool hasSpare_;
    float spare_;
};
