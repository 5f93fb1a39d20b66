// Images with given pixel values for node tests, and an accounting fixture.
#pragma once

#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace testimages {

// A fixture whose callbacks must be clean (nothing live, locked or misused)
// when the test ends.
class NodeTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(callbacks.Clean()) << callbacks.liveHandles << " handles, " << callbacks.liveAllocations
                                       << " allocations, " << callbacks.errors << " errors";
        EXPECT_EQ(callbacks.offThreadCalls, 0);
        EXPECT_EQ(context.depth, -1);
    }

    ImageLib_TestCallbacks callbacks;
    ImageLib_Context context{&callbacks};
};

// A context that, when it ends, must have closed every progress scope it saw
// opened, whether the work in it finished or failed.
class CheckedContext : public ImageLib_Context {
public:
    using ImageLib_Context::ImageLib_Context;
    CheckedContext(const CheckedContext&) = delete;
    CheckedContext& operator=(const CheckedContext&) = delete;
    ~CheckedContext() { EXPECT_EQ(depth, -1) << "a progress scope was left open"; }
};

// Fills every sample of `access` (through a float view) with value(x, y, channel).
void Fill(ImageLib_ImageAccess& access, const std::function<float(int32_t, int32_t, uint32_t)>& value);

// Sample (x, y, channel) of a float vector read with testnodes::ReadFloats from `bounds`.
inline float At(const std::vector<float>& samples, const ImageLib_Rect& bounds, uint32_t channels, int32_t x, int32_t y,
                uint32_t c) {
    return samples[(static_cast<size_t>(y - bounds.y0) * bounds.Width() + (x - bounds.x0)) * channels + c];
}

// `format` with `channels` samples of its type and no alpha.
ImageLib_PixelFormat WithChannels(ImageLib_PixelFormat format, uint32_t channels);
// A format of `channels` float samples without alpha.
ImageLib_PixelFormat FloatFormat(uint32_t channels);

// Runs `run` once to count its memory requests and abort checks (there must be
// some of each), then again with memory refused at each request in turn and
// with an abort at each check in turn: every run must throw the matching
// exception (an abort with its own code) and leave the callbacks clean, with
// no call from a thread the host did not hand out. `run` makes its own
// context on the callbacks it is given.
void ExpectCleanFailures(const std::function<void(ImageLib_TestCallbacks&)>& run,
                         ImageLib_TestCallbacks::IterateMode mode = ImageLib_TestCallbacks::IterateMode::Serial);

} // namespace testimages
