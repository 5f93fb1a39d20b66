// The module's single-precision natural logarithm.
//
// The Gaussian deviates of the random generator take ln(s) in single precision,
// and the same seed must give the same bits on every machine. A C library's
// logf is only required to be close, and its last bit differs between
// libraries, so the module carries its own: LogFloat(x) is the float nearest to
// ln(x) (ties cannot occur), for every float x. Every path (scalar and vector)
// computes it from the same table with the same sequence of IEEE double
// additions and multiplications, so the bits never depend on the machine, the
// compiler's choice of instructions or the C library.
//
// Special values: ln(+0) and ln(-0) are -infinity, ln(+infinity) is
// +infinity, a negative x or a NaN gives a NaN.
#pragma once

#include <cstddef>

float LogFloat(float x);

// out[i] = LogFloat(in[i]) for i in [0, count), in the vectors of the selected
// path (SelectSimdPath): the same bits on every path. `in` and `out` may be
// the same array but must not otherwise overlap.
void LogFloatArray(const float* in, float* out, size_t count);
