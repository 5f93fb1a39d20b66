// An `ImageLib_Callbacks` over ordinary memory for tests, benchmarks and tools.
//
// It keeps account of everything the library holds (live handles, bytes,
// allocations, their peaks), records every progress fraction, runs `Iterate`
// serially or on real threads, and injects faults: the Nth memory request
// (handle or allocation, counted together) can be refused with
// `ImageLib_MemoryError`, and the Nth abort check (`CheckAbort` or
// `ReportProgress`, counted together) can throw `ImageLib_TestAbort`.
//
// Handles move to a fresh address each time they are locked from the unlocked
// state, and new memory is filled with a 0xCD pattern, so code that keeps
// pointers past an unlock or reads memory it never wrote shows up in tests.
// Memory and progress services must only be called from the thread that
// created the callbacks; calls from elsewhere are counted in `offThreadCalls`.
#pragma once

#include "imagelib/core/ImageLib_Callbacks.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct ImageLib_TestAbort : std::exception {
    explicit ImageLib_TestAbort(int32_t value) : code(value) {}
    const char* what() const noexcept override { return "aborted"; }
    int32_t code;
};

class ImageLib_TestCallbacks : public ImageLib_Callbacks {
public:
    enum class IterateMode { Serial, Threaded };

    explicit ImageLib_TestCallbacks(IterateMode mode = IterateMode::Serial, int threads = 4);
    ~ImageLib_TestCallbacks() override;

    ImageLib_Handle AllocateHandle(uint32_t size) override;
    void* LockHandle(ImageLib_Handle handle) override;
    void UnlockHandle(ImageLib_Handle handle) override;
    void FreeHandle(ImageLib_Handle handle) override;
    void* Allocate(uint32_t size) override;
    void Free(void* pointer) override;
    void CheckAbort() override;
    void ReportProgress(float fraction) override;
    void Iterate(ImageLib_IterateFunction function, int32_t count, void* context) override;

    // Fault injection: 0 never fails; N fails the Nth call from now on counted.
    int64_t failMemoryAt = 0;
    int64_t abortAt = 0;
    int32_t abortCode = 1;
    bool moveOnLock = true;
    bool markFresh = true; // fill new memory with 0xCD; benchmarks turn it off
    IterateMode iterateMode;
    int threadCount;

    // Accounting.
    int64_t memoryRequests = 0; // handle and plain allocations asked for
    int64_t abortChecks = 0;    // CheckAbort and ReportProgress calls
    int64_t liveHandles = 0;
    int64_t liveHandleBytes = 0;
    int64_t peakHandleBytes = 0;
    int64_t liveAllocations = 0;
    int64_t liveAllocationBytes = 0;
    int64_t lockedHandles = 0;
    int64_t iterateCalls = 0;
    int64_t iterateJobs = 0; // the counts Iterate was given, summed
    int64_t errors = 0;      // unknown handles or pointers, unbalanced locks
    std::atomic<int64_t> offThreadCalls{0};
    std::vector<float> progress;

    bool Clean() const { return liveHandles == 0 && liveAllocations == 0 && lockedHandles == 0 && errors == 0; }

private:
    struct Block {
        uint8_t* memory = nullptr;
        uint32_t size = 0;
        int32_t locks = 0;
    };

    void CountMemoryRequest();
    void CountAbortCheck();
    void CheckThread();

    std::thread::id owner_;
    std::unordered_set<Block*> handles_;
    std::unordered_map<void*, uint32_t> allocations_;
};
