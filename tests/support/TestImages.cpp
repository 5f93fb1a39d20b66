#include "TestImages.h"

#include "TestNodes.h"

#include <memory>
#include <string>

namespace testimages {

void Fill(ImageLib_ImageAccess& access, const std::function<float(int32_t, int32_t, uint32_t)>& value) {
    testnodes::WriteField(access, access.bounds, value);
}

ImageLib_PixelFormat WithChannels(ImageLib_PixelFormat format, uint32_t channels) {
    format.channels = format.colorChannels = channels;
    format.alphaChannel = -1;
    format.bytesPerPixel = format.bytesPerChannel * channels;
    return format;
}

ImageLib_PixelFormat FloatFormat(uint32_t channels) {
    return WithChannels(ImageLib_FloatFormat(ImageLib_HostFormat8()), channels);
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
