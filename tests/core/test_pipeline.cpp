#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Mode = ImageLib_TestCallbacks::IterateMode;

// Loops are handed to Iterate in groups of contiguous indices: whatever the
// count, each index must run once, with or without a context and threads.
TEST(ParallelFor, EveryIndexRunsOnceWhateverTheGrouping) {
    for (Mode mode : {Mode::Serial, Mode::Threaded}) {
        ImageLib_TestCallbacks callbacks(mode, 3);
        for (int withContext = 0; withContext < 2; ++withContext) {
            std::unique_ptr<ImageLib_Context> context;
            if (withContext) context = std::make_unique<ImageLib_Context>(&callbacks);
            for (int32_t count : {0, 1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 100, 1001}) {
                std::vector<std::atomic<int32_t>> hits(static_cast<size_t>(count));
                ImageLib_ParallelFor(count, [&hits](int32_t i) { hits[static_cast<size_t>(i)].fetch_add(1); });
                for (int32_t i = 0; i < count; ++i)
                    ASSERT_EQ(hits[static_cast<size_t>(i)].load(), 1) << "index " << i << " of " << count;
            }
        }
        const int64_t calls = callbacks.iterateCalls;
        // Only the loops with a context went to the callbacks.
        EXPECT_EQ(calls, 12);
    }
    // Once a host has shown 16 workers, a long loop is cut into 4 jobs for each, not 8 in all.
    ImageLib_TestCallbacks callbacks(Mode::Threaded, 3);
    const ImageLib_Context context(&callbacks);
    ImageLib_NoteWorkerThread(15);
    ImageLib_ParallelFor(1001, [](int32_t) {});
    EXPECT_EQ(callbacks.iterateJobs, 64);
}

// Loops that say they are small stay on the calling thread, in order; every
// other loop goes to Iterate, and a limit of 0 sends everything there.
TEST(ParallelFor, SmallLoopsRunInlineInOrder) {
    struct Restore {
        ~Restore() { ImageLib_SetInlineLoopPixels(0); }
    } restore;
    ImageLib_TestCallbacks callbacks(Mode::Threaded, 3);
    ImageLib_Context context(&callbacks);
    struct Case {
        int64_t limit;
        int32_t count;
        int64_t pixelsPerIndex;
        bool inlined;
    } cases[] = {
        {kInlineLoopPixels, 24, 24, true},
        {kInlineLoopPixels, 64, 64, false},
        {kInlineLoopPixels, 1, 4095, true},
        {kInlineLoopPixels, 1, 4096, false},
        {kInlineLoopPixels, 24, -1, false},
        {kInlineLoopPixels, 68, 1920, false},
        {0, 24, 24, false},
        {0, 1, 0, false},
        {INT64_MAX, 1000, 1 << 30, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.limit << " " << c.count << " x " << c.pixelsPerIndex);
        ImageLib_SetInlineLoopPixels(c.limit);
        const int64_t callsBefore = callbacks.iterateCalls;
        const std::thread::id caller = std::this_thread::get_id();
        std::vector<int32_t> order;
        std::mutex lock;
        bool offThread = false;
        ImageLib_ParallelFor(
            c.count,
            [&](int32_t i) {
                std::lock_guard<std::mutex> guard(lock);
                order.push_back(i);
                offThread |= std::this_thread::get_id() != caller;
            },
            c.pixelsPerIndex);
        EXPECT_EQ(callbacks.iterateCalls - callsBefore, c.inlined ? 0 : 1);
        ASSERT_EQ(order.size(), static_cast<size_t>(c.count));
        if (c.inlined) {
            EXPECT_FALSE(offThread);
            for (int32_t i = 0; i < c.count; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
        }
    }
}

TEST(Evaluate, TilesCoverTheClippedRegionInOrder) {
    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context(&callbacks);
    struct Case {
        ImageLib_Rect nodeBounds, outputBounds, region;
        int32_t tw, th;
        std::vector<ImageLib_Rect> tiles;
    } cases[] = {
        {ImageLib_Rect::Everything(),
         {10, 5, 110, 75, false},
         {10, 5, 110, 75, false},
         0,
         32,
         {{10, 5, 110, 37, false}, {10, 37, 110, 69, false}, {10, 69, 110, 75, false}}},
        {{0, 0, 30, 20, false}, {-5, -5, 50, 50, false}, ImageLib_Rect::Everything(), 0, 0, {{0, 0, 30, 20, false}}},
        {ImageLib_Rect::Everything(),
         {0, 0, 30, 10, false},
         {0, 0, 30, 10, false},
         13,
         5,
         {{0, 0, 13, 5, false},
          {13, 0, 26, 5, false},
          {26, 0, 30, 5, false},
          {0, 5, 13, 10, false},
          {13, 5, 26, 10, false},
          {26, 5, 30, 10, false}}},
        {{40, 40, 50, 50, false}, {0, 0, 30, 30, false}, {0, 0, 30, 30, false}, 0, 0, {}},
    };
    for (const Case& c : cases) {
        testnodes::PatternNode node(c.nodeBounds);
        ImageLib_ImageBuffer output(ImageLib_HostFormat8(), c.outputBounds);
        ImageLib_Evaluate(node, output, c.region, c.tw, c.th);
        EXPECT_EQ(node.requests, c.tiles);
    }
    EXPECT_TRUE(callbacks.Clean());
    EXPECT_EQ(context.depth, -1);
}

TEST(Evaluate, WholeRegionReportsThirds) {
    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context(&callbacks);
    testnodes::PatternNode node;
    ImageLib_ImageBuffer output(ImageLib_HostFormat8(), {0, 0, 8, 8, false});
    ImageLib_Evaluate(node, output, output.bounds, 0, 0);
    EXPECT_EQ(callbacks.progress, (std::vector<float>{1.0f / 3, 2.0f / 3, 1.0f}));
}

TEST(Progress, NestedScopesRiseMonotonicallyToOne) {
    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context(&callbacks);
    {
        ImageLib_ProgressScope outer(2);
        {
            ImageLib_ProgressScope inner(4);
            for (int i = 0; i < 4; ++i) inner.Step();
        }
        outer.Step();
        outer.Step();
    }
    const std::vector<float>& p = callbacks.progress;
    ASSERT_EQ(p.size(), 8u);
    EXPECT_FLOAT_EQ(p.front(), 1.0f / 3);
    EXPECT_FLOAT_EQ(p[1], (1.0f + 1.0f / 5) / 3); // inner scope begun inside the outer's first step
    EXPECT_FLOAT_EQ(p[5], 2.0f / 3);              // inner done: exactly the end of the outer step
    EXPECT_FLOAT_EQ(p.back(), 1.0f);
    for (size_t i = 1; i < p.size(); ++i) EXPECT_GE(p[i], p[i - 1]) << i;
    EXPECT_EQ(context.depth, -1);

    // Ending an outer scope also closes what was left open inside it.
    ImageLib_ProgressScope outer(1);
    ImageLib_ProgressScope inner(1);
    ImageLib_ProgressScope innermost(1);
    EXPECT_EQ(context.depth, 2);
    outer.End();
    EXPECT_EQ(context.depth, -1);
}

TEST(Progress, DeepNestingIsBoundedAndAFailedBeginUnwinds) {
    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context(&callbacks);
    {
        std::vector<std::unique_ptr<ImageLib_ProgressScope>> scopes;
        for (int i = 0; i < 40; ++i) scopes.push_back(std::make_unique<ImageLib_ProgressScope>(3));
        EXPECT_EQ(context.depth, ImageLib_Context::kMaxDepth - 1);
        EXPECT_EQ(callbacks.progress.size(), static_cast<size_t>(ImageLib_Context::kMaxDepth));
        for (auto& scope : scopes) scope->Step();
    }
    EXPECT_EQ(context.depth, -1);

    callbacks.abortAt = callbacks.abortChecks + 1;
    EXPECT_THROW(ImageLib_ProgressScope scope(5), ImageLib_TestAbort);
    EXPECT_EQ(context.depth, -1);
}

TEST(Pipeline, PortsOwnershipAndNesting) {
    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context(&callbacks);
    int deaths = 0;
    testnodes::PatternNode a({0, 0, 6, 6, false}), b({2, 2, 9, 9, false});
    {
        ImageLib_NodePipeline outer(2);
        EXPECT_EQ(outer.GetInputCount(), 2);
        auto* inner = outer.Own(new ImageLib_NodePipeline(1));
        auto* sum = outer.Own(new testnodes::SumNode(2));
        sum->SetInput(0, outer.GetInput(0));
        sum->SetInput(1, inner);
        inner->SetOutputNode(inner->Own(new testnodes::DoubleNode(inner->GetInput(0))));
        inner->SetInput(0, outer.GetInput(1));
        outer.SetOutputNode(sum);
        for (int i = 0; i < 3; ++i) outer.Own(new testnodes::CountedNode(&deaths));
        outer.SetInput(0, &a);
        outer.SetInput(1, &b);
        EXPECT_EQ(outer.GetBounds(), (ImageLib_Rect{2, 2, 6, 6, false}));

        ImageLib_ImageBuffer output(ImageLib_FloatFormat(ImageLib_HostFormat8()), {0, 0, 10, 10, false});
        ImageLib_Evaluate(outer, output, output.bounds, 0, 3);
        std::vector<float> got = testnodes::ReadFloats(output);
        for (int y = 2; y < 6; ++y)
            for (int x = 2; x < 6; ++x)
                for (uint32_t c = 0; c < 4; ++c) {
                    const float expected = testnodes::Pattern(x, y, c) + (2.0f * testnodes::Pattern(x, y, c) - 0.5f);
                    ASSERT_FLOAT_EQ(got[(y * 10 + x) * 4 + c], expected);
                }
        EXPECT_EQ(deaths, 0);
    }
    EXPECT_EQ(deaths, 3);
    EXPECT_TRUE(callbacks.Clean());
}

} // namespace
