// Graphs that chain every node family: the result must not depend on how the
// region is cut into tiles or on how rows are spread over threads, and every
// failure on the way must leave nothing behind.
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_Blend.h"
#include "imagelib/nodes/ImageLib_ColourTransforms.h"
#include "imagelib/nodes/ImageLib_Convolution.h"
#include "imagelib/nodes/ImageLib_Drawing.h"
#include "imagelib/nodes/ImageLib_Mirroring.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

using Mode = ImageLib_TestCallbacks::IterateMode;

// noise -> colour matrix -> hue -> buffer -> every kind of convolution,
// laid onto a mirror-extended image, clipped, with the image's alpha restored.
class ChainedGraph {
public:
    ChainedGraph(const ImageLib_PixelFormat& imageFormat, const ImageLib_Rect& imageBounds) {
        image_ = std::make_unique<ImageLib_ImageBuffer>(imageFormat, imageBounds);
        testimages::Fill(*image_, [](int32_t x, int32_t y, uint32_t c) {
            return c == 0 ? 0.5f + 0.5f * std::cos(0.3f * static_cast<float>(x + y)) : testnodes::Pattern(x, y, c);
        });
        ImageLib_NodePipeline& p = pipeline_;
        auto* noise = p.Own(ImageLib_Drawing::CreateNoiseNode(0.0f, 0.2f, true, 77));
        ImageLib_Matrix mix(3, 3);
        const float m[9] = {1.0f, 0.3f, 0.1f, 0.2f, 0.9f, 0.0f, -0.1f, 0.2f, 1.1f};
        for (uint32_t i = 0; i < 9; ++i) mix.values[i] = m[i];
        auto* colour = p.Own(ImageLib_Resampling::CreateColorspaceNode(mix, noise));
        auto* hue = p.Own(ImageLib_Resampling::CreateRGB2HSVNode(colour));
        auto* cached = p.Own(ImageLib_BasicNodes::CreateBufferNode(hue));
        // Every kind of pass: shared across and down (through Iterate), per
        // channel across, two-dimensional.
        const float h[5] = {0.1f, 0.2f, 0.4f, 0.2f, 0.1f}, v[3] = {0.25f, 0.5f, 0.25f};
        const float five[3][5] = {{0.2f, 0.2f, 0.2f, 0.2f, 0.2f}, {0, 0.5f, 0.5f, 0, 0}, {0, 0, 1, 0, 0}};
        const float square[9] = {0.05f, 0.1f, 0.05f, 0.1f, 0.4f, 0.1f, 0.05f, 0.1f, 0.05f};
        const float* hs[1] = {h};
        const float* vs[1] = {v};
        const float* perChannel[3] = {five[0], five[1], five[2]};
        const float* squares[1] = {square};
        auto* across = p.Own(ImageLib_Convolution::CreateConvolutionNode(hs, 1, 5, 1, cached));
        auto* vertical = p.Own(ImageLib_Convolution::CreateConvolutionNode(vs, 1, 1, 3, across));
        auto* channels = p.Own(ImageLib_Convolution::CreateConvolutionNode(perChannel, 3, 5, 1, vertical));
        auto* down = p.Own(ImageLib_Convolution::CreateConvolutionNode(squares, 1, 3, 3, channels));
        auto* source = p.Own(ImageLib_BasicNodes::CreateImageNode(image_.get()));
        auto* opaque = p.Own(ImageLib_Alpha::CreateDropAlphaNode(source, true));
        auto* mirrored = p.Own(ImageLib_Resampling::CreateReflectionNode(opaque));
        auto* blend = p.Own(ImageLib_Blend::CreateBlendNode(2, ImageLib_Blend::BlendMode::Add));
        blend->SetInput(0, down);
        blend->SetInput(1, mirrored);
        auto* clipped = p.Own(ImageLib_BasicNodes::CreateFloatClippingNode(blend));
        auto* cropped = p.Own(ImageLib_BasicNodes::CreateCropNode({-6, -4, 70, 44, false}, clipped));
        auto* alpha = p.Own(ImageLib_Resampling::CreateReflectionNode(source));
        p.SetOutputNode(p.Own(ImageLib_Alpha::CreateAddAlphaNode(cropped, alpha)));
    }

    ImageLib_ComputeNode& node() { return pipeline_; }

private:
    std::unique_ptr<ImageLib_ImageBuffer> image_;
    ImageLib_NodePipeline pipeline_;
};

std::vector<uint8_t> Render(ImageLib_TestCallbacks& callbacks, const ImageLib_PixelFormat& format, int32_t tw,
                            int32_t th) {
    ImageLib_Context context(&callbacks);
    ChainedGraph graph(format, {0, 0, 64, 40, false});
    // The output reaches past the image on every side: the mirror fills it.
    ImageLib_ImageBuffer output(format, {-6, -4, 70, 44, false});
    ImageLib_Evaluate(graph.node(), output, output.bounds, tw, th);
    return testnodes::ReadBytes(output);
}

TEST(NodeGraphs, TilesAndThreadsGiveTheSameBytes) {
    const std::pair<int32_t, int32_t> tiles[] = {{0, 0}, {0, 1}, {0, 7}, {13, 5}, {0, 32}};
    for (const ImageLib_PixelFormat& format : {ImageLib_HostFormat8(), ImageLib_HostFormat16()}) {
        std::vector<uint8_t> reference;
        for (Mode mode : {Mode::Serial, Mode::Threaded}) {
            for (auto [tw, th] : tiles) {
                ImageLib_TestCallbacks callbacks(mode, 3);
                const std::vector<uint8_t> bytes = Render(callbacks, format, tw, th);
                if (reference.empty()) reference = bytes;
                EXPECT_EQ(bytes, reference) << format.bytesPerChannel * 8 << "-bit, tiles " << tw << "x" << th
                                            << (mode == Mode::Threaded ? ", threaded" : ", serial");
                EXPECT_TRUE(callbacks.Clean());
                EXPECT_EQ(callbacks.offThreadCalls, 0);
            }
        }
        // Not a constant image: grain and picture both reach the output.
        std::vector<uint8_t> distinct(reference.begin(), reference.end());
        std::sort(distinct.begin(), distinct.end());
        EXPECT_GT(std::unique(distinct.begin(), distinct.end()) - distinct.begin(), 50);
    }
}

TEST(NodeGraphs, EveryFailureLeavesNothingBehind) {
    for (Mode mode : {Mode::Serial, Mode::Threaded})
        testimages::ExpectCleanFailures([](ImageLib_TestCallbacks& c) { Render(c, ImageLib_HostFormat8(), 0, 16); },
                                        mode);
}

} // namespace
