// Which implementation of the library's hot loops runs.
//
// Every fast path (vectorised noise, blocked convolution, fused passes) has a
// straightforward reference implementation beside it that gives the same
// bytes. Tests and benchmarks switch to the reference paths to prove and
// measure that; the module never does, so its configuration stays its
// parameters alone. Not to be changed while a render runs.
#pragma once

#include <cstdint>

void ImageLib_SetReferencePaths(bool reference);
bool ImageLib_ReferencePaths();

// Loops of fewer pixels than this in all run on the calling thread instead of
// the host's workers (see ImageLib_ParallelFor). Tests set 0 to send every
// loop through `Iterate`. Not to be changed while a render runs.
constexpr int64_t kInlineLoopPixels = 4096;
void ImageLib_SetInlineLoopPixels(int64_t pixels);
int64_t ImageLib_InlineLoopPixels();

// The most threads the host has been seen running one loop's jobs on. The
// host's iteration service says nothing of its pool, so the module learns it
// from the thread indices its jobs are called with; loops are cut into
// jobs enough for every worker (ImageLib_ParallelFor). Safe from any thread.
void ImageLib_NoteWorkerThread(int32_t thread);
int32_t ImageLib_WorkersSeen();

// The widest vector code the fast paths may use: by default the widest this
// processor runs. Tests select the narrower ones to check that every width
// gives the same bytes; a width the processor cannot run is refused (false,
// nothing changed). Not to be changed while a render runs.
enum class ImageLib_VectorWidth { Portable, Avx2, Avx512 };
bool ImageLib_VectorWidthAvailable(ImageLib_VectorWidth width);
bool ImageLib_SelectVectorWidth(ImageLib_VectorWidth width);
ImageLib_VectorWidth ImageLib_SelectedVectorWidth();
ImageLib_VectorWidth ImageLib_WidestVectorWidth();
