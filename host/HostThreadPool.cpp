#include "host/HostThreadPool.h"

#include "host/HostErrors.h"

#include <algorithm>
#include <bit>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sched.h>
#endif

namespace {

inline void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

int32_t Invoke(const HostThreadPool::Task& task, int32_t thread, int32_t index) {
    try {
        return task(thread, index);
    } catch (...) {
        return kHostErrBadArgument;
    }
}

} // namespace

int32_t HostThreadPool::AvailableCpus() {
#if defined(_WIN32)
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0)
        return static_cast<int32_t>(std::popcount(static_cast<uint64_t>(process)));
#else
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
#endif
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int32_t>(hardware) : 1;
}

template <class Ready> bool HostThreadPool::Spin(Ready ready) const {
    if (spin_.count() <= 0) return ready();
    const auto until = std::chrono::steady_clock::now() + spin_;
    for (;;) {
        // The clock is read once per batch of pauses; a pause is tens of cycles.
        for (int32_t i = 0; i < 16; ++i) {
            if (ready()) return true;
            Pause();
        }
        if (std::chrono::steady_clock::now() >= until) return ready();
        // On a busy machine the thread this one waits for may be the one
        // waiting for a core: yielding hands it this one (and costs next to
        // nothing when no other thread wants the core).
        std::this_thread::yield();
    }
}

HostThreadPool::HostThreadPool(int32_t threads, std::chrono::microseconds spin) : spin_(spin) {
    if (threads <= 0) threads = AvailableCpus();
    indicesRun_ = std::make_unique<Counter[]>(static_cast<size_t>(threads));
    workers_.reserve(static_cast<size_t>(threads - 1));
    for (int32_t thread = 1; thread < threads; ++thread) {
        workers_.emplace_back([this, thread] { WorkerLoop(thread); });
    }
}

HostThreadPool::~HostThreadPool() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_.store(true);
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

std::vector<int64_t> HostThreadPool::IndicesRun() const {
    std::vector<int64_t> run;
    for (int32_t thread = 0; thread < ThreadCount(); ++thread)
        run.push_back(indicesRun_[static_cast<size_t>(thread)].value.load(std::memory_order_relaxed));
    return run;
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
    if (serialRuns_ > 0) {
        --serialRuns_;
        busy_.store(false);
        return RunSerially(count, task);
    }
    const auto start = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        task_ = &task;
        count_ = count;
        next_.value.store(0);
        failedIndex_ = -1;
        failedResult_ = kHostOk;
        busyWorkers_.store(static_cast<int32_t>(workers_.size()));
        generation_.fetch_add(1);
    }
    wake_.notify_all();
    Drain(0);
    const auto drained = std::chrono::steady_clock::now();
    int32_t result;
    Spin([this] { return busyWorkers_.load() == 0; });
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return busyWorkers_.load() == 0; });
        task_ = nullptr;
        result = failedIndex_ >= 0 ? failedResult_ : kHostOk;
    }
    NoteWait(drained - start, std::chrono::steady_clock::now() - drained);
    busy_.store(false);
    return result;
}

void HostThreadPool::NoteWait(std::chrono::steady_clock::duration worked, std::chrono::steady_clock::duration waited) {
    // The caller ran out of work and then waited, longer than it worked and
    // longer than a worker takes to wake, for jobs that workers had started:
    // on a machine where other processes take the cores, a worker is
    // descheduled in the middle of its job and the loop waits for the
    // system's next turn. A few such runs and the next ones run on the
    // calling thread alone (a second thread must not cost more than it
    // brings), until the pool tries its workers again.
    constexpr auto kLate = std::chrono::milliseconds(1);
    constexpr int32_t kStrikes = 3, kForgiven = 32, kSerialRuns = 512;
    if (waited > kLate && waited > worked) {
        cleanRuns_ = 0;
        if (++lateRuns_ >= kStrikes) {
            lateRuns_ = 0;
            serialRuns_ = kSerialRuns;
        }
    } else if (lateRuns_ > 0 && ++cleanRuns_ >= kForgiven) {
        lateRuns_ = 0;
        cleanRuns_ = 0;
    }
}

void HostThreadPool::Drain(int32_t thread) {
    // Indices go out a few at a time: one shared counter bumped per index
    // costs a cache-line transfer between cores, which is as much as a short
    // task takes. Eight grabs per thread still balance uneven tasks.
    const Task& task = *task_;
    const int32_t count = count_;
    const int32_t grab = std::max<int32_t>(1, count / (8 * ThreadCount()));
    for (int32_t first = next_.value.fetch_add(grab); first < count; first = next_.value.fetch_add(grab)) {
        const int32_t last = std::min(count, first + grab);
        indicesRun_[static_cast<size_t>(thread)].value.fetch_add(last - first, std::memory_order_relaxed);
        for (int32_t i = first; i < last; ++i) {
            const int32_t r = Invoke(task, thread, i);
            if (r != kHostOk) {
                std::lock_guard<std::mutex> guard(resultLock_);
                if (failedIndex_ < 0 || i < failedIndex_) {
                    failedIndex_ = i;
                    failedResult_ = r;
                }
            }
        }
    }
}

void HostThreadPool::WorkerLoop(int32_t thread) {
    uint64_t seen = 0;
    for (;;) {
        const auto woken = [&] { return stopping_.load() || generation_.load() != seen; };
        Spin(woken);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, woken);
            if (stopping_.load()) return;
            seen = generation_.load();
        }
        Drain(thread);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (busyWorkers_.fetch_sub(1) == 1) done_.notify_all();
        }
    }
}
