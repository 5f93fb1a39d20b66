// The draws of the noise node, many 32-pixel blocks at a time.
//
// Every block of the noise draws from its own generator (UniformRandom),
// seeded from the block's position, so blocks are independent: this runs 16
// of them side by side in SIMD lanes, table warm-up included, each lane giving
// exactly the sequence UniformRandom gives for its seed. A block stands for
// the draws a region needs from one generator: `skip` draws thrown away (the
// region starts inside the block), then `count` draws, each written as
// draw * scale + offset, in the generator's order.
//
// Lanes of 16 blocks in AVX2, 32 in AVX-512, one block at a time on the plain
// and reference paths (SelectSimdPath). The lanes serve blocks of up to kLaneDraws draws
// (32 pixels of up to 4 channels); anything else runs on UniformRandom itself. Never
// allocates, never calls the library's callbacks: made for `Iterate` workers.
#pragma once

#include <cstdint>

namespace ImageLib_NoiseKernels {

constexpr int32_t kLaneDraws = 32 * 4;

struct Block {
    float* out;
    int32_t seed;  // the block's generator seed (0 reads the clock, as UniformRandom does)
    int32_t skip;  // draws discarded first
    int32_t count; // draws written to out[0 .. count)
};

struct Draw {
    bool gaussian; // Gaussian deviates, else centred uniform ones
    float scale;
    float offset;
};

// Fills every block's output. Outputs must not overlap.
void FillBlocks(const Block* blocks, int32_t count, const Draw& draw);

} // namespace ImageLib_NoiseKernels
