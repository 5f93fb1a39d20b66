#include "ImageLib_Paths.h"

#include <atomic>

namespace {
int64_t gInlinePixels = kInlineLoopPixels;
} // namespace

void ImageLib_SetInlineLoopPixels(int64_t pixels) { gInlinePixels = pixels; }

int64_t ImageLib_InlineLoopPixels() { return gInlinePixels; }

namespace {
std::atomic<int32_t> gWorkersSeen{1};
} // namespace

void ImageLib_NoteWorkerThread(int32_t thread) {
    int32_t seen = gWorkersSeen.load(std::memory_order_relaxed);
    while (thread >= seen && !gWorkersSeen.compare_exchange_weak(seen, thread + 1, std::memory_order_relaxed)) {}
}

int32_t ImageLib_WorkersSeen() { return gWorkersSeen.load(std::memory_order_relaxed); }
