// The runtime's services called directly through its tables, as a module
// calls them: handles, string tables, text, iteration and its thread pool,
// check-out and check-in, suites, layers by time, injected faults and
// cancellation; the parameter store; and the records of a call, nested ones too.
#include "host/HostRuntime.h"
#include "host/HostStringTables.h"
#include "tests/host/HostTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <mutex>
#include <sched.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

int32_t NoModule(uint32_t, HostInData*, HostOutData*, HostParamRecord**, HostImage*, void*) { return 0; }

class Services : public testing::Test {
protected:
    const HostUtilities& U() { return rt.Utilities(); }
    HostEffectRef Ref() { return rt.EffectRef(); }
    HostRuntime rt{&NoModule};
};

TEST_F(Services, HandlesAreMasterPointersThatMoveOnLock) {
    HostHandle handle = U().newHandle(Ref(), 24);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(U().handleSize(Ref(), handle), 24u);
    auto* first = static_cast<uint8_t*>(U().lockHandle(Ref(), handle));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(*handle, first);
    EXPECT_EQ(first[0], 0xCD); // fresh memory is marked, not zeroed
    std::memset(first, 0x5A, 24);
    EXPECT_EQ(U().lockHandle(Ref(), handle), first); // a nested lock does not move
    U().unlockHandle(Ref(), handle);
    U().unlockHandle(Ref(), handle);
    EXPECT_EQ(rt.Accounting().lockedHandles, 0);

    auto* second = static_cast<uint8_t*>(U().lockHandle(Ref(), handle));
    EXPECT_NE(second, first);
    EXPECT_EQ(*handle, second);
    for (int i = 0; i < 24; ++i) ASSERT_EQ(second[i], 0x5A) << i;
    U().unlockHandle(Ref(), handle);

    rt.SetMoveHandles(false);
    void* pinned = U().lockHandle(Ref(), handle);
    U().unlockHandle(Ref(), handle);
    EXPECT_EQ(U().lockHandle(Ref(), handle), pinned);
    U().unlockHandle(Ref(), handle);
    EXPECT_EQ(rt.Accounting().handleMoves, 2); // the two locks from the unlocked state before pinning

    U().disposeHandle(Ref(), handle);
    EXPECT_TRUE(rt.Accounting().Clean());
}

TEST_F(Services, HandleAccountingAndMisuse) {
    HostHandle a = U().newHandle(Ref(), 100);
    HostHandle b = U().newHandle(Ref(), 50);
    U().lockHandle(Ref(), a);
    HostAccounting now = rt.Accounting();
    EXPECT_EQ(now.liveHandles, 2);
    EXPECT_EQ(now.handleBytes, 150);
    EXPECT_EQ(now.lockedHandles, 1);
    U().unlockHandle(Ref(), a);
    U().disposeHandle(Ref(), a);
    now = rt.Accounting();
    EXPECT_EQ(now.handleBytes, 50);
    EXPECT_EQ(now.peakHandleBytes, 150);
    EXPECT_EQ(now.misuse, 0);

    struct Misuse {
        const char* what;
        std::function<void()> call;
    } misuses[] = {
        {"unlock an unlocked handle", [&] { U().unlockHandle(Ref(), b); }},
        {"lock a disposed handle", [&] { EXPECT_EQ(U().lockHandle(Ref(), a), nullptr); }},
        {"dispose a disposed handle", [&] { U().disposeHandle(Ref(), a); }},
        {"dispose a locked handle",
         [&] {
             U().lockHandle(Ref(), b);
             U().disposeHandle(Ref(), b);
         }},
    };
    int64_t expected = 0;
    for (const Misuse& m : misuses) {
        SCOPED_TRACE(m.what);
        m.call();
        EXPECT_EQ(rt.Accounting().misuse, ++expected);
    }
    EXPECT_EQ(rt.Accounting().liveHandles, 0);
    EXPECT_EQ(rt.Accounting().lockedHandles, 0);
}

TEST_F(Services, HandleRefusalAndLimits) {
    rt.RefuseHandleAt(2);
    HostHandle first = U().newHandle(Ref(), 8);
    HostHandle refused = U().newHandle(Ref(), 8);
    HostHandle third = U().newHandle(Ref(), 8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(refused, nullptr);
    EXPECT_NE(third, nullptr);
    U().disposeHandle(Ref(), first);
    U().disposeHandle(Ref(), third);

    rt.SetHandleLimit(100);
    HostHandle fits = U().newHandle(Ref(), 60);
    EXPECT_NE(fits, nullptr);
    EXPECT_EQ(U().newHandle(Ref(), 60), nullptr);
    EXPECT_EQ(U().newHandle(Ref(), HostHandleTable::kMaxBlock + 1), nullptr);
    U().disposeHandle(Ref(), fits);
    EXPECT_EQ(rt.Accounting().refusedHandles, 3);
    EXPECT_TRUE(rt.Accounting().Clean());
}

TEST_F(Services, DisposedBlocksAreReusedWithinTheCacheBudget) {
    rt.SetMoveHandles(false);
    auto blockOf = [&](HostHandle h) {
        void* memory = U().lockHandle(Ref(), h);
        U().unlockHandle(Ref(), h);
        return memory;
    };
    rt.SetBlockCache(10000);
    HostHandle b = U().newHandle(Ref(), 4000);
    void* second = blockOf(b);
    U().disposeHandle(Ref(), b);
    HostHandle c = U().newHandle(Ref(), 3500); // close enough to take the cached block
    EXPECT_EQ(blockOf(c), second);
    auto* bytes = static_cast<uint8_t*>(U().lockHandle(Ref(), c));
    EXPECT_EQ(bytes[0], 0xCD); // a reused block is marked fresh again
    EXPECT_EQ(U().handleSize(Ref(), c), 3500u);
    U().unlockHandle(Ref(), c);
    HostHandle d = U().newHandle(Ref(), 1000); // far smaller: not given the large block
    U().disposeHandle(Ref(), c);
    HostHandle e = U().newHandle(Ref(), 1000);
    EXPECT_NE(blockOf(e), second);
    U().disposeHandle(Ref(), d);
    U().disposeHandle(Ref(), e);
    // Cached blocks are not live: the budget of live handles stays whole.
    EXPECT_EQ(rt.Accounting().handleBytes, 0);
    rt.SetHandleLimit(5000);
    HostHandle f = U().newHandle(Ref(), 5000);
    EXPECT_NE(f, nullptr);
    U().disposeHandle(Ref(), f);
    // Beyond the budget blocks are freed; shrinking the budget frees what it must.
    rt.SetBlockCache(0);
    HostHandle g = U().newHandle(Ref(), 4000);
    EXPECT_NE(g, nullptr);
    U().disposeHandle(Ref(), g);
    EXPECT_TRUE(rt.Accounting().Clean());
}

TEST_F(Services, CallsFromOtherThreadsAreCounted) {
    std::thread([&] {
        HostHandle handle = U().newHandle(Ref(), 4);
        U().disposeHandle(Ref(), handle);
        rt.In().abort(Ref());
    }).join();
    EXPECT_EQ(rt.Accounting().offThreadCalls, 3);
    EXPECT_EQ(rt.Accounting().liveHandles, 0);
}

TEST_F(Services, CancelStaysSetUntilCleared) {
    // Checks 1 to 6 alternate abort and progress; the cancel arrives at check 3.
    rt.CancelAtCheck(3, 9);
    const int32_t expected[] = {0, 0, 9, 9, 9, 9};
    for (int32_t check = 0; check < 6; ++check) {
        const int32_t code = check % 2 == 0 ? rt.In().abort(Ref()) : rt.In().progress(Ref(), check, 6);
        EXPECT_EQ(code, expected[check]) << "check " << check + 1;
    }
    EXPECT_TRUE(rt.CancelRequested());
    EXPECT_EQ(rt.Accounting().abortChecks, 6);
    EXPECT_EQ(rt.ProgressLog().size(), 3u);
    rt.ClearCancel();
    EXPECT_EQ(rt.In().abort(Ref()), 0);
    rt.Cancel();
    EXPECT_EQ(rt.In().progress(Ref(), 1, 2), 9); // the code of the last CancelAtCheck
    // Re-arming clears a cancel already set.
    rt.CancelAtCheck(0);
    EXPECT_EQ(rt.In().abort(Ref()), 0);
}

HostRuntime* gSignalled = nullptr;
void CancelOnSignal(int) { gSignalled->Cancel(); }

TEST_F(Services, CancelFromACallbackAnotherThreadOrASignal) {
    rt.SetCancelCode(3);
    rt.SetProgressCallback([this](int32_t done, int32_t) {
        if (done == 2) rt.Cancel();
    });
    // The callback runs before the check: the report that cancels already answers with the code.
    for (int32_t done = 0; done < 4; ++done) EXPECT_EQ(rt.In().progress(Ref(), done, 4), done < 2 ? 0 : 3) << done;
    rt.SetProgressCallback(nullptr);
    rt.ClearCancel();
    EXPECT_EQ(rt.In().abort(Ref()), 0);

    std::thread([this] { rt.Cancel(); }).join();
    EXPECT_EQ(rt.In().abort(Ref()), 3);
    rt.ClearCancel();

    gSignalled = &rt;
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = &CancelOnSignal;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    EXPECT_EQ(rt.In().abort(Ref()), 0);
    std::raise(SIGUSR1);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(rt.In().progress(Ref(), 1, 2), 3);
}

HostStringEntry gEntries[] = {
    {"$$$/T/0000=Zero", {0, 0, 0}},
    {"$$$/T/0001=One{{*COMMENT*}}a note for translators", {0, 0, 0}},
    {"$$$/T/0002=a=b", {0, 0, 0}}, // only the first '=' separates key and text
    {nullptr, {~0ull, ~0ull, 0}},
};

TEST_F(Services, StringTablesCopyStripAndRelease) {
    HostStringEntry entries[4];
    std::memcpy(entries, gEntries, sizeof entries);
    const HostStringTableHeader header{"FX", 4, entries};
    const void* table = &header;
    ASSERT_EQ(rt.In().registerStrings(&table, kHostStringTableMagic), 0);
    ASSERT_NE(table, &header);
    entries[0].text = "$$$/T/0000=Changed"; // the host kept its own copy

    struct Fetch {
        int32_t number;
        const char* text; // null: no such string
    } fetches[] = {{0, "Zero"}, {1, "One"}, {2, "a=b"}, {3, nullptr}, {-1, nullptr}};
    for (const Fetch& f : fetches) {
        SCOPED_TRACE(f.number);
        const char* text = rt.In().fetchString(table, f.number, 0, 0);
        if (f.text == nullptr) {
            EXPECT_EQ(text, nullptr);
        } else {
            ASSERT_NE(text, nullptr);
            EXPECT_STREQ(text, f.text);
        }
    }

    const void* registered = table;
    EXPECT_EQ(rt.In().releaseStrings(&table), 0);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(rt.In().fetchString(registered, 0, 0, 0), nullptr);
    EXPECT_NE(rt.In().releaseStrings(&registered), 0);
}

TEST_F(Services, MalformedStringTablesAreRefused) {
    HostStringEntry noTerminator[2] = {gEntries[0], gEntries[1]};
    HostStringEntry noEquals[2] = {{"$$$/T/0000 Zero", {0, 0, 0}}, gEntries[3]};
    struct Case {
        const char* what;
        HostStringTableHeader header;
        int32_t magic;
    } cases[] = {
        {"code", {"FY", 4, gEntries}, kHostStringTableMagic},
        {"count", {"FX", 0, gEntries}, kHostStringTableMagic},
        {"entries", {"FX", 4, nullptr}, kHostStringTableMagic},
        {"terminator", {"FX", 2, noTerminator}, kHostStringTableMagic},
        {"equals sign", {"FX", 2, noEquals}, kHostStringTableMagic},
        {"magic", {"FX", 4, gEntries}, 4231},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const void* table = &c.header;
        EXPECT_EQ(rt.In().registerStrings(&table, c.magic), kHostErrBadArgument);
        EXPECT_EQ(table, &c.header);
    }
    EXPECT_EQ(rt.In().registerStrings(nullptr, kHostStringTableMagic), kHostErrBadArgument);
}

TEST_F(Services, TextIsBoundedAndTerminated) {
    struct Case {
        int32_t size;
        const char* formatted; // "%s-%d" of "abcdef", 42
        const char* copied;    // of "hello"
    } cases[] = {{16, "abcdef-42", "hello"}, {8, "abcdef-", "hello"}, {3, "ab", "he"}, {1, "", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char buffer[24];
        std::memset(buffer, '#', sizeof buffer);
        ASSERT_EQ(U().formatText(Ref(), buffer, c.size, "%s-%d", "abcdef", 42), 0);
        EXPECT_STREQ(buffer, c.formatted);
        for (size_t i = static_cast<size_t>(c.size); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << i;

        std::memset(buffer, '#', sizeof buffer);
        ASSERT_EQ(U().copyText(Ref(), "hello", buffer, c.size), 0);
        EXPECT_STREQ(buffer, c.copied);
        for (size_t i = static_cast<size_t>(c.size); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << i;
    }
    char buffer[4] = "xyz";
    EXPECT_EQ(U().copyText(Ref(), nullptr, buffer, 4), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(U().formatText(Ref(), buffer, 0, "x"), kHostErrBadArgument);
}

TEST(HostThreadPoolTest, EveryIndexRunsExactlyOnce) {
    struct Case {
        int32_t threads;
        int32_t count;
        int32_t spinMicroseconds;
    } cases[] = {{1, 0, 0}, {1, 10, 0}, {3, 7, 0}, {4, 1000, 0}, {4, 1, 0}, {2, 1000, 50}, {3, 37, 50}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.threads) + " threads, " + std::to_string(c.count) + " indices, spin " +
                     std::to_string(c.spinMicroseconds));
        HostThreadPool pool(c.threads, std::chrono::microseconds(c.spinMicroseconds));
        ASSERT_EQ(pool.ThreadCount(), c.threads);
        // Back-to-back runs, as a render issues them: polling workers must
        // pick up each new run once and never a finished one.
        for (int32_t run = 0; run < 50; ++run) {
            std::vector<std::atomic<int32_t>> hits(static_cast<size_t>(c.count));
            std::atomic<int32_t> badThread{0};
            const int32_t rc = pool.Run(c.count, [&](int32_t thread, int32_t i) {
                hits[static_cast<size_t>(i)].fetch_add(1);
                if (thread < 0 || thread >= c.threads) badThread.fetch_add(1);
                return 0;
            });
            ASSERT_EQ(rc, 0);
            ASSERT_EQ(badThread.load(), 0);
            for (int32_t i = 0; i < c.count; ++i) ASSERT_EQ(hits[static_cast<size_t>(i)].load(), 1) << i;
        }
    }
}

TEST(HostThreadPoolTest, WorkIsSharedAndTheLowestFailureIsReported) {
    HostThreadPool pool(4);
    std::mutex lock;
    std::set<std::thread::id> threads;
    std::atomic<int32_t> calls{0};
    const int32_t rc = pool.Run(40, [&](int32_t, int32_t i) {
        calls.fetch_add(1);
        {
            std::lock_guard<std::mutex> guard(lock);
            threads.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        if (i == 31) return 44;
        if (i == 17) return 33;
        if (i == 23) throw std::runtime_error("body failed");
        return 0;
    });
    EXPECT_EQ(rc, 33);
    EXPECT_EQ(calls.load(), 40);
    EXPECT_GE(threads.size(), 2u);
}

// A worker that keeps arriving late (here: each of its jobs sleeps, as a thread
// the system has descheduled) sends the next runs to the caller alone.
TEST(HostThreadPoolTest, LateWorkersAreLeftOutForAWhile) {
    HostThreadPool pool(2);
    std::vector<int64_t> workerAfter; // jobs the worker has run, after each run
    for (int32_t run = 0; run < 20; ++run) {
        std::atomic<int32_t> calls{0};
        ASSERT_EQ(pool.Run(8,
                           [&](int32_t thread, int32_t) {
                               calls.fetch_add(1);
                               std::this_thread::sleep_for(std::chrono::microseconds(thread == 0 ? 500 : 40000));
                               return 0;
                           }),
                  0);
        ASSERT_EQ(calls.load(), 8);
        workerAfter.push_back(pool.IndicesRun()[1]);
    }
    // Its job outlasts the caller's seven, so it takes one a run: three late runs, then none.
    EXPECT_GE(workerAfter.back(), 1) << "the worker never took a job";
    EXPECT_LE(workerAfter.back(), 3) << "the late worker was still given jobs";
}

TEST(HostThreadPoolTest, NestedRunsAreSerial) {
    HostThreadPool pool(3);
    std::atomic<int32_t> inner{0};
    std::atomic<int32_t> innerOutOfOrder{0};
    const int32_t rc = pool.Run(6, [&](int32_t, int32_t) {
        int32_t last = -1;
        return pool.Run(5, [&](int32_t thread, int32_t j) {
            inner.fetch_add(1);
            if (thread != 0 || j != last + 1) innerOutOfOrder.fetch_add(1);
            last = j;
            return 0;
        });
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(inner.load(), 30);
    EXPECT_EQ(innerOutOfOrder.load(), 0);
}

TEST(HostThreadPoolTest, DefaultSizeIsTheAffinityMask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(HostThreadPool::AvailableCpus(), CPU_COUNT(&set));
    EXPECT_EQ(HostThreadPool().ThreadCount(), CPU_COUNT(&set));
}

int32_t CountingBody(void* context, int32_t, int32_t index, int32_t count) {
    auto* hits = static_cast<std::atomic<int32_t>*>(context);
    hits[index].fetch_add(1);
    return index == count - 2 ? 12 : 0;
}

TEST_F(Services, IterateServiceRunsTheBodyAndCanBeAbsent) {
    rt.SetIterateThreads(3);
    std::atomic<int32_t> hits[50] = {};
    EXPECT_EQ(U().iterate(Ref(), 50, hits, &CountingBody), 12);
    EXPECT_EQ(rt.IterateThreads(), 3); // of the pool that ran it
    for (int i = 0; i < 50; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
    EXPECT_EQ(U().iterate(Ref(), 0, hits, &CountingBody), 0);
    EXPECT_EQ(U().iterate(Ref(), 5, hits, nullptr), kHostErrBadArgument);
    rt.SetIterateAvailable(false);
    EXPECT_EQ(U().iterate, nullptr);
    rt.SetIterateAvailable(true);
    EXPECT_NE(U().iterate, nullptr);
}

TEST_F(Services, OnlyTheParamUtilsSuiteVersionTwoIsOffered) {
    struct Case {
        const char* name;
        int32_t version;
        int32_t code;
    } cases[] = {
        {"PF Param Utils Suite", 2, kHostOk},
        {"PF Param Utils Suite", 1, kHostErrUnknownSuite},
        {"PF World Suite", 2, kHostErrUnknownSuite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.version));
        const void* suite = &c;
        EXPECT_EQ(rt.In().suites->acquireSuite(Ref(), c.name, c.version, &suite), c.code);
        if (c.code == kHostOk) {
            ASSERT_NE(suite, nullptr);
            HostParamRecord flags{};
            flags.uiFlags = kHostUiDisabled;
            EXPECT_EQ(static_cast<const HostParamUtilsSuite*>(suite)->updateParamUi(Ref(), 0, &flags), kHostOk);
            EXPECT_FALSE(rt.Params().At(0).Enabled()); // the store keeps the flags
            EXPECT_EQ(rt.Accounting().outstandingSuites, 1);
            EXPECT_EQ(rt.In().suites->releaseSuite(Ref(), c.name, c.version), kHostOk);
        } else {
            EXPECT_EQ(suite, nullptr);
        }
    }
    EXPECT_EQ(rt.Accounting().outstandingSuites, 0);
    EXPECT_EQ(rt.In().suites->releaseSuite(Ref(), "PF Param Utils Suite", 2), kHostErrBadArgument);
    EXPECT_EQ(rt.Accounting().misuse, 1);
}

// A fault fires once, on the nth call of its own service counted from when it
// is set. Services come in pairs where one undoes the other (check-out and
// check-in, new and dispose, acquire and release), so nothing is left held.
TEST_F(Services, InjectedFaultsFireOnceOnTheirOwnService) {
    HostImageBuffer source = Patterned(3, 2, false);
    HostImageBuffer target(4, 4, false);
    HostParamRecord record{};
    HostImage made{};
    char text[8];
    const char* const suite = "PF Param Utils Suite";
    const void* acquired = nullptr;
    struct Case {
        HostService service;
        std::function<int32_t()> call;
    } cases[] = {
        {HostService::CheckoutParam, [&] { return rt.In().checkoutParam(Ref(), 0, 0, 10, 2400, &record); }},
        {HostService::CheckinParam, [&] { return rt.In().checkinParam(Ref(), &record); }},
        {HostService::NewImage, [&] { return U().newImage(Ref(), 2, 2, 0, &made); }},
        {HostService::CopyImage, [&] { return U().copyImage(Ref(), &source.Image(), &made, nullptr, nullptr); }},
        {HostService::FillImage, [&] { return U().fillImage(Ref(), nullptr, nullptr, &target.Image()); }},
        {HostService::DisposeImage, [&] { return U().disposeImage(Ref(), &made); }},
        {HostService::Iterate,
         [&] { return U().iterate(Ref(), 3, nullptr, [](void*, int32_t, int32_t, int32_t) { return 0; }); }},
        {HostService::AcquireSuite, [&] { return rt.In().suites->acquireSuite(Ref(), suite, 2, &acquired); }},
        {HostService::ReleaseSuite, [&] { return rt.In().suites->releaseSuite(Ref(), suite, 2); }},
        {HostService::FormatText, [&] { return U().formatText(Ref(), text, 8, "%d", 5); }},
        {HostService::CopyText, [&] { return U().copyText(Ref(), "x", text, 8); }},
        {HostService::Abort, [&] { return rt.In().abort(Ref()); }},
        {HostService::Progress, [&] { return rt.In().progress(Ref(), 1, 2); }},
    };
    for (int32_t round = 0; round < 2; ++round) { // in round 1 every service has been called before
        int32_t code = 50;
        for (const Case& c : cases) {
            SCOPED_TRACE("round " + std::to_string(round) + ", service " + std::to_string(static_cast<int>(c.service)));
            rt.FailCall(c.service, 1, ++code);
            EXPECT_EQ(c.call(), code);
            EXPECT_EQ(c.call(), kHostOk);
        }
    }
    EXPECT_TRUE(rt.Accounting().Clean());
}

TEST(HostLayerTest, TimesMapToClampedFrames) {
    struct Case {
        int32_t frames;
        int32_t time;
        int32_t step;
        int32_t expected;
    } cases[] = {
        {3, 0, 100, 0},   {3, 250, 100, 2}, {3, 199, 100, 1}, {3, 300, 100, 2}, {3, 5000, 100, 2},
        {3, -50, 100, 0}, {3, 500, 0, 0},   {1, 900, 100, 0}, {0, 100, 100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames at " + std::to_string(c.time) + "/" + std::to_string(c.step));
        HostLayer layer;
        for (int32_t f = 0; f < c.frames; ++f)
            layer.AddFrame(Solid(2, 2, false, {255, static_cast<uint16_t>(f), 0, 0}));
        EXPECT_EQ(layer.FrameAt(c.time, c.step), c.expected);
        const HostImage image = layer.ImageAt(c.time, c.step);
        if (c.frames == 0) {
            EXPECT_EQ(image.pixels, nullptr);
        } else {
            EXPECT_EQ(HostReadPixel(image, 1, 1).red, c.expected);
        }
    }
}

// Footage read on demand: a frame is read when first asked for, the last two
// are kept, and a failed read throws out of the request.
TEST(HostLayerTest, OnDemandFramesAreReadWhenAskedAndFew) {
    std::vector<int32_t> reads;
    const auto layer = HostLayer::OnDemand(6, Solid(2, 2, false, {255, 0, 0, 0}), [&reads](int32_t frame) {
        if (frame == 5) throw std::runtime_error("frame 5 is damaged");
        reads.push_back(frame);
        return Solid(2, 2, false, {255, static_cast<uint16_t>(frame), 0, 0});
    });
    EXPECT_EQ(layer->FrameCount(), 6);
    EXPECT_EQ(layer->FramesRead(), 1);
    for (const int32_t frame : {3, 3, 0, 3, 4, 0})
        EXPECT_EQ(HostReadPixel(layer->ImageAt(frame * 100, 100), 0, 0).red, frame) << frame;
    // 3 once, kept while 0 and 3 alternate; 4 then pushes 0 out, so 0 is read again.
    EXPECT_EQ(reads, (std::vector<int32_t>{3, 4, 0}));
    EXPECT_EQ(layer->FramesRead(), 4);
    EXPECT_THROW(layer->ImageAt(900, 100), std::runtime_error); // frame 9 is the last, frame 5
    EXPECT_THROW(layer->AddFrame(Solid(2, 2, false, {})), std::logic_error);
}

HostParamRecord Declared(int32_t id, int32_t type, const char* name) {
    HostParamRecord record{};
    record.id = id;
    record.type = type;
    record.flags = kHostParamCollapsed;
    std::strncpy(record.name, name, sizeof record.name - 1);
    return record;
}

TEST_F(Services, CheckOutCopiesAndCountsUntilCheckIn) {
    ASSERT_EQ(rt.Params().Add(-1, Declared(40, kHostParamLayer, "Layer")), 0);
    ASSERT_EQ(rt.Params().Add(-1, Declared(41, kHostParamLayer, "Layer")), 0);
    auto frames = std::make_shared<HostLayer>();
    for (uint16_t f = 0; f < 3; ++f) frames->AddFrame(Solid(2, 1, false, {255, f, f, f}));
    rt.Params().ById(40).BindLayer(frames);
    rt.BindInputLayer(frames);

    struct Case {
        int32_t index;
        int32_t time;
        int32_t step;  // 0: the runtime's own
        int32_t frame; // -1: no layer
    } cases[] = {{1, 0, 10, 0}, {1, 25, 10, 2}, {1, 10, 0, 0}, {1, 100, 0, 1}, {2, 0, 10, -1}, {0, 20, 10, 2}};
    HostParamRecord records[6];
    int32_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n);
        HostParamRecord& record = records[n++];
        ASSERT_EQ(rt.In().checkoutParam(Ref(), c.index, c.time, c.step, 2400, &record), 0);
        EXPECT_EQ(record.type, kHostParamLayer);
        if (c.frame < 0) {
            EXPECT_EQ(record.u.layer.image.pixels, nullptr);
        } else {
            ASSERT_NE(record.u.layer.image.pixels, nullptr);
            EXPECT_EQ(HostReadPixel(record.u.layer.image, 1, 0).red, c.frame);
        }
        EXPECT_EQ(rt.Accounting().outstandingCheckouts, n);
    }
    HostParamRecord stranger{};
    EXPECT_EQ(rt.In().checkinParam(Ref(), &stranger), kHostErrBadArgument);
    EXPECT_EQ(rt.Accounting().misuse, 1);
    for (HostParamRecord& record : records) EXPECT_EQ(rt.In().checkinParam(Ref(), &record), 0);
    EXPECT_EQ(rt.Accounting().outstandingCheckouts, 0);
    HostParamRecord out{};
    EXPECT_EQ(rt.In().checkoutParam(Ref(), 3, 0, 10, 2400, &out), kHostErrBadArgument);
    EXPECT_EQ(rt.In().addParam(Ref(), -1, &out), kHostErrBadArgument); // only during parameter setup
}

TEST(HostParamStoreTest, MalformedDeclarationsAreRefused) {
    HostParamRecord popup{};
    popup.type = kHostParamPopup;
    popup.u.popup.choices = "A|B|C";
    popup.u.popup.choiceCount = 3;
    popup.u.popup.defaultValue = 1;
    HostParamRecord slider{};
    slider.type = kHostParamSlider;
    slider.u.slider.validMin = 0;
    slider.u.slider.validMax = 10;
    slider.u.slider.defaultValue = 5;

    // A copy of a good record with one field spoilt.
    const auto with = [](HostParamRecord r, const auto& spoil) {
        spoil(r);
        return r;
    };
    HostParamRecord unknown{}, endOnly{};
    unknown.type = 3;
    endOnly.type = kHostParamGroupEnd;
    struct Case {
        const char* what;
        HostParamRecord record;
        int32_t index;
        int32_t code;
    } cases[] = {
        {"good popup", popup, -1, kHostOk},
        {"good slider at the next index", slider, 2, kHostOk},
        {"index not next", slider, 7, kHostErrBadArgument},
        {"unknown type", unknown, -1, kHostErrBadArgument},
        {"group end without start", endOnly, -1, kHostErrBadArgument},
        {"popup count differs", with(popup, [](auto& r) { r.u.popup.choiceCount = 4; }), -1, kHostErrBadArgument},
        {"popup default outside", with(popup, [](auto& r) { r.u.popup.defaultValue = 4; }), -1, kHostErrBadArgument},
        {"popup without choices", with(popup, [](auto& r) { r.u.popup.choices = nullptr; }), -1, kHostErrBadArgument},
        {"slider default outside", with(slider, [](auto& r) { r.u.slider.defaultValue = 11; }), -1,
         kHostErrBadArgument},
    };
    HostParamStore store;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int32_t before = store.Count();
        EXPECT_EQ(store.Add(c.index, c.record), c.code);
        EXPECT_EQ(store.Count(), before + (c.code == kHostOk ? 1 : 0));
    }
    store.Reset();
    EXPECT_EQ(store.Count(), 1);
    EXPECT_EQ(store.At(0).Type(), kHostParamLayer);
}

TEST(HostParamStoreTest, DeclaredRecordsAreCopiedDefaultedGroupedAndChecked) {
    char choices[] = "Copy|Stretch|Center";
    char label[] = "Enable it";
    HostParamRecord records[] = {
        Declared(101, kHostParamPopup, "Mode"),       Declared(102, kHostParamFixedSlider, "Gain"),
        Declared(103, kHostParamCheckbox, "Enabled"), Declared(104, kHostParamColor, "Tint"),
        Declared(105, kHostParamPoint, "Center"),     Declared(106, kHostParamGroupStart, "Outer"),
        Declared(107, kHostParamGroupStart, "Inner"), Declared(108, kHostParamSlider, "Count"),
        Declared(109, kHostParamGroupEnd, ""),        Declared(110, kHostParamGroupEnd, ""),
    };
    records[0].u.popup.choices = choices;
    records[0].u.popup.choiceCount = 3;
    records[0].u.popup.defaultValue = 2;
    records[1].u.slider.validMax = 10 << 16;
    records[1].u.slider.defaultValue = 3 << 15;
    records[2].u.checkbox.defaultValue = 1; // its value word stays 0
    records[2].u.checkbox.label = label;
    records[3].u.color.defaultValue = {255, 200, 100, 50};
    records[4].u.point.defaultX = 25 << 16;
    records[4].u.point.defaultY = 75 << 16;
    records[7].u.slider.validMax = 1000;
    records[7].u.slider.defaultValue = 8;
    records[7].flags |= kHostParamSupervised;
    HostParamStore store;
    for (const HostParamRecord& r : records) ASSERT_EQ(store.Add(-1, r), kHostOk) << r.name;
    std::memset(choices, 'x', sizeof choices - 1); // the module may reuse its buffers
    std::strcpy(label, "reused");

    ASSERT_EQ(store.Count(), 11);
    EXPECT_EQ(store.OpenGroups(), 0);
    EXPECT_EQ(store.At(1).Path(), "Mode");
    const char* const groupAndPath[][2] = {{"", "Outer"},
                                           {"Outer", "Outer/Inner"},
                                           {"Outer/Inner", "Outer/Inner/Count"},
                                           {"Outer/Inner", "Outer/Inner"},
                                           {"Outer", "Outer"}};
    for (int32_t i = 6; i < 11; ++i) {
        EXPECT_EQ(store.At(i).Group(), groupAndPath[i - 6][0]) << i;
        EXPECT_EQ(store.At(i).Path(), groupAndPath[i - 6][1]) << i;
    }
    HostParam& count = store.ByPath("Outer/Inner/Count");
    EXPECT_EQ(&count, &store.At(8));
    EXPECT_EQ(store.FindByPath("Count"), nullptr);
    EXPECT_EQ(count.Flags(), kHostParamCollapsed | kHostParamSupervised);

    HostParam& mode = store.At(1);
    EXPECT_EQ(mode.PopupEntries(), (std::vector<std::string>{"Copy", "Stretch", "Center"}));
    EXPECT_STREQ(mode.Record().u.popup.choices, "Copy|Stretch|Center");
    EXPECT_EQ(mode.Popup(), 2);
    HostParam& gain = store.At(2);
    EXPECT_DOUBLE_EQ(gain.Number(), 1.5);
    HostParam& enabled = store.At(3);
    EXPECT_TRUE(enabled.Checkbox());
    EXPECT_EQ(enabled.Label(), "Enable it");
    EXPECT_STREQ(enabled.Record().u.checkbox.label, "Enable it");
    const HostPixel8 tint = store.At(4).Color();
    EXPECT_EQ((std::vector<int>{tint.alpha, tint.red, tint.green, tint.blue}), (std::vector<int>{255, 200, 100, 50}));
    EXPECT_EQ(count.Integer(), 8);

    // The point's default (25 %, 75 %) of no input, then of 200 x 80; once set, fixed.
    HostParam& center = store.At(5);
    EXPECT_TRUE(center.PointFollowsDefault());
    EXPECT_EQ(center.Point(), (HostPointPixels{0, 0}));
    store.Input().BindLayer(HostLayer::Still(HostImageBuffer(200, 80, false)));
    EXPECT_EQ(center.Point(), (HostPointPixels{50, 60}));
    center.SetPoint(3.5, 4.25);
    store.Input().BindLayer(HostLayer::Still(HostImageBuffer(400, 400, false)));
    EXPECT_EQ(center.Point(), (HostPointPixels{3.5, 4.25}));
    EXPECT_EQ(center.Record().u.point.x, 7 << 15);

    EXPECT_THROW(count.SetNumber(1.0), std::invalid_argument);
    EXPECT_THROW(enabled.SetColor({1, 2, 3, 4}), std::invalid_argument);
    EXPECT_THROW(gain.Integer(), std::invalid_argument);
    EXPECT_THROW(count.SetInteger(1001), std::out_of_range);
    EXPECT_THROW(gain.SetNumber(10.5), std::out_of_range);
    EXPECT_THROW(mode.SetPopup(4), std::out_of_range);
    EXPECT_THROW(mode.SetPopup(0), std::out_of_range);
    count.SetInteger(1000);
    EXPECT_EQ(count.Integer(), 1000);
    gain.SetNumber(0.1); // 6553.6 in 16.16, rounded to nearest
    EXPECT_EQ(gain.Record().u.slider.value, 6554);
    mode.SetInteger(3);
    EXPECT_EQ(mode.Popup(), 3);
}

// Captures what the runtime hands the entry point.
struct Captured {
    HostInData in;
    HostOutData out;
    HostParamRecord input;
    HostParamRecord** params;
    void* extra;
    HostImage* output;
};
Captured gCaptured;

int32_t CapturingModule(uint32_t selector, HostInData* in, HostOutData* out, HostParamRecord** params,
                        HostImage* output, void* extra) {
    gCaptured = {*in, *out, *params[0], params, extra, output};
    if (selector == kHostCmdGlobalSetup) out->globalData = reinterpret_cast<HostHandle>(&gCaptured);
    if (selector == kHostCmdGlobalSetdown) out->globalData = nullptr;
    std::strcpy(out->returnMessage, "seen");
    return static_cast<int32_t>(selector) + 1000;
}

TEST(HostRuntimeCalls, RecordsCarryTheSettingsAndTheCurrentFrame) {
    HostRuntime rt(&CapturingModule);
    rt.SetAppId(kHostAppC);
    rt.SetTimeline({300, 100, 900, 2400});
    rt.SetDownsample(1, 2, 3, 4);
    auto input = std::make_shared<HostLayer>();
    for (uint16_t f = 0; f < 5; ++f) input->AddFrame(Solid(4 + f, 3, false, {255, f, 0, 0}));
    rt.BindInputLayer(input);

    EXPECT_EQ(rt.FrameSetup(), 1010);
    EXPECT_EQ(gCaptured.in.appId, ('H' << 24) | ('O' << 16) | ('S' << 8) | 'C');
    EXPECT_EQ(gCaptured.in.currentTime, 300);
    EXPECT_EQ(gCaptured.in.timeStep, 100);
    EXPECT_EQ(gCaptured.in.totalTime, 900);
    EXPECT_EQ(gCaptured.in.timeScale, 2400u);
    EXPECT_EQ(gCaptured.in.downsampleXNum, 1);
    EXPECT_EQ(gCaptured.in.downsampleXDen, 2u);
    EXPECT_EQ(gCaptured.in.downsampleYNum, 3);
    EXPECT_EQ(gCaptured.in.downsampleYDen, 4u);
    EXPECT_EQ(gCaptured.in.effectRef, rt.EffectRef());
    EXPECT_EQ(gCaptured.in.utils, &rt.Utilities());
    EXPECT_NE(gCaptured.in.suites, nullptr);
    // Frame 3 of the input (7 pixels wide), also the preset output size.
    EXPECT_EQ(gCaptured.input.u.layer.image.width, 7);
    EXPECT_EQ(HostReadPixel(gCaptured.input.u.layer.image, 0, 0).red, 3);
    EXPECT_EQ(gCaptured.out.width, 7);
    EXPECT_EQ(gCaptured.out.height, 3);
    EXPECT_EQ(gCaptured.out.numParams, 1);
    EXPECT_EQ(rt.ReturnMessage(), "seen");

    rt.SetFrame(1);
    HostChangedParam changed{0};
    EXPECT_EQ(rt.Call(kHostCmdUserChangedParam, &changed), 1013);
    EXPECT_EQ(gCaptured.extra, &changed);
    EXPECT_EQ(gCaptured.input.u.layer.image.width, 5);

    EXPECT_EQ(rt.GlobalSetup(), 1001);
    EXPECT_EQ(rt.GlobalData(), reinterpret_cast<HostHandle>(&gCaptured));
    EXPECT_EQ(rt.Render(), 1011);
    EXPECT_EQ(gCaptured.in.globalData, reinterpret_cast<HostHandle>(&gCaptured));
    EXPECT_EQ(gCaptured.out.globalData, reinterpret_cast<HostHandle>(&gCaptured));
    EXPECT_EQ(gCaptured.output, &rt.Output().Image());
    EXPECT_EQ(rt.GlobalSetdown(), 1003);
    EXPECT_EQ(rt.GlobalData(), nullptr);
}

// Renders through a progress report (whose callback calls the module again),
// answers About with "inner" and narrows the output to 3 pixels at frame setup.
int32_t NestingModule(uint32_t selector, HostInData* in, HostOutData* out, HostParamRecord**, HostImage*, void*) {
    if (selector == kHostCmdAbout) std::strcpy(out->returnMessage, "inner");
    if (selector == kHostCmdFrameSetup) out->width = 3;
    return selector == kHostCmdRender ? in->progress(in->effectRef, 1, 2) : kHostOk;
}

TEST(HostRuntimeCalls, NestedCallsKeepTheirOwnRecords) {
    HostRuntime rt(&NestingModule);
    int32_t depth = -1;
    int32_t code = -1;
    std::string message;
    rt.SetProgressCallback([&](int32_t, int32_t) {
        depth = rt.CallDepth();
        code = rt.About();
        message = rt.ReturnMessage();
    });
    rt.BindInputLayer(HostLayer::Still(HostImageBuffer(5, 4, true)));
    ASSERT_EQ(rt.FrameSetup(), kHostOk);
    EXPECT_EQ(rt.Render(), kHostOk);
    EXPECT_EQ(depth, 1);
    EXPECT_EQ(code, kHostOk);
    EXPECT_EQ(message, "inner");
    EXPECT_EQ(rt.ReturnMessage(), ""); // the render's own out record
    EXPECT_EQ(rt.CallDepth(), 0);
    // The output has the size frame setup reported (the input's height kept) and the input's depth.
    EXPECT_EQ(rt.Output().Width(), 3);
    EXPECT_EQ(rt.Output().Height(), 4);
    EXPECT_TRUE(rt.Output().Deep());
}

} // namespace
