// Failures inside the library's own machinery: a throwing worker, a node the
// pipeline cannot record.
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using Mode = ImageLib_TestCallbacks::IterateMode;

// A worker body that throws inside a threaded `Iterate` surfaces on the
// calling thread once every worker has finished.
TEST(FailureInjection, ThreadedIterateRethrowsOnTheCaller) {
    ImageLib_TestCallbacks callbacks(Mode::Threaded, 3);
    ImageLib_Context context(&callbacks);
    std::vector<int> seen(100, 0);
    EXPECT_THROW(ImageLib_ParallelFor(100,
                                      [&](int32_t i) {
                                          seen[i] = 1;
                                          if (i == 50) throw ImageLib_MemoryError();
                                      }),
                 ImageLib_MemoryError);
    int ran = 0;
    for (int s : seen) ran += s;
    EXPECT_EQ(ran, 100);
}

TEST(FailureInjection, OwnDeletesTheNodeItCannotRecord) {
    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context(&callbacks);
    int deaths = 0;
    {
        ImageLib_NodePipeline pipeline(2);
        callbacks.failMemoryAt = callbacks.memoryRequests + 1;
        EXPECT_THROW(pipeline.Own(new testnodes::CountedNode(&deaths)), ImageLib_MemoryError);
        EXPECT_EQ(deaths, 1);
    }
    // A pipeline whose ports cannot all be made frees the ones it made.
    for (int64_t n = 1; n <= 4; ++n) {
        callbacks.failMemoryAt = callbacks.memoryRequests + n;
        EXPECT_THROW(ImageLib_NodePipeline pipeline(3), ImageLib_MemoryError);
    }
    EXPECT_TRUE(callbacks.Clean());
}

} // namespace
