// The host's relocatable memory handles, with accounting.
//
// A handle is the address of a word (the master pointer) that holds the
// block's current address. A block may move whenever it is unlocked; with
// `moveOnLock` on, every lock from the unlocked state moves it to fresh memory
// and poisons the old block before freeing it, so a pointer kept past an
// unlock reads garbage (and trips the address sanitizer) instead of working by
// luck. New blocks are filled with 0xCD so reads of unwritten memory show.
//
// With a block cache (off by default), disposed blocks are kept for reuse
// by later handles of about the same size, as a production host's memory
// manager does: a render that allocates the same band buffers again and again
// then stops paying for fresh pages. Cached blocks count in no statistic and
// not against the limit. Leave it off where the address sanitizer should see
// reads through stale pointers.
//
// New returns null when the block would exceed the byte limit (0 = none), is
// larger than kMaxBlock, or the system has no memory. Misuse (unknown handles,
// unlocking an unlocked handle, disposing a locked one) is counted in
// `errors` and otherwise tolerated. All operations are serialised by a mutex,
// so misuse from other threads is counted rather than corrupting the table.
#pragma once

#include "interface/HostInterface.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

class HostHandleTable {
public:
    static constexpr uint64_t kMaxBlock = uint64_t{1} << 34;

    struct Stats {
        int64_t live = 0;      // handles not yet disposed
        int64_t bytes = 0;     // sizes asked for, summed over live handles
        int64_t peakBytes = 0; // largest `bytes` seen
        int64_t locked = 0;    // live handles with at least one lock
        int64_t moves = 0;     // blocks moved on lock
        int64_t errors = 0;    // misuse, see above
    };

    explicit HostHandleTable(bool moveOnLock = true) : moveOnLock_(moveOnLock) {}
    HostHandleTable(const HostHandleTable&) = delete;
    HostHandleTable& operator=(const HostHandleTable&) = delete;
    ~HostHandleTable(); // frees what is left

    HostHandle New(uint64_t size);
    void* Lock(HostHandle handle); // the block's address; null for an unknown handle
    void Unlock(HostHandle handle);
    void Dispose(HostHandle handle);
    uint64_t Size(HostHandle handle) const; // the size asked for; 0 for an unknown handle
    bool Owns(HostHandle handle) const;
    int32_t LockCount(HostHandle handle) const; // -1 for an unknown handle

    void SetMoveOnLock(bool move);
    // Filling new blocks with 0xCD and freed ones with 0xDD (on by default) shows
    // reads of unwritten or freed memory; a production host does neither.
    void SetPoison(bool poison);
    void SetLimit(uint64_t bytes);
    // Keeps up to `bytes` of disposed blocks for reuse; 0 (the default) frees them at once.
    void SetBlockCache(uint64_t bytes);
    Stats GetStats() const;

private:
    struct Block {
        void* memory = nullptr; // the master pointer: a handle is &memory
        uint64_t size = 0;      // as asked for
        uint64_t capacity = 0;  // as allocated: at least `size`
        int32_t locks = 0;
    };
    Block* Find(HostHandle handle) const;
    // A block of at least `size` bytes, from the cache when one fits closely; with the lock held.
    void* Obtain(uint64_t size, uint64_t& capacity);
    // Caches or frees a block; with the lock held.
    void Recycle(void* memory, uint64_t capacity);

    mutable std::mutex mutex_;
    std::unordered_map<HostHandle, std::unique_ptr<Block>> blocks_;
    bool moveOnLock_;
    bool poison_ = true;
    uint64_t limit_ = 0;
    uint64_t cacheLimit_ = 0;
    uint64_t cachedBytes_ = 0;
    std::multimap<uint64_t, void*> cache_; // capacity -> block
    Stats stats_;
};
