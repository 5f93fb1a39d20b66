// Evaluates a small graph into memory and prints its checksum: a smoke test of
// the library that runs anywhere, without a host.
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"

#include <cmath>
#include <cstdio>
#include <memory>

namespace {

// A smooth colour ramp over the whole plane.
class RampNode : public ImageLib_ComputeNode {
public:
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override {
        std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
        ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::Write);
        int32_t y = region.y0;
        for (const ImageLib_RowIterator& row : mapped.rows()) {
            float* out = row.As<float>();
            for (int32_t x = region.x0; x < region.x1; ++x) {
                *out++ = 1.0f;
                *out++ = static_cast<float>(x) / 255.0f;
                *out++ = static_cast<float>(y) / 255.0f;
                *out++ = 0.5f + 0.5f * std::sin(0.05f * static_cast<float>(x + y));
            }
            ++y;
        }
    }
    ImageLib_Rect ComputeBounds() override { return ImageLib_Rect::Everything(); }
};

} // namespace

int main() {
    ImageLib_TestCallbacks callbacks(ImageLib_TestCallbacks::IterateMode::Threaded, 2);
    uint32_t checksum8 = 0, checksum16 = 0;
    {
        ImageLib_Context context(&callbacks);
        ImageLib_NodePipeline pipeline;
        pipeline.SetOutputNode(pipeline.Own(new RampNode));
        ImageLib_ImageBuffer image8(ImageLib_HostFormat8(), {0, 0, 256, 256, false});
        ImageLib_ImageBuffer image16(ImageLib_HostFormat16(), {0, 0, 256, 256, false});
        ImageLib_Evaluate(pipeline, image8, image8.bounds, 0, 32);
        ImageLib_Evaluate(pipeline, image16, image16.bounds, 0, 32);
        checksum8 = image8.Checksum();
        checksum16 = image16.Checksum();
    }
    std::printf("256x256 ramp: 8-bit checksum %08X, 16-bit checksum %08X, %zu progress reports, %s\n", checksum8,
                checksum16, callbacks.progress.size(), callbacks.Clean() ? "all memory returned" : "MEMORY LEFT");
    return callbacks.Clean() ? 0 : 1;
}
