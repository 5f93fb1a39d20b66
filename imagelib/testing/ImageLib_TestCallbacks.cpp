#include "ImageLib_TestCallbacks.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
constexpr uint8_t kFresh = 0xCD;
}

ImageLib_TestCallbacks::ImageLib_TestCallbacks(IterateMode mode, int threads)
    : iterateMode(mode), threadCount(threads > 0 ? threads : 1), owner_(std::this_thread::get_id()) {}

ImageLib_TestCallbacks::~ImageLib_TestCallbacks() {
    for (Block* block : handles_) {
        std::free(block->memory);
        delete block;
    }
    for (auto& [pointer, size] : allocations_) std::free(pointer);
}

void ImageLib_TestCallbacks::CheckThread() {
    if (std::this_thread::get_id() != owner_) offThreadCalls.fetch_add(1);
}

void ImageLib_TestCallbacks::CountMemoryRequest() {
    CheckThread();
    ++memoryRequests;
    if (failMemoryAt > 0 && memoryRequests == failMemoryAt) throw ImageLib_MemoryError();
}

void ImageLib_TestCallbacks::CountAbortCheck() {
    CheckThread();
    ++abortChecks;
    if (abortAt > 0 && abortChecks == abortAt) throw ImageLib_TestAbort(abortCode);
}

ImageLib_Handle ImageLib_TestCallbacks::AllocateHandle(uint32_t size) {
    CountMemoryRequest();
    uint8_t* memory = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (!memory) throw ImageLib_MemoryError();
    if (markFresh) std::memset(memory, kFresh, size);
    Block* block = new Block{memory, size, 0};
    handles_.insert(block);
    ++liveHandles;
    liveHandleBytes += size;
    if (liveHandleBytes > peakHandleBytes) peakHandleBytes = liveHandleBytes;
    return block;
}

void* ImageLib_TestCallbacks::LockHandle(ImageLib_Handle handle) {
    CheckThread();
    Block* block = static_cast<Block*>(handle);
    if (!handles_.count(block)) {
        ++errors;
        return nullptr;
    }
    if (block->locks == 0) {
        if (moveOnLock) {
            uint8_t* moved = static_cast<uint8_t*>(std::malloc(block->size ? block->size : 1));
            if (!moved) throw ImageLib_MemoryError();
            std::memcpy(moved, block->memory, block->size);
            std::free(block->memory);
            block->memory = moved;
        }
        ++lockedHandles;
    }
    ++block->locks;
    return block->memory;
}

void ImageLib_TestCallbacks::UnlockHandle(ImageLib_Handle handle) {
    CheckThread();
    Block* block = static_cast<Block*>(handle);
    if (!handles_.count(block) || block->locks == 0) {
        ++errors;
        return;
    }
    if (--block->locks == 0) --lockedHandles;
}

void ImageLib_TestCallbacks::FreeHandle(ImageLib_Handle handle) {
    CheckThread();
    Block* block = static_cast<Block*>(handle);
    if (!handles_.erase(block)) {
        ++errors;
        return;
    }
    if (block->locks != 0) {
        ++errors;
        --lockedHandles;
    }
    --liveHandles;
    liveHandleBytes -= block->size;
    std::free(block->memory);
    delete block;
}

void* ImageLib_TestCallbacks::Allocate(uint32_t size) {
    CountMemoryRequest();
    void* pointer = std::malloc(size ? size : 1);
    if (!pointer) throw ImageLib_MemoryError();
    if (markFresh) std::memset(pointer, kFresh, size);
    allocations_.emplace(pointer, size);
    ++liveAllocations;
    liveAllocationBytes += size;
    return pointer;
}

void ImageLib_TestCallbacks::Free(void* pointer) {
    CheckThread();
    auto found = allocations_.find(pointer);
    if (found == allocations_.end()) {
        ++errors;
        return;
    }
    --liveAllocations;
    liveAllocationBytes -= found->second;
    allocations_.erase(found);
    std::free(pointer);
}

void ImageLib_TestCallbacks::CheckAbort() { CountAbortCheck(); }

void ImageLib_TestCallbacks::ReportProgress(float fraction) {
    CountAbortCheck();
    progress.push_back(fraction);
}

void ImageLib_TestCallbacks::Iterate(ImageLib_IterateFunction function, int32_t count, void* context) {
    ++iterateCalls;
    iterateJobs += count;
    if (iterateMode == IterateMode::Serial || count <= 1) {
        ImageLib_Callbacks::Iterate(function, count, context);
        return;
    }
    // Indices are handed out from a shared counter, so the order in which they
    // run differs from call to call, as on a real host's workers.
    std::atomic<int32_t> next{0};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto worker = [&] {
        for (int32_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            try {
                function(context, i, count);
            } catch (...) {
                std::lock_guard<std::mutex> guard(failureLock);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    const int workers = threadCount < count ? threadCount : count;
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(workers));
    for (int t = 0; t < workers; ++t) threads.emplace_back(worker);
    for (std::thread& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);
}
