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

#include <cstdint>
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

// Runs body(i) for i in [0, count) through the current callbacks' `Iterate`.
// The body must be safe to run for different indices at the same time.
template <class Body> void ImageLib_ParallelFor(int32_t count, Body&& body) {
    if (count <= 0) return;
    auto trampoline = [](void* context, int32_t index, int32_t) {
        (*static_cast<std::remove_reference_t<Body>*>(context))(index);
    };
    ImageLib_Context::Current()->Iterate(trampoline, count, const_cast<void*>(static_cast<const void*>(&body)));
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
