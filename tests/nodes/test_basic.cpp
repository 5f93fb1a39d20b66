#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

using namespace ImageLib_BasicNodes;
using testimages::NodeTest;
using testnodes::PatternNode;

using BasicNodes = NodeTest;

TEST_F(BasicNodes, CropAsksOnlyForTheCropAndLeavesTheRestAlone) {
    struct Case {
        ImageLib_Rect request;
        std::vector<ImageLib_Rect> asked;
    } cases[] = {
        {{0, 0, 15, 15, false}, {{10, 10, 15, 15, false}}},
        {{30, 30, 40, 40, false}, {}},
        {{12, 0, 18, 40, false}, {{12, 10, 18, 20, false}}},
    };
    for (const Case& c : cases) {
        PatternNode source;
        CropNode crop({10, 10, 20, 20, false}, &source);
        ImageLib_ImageBuffer output(ImageLib_FloatFormat(ImageLib_HostFormat8()), {0, 0, 40, 40, false});
        testimages::Fill(output, [](int32_t, int32_t, uint32_t) { return -1.0f; });
        crop.Compute(output, c.request);
        EXPECT_EQ(source.requests, c.asked);
        const std::vector<float> got = testnodes::ReadFloats(output);
        for (int32_t y = 0; y < 40; ++y)
            for (int32_t x = 0; x < 40; ++x) {
                const bool written = !c.asked.empty() && c.asked[0].Contains(x, y);
                ASSERT_EQ(testimages::At(got, output.bounds, 4, x, y, 1),
                          written ? testnodes::Pattern(x, y, 1) : -1.0f);
            }
        EXPECT_EQ(crop.GetBounds(), (ImageLib_Rect{10, 10, 20, 20, false}));
    }
}

TEST_F(BasicNodes, TranslateShiftsBoundsAndPixels) {
    PatternNode source({0, 0, 100, 100, false});
    TranslateNode moved(3, -2, &source);
    EXPECT_EQ(moved.GetBounds(), (ImageLib_Rect{-3, 2, 97, 102, false}));
    ImageLib_ImageBuffer output(ImageLib_FloatFormat(ImageLib_HostFormat8()), {0, 2, 4, 5, false});
    moved.Compute(output, output.bounds);
    EXPECT_EQ(source.requests, (std::vector<ImageLib_Rect>{{3, 0, 7, 3, false}}));
    const std::vector<float> got = testnodes::ReadFloats(output);
    for (int32_t y = 2; y < 5; ++y)
        for (int32_t x = 0; x < 4; ++x)
            EXPECT_EQ(testimages::At(got, output.bounds, 4, x, y, 2), testnodes::Pattern(x + 3, y - 2, 2));
    PatternNode everywhere;
    TranslateNode still(5, 5, &everywhere);
    EXPECT_TRUE(still.GetBounds().infinite);
}

TEST_F(BasicNodes, FloatClippingKeepsNaN) {
    const float in[] = {1.5f, -0.25f, 0.0f, 0.5f, NAN, 1.0f, -0.0f, INFINITY};
    const float expected[] = {1.0f, 0.0f, 0.0f, 0.5f, NAN, 1.0f, 0.0f, 1.0f};
    ImageLib_ImageBuffer source(testimages::FloatFormat(1), {0, 0, 8, 1, false});
    testimages::Fill(source, [&](int32_t x, int32_t, uint32_t) { return in[x]; });
    ImageNode image(&source, false);
    FloatClippingNode clip(&image);
    ImageLib_ImageBuffer output(testimages::FloatFormat(1), {0, 0, 8, 1, false});
    clip.Compute(output, output.bounds);
    const std::vector<float> got = testnodes::ReadFloats(output);
    for (int i = 0; i < 8; ++i) {
        if (std::isnan(expected[i]))
            EXPECT_TRUE(std::isnan(got[i]));
        else
            EXPECT_EQ(got[i], expected[i]) << in[i];
    }
}

TEST_F(BasicNodes, BufferComputesOnlyWhatIsMissing) {
    struct Step {
        ImageLib_Rect request;
        std::vector<ImageLib_Rect> computed;
    };
    const std::vector<std::vector<Step>> scripts = {
        {{{0, 0, 100, 64, false}, {{0, 0, 100, 64, false}}},
         {{0, 32, 100, 96, false}, {{0, 64, 100, 96, false}}},
         {{10, 40, 50, 60, false}, {}}},
        {{{0, 0, 10, 10, false}, {{0, 0, 10, 10, false}}}, {{20, 20, 30, 30, false}, {{20, 20, 30, 30, false}}}},
        // Growing on every side: top, bottom, left, right strips in that order.
        {{{10, 10, 20, 20, false}, {{10, 10, 20, 20, false}}},
         {{5, 5, 25, 25, false},
          {{5, 5, 25, 10, false}, {5, 20, 25, 25, false}, {5, 10, 10, 20, false}, {20, 10, 25, 20, false}}}},
    };
    for (const auto& script : scripts) {
        PatternNode source;
        BufferNode buffer(&source);
        for (const Step& step : script) {
            source.requests.clear();
            ImageLib_ImageBuffer output(ImageLib_HostFormat16(), step.request);
            buffer.Compute(output, step.request);
            EXPECT_EQ(source.requests, step.computed);
            // Whatever came from the cache and whatever was computed, the result is the source's.
            ImageLib_ImageBuffer direct(ImageLib_HostFormat16(), step.request);
            source.Compute(direct, step.request);
            EXPECT_EQ(testnodes::ReadBytes(output), testnodes::ReadBytes(direct));
        }
    }
}

TEST_F(BasicNodes, BufferForgetsACacheWhoseFillingFailed) {
    PatternNode source;
    BufferNode buffer(&source);
    ImageLib_ImageBuffer output(ImageLib_HostFormat8(), {0, 0, 8, 8, false});
    callbacks.failMemoryAt = callbacks.memoryRequests + 2; // the cache is made, the source's float row buffer is not
    EXPECT_THROW(buffer.Compute(output, output.bounds), ImageLib_MemoryError);
    EXPECT_FALSE(buffer.HasCache());
    source.requests.clear();
    buffer.Compute(output, output.bounds);
    EXPECT_EQ(source.requests.size(), 1u);
}

TEST_F(BasicNodes, ImageNodeCopiesOrConverts) {
    ImageLib_ImageBuffer image(ImageLib_HostFormat8(), {0, 0, 4, 3, false});
    std::vector<uint8_t> bytes(4 * 3 * 4);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 21);
    testnodes::WriteBytes(image, bytes);
    std::unique_ptr<ImageLib_ComputeNode> node(CreateImageNode(&image));
    EXPECT_EQ(node->GetBounds(), image.bounds);

    ImageLib_ImageBuffer floats(ImageLib_FloatFormat(ImageLib_HostFormat8()), image.bounds);
    node->Compute(floats, image.bounds);
    const std::vector<float> got = testnodes::ReadFloats(floats);
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(got[i], static_cast<float>(bytes[i] / 255.0));

    ImageLib_ImageBuffer copy(ImageLib_HostFormat8(), image.bounds);
    node->Compute(copy, image.bounds);
    EXPECT_EQ(testnodes::ReadBytes(copy), bytes);

    ImageLib_ImageBuffer deep(ImageLib_HostFormat16(), {1, 1, 3, 3, false});
    node->Compute(deep, deep.bounds);
    const std::vector<uint8_t> deepBytes = testnodes::ReadBytes(deep);
    const uint16_t first = static_cast<uint16_t>(deepBytes[0] | deepBytes[1] << 8);
    EXPECT_EQ(first, static_cast<uint16_t>(static_cast<float>(bytes[20] / 255.0) * 32768.0f + 0.5f));

    // An owning node deletes its image; the accounting fixture sees the handle go.
    auto* owned = new ImageLib_ImageBuffer(ImageLib_HostFormat8(), {0, 0, 2, 2, false});
    delete CreateOwningImageNode(owned);
}

} // namespace
