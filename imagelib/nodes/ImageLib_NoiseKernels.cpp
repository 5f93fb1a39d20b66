#include "ImageLib_NoiseKernels.h"

#include "imagelib/core/ImageLib_Paths.h"
#include "random/LogFloatKernel.h"
#include "random/UniformRandom.h"

#include <cstring>

namespace ImageLib_NoiseKernels {

namespace {

using Random = UniformRandom;

bool Eligible(const Block& block) {
    return block.skip >= 0 && block.count >= 0 && block.skip <= kLaneDraws - block.count;
}

void FillScalar(const Block& block, const Draw& draw) {
    Random generator(block.seed);
    if (draw.gaussian) {
        for (int32_t i = 0; i < block.skip; ++i) generator.Gaussian();
        for (int32_t i = 0; i < block.count; ++i) block.out[i] = generator.Gaussian() * draw.scale + draw.offset;
    } else {
        for (int32_t i = 0; i < block.skip; ++i) generator.Centred();
        for (int32_t i = 0; i < block.count; ++i) block.out[i] = generator.Centred() * draw.scale + draw.offset;
    }
}

#if SIMD_X86

// The lanes take a * x mod m as a 64-bit product folded with 2^31 = c (mod m),
// which needs m = 2^31 - c with c small: the result is the one Schrage's method
// gives, since both are the exact residue.
constexpr int64_t kTwo31 = int64_t{1} << 31;
constexpr int32_t kFold1 = static_cast<int32_t>(kTwo31 - Random::kM1);
constexpr int32_t kFold2 = static_cast<int32_t>(kTwo31 - Random::kM2);
static_assert(kFold1 == 85 && kFold2 == 249);
// The table index last / kDivisor is last >> 26 plus at most one, as kDivisor = 2^26 - 2.
static_assert(Random::kDivisor == (1 << 26) - 2);

// Two vectors of eight lanes are interleaved so that the latencies of one's
// multiplications, table exchange and square roots hide behind the other's work.
constexpr int kVectors = 2;
constexpr int kLanes = 8 * kVectors;
constexpr int kLaneShift = 4;
static_assert(kLanes == 1 << kLaneShift);
// A lane's Gaussian pair may land two draws past its last one.
constexpr int kStage = kLaneDraws + 4;

// The starting states and the draws of up to `lanes` blocks in as many lanes;
// idle lanes run a valid generator and need no draws. Returns the most draws
// of any lane.
int32_t PrepareLanes(const Block* const* blocks, int32_t count, int32_t lanes, int32_t* start, int32_t* end) {
    int32_t steps = 0;
    for (int32_t l = 0; l < lanes; ++l) {
        start[l] = l < count ? Random::WarmUpStart(blocks[l]->seed) : 1;
        end[l] = l < count ? blocks[l]->skip + blocks[l]->count : 0;
        if (end[l] > steps) steps = end[l];
    }
    return steps;
}

// Each block's draws from its lane, whose draws start at stage + lane * kStage.
void DeliverLanes(const Block* const* blocks, int32_t count, const float* stage) {
    for (int32_t l = 0; l < count; ++l)
        if (blocks[l]->count > 0)
            std::memcpy(blocks[l]->out, stage + static_cast<size_t>(l) * kStage + blocks[l]->skip,
                        static_cast<size_t>(blocks[l]->count) * sizeof(float));
}

// Every lane's generator table and draws. Only unaligned loads and stores touch
// it: the Windows x64 stack does not promise 32-byte alignment.
struct LaneMemory {
    int32_t table[Random::kTableSize * kLanes]; // entry j of lane l at j * kLanes + l
    float stage[kLanes][kStage];                // each lane's draws in order
    int32_t slot[kLanes];
    int32_t value[kLanes];
    int32_t entry[kLanes];
    int32_t position[kLanes];
    float first[kLanes];
    float second[kLanes];
};

struct LaneState {
    __m256i state1[kVectors];
    __m256i state2[kVectors];
    __m256i last[kVectors];
};

// The loops over the interleaved vectors must unroll for the interleaving to happen.
#define TEXTURIST_EACH_VECTOR _Pragma("GCC unroll 4")

// p = hi 2^31 + lo, which is hi c + lo modulo 2^31 - c; below 2^31 + 2^25.
SIMD_INLINE_AVX2 __m256i Fold(__m256i product, int32_t c) {
    return _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(product, 31), _mm256_set1_epi32(c)),
                            _mm256_and_si256(product, _mm256_set1_epi64x(0x7FFFFFFF)));
}

// a * x mod (2^31 - c) for x in [1, 2^31 - c).
SIMD_INLINE_AVX2 __m256i MultiplyModulo(__m256i x, int32_t a, int32_t c) {
    const __m256i multiplier = _mm256_set1_epi32(a);
    const __m256i even = Fold(_mm256_mul_epu32(x, multiplier), c);
    const __m256i odd = Fold(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), multiplier), c);
    const __m256i folded = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
    // One subtraction of m at most; when folded < m the difference wraps above it.
    return _mm256_min_epu32(folded, _mm256_sub_epi32(folded, _mm256_set1_epi32(static_cast<int32_t>(kTwo31 - c))));
}

SIMD_INLINE_AVX2 __m256i LaneIndex(int v) {
    return _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(8 * v));
}

// The table warm-up of UniformRandom, every lane at once.
SIMD_INLINE_AVX2 void WarmUp(LaneMemory& memory, const int32_t* start, LaneState& state) {
    for (int v = 0; v < kVectors; ++v) {
        state.state1[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(start + 8 * v));
        state.state2[v] = state.state1[v];
    }
    for (int32_t count = Random::kWarmUpSteps - 1; count >= 0; --count) {
        TEXTURIST_EACH_VECTOR
        for (int v = 0; v < kVectors; ++v) {
            state.state1[v] = MultiplyModulo(state.state1[v], Random::kA1, kFold1);
            if (count < Random::kTableSize)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(&memory.table[count * kLanes + 8 * v]), state.state1[v]);
        }
    }
    for (int v = 0; v < kVectors; ++v) state.last[v] = state.state1[v];
}

// One UniformRandom::Uniform per lane.
SIMD_INLINE_AVX2 void Uniform(LaneMemory& memory, LaneState& state, __m256* out) {
    TEXTURIST_EACH_VECTOR
    for (int v = 0; v < kVectors; ++v) {
        state.state1[v] = MultiplyModulo(state.state1[v], Random::kA1, kFold1);
        state.state2[v] = MultiplyModulo(state.state2[v], Random::kA2, kFold2);
        const __m256i last = state.last[v];
        const __m256i high = _mm256_srli_epi32(last, 26);
        const __m256i rest =
            _mm256_add_epi32(_mm256_and_si256(last, _mm256_set1_epi32((1 << 26) - 1)), _mm256_add_epi32(high, high));
        const __m256i j = _mm256_sub_epi32(high, _mm256_cmpgt_epi32(rest, _mm256_set1_epi32(Random::kDivisor - 1)));
        const __m256i slot = _mm256_add_epi32(_mm256_slli_epi32(j, kLaneShift), LaneIndex(v));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(&memory.slot[8 * v]), slot);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(&memory.value[8 * v]), state.state1[v]);
    }
    // The shuffle-table exchange, lane by lane: AVX2 has no scatter, and plain
    // loads beat its gathers on several processors.
    for (int l = 0; l < kLanes; ++l) {
        int32_t& entry = memory.table[memory.slot[l]];
        memory.entry[l] = entry;
        entry = memory.value[l];
    }
    TEXTURIST_EACH_VECTOR
    for (int v = 0; v < kVectors; ++v) {
        const __m256i entry = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(&memory.entry[8 * v]));
        const __m256i difference = _mm256_sub_epi32(entry, state.state2[v]);
        state.last[v] =
            _mm256_add_epi32(difference, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(1), difference),
                                                          _mm256_set1_epi32(Random::kM1 - 1)));
        const __m256 value = _mm256_mul_ps(_mm256_cvtepi32_ps(state.last[v]), _mm256_set1_ps(Random::kScale));
        // min_ps(a, b) is a < b ? a : b, the scalar comparison exactly.
        out[v] = _mm256_min_ps(value, _mm256_set1_ps(Random::kLargest));
    }
}

// float(2 double(u) - 1), which UniformRandom computes in double, equals
// 2u - 1 in float: 2u is exact, and the float subtraction rounds the exact
// difference once, as the conversion of the (exact) double difference does.
SIMD_INLINE_AVX2 __m256 Centre(__m256 u) { return _mm256_sub_ps(_mm256_add_ps(u, u), _mm256_set1_ps(1.0f)); }

// float(sqrt(-2 double(ln) / double(s))).
SIMD_INLINE_AVX2 __m128 Radius(__m128 ln, __m128 s) {
    return _mm256_cvtpd_ps(
        _mm256_sqrt_pd(_mm256_div_pd(_mm256_mul_pd(_mm256_set1_pd(-2.0), _mm256_cvtps_pd(ln)), _mm256_cvtps_pd(s))));
}
SIMD_INLINE_AVX2 __m256 Radius(__m256 ln, __m256 s) {
    return _mm256_set_m128(Radius(_mm256_extractf128_ps(ln, 1), _mm256_extractf128_ps(s, 1)),
                           Radius(_mm256_castps256_ps128(ln), _mm256_castps256_ps128(s)));
}

// UniformRandom::Gaussian, one attempt of the polar method per lane. Lanes that
// reject write nothing useful and keep their position; a lane that is done
// keeps writing past its end, where nothing is read.
SIMD_INLINE_AVX2 void Gaussians(LaneMemory& memory, LaneState& state, const int32_t* end, const Draw& draw) {
    __m256i ends[kVectors], positions[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        ends[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(end + 8 * v));
        positions[v] = _mm256_setzero_si256();
    }
    const __m256 scale = _mm256_set1_ps(draw.scale), offset = _mm256_set1_ps(draw.offset);
    for (;;) {
        __m256 u1[kVectors], u2[kVectors];
        Uniform(memory, state, u1);
        Uniform(memory, state, u2);
        // Stage by stage over the vectors, so that one's divisions and square
        // roots overlap the other's work.
        __m256 a[kVectors], b[kVectors], accept[kVectors], kept[kVectors], ln[kVectors];
        TEXTURIST_EACH_VECTOR
        for (int v = 0; v < kVectors; ++v) {
            a[v] = Centre(u1[v]);
            b[v] = Centre(u2[v]);
            const __m256 s = _mm256_add_ps(_mm256_mul_ps(b[v], b[v]), _mm256_mul_ps(a[v], a[v]));
            accept[v] = _mm256_and_ps(_mm256_cmp_ps(s, _mm256_set1_ps(1.0f), _CMP_LT_OQ),
                                      _mm256_cmp_ps(s, _mm256_setzero_ps(), _CMP_NEQ_OQ));
            // Rejected lanes take the logarithm of 0.5, keeping the kernel on normal inputs.
            kept[v] = _mm256_blendv_ps(_mm256_set1_ps(0.5f), s, accept[v]);
        }
        TEXTURIST_EACH_VECTOR
        for (int v = 0; v < kVectors; ++v) ln[v] = LogFloatKernel::LogAvx2(kept[v]);
        __m256i open = _mm256_setzero_si256();
        TEXTURIST_EACH_VECTOR
        for (int v = 0; v < kVectors; ++v) {
            const __m256 f = _mm256_mul_ps(Radius(ln[v], kept[v]), _mm256_set1_ps(0.5f));
            _mm256_storeu_ps(&memory.first[8 * v], _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(f, a[v]), scale), offset));
            _mm256_storeu_ps(&memory.second[8 * v],
                             _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(f, b[v]), scale), offset));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(&memory.position[8 * v]), positions[v]);
            const __m256i live = _mm256_cmpgt_epi32(ends[v], positions[v]);
            const __m256i advance =
                _mm256_and_si256(_mm256_and_si256(_mm256_castps_si256(accept[v]), live), _mm256_set1_epi32(2));
            positions[v] = _mm256_add_epi32(positions[v], advance);
            open = _mm256_or_si256(open, _mm256_cmpgt_epi32(ends[v], positions[v]));
        }
        for (int l = 0; l < kLanes; ++l) {
            float* at = memory.stage[l] + memory.position[l];
            at[0] = memory.first[l];
            at[1] = memory.second[l];
        }
        if (_mm256_testz_si256(open, open)) return;
    }
}

// UniformRandom::Centred, `steps` draws per lane.
SIMD_INLINE_AVX2 void Centreds(LaneMemory& memory, LaneState& state, int32_t steps, const Draw& draw) {
    const __m256 scale = _mm256_set1_ps(draw.scale), offset = _mm256_set1_ps(draw.offset);
    for (int32_t n = 0; n < steps; ++n) {
        __m256 u[kVectors];
        Uniform(memory, state, u);
        for (int v = 0; v < kVectors; ++v) {
            const __m256 centred = _mm256_sub_ps(u[v], _mm256_set1_ps(0.5f));
            _mm256_storeu_ps(&memory.first[8 * v], _mm256_add_ps(_mm256_mul_ps(centred, scale), offset));
        }
        for (int l = 0; l < kLanes; ++l) memory.stage[l][n] = memory.first[l];
    }
}

#undef TEXTURIST_EACH_VECTOR

// Up to kLanes eligible blocks.
SIMD_TARGET_AVX2 void FillLanes(const Block* const* blocks, int32_t count, const Draw& draw, LaneMemory& memory) {
    int32_t start[kLanes], end[kLanes];
    const int32_t steps = PrepareLanes(blocks, count, kLanes, start, end);
    LaneState state;
    WarmUp(memory, start, state);
    if (draw.gaussian)
        Gaussians(memory, state, end, draw);
    else
        Centreds(memory, state, steps, draw);
    DeliverLanes(blocks, count, &memory.stage[0][0]);
}

// Eligible blocks in groups of up to `lanes`, the others on their own generators.
template <int32_t kGroup, class Memory, class Fill>
void FillBlocksInGroups(const Block* blocks, int32_t count, const Draw& draw, Fill fill) {
    Memory memory;
    const Block* group[kGroup];
    int32_t grouped = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (!Eligible(blocks[i])) {
            FillScalar(blocks[i], draw);
            continue;
        }
        group[grouped++] = &blocks[i];
        if (grouped == kGroup) {
            fill(group, grouped, draw, memory);
            grouped = 0;
        }
    }
    if (grouped > 0) fill(group, grouped, draw, memory);
}

void FillBlocksLanes(const Block* blocks, int32_t count, const Draw& draw) {
    FillBlocksInGroups<kLanes, LaneMemory>(blocks, count, draw, FillLanes);
}

// ---- The same in AVX-512: 32 lanes in two vectors of sixteen --------------
//
// Every step is the AVX2 one with twice the lanes; the shuffle-table exchange
// gathers and scatters (each lane owns its column of the table, so no two
// lanes of a vector touch one entry), and accepted Gaussian pairs are
// scattered into their lanes' draws under a mask.

namespace wide {

constexpr int kVectors = 2;
constexpr int kLanes = 16 * kVectors;
constexpr int kLaneShift = 5;
static_assert(kLanes == 1 << kLaneShift);

struct LaneMemory {
    int32_t table[Random::kTableSize * kLanes]; // entry j of lane l at j * kLanes + l
    float stage[kLanes * kStage];               // lane l's draws from l * kStage
};

struct LaneState {
    __m512i state1[kVectors];
    __m512i state2[kVectors];
    __m512i last[kVectors];
};

#define TEXTURIST_EACH_VECTOR _Pragma("GCC unroll 4")

SIMD_INLINE_AVX512 __m512i Fold(__m512i product, int32_t c) {
    return _mm512_add_epi64(_mm512_mul_epu32(_mm512_srli_epi64(product, 31), _mm512_set1_epi32(c)),
                            _mm512_and_si512(product, _mm512_set1_epi64(0x7FFFFFFF)));
}

SIMD_INLINE_AVX512 __m512i MultiplyModulo(__m512i x, int32_t a, int32_t c) {
    const __m512i multiplier = _mm512_set1_epi32(a);
    const __m512i even = Fold(_mm512_mul_epu32(x, multiplier), c);
    const __m512i odd = Fold(_mm512_mul_epu32(_mm512_srli_epi64(x, 32), multiplier), c);
    const __m512i folded = _mm512_mask_blend_epi32(0xAAAA, even, _mm512_slli_epi64(odd, 32));
    return _mm512_min_epu32(folded, _mm512_sub_epi32(folded, _mm512_set1_epi32(static_cast<int32_t>(kTwo31 - c))));
}

SIMD_INLINE_AVX512 __m512i LaneIndex(int v) {
    return _mm512_add_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                            _mm512_set1_epi32(16 * v));
}

SIMD_INLINE_AVX512 void WarmUp(LaneMemory& memory, const int32_t* start, LaneState& state) {
    for (int v = 0; v < kVectors; ++v) {
        state.state1[v] = _mm512_loadu_si512(start + 16 * v);
        state.state2[v] = state.state1[v];
    }
    for (int32_t count = Random::kWarmUpSteps - 1; count >= 0; --count) {
        TEXTURIST_EACH_VECTOR
        for (int v = 0; v < kVectors; ++v) {
            state.state1[v] = MultiplyModulo(state.state1[v], Random::kA1, kFold1);
            if (count < Random::kTableSize)
                _mm512_storeu_si512(&memory.table[count * kLanes + 16 * v], state.state1[v]);
        }
    }
    for (int v = 0; v < kVectors; ++v) state.last[v] = state.state1[v];
}

SIMD_INLINE_AVX512 void Uniform(LaneMemory& memory, LaneState& state, __m512* out) {
    TEXTURIST_EACH_VECTOR
    for (int v = 0; v < kVectors; ++v) {
        state.state1[v] = MultiplyModulo(state.state1[v], Random::kA1, kFold1);
        state.state2[v] = MultiplyModulo(state.state2[v], Random::kA2, kFold2);
        const __m512i last = state.last[v];
        const __m512i high = _mm512_srli_epi32(last, 26);
        const __m512i rest =
            _mm512_add_epi32(_mm512_and_si512(last, _mm512_set1_epi32((1 << 26) - 1)), _mm512_add_epi32(high, high));
        const __m512i j = _mm512_mask_add_epi32(
            high, _mm512_cmpgt_epi32_mask(rest, _mm512_set1_epi32(Random::kDivisor - 1)), high, _mm512_set1_epi32(1));
        const __m512i slot = _mm512_add_epi32(_mm512_slli_epi32(j, kLaneShift), LaneIndex(v));
        const __m512i entry = _mm512_i32gather_epi32(slot, memory.table, 4);
        _mm512_i32scatter_epi32(memory.table, slot, state.state1[v], 4);
        const __m512i difference = _mm512_sub_epi32(entry, state.state2[v]);
        state.last[v] = _mm512_mask_add_epi32(difference, _mm512_cmplt_epi32_mask(difference, _mm512_set1_epi32(1)),
                                              difference, _mm512_set1_epi32(Random::kM1 - 1));
        const __m512 value = _mm512_mul_ps(_mm512_cvtepi32_ps(state.last[v]), _mm512_set1_ps(Random::kScale));
        out[v] = _mm512_min_ps(value, _mm512_set1_ps(Random::kLargest));
    }
}

SIMD_INLINE_AVX512 __m512 Centre(__m512 u) { return _mm512_sub_ps(_mm512_add_ps(u, u), _mm512_set1_ps(1.0f)); }

SIMD_INLINE_AVX512 __m256 Radius(__m256 ln, __m256 s) {
    return _mm512_cvtpd_ps(
        _mm512_sqrt_pd(_mm512_div_pd(_mm512_mul_pd(_mm512_set1_pd(-2.0), _mm512_cvtps_pd(ln)), _mm512_cvtps_pd(s))));
}
SIMD_INLINE_AVX512 __m512 Radius(__m512 ln, __m512 s) {
    const __m256 low = Radius(_mm512_castps512_ps256(ln), _mm512_castps512_ps256(s));
    const __m256 high = Radius(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(ln), 1)),
                               _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(s), 1)));
    return _mm512_castpd_ps(
        _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(low)), _mm256_castps_pd(high), 1));
}

// Where each lane's draw `position` lands in the stage.
SIMD_INLINE_AVX512 __m512i StageIndex(int v, __m512i position) {
    return _mm512_add_epi32(_mm512_mullo_epi32(LaneIndex(v), _mm512_set1_epi32(kStage)), position);
}

SIMD_INLINE_AVX512 void Gaussians(LaneMemory& memory, LaneState& state, const int32_t* end, const Draw& draw) {
    __m512i ends[kVectors], positions[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        ends[v] = _mm512_loadu_si512(end + 16 * v);
        positions[v] = StageIndex(v, _mm512_setzero_si512());
        ends[v] = _mm512_add_epi32(ends[v], positions[v]);
    }
    const __m512 scale = _mm512_set1_ps(draw.scale), offset = _mm512_set1_ps(draw.offset);
    for (;;) {
        __m512 u1[kVectors], u2[kVectors];
        Uniform(memory, state, u1);
        Uniform(memory, state, u2);
        __m512 a[kVectors], b[kVectors], kept[kVectors], ln[kVectors];
        __mmask16 accept[kVectors];
        TEXTURIST_EACH_VECTOR
        for (int v = 0; v < kVectors; ++v) {
            a[v] = Centre(u1[v]);
            b[v] = Centre(u2[v]);
            const __m512 s = _mm512_add_ps(_mm512_mul_ps(b[v], b[v]), _mm512_mul_ps(a[v], a[v]));
            accept[v] = _mm512_cmp_ps_mask(s, _mm512_set1_ps(1.0f), _CMP_LT_OQ) &
                        _mm512_cmp_ps_mask(s, _mm512_setzero_ps(), _CMP_NEQ_OQ);
            kept[v] = _mm512_mask_blend_ps(accept[v], _mm512_set1_ps(0.5f), s);
        }
        TEXTURIST_EACH_VECTOR
        for (int v = 0; v < kVectors; ++v) ln[v] = LogFloatKernel::LogAvx512(kept[v]);
        __mmask16 open = 0;
        TEXTURIST_EACH_VECTOR
        for (int v = 0; v < kVectors; ++v) {
            const __m512 f = _mm512_mul_ps(Radius(ln[v], kept[v]), _mm512_set1_ps(0.5f));
            const __m512 first = _mm512_add_ps(_mm512_mul_ps(_mm512_mul_ps(f, a[v]), scale), offset);
            const __m512 second = _mm512_add_ps(_mm512_mul_ps(_mm512_mul_ps(f, b[v]), scale), offset);
            const __mmask16 write = accept[v] & _mm512_cmpgt_epi32_mask(ends[v], positions[v]);
            _mm512_mask_i32scatter_ps(memory.stage, write, positions[v], first, 4);
            _mm512_mask_i32scatter_ps(memory.stage + 1, write, positions[v], second, 4);
            positions[v] = _mm512_mask_add_epi32(positions[v], write, positions[v], _mm512_set1_epi32(2));
            open |= _mm512_cmpgt_epi32_mask(ends[v], positions[v]);
        }
        if (open == 0) return;
    }
}

SIMD_INLINE_AVX512 void Centreds(LaneMemory& memory, LaneState& state, int32_t steps, const Draw& draw) {
    const __m512 scale = _mm512_set1_ps(draw.scale), offset = _mm512_set1_ps(draw.offset);
    __m512i positions[kVectors];
    for (int v = 0; v < kVectors; ++v) positions[v] = StageIndex(v, _mm512_setzero_si512());
    for (int32_t n = 0; n < steps; ++n) {
        __m512 u[kVectors];
        Uniform(memory, state, u);
        for (int v = 0; v < kVectors; ++v) {
            const __m512 centred = _mm512_sub_ps(u[v], _mm512_set1_ps(0.5f));
            _mm512_i32scatter_ps(memory.stage, positions[v], _mm512_add_ps(_mm512_mul_ps(centred, scale), offset), 4);
            positions[v] = _mm512_add_epi32(positions[v], _mm512_set1_epi32(1));
        }
    }
}

#undef TEXTURIST_EACH_VECTOR

SIMD_TARGET_AVX512 void FillLanes(const Block* const* blocks, int32_t count, const Draw& draw, LaneMemory& memory) {
    int32_t start[kLanes], end[kLanes];
    const int32_t steps = PrepareLanes(blocks, count, kLanes, start, end);
    LaneState state;
    WarmUp(memory, start, state);
    if (draw.gaussian)
        Gaussians(memory, state, end, draw);
    else
        Centreds(memory, state, steps, draw);
    DeliverLanes(blocks, count, memory.stage);
}

} // namespace wide

void FillBlocksWideLanes(const Block* blocks, int32_t count, const Draw& draw) {
    FillBlocksInGroups<wide::kLanes, wide::LaneMemory>(blocks, count, draw, wide::FillLanes);
}

#endif

} // namespace

void FillBlocks(const Block* blocks, int32_t count, const Draw& draw) {
#if SIMD_X86
    switch (SelectedSimdPath()) {
    case SimdPath::Avx512:
        FillBlocksWideLanes(blocks, count, draw);
        return;
    case SimdPath::Avx2:
        FillBlocksLanes(blocks, count, draw);
        return;
    default:
        break;
    }
#endif
    for (int32_t i = 0; i < count; ++i) FillScalar(blocks[i], draw);
}

} // namespace ImageLib_NoiseKernels
