// The vector kernels of the convolution's one-dimensional passes: the sums of
// the reference loops, in the same order, blocked for the vector units of the
// selected path.
#include "ImageLib_ConvolutionPasses.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_Paths.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ImageLib_Convolution {

namespace {

// ---- Fast paths -----------------------------------------------------------
//
// The same sums in the same order as `Correlate`, computed a block of outputs
// at a time with the taps in the outer loop, so that the inner loop runs over
// contiguous floats and vectorises. Nine taps start from the first product, as
// the dedicated nine-tap forms do; every other length starts from 0.

constexpr int32_t kBlock = 512; // outputs per block

// acc[i] = sum over t of k[t] * line[t * tapStep + i], for i < n.
inline void SumBlock(const float* k, uint32_t taps, const float* line, intptr_t tapStep, float* acc, int32_t n) {
    uint32_t t = 0;
    if (taps == 9) {
        const float k0 = k[0];
        for (int32_t i = 0; i < n; ++i) acc[i] = k0 * line[i];
        t = 1;
    } else {
        for (int32_t i = 0; i < n; ++i) acc[i] = 0.0f;
    }
    for (; t < taps; ++t) {
        const float kt = k[t];
        const float* in = line + static_cast<intptr_t>(t) * tapStep;
        for (int32_t i = 0; i < n; ++i) acc[i] += kt * in[i];
    }
}

// ---- Interleaved rows, register-blocked ----------------------------------
//
// Both passes read like this: output float i of a row of interleaved pixels is
// the sum over t of k_c[t] * in[i + t * tapStep], c being i's channel, with
// tapStep the pixel (across) or the row (down). Outputs are computed whole
// vectors at a time with the accumulators in registers for all the taps, so the
// only memory traffic is the input. Each output still sums its products in tap
// order, so the result is the same in any vector width.

#if SIMD_VECTOR_TYPES
// Vectors pass between these file-local inlined helpers only, so the calling
// convention the warning is about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

template <typename V> inline __attribute__((always_inline)) V LoadLanes(const float* from) {
    V v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

template <typename V> inline __attribute__((always_inline)) void StoreLanes(float* to, V v) {
    std::memcpy(to, &v, sizeof v);
}
#endif

// Per tap, the coefficients of 16 pixels of P floats: a row of the table
// starts on a pixel and so repeats the channels' pattern exactly, for vectors
// of 8 or 16 lanes alike.
constexpr int32_t kTablePixels = 16;

struct ChunkTable {
    const float* coefficients; // taps rows of kTablePixels * P floats
    uint32_t taps;
    bool nine; // sums start from the first product, as the nine-tap forms do
};

template <int P>
inline void SumRowScalar(const ChunkTable& table, const float* in, intptr_t tapStep, float* out, int32_t from,
                         int32_t to) {
    constexpr int32_t kRow = kTablePixels * P;
    for (int32_t i = from; i < to; ++i) {
        const float* k = table.coefficients + i % kRow;
        float sum;
        uint32_t t = 0;
        if (table.nine) {
            sum = k[0] * in[i];
            t = 1;
        } else {
            sum = 0.0f;
        }
        for (; t < table.taps; ++t)
            sum += k[static_cast<size_t>(t) * kRow] * in[i + static_cast<intptr_t>(t) * tapStep];
        out[i] = sum;
    }
}

// V holds L floats; a chunk of L pixels is P vectors.
template <int P, typename V, int32_t L>
inline __attribute__((always_inline)) void SumRowBlocked(const ChunkTable& table, const float* in, intptr_t tapStep,
                                                         float* out, int32_t n) {
    constexpr int32_t kRow = kTablePixels * P;
    // Enough accumulators to hide the adder's latency, few enough to stay in registers.
    constexpr int32_t kChunks = P == 1 ? 4 : 2;
    constexpr int32_t kVectors = P * kChunks;
    constexpr int32_t kStep = L * kVectors;
    int32_t i = 0;
#if SIMD_VECTOR_TYPES
    for (; i + kStep <= n; i += kStep) {
        V acc[kVectors];
        uint32_t t = 0;
        if (table.nine) {
            for (int32_t v = 0; v < kVectors; ++v)
                acc[v] = LoadLanes<V>(table.coefficients + (v % P) * L) * LoadLanes<V>(in + i + v * L);
            t = 1;
        } else {
            for (int32_t v = 0; v < kVectors; ++v) acc[v] = V{};
        }
        for (; t < table.taps; ++t) {
            const float* k = table.coefficients + static_cast<size_t>(t) * kRow;
            const float* line = in + i + static_cast<intptr_t>(t) * tapStep;
            for (int32_t v = 0; v < kVectors; ++v) acc[v] += LoadLanes<V>(k + (v % P) * L) * LoadLanes<V>(line + v * L);
        }
        for (int32_t v = 0; v < kVectors; ++v) StoreLanes<V>(out + i + v * L, acc[v]);
    }
#endif
    SumRowScalar<P>(table, in, tapStep, out, i, n);
}

using SumRowFunction = void (*)(const ChunkTable&, const float*, intptr_t, float*, int32_t);

// The vertical pass, kRowBlock output rows at a time: each input row of the
// window is loaded once and feeds every output row it reaches, where one row
// at a time would load each input row once per tap, from beyond the first
// cache level. Output row r takes input row j with tap j - r, so as j grows
// every row still sums its products in tap order.
constexpr int32_t kRowBlock = 4;

// One chunk of L * P floats across kRowBlock rows; Nine starts every sum from
// its first product.
template <int P, typename V, int32_t L, bool Nine>
inline __attribute__((always_inline)) void SumChunkDown(const ChunkTable& table, const float* in, intptr_t inRow,
                                                        float* out, intptr_t outRow) {
#if SIMD_VECTOR_TYPES
    constexpr int32_t kRow = kTablePixels * P;
    constexpr int32_t R = kRowBlock;
    const int32_t taps = static_cast<int32_t>(table.taps);
    V acc[R][P];
    for (int32_t r = 0; r < R; ++r)
        for (int32_t v = 0; v < P; ++v) acc[r][v] = V{};
    for (int32_t j = 0; j < taps + R - 1; ++j) {
        V x[P];
        const float* line = in + static_cast<intptr_t>(j) * inRow;
        for (int32_t v = 0; v < P; ++v) x[v] = LoadLanes<V>(line + v * L);
        for (int32_t r = 0; r < R; ++r) {
            const int32_t t = j - r;
            if (t < 0 || t >= taps) continue;
            const float* k = table.coefficients + static_cast<size_t>(t) * kRow;
            for (int32_t v = 0; v < P; ++v) {
                const V product = LoadLanes<V>(k + v * L) * x[v];
                acc[r][v] = Nine && t == 0 ? product : acc[r][v] + product;
            }
        }
    }
    for (int32_t r = 0; r < R; ++r)
        for (int32_t v = 0; v < P; ++v) StoreLanes<V>(out + r * outRow + v * L, acc[r][v]);
#else
    (void)table, (void)in, (void)inRow, (void)out, (void)outRow;
#endif
}

template <int P, typename V, int32_t L>
inline __attribute__((always_inline)) void SumRowsDown(const ChunkTable& table, const float* in, intptr_t inRow,
                                                       float* out, intptr_t outRow, int32_t n) {
    int32_t i = 0;
#if SIMD_VECTOR_TYPES
    if (table.nine) {
        for (; i + L * P <= n; i += L * P) SumChunkDown<P, V, L, true>(table, in + i, inRow, out + i, outRow);
    } else {
        for (; i + L * P <= n; i += L * P) SumChunkDown<P, V, L, false>(table, in + i, inRow, out + i, outRow);
    }
#endif
    for (int32_t r = 0; r < kRowBlock; ++r) SumRowScalar<P>(table, in + r * inRow, inRow, out + r * outRow, i, n);
}

using SumRowsFunction = void (*)(const ChunkTable&, const float*, intptr_t, float*, intptr_t, int32_t);

#if SIMD_VECTOR_TYPES
template <int P>
void SumRowPortable(const ChunkTable& table, const float* in, intptr_t tapStep, float* out, int32_t n) {
    SumRowBlocked<P, SimdFloat8, 8>(table, in, tapStep, out, n);
}
template <int P>
void SumRowsPortable(const ChunkTable& table, const float* in, intptr_t inRow, float* out, intptr_t outRow, int32_t n) {
    SumRowsDown<P, SimdFloat8, 8>(table, in, inRow, out, outRow, n);
}
#else
template <int P>
void SumRowPortable(const ChunkTable& table, const float* in, intptr_t tapStep, float* out, int32_t n) {
    SumRowScalar<P>(table, in, tapStep, out, 0, n);
}
template <int P>
void SumRowsPortable(const ChunkTable& table, const float* in, intptr_t inRow, float* out, intptr_t outRow, int32_t n) {
    SumRowsDown<P, float, 1>(table, in, inRow, out, outRow, n);
}
#endif

#if SIMD_X86
template <int P>
SIMD_TARGET_AVX2 void SumRowAvx2(const ChunkTable& table, const float* in, intptr_t tapStep, float* out, int32_t n) {
    SumRowBlocked<P, SimdFloat8, 8>(table, in, tapStep, out, n);
}

template <int P>
SIMD_TARGET_AVX512 void SumRowAvx512(const ChunkTable& table, const float* in, intptr_t tapStep, float* out,
                                     int32_t n) {
    SumRowBlocked<P, SimdFloat16, 16>(table, in, tapStep, out, n);
}

template <int P>
SIMD_TARGET_AVX2 void SumRowsAvx2(const ChunkTable& table, const float* in, intptr_t inRow, float* out, intptr_t outRow,
                                  int32_t n) {
    SumRowsDown<P, SimdFloat8, 8>(table, in, inRow, out, outRow, n);
}

template <int P>
SIMD_TARGET_AVX512 void SumRowsAvx512(const ChunkTable& table, const float* in, intptr_t inRow, float* out,
                                      intptr_t outRow, int32_t n) {
    SumRowsDown<P, SimdFloat16, 16>(table, in, inRow, out, outRow, n);
}
#endif

template <int P> SumRowFunction SelectSumRow() {
#if SIMD_X86
    constexpr SumRowFunction kByPath[kSimdPathCount] = {&SumRowPortable<P>, &SumRowPortable<P>, &SumRowAvx2<P>,
                                                        &SumRowAvx512<P>};
    return kByPath[static_cast<int32_t>(SelectedSimdPath())];
#else
    return &SumRowPortable<P>;
#endif
}

template <int P> SumRowsFunction SelectSumRows() {
#if SIMD_X86
    constexpr SumRowsFunction kByPath[kSimdPathCount] = {&SumRowsPortable<P>, &SumRowsPortable<P>, &SumRowsAvx2<P>,
                                                         &SumRowsAvx512<P>};
    return kByPath[static_cast<int32_t>(SelectedSimdPath())];
#else
    return &SumRowsPortable<P>;
#endif
}

SumRowsFunction SumRowsFor(intptr_t pixel) {
    switch (pixel) {
    case 1:
        return SelectSumRows<1>();
    case 2:
        return SelectSumRows<2>();
    case 3:
        return SelectSumRows<3>();
    case 4:
        return SelectSumRows<4>();
    default:
        return nullptr;
    }
}

SumRowFunction SumRowFor(intptr_t pixel) {
    switch (pixel) {
    case 1:
        return SelectSumRow<1>();
    case 2:
        return SelectSumRow<2>();
    case 3:
        return SelectSumRow<3>();
    case 4:
        return SelectSumRow<4>();
    default:
        return nullptr;
    }
}

// Rows of whole pixels whose every float is a convolved channel.
bool Interleavable(const Planes& p) {
    return p.pixel >= 1 && p.pixel <= 4 && p.pixel == static_cast<intptr_t>(p.channels);
}

ImageLib_Vector<float> MakeChunkTable(const KernelList& kernels, uint32_t taps, intptr_t pixel) {
    const size_t chunk = kTablePixels * static_cast<size_t>(pixel);
    ImageLib_Vector<float> table(static_cast<size_t>(taps) * chunk);
    for (uint32_t t = 0; t < taps; ++t)
        for (size_t i = 0; i < chunk; ++i)
            table[t * chunk + i] = kernels[kernels.size() == 1 ? 0 : i % static_cast<size_t>(pixel)][t];
    return table;
}

// The passes in interleaved form: one row of the output per job.
void InterleavedPass(const Planes& p, const KernelList& kernels, uint32_t taps, bool across) {
    const ImageLib_Vector<float> coefficients = MakeChunkTable(kernels, taps, p.pixel);
    const ChunkTable table{coefficients.data(), taps, taps == 9};
    const SumRowFunction sum = SumRowFor(p.pixel);
    const intptr_t tapStep = across ? p.pixel : p.sourceRow;
    const int32_t n = p.width * static_cast<int32_t>(p.pixel);
    if (!across) {
        const SumRowsFunction rows = SumRowsFor(p.pixel);
        const int32_t blocks = p.height / kRowBlock;
        ImageLib_ParallelFor(
            blocks + p.height % kRowBlock,
            [&p, &table, rows, sum, n, blocks](int32_t job) {
                if (job < blocks) {
                    const int32_t y = job * kRowBlock;
                    rows(table, p.Source(0, y, 0), p.sourceRow, p.Target(0, y, 0), p.targetRow, n);
                } else {
                    const int32_t y = blocks * kRowBlock + (job - blocks);
                    sum(table, p.Source(0, y, 0), p.sourceRow, p.Target(0, y, 0), n);
                }
            },
            int64_t{p.width} * taps * kRowBlock);
        ImageLib_CheckAbort();
        return;
    }
    ImageLib_ParallelFor(
        p.height,
        [&p, &table, sum, tapStep, n](int32_t y) { sum(table, p.Source(0, y, 0), tapStep, p.Target(0, y, 0), n); },
        int64_t{p.width} * taps);
    ImageLib_CheckAbort();
}

void FastHorizontalPass(const Planes& p, const KernelList& kernels, uint32_t taps) {
    if (Interleavable(p)) {
        InterleavedPass(p, kernels, taps, true);
        return;
    }
    ImageLib_ParallelFor(
        p.height,
        [&p, &kernels, taps](int32_t y) {
            float line[kBlock + kFastTaps];
            float acc[kBlock];
            for (uint32_t c = 0; c < p.channels; ++c) {
                const float* k = kernels[kernels.size() == 1 ? 0 : c].data();
                const float* source = p.Source(0, y, c);
                float* target = p.Target(0, y, c);
                for (int32_t x0 = 0; x0 < p.width; x0 += kBlock) {
                    const int32_t n = std::min(kBlock, p.width - x0);
                    const int32_t reach = n + static_cast<int32_t>(taps) - 1;
                    const float* from = source + static_cast<intptr_t>(x0) * p.pixel;
                    for (int32_t i = 0; i < reach; ++i) line[i] = from[static_cast<intptr_t>(i) * p.pixel];
                    SumBlock(k, taps, line, 1, acc, n);
                    float* to = target + static_cast<intptr_t>(x0) * p.pixel;
                    for (int32_t i = 0; i < n; ++i) to[static_cast<intptr_t>(i) * p.pixel] = acc[i];
                }
            }
        },
        int64_t{p.width} * taps);
    ImageLib_CheckAbort();
}

void FastVerticalPass(const Planes& p, const KernelList& kernels, uint32_t taps) {
    if (Interleavable(p)) {
        InterleavedPass(p, kernels, taps, false);
        return;
    }
    const int32_t rowFloats = p.width * static_cast<int32_t>(p.pixel);
    const int32_t channels = static_cast<int32_t>(p.pixel);
    // Per-channel kernels: each tap's coefficient laid out along a block of
    // interleaved samples, blocks starting on a pixel.
    const int32_t block = kBlock - kBlock % channels;
    ImageLib_Vector<float> spread;
    if (kernels.size() != 1) {
        spread.resize(static_cast<size_t>(taps) * block);
        for (uint32_t t = 0; t < taps; ++t)
            for (int32_t i = 0; i < block; ++i) {
                const uint32_t c = static_cast<uint32_t>(i % channels);
                spread[t * static_cast<size_t>(block) + i] = c < kernels.size() ? kernels[c][t] : 0.0f;
            }
    }
    const float* shared = kernels.size() == 1 ? kernels[0].data() : nullptr;
    const float* coefficients = spread.data();
    ImageLib_ParallelFor(
        p.height,
        [&p, shared, coefficients, taps, rowFloats, block](int32_t y) {
            const float* source = p.Source(0, y, 0);
            float* target = p.Target(0, y, 0);
            for (int32_t f0 = 0; f0 < rowFloats; f0 += block) {
                const int32_t n = std::min(block, rowFloats - f0);
                const float* in = source + f0;
                float* acc = target + f0;
                if (shared) {
                    SumBlock(shared, taps, in, p.sourceRow, acc, n);
                    continue;
                }
                uint32_t t = 0;
                if (taps == 9) {
                    for (int32_t i = 0; i < n; ++i) acc[i] = coefficients[i] * in[i];
                    t = 1;
                } else {
                    for (int32_t i = 0; i < n; ++i) acc[i] = 0.0f;
                }
                for (; t < taps; ++t) {
                    const float* k = coefficients + static_cast<size_t>(t) * block;
                    const float* line = in + static_cast<intptr_t>(t) * p.sourceRow;
                    for (int32_t i = 0; i < n; ++i) acc[i] += k[i] * line[i];
                }
            }
        },
        int64_t{p.width} * taps);
    ImageLib_CheckAbort();
}

// The reference loops check for cancel after every channel of per-channel
// kernels, so a fast pass over such kernels runs in slices of rows, each
// followed by a check: a cancel never waits for a whole pass of a large kernel.
// Slices are whole row blocks and every output keeps its sum, so the bytes do
// not depend on the slicing.
constexpr int64_t kSliceWork = int64_t{1} << 22; // multiply-adds between two checks

template <typename Pass> void FastPassInSlices(Pass pass, const Planes& p, const KernelList& kernels, uint32_t taps) {
    if (kernels.size() == 1 || p.height <= 0) {
        pass(p, kernels, taps);
        return;
    }
    const int64_t rowWork = std::max<int64_t>(1, int64_t{p.width} * taps * p.channels);
    int64_t rows = kSliceWork / rowWork;
    rows = std::max<int64_t>(kRowBlock, rows - rows % kRowBlock);
    for (int32_t y0 = 0; y0 < p.height; y0 += static_cast<int32_t>(rows)) {
        Planes slice = p;
        slice.source += y0 * p.sourceRow;
        slice.target += y0 * p.targetRow;
        slice.height = static_cast<int32_t>(std::min<int64_t>(rows, p.height - y0));
        pass(slice, kernels, taps);
    }
}

} // namespace

void FastHorizontalPasses(const Planes& planes, const KernelList& kernels, uint32_t taps) {
    FastPassInSlices(FastHorizontalPass, planes, kernels, taps);
}

void FastVerticalPasses(const Planes& planes, const KernelList& kernels, uint32_t taps) {
    FastPassInSlices(FastVerticalPass, planes, kernels, taps);
}

} // namespace ImageLib_Convolution
