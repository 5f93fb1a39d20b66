#include "ImageLib_Paths.h"

#include <atomic>

namespace {
bool gReference = false;
int64_t gInlinePixels = kInlineLoopPixels;
// -1 until a test selects a width.
int gVectorWidth = -1;
} // namespace

void ImageLib_SetReferencePaths(bool reference) { gReference = reference; }

bool ImageLib_ReferencePaths() { return gReference; }

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

bool ImageLib_VectorWidthAvailable(ImageLib_VectorWidth width) {
    switch (width) {
    case ImageLib_VectorWidth::Portable:
        return true;
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
    case ImageLib_VectorWidth::Avx2: {
        static const bool available = [] {
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
        }();
        return available;
    }
    case ImageLib_VectorWidth::Avx512: {
        static const bool available = [] {
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") != 0;
        }();
        return available;
    }
#endif
    default:
        return false;
    }
}

bool ImageLib_SelectVectorWidth(ImageLib_VectorWidth width) {
    if (!ImageLib_VectorWidthAvailable(width)) return false;
    gVectorWidth = static_cast<int>(width);
    return true;
}

ImageLib_VectorWidth ImageLib_WidestVectorWidth() {
    if (ImageLib_VectorWidthAvailable(ImageLib_VectorWidth::Avx512)) return ImageLib_VectorWidth::Avx512;
    if (ImageLib_VectorWidthAvailable(ImageLib_VectorWidth::Avx2)) return ImageLib_VectorWidth::Avx2;
    return ImageLib_VectorWidth::Portable;
}

ImageLib_VectorWidth ImageLib_SelectedVectorWidth() {
    return gVectorWidth >= 0 ? static_cast<ImageLib_VectorWidth>(gVectorWidth) : ImageLib_WidestVectorWidth();
}
