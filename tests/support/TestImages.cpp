#include "TestImages.h"

#include <memory>
#include <string>

namespace testimages {

void Fill(ImageLib_ImageAccess& access, const std::function<float(int32_t, int32_t, uint32_t)>& value) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(access));
    ImageLib_MappedRegion mapped(*view, view->bounds, ImageLib_AccessMode::Write);
    const uint32_t channels = view->format.channels;
    int32_t y = view->bounds.y0;
    for (const ImageLib_RowIterator& row : mapped.rows()) {
        float* out = row.As<float>();
        for (int32_t x = view->bounds.x0; x < view->bounds.x1; ++x)
            for (uint32_t c = 0; c < channels; ++c) *out++ = value(x, y, c);
        ++y;
    }
}

ImageLib_PixelFormat FloatFormat(uint32_t channels) {
    ImageLib_PixelFormat format = ImageLib_FloatFormat(ImageLib_HostFormat8());
    format.channels = format.colorChannels = channels;
    format.alphaChannel = -1;
    format.bytesPerPixel = 4 * channels;
    return format;
}

void ExpectCleanFailures(const std::function<void(ImageLib_TestCallbacks&)>& run,
                         ImageLib_TestCallbacks::IterateMode mode) {
    ImageLib_TestCallbacks probe(mode, 2);
    run(probe);
    ASSERT_GT(probe.memoryRequests, 0);
    ASSERT_GT(probe.abortChecks, 0);
    const auto clean = [](const ImageLib_TestCallbacks& callbacks) {
        EXPECT_TRUE(callbacks.Clean()) << callbacks.liveHandles << " handles, " << callbacks.liveAllocations
                                       << " allocations";
        EXPECT_EQ(callbacks.offThreadCalls, 0);
    };
    for (int64_t n = 1; n <= probe.memoryRequests; ++n) {
        SCOPED_TRACE("memory request " + std::to_string(n));
        ImageLib_TestCallbacks callbacks(mode, 2);
        callbacks.failMemoryAt = n;
        EXPECT_THROW(run(callbacks), ImageLib_MemoryError);
        clean(callbacks);
    }
    // The abort's own code must come back, not another failure's.
    for (int64_t n = 1; n <= probe.abortChecks; ++n) {
        SCOPED_TRACE("abort check " + std::to_string(n));
        ImageLib_TestCallbacks callbacks(mode, 2);
        callbacks.abortAt = n;
        callbacks.abortCode = 7;
        try {
            run(callbacks);
            ADD_FAILURE() << "did not abort";
        } catch (const ImageLib_TestAbort& abort) {
            EXPECT_EQ(abort.code, 7);
        }
        clean(callbacks);
    }
}

} // namespace testimages
