// A fixed pool of worker threads that runs one indexed task at a time.
//
// Run(count, task) calls task(thread, i) exactly once for every i in
// [0, count) and returns when all calls have returned: kHostOk when every call
// returned 0, else the non-zero result of the lowest index that failed (so the
// answer does not depend on scheduling). Every index runs even after a
// failure. The calling thread takes part as thread 0, the workers are threads
// 1 .. ThreadCount() - 1, and indices are handed out from a shared counter, so
// their order varies from run to run. A task that throws counts as
// kHostErrBadArgument for its index.
//
// With a spin time (0, the default, sleeps at once), workers poll for the
// next run that long before they sleep, and the caller polls for its workers
// before it sleeps, yielding the core between polls so that a descheduled
// thread it waits for can run: a render issues hundreds of short runs per frame, and on
// virtual machines waking a sleeping thread can cost more than a run takes.
// Polling keeps a core busy, so interactive hosts and batch renderers want it
// and test suites that run side by side do not.
//
// When the caller keeps finishing its share and then waiting milliseconds for
// workers that have no core (other processes hold them), the next runs go
// serially on the caller for a while before the workers are tried again: two
// threads then cost no more than one.
//
// The default size is the number of CPUs this process may run on
// (sched_getaffinity). A Run that starts while another is in progress (a task
// that iterates, or a second thread) runs serially on its own calling thread,
// in index order, as thread 0.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class HostThreadPool {
public:
    using Task = std::function<int32_t(int32_t thread, int32_t index)>;

    explicit HostThreadPool(int32_t threads = 0, std::chrono::microseconds spin = {}); // threads 0: AvailableCpus()
    HostThreadPool(const HostThreadPool&) = delete;
    HostThreadPool& operator=(const HostThreadPool&) = delete;
    ~HostThreadPool();

    int32_t ThreadCount() const { return static_cast<int32_t>(workers_.size()) + 1; }
    // How many indices each thread has run since the pool was made.
    std::vector<int64_t> IndicesRun() const;
    int32_t Run(int32_t count, const Task& task);
    static int32_t RunSerially(int32_t count, const Task& task);

    static int32_t AvailableCpus();

private:
    void WorkerLoop(int32_t thread);
    // Takes indices of the current run until none are left.
    void Drain(int32_t thread);

    // Falls back to serial runs for a while when workers keep arriving late.
    void NoteWait(std::chrono::steady_clock::duration worked, std::chrono::steady_clock::duration waited);

    // Polls `ready` for up to spin_; true once it holds.
    template <class Ready> bool Spin(Ready ready) const;

    std::chrono::microseconds spin_;
    std::vector<std::thread> workers_;
    std::atomic<bool> busy_{false}; // set for the whole of a parallel Run
    // Touched only by the thread that holds busy_.
    int32_t lateRuns_ = 0, cleanRuns_ = 0, serialRuns_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> generation_{0};
    std::atomic<int32_t> busyWorkers_{0};

    // The current run, published under mutex_ before workers wake.
    const Task* task_ = nullptr;
    int32_t count_ = 0;
    std::mutex resultLock_;
    int32_t failedIndex_ = -1;
    int32_t failedResult_ = 0;
    // The next index to hand out, alone on its cache line: the workers bump it
    // while they read the fields above.
    struct alignas(64) Counter {
        std::atomic<int32_t> value{0};
    };
    Counter next_;
    std::unique_ptr<Counter[]> indicesRun_; // per thread, each on its own cache line
};
