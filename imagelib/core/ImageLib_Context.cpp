#include "ImageLib_Context.h"

#include "ImageLib_OnFailure.h"

#include <algorithm>
#include <cstdint>

namespace {
ImageLib_Context* gCurrent = nullptr;
}

void ImageLib_Callbacks::Iterate(ImageLib_IterateFunction function, int32_t count, void* context) {
    for (int32_t i = 0; i < count; ++i) function(context, i, count);
}

ImageLib_Context::ImageLib_Context(ImageLib_Callbacks* services) : callbacks(services) { gCurrent = this; }

ImageLib_Context::~ImageLib_Context() {
    if (gCurrent == this) gCurrent = nullptr;
}

ImageLib_Context* ImageLib_Context::Current() { return gCurrent; }

ImageLib_Callbacks& ImageLib_Context::CurrentCallbacks() { return *gCurrent->callbacks; }

void ImageLib_Context::Report(float x) {
    for (int32_t level = depth; level >= 0; --level)
        x = (static_cast<float>(progress[level].done) + x) / static_cast<float>(progress[level].total);
    callbacks->ReportProgress(x);
}

void ImageLib_CheckAbort() { ImageLib_Context::Current()->CheckAbort(); }

void ImageLib_ProgressScope::Begin(int32_t steps) {
    ImageLib_Context& context = *ImageLib_Context::Current();
    if (context.depth + 1 >= ImageLib_Context::kMaxDepth) {
        index_ = kInert;
        return;
    }
    context.depth += 1;
    index_ = context.depth;
    context.progress[index_] = {std::clamp(steps, 0, INT32_MAX - 1) + 1, 1};
    // A scope whose first report fails (a cancel) was never opened.
    ImageLib_OnFailure closed([this, &context]() noexcept {
        context.depth = index_ - 1;
        index_ = kClosed;
    });
    context.Report(0.0f);
}

void ImageLib_ProgressScope::Step() {
    if (index_ < 0) return;
    ImageLib_Context& context = *ImageLib_Context::Current();
    // A scope closed by the End of an enclosing one no longer owns its level.
    if (index_ > context.depth) return;
    context.Report(1.0f);
    context.progress[index_].done += 1;
}

void ImageLib_ProgressScope::End() {
    if (index_ == kClosed) return;
    if (index_ != kInert) {
        ImageLib_Context* context = ImageLib_Context::Current();
        if (context && context->depth >= index_) context->depth = index_ - 1;
    }
    index_ = kClosed;
}
