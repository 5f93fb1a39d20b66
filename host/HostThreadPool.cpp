#include "host/HostThreadPool.h"

#include "host/HostErrors.h"

#include <sched.h>

namespace {

int32_t Invoke(const HostThreadPool::Task& task, int32_t thread, int32_t index) {
    try {
        return task(thread, index);
    } catch (...) {
        return kHostErrBadArgument;
    }
}

} // namespace

int32_t HostThreadPool::AvailableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int32_t>(hardware) : 1;
}

HostThreadPool::HostThreadPool(int32_t threads) {
    if (threads <= 0) threads = AvailableCpus();
    workers_.reserve(static_cast<size_t>(threads - 1));
    for (int32_t thread = 1; thread < threads; ++thread) {
        workers_.emplace_back([this, thread] { WorkerLoop(thread); });
    }
}

HostThreadPool::~HostThreadPool() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

int32_t HostThreadPool::RunSerially(int32_t count, const Task& task) {
    int32_t result = kHostOk;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t r = Invoke(task, 0, i);
        if (r != kHostOk && result == kHostOk) result = r;
    }
    return result;
}

int32_t HostThreadPool::Run(int32_t count, const Task& task) {
    if (count <= 0) return kHostOk;
    bool idle = false;
    if (workers_.empty() || count == 1 || !busy_.compare_exchange_strong(idle, true)) {
        return RunSerially(count, task);
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        task_ = &task;
        count_ = count;
        next_.store(0);
        failedIndex_ = -1;
        failedResult_ = kHostOk;
        busyWorkers_ = static_cast<int32_t>(workers_.size());
        ++generation_;
    }
    wake_.notify_all();
    Drain(0);
    int32_t result;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return busyWorkers_ == 0; });
        task_ = nullptr;
        result = failedIndex_ >= 0 ? failedResult_ : kHostOk;
    }
    busy_.store(false);
    return result;
}

void HostThreadPool::Drain(int32_t thread) {
    for (int32_t i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) {
        const int32_t r = Invoke(*task_, thread, i);
        if (r != kHostOk) {
            std::lock_guard<std::mutex> guard(resultLock_);
            if (failedIndex_ < 0 || i < failedIndex_) {
                failedIndex_ = i;
                failedResult_ = r;
            }
        }
    }
}

void HostThreadPool::WorkerLoop(int32_t thread) {
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
        }
        Drain(thread);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (--busyWorkers_ == 0) done_.notify_all();
        }
    }
}
