#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

namespace {

using namespace ImageLib_Alpha;
using testimages::NodeTest;

using AlphaNodes = NodeTest;

ImageLib_PixelFormat Bytes(uint32_t channels, int32_t alpha) {
    ImageLib_PixelFormat format = ImageLib_HostFormat8();
    format.channels = format.bytesPerPixel = channels;
    format.colorChannels = alpha == -1 ? channels : channels - 1;
    format.alphaChannel = alpha;
    return format;
}

// Records the format it was asked for and answers byte i of pixel x as 10 * x + i.
class ByteSource : public ImageLib_ComputeNode {
public:
    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override {
        asked.push_back(output.format);
        ImageLib_MappedRegion mapped(output, region, ImageLib_AccessMode::Write);
        for (const ImageLib_RowIterator& row : mapped.rows())
            for (uint32_t i = 0; i < row.rowBytes; ++i)
                row.rowBegin[i] = static_cast<uint8_t>(10 * (region.x0 + i / output.format.bytesPerPixel) +
                                                       i % output.format.bytesPerPixel);
    }
    ImageLib_Rect ComputeBounds() override { return {0, 0, 3, 1, false}; }
    std::vector<ImageLib_PixelFormat> asked;
};

TEST_F(AlphaNodes, DropAlphaSkipsOrFillsAlpha) {
    struct Case {
        bool alphaFirst;
        ImageLib_PixelFormat output;
        int32_t askedAlpha;
        std::vector<uint8_t> expected;
    } cases[] = {
        {true, Bytes(3, -1), 0, {1, 2, 3, 11, 12, 13, 21, 22, 23}},
        {false, Bytes(3, -1), 3, {0, 1, 2, 10, 11, 12, 20, 21, 22}},
        {true, Bytes(4, 0), 0, {255, 1, 2, 3, 255, 11, 12, 13, 255, 21, 22, 23}},
        {false, Bytes(4, 3), 3, {0, 1, 2, 255, 10, 11, 12, 255, 20, 21, 22, 255}},
    };
    for (const Case& c : cases) {
        ByteSource source;
        DropAlphaNode drop(&source, c.alphaFirst);
        ImageLib_ImageBuffer output(c.output, {0, 0, 3, 1, false});
        drop.Compute(output, output.bounds);
        ASSERT_EQ(source.asked.size(), 1u);
        EXPECT_EQ(source.asked[0].channels, 4u);
        EXPECT_EQ(source.asked[0].alphaChannel, c.askedAlpha);
        EXPECT_EQ(testnodes::ReadBytes(output), c.expected);
    }
}

TEST_F(AlphaNodes, MultiplyAlphaPremultipliesColour) {
    for (bool alphaFirst : {true, false}) {
        ImageLib_PixelFormat rgba = testimages::FloatFormat(4);
        rgba.alphaChannel = alphaFirst ? 0 : 3;
        rgba.colorChannels = 3;
        ImageLib_ImageBuffer image(rgba, {0, 0, 1, 1, false});
        const float first[] = {0.5f, 0.8f, 0.4f, 0.2f}, last[] = {0.8f, 0.4f, 0.2f, 0.5f};
        testimages::Fill(image, [&](int32_t, int32_t, uint32_t c) { return alphaFirst ? first[c] : last[c]; });
        ImageLib_BasicNodes::ImageNode source(&image, false);
        MultiplyAlphaNode multiply(&source, alphaFirst);
        ImageLib_ImageBuffer output(testimages::FloatFormat(3), image.bounds);
        multiply.Compute(output, output.bounds);
        EXPECT_EQ(testnodes::ReadFloats(output), (std::vector<float>{0.4f, 0.2f, 0.1f}));
    }
}

TEST_F(AlphaNodes, AddAlphaTakesAlphaFromTheSecondInputOrMakesItOpaque) {
    struct Case {
        ImageLib_PixelFormat output;
        bool withAlpha;
        std::vector<uint8_t> expected;
    } cases[] = {
        // Colour comes from input 0 asked without alpha (bytes 0, 1, 2 of each pixel); alpha from input 1.
        {Bytes(4, 0), true, {0, 0, 1, 2, 10, 10, 11, 12, 20, 20, 21, 22}},
        {Bytes(4, 3), true, {0, 1, 2, 3, 10, 11, 12, 13, 20, 21, 22, 23}},
        {Bytes(4, 0), false, {255, 0, 1, 2, 255, 10, 11, 12, 255, 20, 21, 22}},
        {Bytes(3, -1), false, {0, 1, 2, 10, 11, 12, 20, 21, 22}},
    };
    for (const Case& c : cases) {
        ByteSource colour, alpha;
        AddAlphaNode add(&colour, c.withAlpha ? &alpha : nullptr);
        ImageLib_ImageBuffer output(c.output, {0, 0, 3, 1, false});
        add.Compute(output, output.bounds);
        EXPECT_EQ(colour.asked[0].channels, 3u);
        EXPECT_EQ(testnodes::ReadBytes(output), c.expected);
    }
    // Opaque alpha is the format's full scale in its own sample type.
    for (ImageLib_PixelFormat format : {ImageLib_HostFormat16(), ImageLib_FloatFormat(ImageLib_HostFormat16())}) {
        testnodes::PatternNode colour;
        AddAlphaNode add(&colour, nullptr);
        ImageLib_ImageBuffer output(format, {0, 0, 2, 2, false});
        add.Compute(output, output.bounds);
        const std::vector<float> got = testnodes::ReadFloats(output);
        for (size_t p = 0; p < 4; ++p) {
            EXPECT_EQ(got[p * 4], 1.0f);
            EXPECT_NEAR(got[p * 4 + 1], testnodes::Pattern(static_cast<int32_t>(p % 2), static_cast<int32_t>(p / 2), 0),
                        1.0 / 32768);
        }
    }
}

} // namespace
