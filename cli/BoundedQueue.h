// A queue between two threads that holds at most `capacity` items: the
// producer waits while it is full, so a fast reader cannot fill memory ahead
// of a slow consumer. Closing wakes both sides: Push then refuses, Pop drains
// what is left and then says there is nothing more.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

template <class T> class BoundedQueue {
public:
    explicit BoundedQueue(size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

    // False when the queue was closed (the item is dropped).
    bool Push(T item) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [this] { return closed_ || items_.size() < capacity_; });
        if (closed_) return false;
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
        return true;
    }

    // The next item; empty once the queue is closed and drained.
    std::optional<T> Pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [this] { return closed_ || !items_.empty(); });
        if (items_.empty()) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return item;
    }

    void Close() {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        notFull_.notify_all();
        notEmpty_.notify_all();
    }

private:
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable notFull_, notEmpty_;
    std::deque<T> items_;
    bool closed_ = false;
};
