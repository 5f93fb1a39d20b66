#include "host/HostHandleTable.h"

#include <cstdlib>
#include <cstring>

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
}

HostHandleTable::Block* HostHandleTable::Find(HostHandle handle) const {
    const auto found = blocks_.find(handle);
    return found == blocks_.end() ? nullptr : found->second.get();
}

HostHandle HostHandleTable::New(uint64_t size) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (size > kMaxBlock) return nullptr;
    if (limit_ != 0 && static_cast<uint64_t>(stats_.bytes) + size > limit_) return nullptr;
    void* memory = AllocateBlock(size);
    if (memory == nullptr) return nullptr;
    if (poison_) std::memset(memory, kFresh, size);
    auto block = std::make_unique<Block>();
    block->memory = memory;
    block->size = size;
    HostHandle handle = &block->memory;
    blocks_.emplace(handle, std::move(block));
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
            void* moved = AllocateBlock(block->size);
            // Without memory to move into, staying put is still a valid answer.
            if (moved != nullptr) {
                std::memcpy(moved, block->memory, block->size);
                FreeBlock(block->memory, block->size, poison_);
                block->memory = moved;
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
    FreeBlock(block.memory, block.size, poison_);
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

HostHandleTable::Stats HostHandleTable::GetStats() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stats_;
}
