// The one place that knows about vector code: which implementation of the hot
// loops runs, what this processor can run, and the spelling of vector types
// and target attributes.
//
// Every hot loop of the library (convolution sums, Fourier products, sample
// conversions, colour mixing, noise draws, the logarithm, sample measuring)
// has a straightforward reference implementation and fast ones beside it that
// give the same bytes: a plain one in portable code, and AVX2 and AVX-512
// ones. One process-wide path chooses among them for every family at once;
// each family keeps a small table of its implementations indexed by the path.
// By default the widest path this processor runs. Tests and benchmarks select
// the others to prove and measure that all give the same bytes; the module
// never does, so its configuration stays its parameters alone. Not to be
// changed while work runs.
#pragma once

#include <cstdint>

enum class SimdPath : int32_t { Reference, Plain, Avx2, Avx512 };
constexpr int32_t kSimdPathCount = 4;

// Whether this processor and operating system run the path (CPU detection,
// once per process).
bool SimdPathAvailable(SimdPath path);
SimdPath WidestSimdPath();
// Returns false, changing nothing, when the path cannot run here.
bool SelectSimdPath(SimdPath path);
SimdPath SelectedSimdPath();
const char* SimdPathName(SimdPath path);

inline bool SimdReference() { return SelectedSimdPath() == SimdPath::Reference; }

// x86-64 with GCC or clang: intrinsics, target attributes and vector types.
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define SIMD_X86 1
#include <immintrin.h>
#define SIMD_TARGET_AVX2 __attribute__((target("avx2")))
#define SIMD_TARGET_AVX512 __attribute__((target("avx512f")))
// For helpers that must inline into a function of the same target.
#define SIMD_INLINE_AVX2 __attribute__((target("avx2"), always_inline)) inline
#define SIMD_INLINE_AVX512 __attribute__((target("avx512f"), always_inline)) inline
#else
#define SIMD_X86 0
#endif

// Portable vectors of 8 and 16 floats (GCC and clang), lowered to whatever
// the function's target offers.
#if defined(__GNUC__) || defined(__clang__)
#define SIMD_VECTOR_TYPES 1
typedef float SimdFloat8 __attribute__((vector_size(32)));
typedef float SimdFloat16 __attribute__((vector_size(64)));
#else
#define SIMD_VECTOR_TYPES 0
#endif
