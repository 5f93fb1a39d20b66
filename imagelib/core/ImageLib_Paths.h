// Which implementation of the library's hot loops runs.
//
// Every fast path (vectorised noise, blocked convolution, fused passes) has a
// straightforward reference implementation beside it that gives the same
// bytes. Tests and benchmarks switch to the reference paths to prove and
// measure that; the module never does, so its configuration stays its
// parameters alone. Not to be changed while a render runs.
#pragma once

void ImageLib_SetReferencePaths(bool reference);
bool ImageLib_ReferencePaths();
