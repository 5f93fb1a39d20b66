// How the library's loops are spread over the host's threads. Which
// implementation of a hot loop runs is the vector layer's path switch
// (simd/Simd.h), re-exported here for the library's users.
#pragma once

#include "simd/Simd.h"

#include <cstdint>

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
