#include "host/HostHandleTable.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

namespace {

constexpr uint8_t kFresh = 0xCD;
constexpr uint8_t kDead = 0xDD;

void* AllocateBlock(uint64_t size) { return std::malloc(size > 0 ? size : 1); }

void FreeBlock(void* memory, uint64_t size, bool poison) {
    if (memory == nullptr) return;
    if (poison) std::memset(memory, kDead, size);
    std::free(memory);
}

} // namespace

HostHandleTable::~HostHandleTable() {
    for (auto& [handle, block] : blocks_) FreeBlock(block->memory, block->size, poison_);
    for (auto& [capacity, memory] : cache_) std::free(memory);
}

void* HostHandleTable::Obtain(uint64_t size, uint64_t& capacity) {
    // A cached block up to a quarter larger than asked: close enough that the
    // cache does not hold much more memory than the blocks in use.
    const auto fit = cache_.lower_bound(size);
    if (fit != cache_.end() && fit->first - size <= size / 4) {
        void* memory = fit->second;
        capacity = fit->first;
        cachedBytes_ -= capacity;
        cache_.erase(fit);
        return memory;
    }
    capacity = size;
    return AllocateBlock(size);
}

void HostHandleTable::Recycle(void* memory, uint64_t capacity) {
    if (memory == nullptr) return;
    if (cacheLimit_ == 0 || capacity > cacheLimit_ - std::min(cacheLimit_, cachedBytes_)) {
        std::free(memory);
        return;
    }
    std::unique_ptr<void, void (*)(void*)> owned(memory, &std::free);
    cache_.emplace(capacity, memory);
    owned.release();
    cachedBytes_ += capacity;
}

HostHandleTable::Block* HostHandleTable::Find(HostHandle handle) const {
    const auto found = blocks_.find(handle);
    return found == blocks_.end() ? nullptr : found->second.get();
}

HostHandle HostHandleTable::New(uint64_t size) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (size > kMaxBlock) return nullptr;
    if (limit_ != 0 && static_cast<uint64_t>(stats_.bytes) + size > limit_) return nullptr;
    uint64_t capacity = 0;
    void* memory = Obtain(size, capacity);
    if (memory == nullptr) return nullptr;
    // Ours until the table holds it: the bookkeeping below may itself be refused memory.
    std::unique_ptr<void, void (*)(void*)> owned(memory, &std::free);
    if (poison_) std::memset(memory, kFresh, size);
    auto block = std::make_unique<Block>();
    block->memory = memory;
    block->size = size;
    block->capacity = capacity;
    HostHandle handle = &block->memory;
    blocks_.emplace(handle, std::move(block));
    owned.release();
    ++stats_.live;
    stats_.bytes += static_cast<int64_t>(size);
    if (stats_.bytes > stats_.peakBytes) stats_.peakBytes = stats_.bytes;
    return handle;
}

void* HostHandleTable::Lock(HostHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    Block* block = Find(handle);
    if (block == nullptr) {
        ++stats_.errors;
        return nullptr;
    }
    if (block->locks == 0) {
        if (moveOnLock_) {
            uint64_t capacity = 0;
            void* moved = Obtain(block->size, capacity);
            // Without memory to move into, staying put is still a valid answer.
            if (moved != nullptr) {
                std::memcpy(moved, block->memory, block->size);
                if (poison_) std::memset(block->memory, kDead, block->size);
                Recycle(block->memory, block->capacity);
                block->memory = moved;
                block->capacity = capacity;
                ++stats_.moves;
            }
        }
        ++stats_.locked;
    }
    ++block->locks;
    return block->memory;
}

void HostHandleTable::Unlock(HostHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    Block* block = Find(handle);
    if (block == nullptr || block->locks == 0) {
        ++stats_.errors;
        return;
    }
    if (--block->locks == 0) --stats_.locked;
}

void HostHandleTable::Dispose(HostHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = blocks_.find(handle);
    if (found == blocks_.end()) {
        ++stats_.errors;
        return;
    }
    Block& block = *found->second;
    if (block.locks != 0) {
        ++stats_.errors;
        --stats_.locked;
    }
    --stats_.live;
    stats_.bytes -= static_cast<int64_t>(block.size);
    if (poison_ && block.memory != nullptr) std::memset(block.memory, kDead, block.size);
    Recycle(block.memory, block.capacity);
    blocks_.erase(found);
}

uint64_t HostHandleTable::Size(HostHandle handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const Block* block = Find(handle);
    return block ? block->size : 0;
}

bool HostHandleTable::Owns(HostHandle handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Find(handle) != nullptr;
}

int32_t HostHandleTable::LockCount(HostHandle handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const Block* block = Find(handle);
    return block ? block->locks : -1;
}

void HostHandleTable::SetPoison(bool poison) {
    std::lock_guard<std::mutex> guard(mutex_);
    poison_ = poison;
}

void HostHandleTable::SetMoveOnLock(bool move) {
    std::lock_guard<std::mutex> guard(mutex_);
    moveOnLock_ = move;
}

void HostHandleTable::SetLimit(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    limit_ = bytes;
}

void HostHandleTable::SetBlockCache(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    cacheLimit_ = bytes;
    while (cachedBytes_ > cacheLimit_) {
        // Largest first: they are the ones least likely to fit again.
        const auto last = std::prev(cache_.end());
        cachedBytes_ -= last->first;
        std::free(last->second);
        cache_.erase(last);
    }
}

HostHandleTable::Stats HostHandleTable::GetStats() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stats_;
}
