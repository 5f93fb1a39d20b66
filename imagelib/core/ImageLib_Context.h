// The current services of the library and its stack of progress scopes.
//
// Exactly one context is current at a time: constructing one makes it current,
// destroying it clears the current pointer. Library code reaches the callbacks
// through `ImageLib_Context::Current()` and must only run while a context exists.
//
// Progress scopes nest up to `kMaxDepth` levels. A scope of N steps shows
// 1/(N+1) of its span when it begins and its whole span after the N-th step; an
// inner scope fills the span of the outer step that is running. Scopes opened
// beyond the maximum depth are inert: they report nothing and change nothing.
#pragma once

#include "ImageLib_Callbacks.h"
#include "ImageLib_Paths.h"

#include <cstdint>
#include <exception>
#include <type_traits>

class ImageLib_Context {
public:
    static constexpr int32_t kMaxDepth = 32;

    struct Level {
        int32_t total = 0;
        int32_t done = 0;
    };

    explicit ImageLib_Context(ImageLib_Callbacks* callbacks);
    ~ImageLib_Context();
    ImageLib_Context(const ImageLib_Context&) = delete;
    ImageLib_Context& operator=(const ImageLib_Context&) = delete;

    // The context in force, or null outside a request.
    static ImageLib_Context* Current();
    static ImageLib_Callbacks& CurrentCallbacks();

    ImageLib_Callbacks* callbacks;
    Level progress[kMaxDepth];
    int32_t depth = -1;

    void CheckAbort() { callbacks->CheckAbort(); }
    void Iterate(ImageLib_IterateFunction function, int32_t count, void* context) {
        callbacks->Iterate(function, count, context);
    }

    // Reports the overall fraction with `x` of the innermost step done.
    void Report(float x);
};

// Shortcuts for the current context.
void ImageLib_CheckAbort();

// Runs body(i) for i in [0, count) through the current callbacks' `Iterate`,
// or in order on this thread when no context is current (accesses over plain
// memory can be mapped outside a request). The body must be safe to run for
// different indices at the same time. Indices go to `Iterate` in contiguous
// runs, four for every worker the host has been seen to use and at least
// kParallelJobs: few enough that a row of most nodes is not outweighed by the
// host's bookkeeping for a job, and small enough that a worker the system
// deschedules in the middle of one holds back little of the loop (the others
// take the jobs it has not started).
// `pixelsPerIndex` tells roughly how much an index does; a loop whose whole
// work is below ImageLib_InlineLoopPixels() runs in order on this thread, as
// a handful of rows (the patches of the grain analysis) costs less than
// waking the host's workers. Without it (-1) a loop never counts as small.
constexpr int32_t kParallelJobs = 8;

template <class Body> void ImageLib_ParallelFor(int32_t count, Body&& body, int64_t pixelsPerIndex = -1) {
    if (count <= 0) return;
    if (ImageLib_Context::Current() == nullptr ||
        (pixelsPerIndex >= 0 && count * pixelsPerIndex < ImageLib_InlineLoopPixels())) {
        for (int32_t i = 0; i < count; ++i) body(i);
        return;
    }
    struct Work {
        std::remove_reference_t<Body>* body;
        int32_t count;
        int32_t jobs;
    } work{&body, count, 0};
    const int32_t jobs = ImageLib_WorkersSeen() * 4 > kParallelJobs ? ImageLib_WorkersSeen() * 4 : kParallelJobs;
    work.jobs = count < jobs ? count : jobs;
    auto trampoline = [](void* context, int32_t job, int32_t) {
        const Work& w = *static_cast<const Work*>(context);
        // Job j covers [j * count / jobs, (j + 1) * count / jobs), in 64 bits.
        const int32_t first = static_cast<int32_t>(static_cast<int64_t>(job) * w.count / w.jobs);
        const int32_t last = static_cast<int32_t>(static_cast<int64_t>(job + 1) * w.count / w.jobs);
        // Every index runs even when one throws, as without the grouping; the
        // first failure of the run goes on to `Iterate`.
        std::exception_ptr failure;
        for (int32_t i = first; i < last; ++i) {
            try {
                (*w.body)(i);
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
    };
    ImageLib_Context::Current()->Iterate(trampoline, work.jobs, &work);
}

// One level of the progress stack. `End` (or the destructor) closes this scope
// and every scope opened inside it and left open.
class ImageLib_ProgressScope {
public:
    ImageLib_ProgressScope() = default;
    explicit ImageLib_ProgressScope(int32_t steps) { Begin(steps); }
    ~ImageLib_ProgressScope() { End(); }
    ImageLib_ProgressScope(const ImageLib_ProgressScope&) = delete;
    ImageLib_ProgressScope& operator=(const ImageLib_ProgressScope&) = delete;

    void Begin(int32_t steps);
    void Step();
    void End();

private:
    static constexpr int32_t kClosed = -2;
    static constexpr int32_t kInert = -3;
    int32_t index_ = kClosed;
};
