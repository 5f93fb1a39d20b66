// The library's only link to the outside world.
//
// Every byte of memory, every progress report, every cancellation check and
// every parallel loop of ImageLib goes through the `ImageLib_Callbacks` of the
// current context (ImageLib_Context.h). A host supplies its own implementation;
// tests use ImageLib_TestCallbacks.
//
// Contract for implementations:
// - `AllocateHandle` and `Allocate` never return null: when memory cannot be
//   had they throw `ImageLib_MemoryError` (or a type derived from it).
// - `CheckAbort` and `ReportProgress` return normally unless the user asked to
//   stop, in which case they throw the host's abort exception, whatever its
//   type; the library lets it pass through untouched.
// - `Iterate` calls function(context, i, count) exactly once for every i in
//   [0, count) and returns when all calls have returned. Calls may run on
//   other threads at the same time; they must only touch disjoint memory.
#pragma once

#include <cstdint>
#include <exception>

// Thrown when memory cannot be obtained, whether the host refused it or the
// library found that the size asked for cannot be represented.
class ImageLib_MemoryError : public std::exception {
public:
    const char* what() const noexcept override { return "out of memory"; }
};

// Opaque movable memory: its address is only valid between lock and unlock.
using ImageLib_Handle = void*;

using ImageLib_IterateFunction = void (*)(void* context, int32_t index, int32_t count);

class ImageLib_Callbacks {
public:
    virtual ~ImageLib_Callbacks() = default;

    virtual ImageLib_Handle AllocateHandle(uint32_t size) = 0;
    virtual void* LockHandle(ImageLib_Handle handle) = 0;
    virtual void UnlockHandle(ImageLib_Handle handle) = 0;
    virtual void FreeHandle(ImageLib_Handle handle) = 0;

    virtual void* Allocate(uint32_t size) = 0;
    virtual void Free(void* pointer) = 0;

    virtual void CheckAbort() = 0;
    virtual void ReportProgress(float fraction) = 0;

    // Serial by default: increasing index on the calling thread.
    virtual void Iterate(ImageLib_IterateFunction function, int32_t count, void* context);
};
