#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/nodes/ImageLib_Drawing.h"
#include "random/UniformRandom.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

namespace {

using namespace ImageLib_Drawing;
using testimages::NodeTest;

using DrawingNodes = NodeTest;

TEST_F(DrawingNodes, SolidAnswersAnyRegionInAnyFormat) {
    const float colour[] = {1.0f, 0.5f, 0.25f, 0.0f};
    std::unique_ptr<ImageLib_ComputeNode> solid(CreateSolidNode(colour, 4));
    EXPECT_TRUE(solid->GetBounds().infinite);
    struct Case {
        ImageLib_PixelFormat format;
        std::vector<float> expected;
    } cases[] = {
        {ImageLib_HostFormat8(), {1.0f, 128 / 255.0f, 64 / 255.0f, 0.0f}},
        {ImageLib_HostFormat16(), {1.0f, 0.5f, 0.25f, 0.0f}},
        {ImageLib_FloatFormat(ImageLib_HostFormat8()), {1.0f, 0.5f, 0.25f, 0.0f}},
    };
    for (const Case& c : cases) {
        ImageLib_ImageBuffer output(c.format, {-1000000, 5, -999997, 7, false});
        ImageLib_Evaluate(*solid, output, output.bounds, 0, 1);
        const std::vector<float> got = testnodes::ReadFloats(output);
        for (size_t i = 0; i < got.size(); ++i) EXPECT_FLOAT_EQ(got[i], c.expected[i % 4]);
    }
}

TEST_F(DrawingNodes, InvertInEverySampleWidth) {
    struct Case {
        ImageLib_PixelFormat format;
        float in, expected;
    } cases[] = {
        {ImageLib_HostFormat8(), 0.0f, 1.0f},
        {ImageLib_HostFormat8(), 1.0f, 0.0f},
        {ImageLib_HostFormat8(), 100 / 255.0f, 155 / 255.0f},
        {ImageLib_HostFormat16(), 0.0f, 1.0f},
        {ImageLib_HostFormat16(), 0.25f, 0.75f},
        {ImageLib_FloatFormat(ImageLib_HostFormat8()), 0.125f, 0.875f},
    };
    for (const Case& c : cases) {
        const float in[] = {c.in, c.in, c.in, c.in};
        SolidNode solid(in, 4);
        InvertNode invert(&solid);
        ImageLib_ImageBuffer output(c.format, {0, 0, 3, 2, false});
        invert.Compute(output, output.bounds);
        for (float v : testnodes::ReadFloats(output)) EXPECT_FLOAT_EQ(v, c.expected); // alpha included
    }
}

TEST_F(DrawingNodes, ThickBoxDrawsTwoRingsInsideTheBox) {
    const float grey[] = {0.5f}, white[] = {1.0f};
    struct Case {
        ImageLib_Rect box;
        ImageLib_Rect region;
    } cases[] = {
        {{2, 3, 12, 10, false}, {0, 0, 16, 14, false}},
        {{4, 4, 7, 9, false}, {0, 0, 16, 14, false}},  // 3 wide: the rings overlap into solid columns
        {{2, 3, 12, 10, false}, {5, 0, 9, 14, false}}, // a band through the middle
        {{5, 5, 5, 9, false}, {0, 0, 16, 14, false}},  // empty
        {ImageLib_Rect::Everything(), {0, 0, 16, 14, false}},
    };
    for (const Case& c : cases) {
        SolidNode solid(grey, 1);
        ThickBoxNode box(white, 1, c.box, &solid);
        ImageLib_ImageBuffer output(testimages::FloatFormat(1), c.region);
        box.Compute(output, c.region);
        const std::vector<float> got = testnodes::ReadFloats(output);
        const ImageLib_Rect& b = c.box;
        for (int32_t y = c.region.y0; y < c.region.y1; ++y)
            for (int32_t x = c.region.x0; x < c.region.x1; ++x) {
                // Within two pixels of the box's edge, from the inside.
                const bool inside = !b.infinite && b.Contains(x, y);
                const bool ring = inside && (x < b.x0 + 2 || x >= b.x1 - 2 || y < b.y0 + 2 || y >= b.y1 - 2);
                ASSERT_EQ(testimages::At(got, c.region, 1, x, y, 0), ring ? 1.0f : 0.5f) << x << "," << y;
            }
    }
}

// Mirrors the per-block seeding with an independent loop over whole blocks.
float ExpectedNoise(int32_t x, int32_t y, uint32_t c, uint32_t channels, int32_t seed, bool gaussian) {
    const int32_t X = x + 256, Y = y + 256;
    const int32_t blockStart = X - (((X % 32) + 32) % 32);
    UniformRandom generator(NoiseNode::BlockSeed(blockStart, Y, seed));
    float value = 0;
    for (uint32_t i = 0; i <= static_cast<uint32_t>(X - blockStart) * channels + c; ++i)
        value = gaussian ? generator.Gaussian() : generator.Centred();
    return value;
}

TEST_F(DrawingNodes, NoiseDependsOnlyOnPositionNeverOnTheRegion) {
    for (bool gaussian : {true, false}) {
        NoiseNode noise(0.25f, 0.5f, gaussian, 1234);
        const ImageLib_Rect frame{-300, -20, 100, 12, false};
        ImageLib_ImageBuffer whole(testimages::FloatFormat(3), frame);
        ImageLib_Evaluate(noise, whole, frame, 0, 0);
        const std::vector<float> reference = testnodes::ReadFloats(whole);
        for (int32_t y : {-20, 0, 11})
            for (int32_t x : {-300, -257, -256, -1, 0, 5, 31, 32, 99})
                for (uint32_t c = 0; c < 3; ++c)
                    ASSERT_EQ(testimages::At(reference, frame, 3, x, y, c),
                              ExpectedNoise(x, y, c, 3, 1234, gaussian) * 0.5f + 0.25f)
                        << x << "," << y;
        for (auto [tw, th] : {std::pair{1, 1}, {7, 3}, {13, 5}, {0, 1}, {33, 32}}) {
            ImageLib_ImageBuffer tiled(testimages::FloatFormat(3), frame);
            ImageLib_Evaluate(noise, tiled, frame, tw, th);
            ASSERT_EQ(testnodes::ReadFloats(tiled), reference) << tw << "x" << th;
        }
    }
    // A different seed gives different noise.
    NoiseNode a(0, 1, true, 1), b(0, 1, true, 2);
    ImageLib_ImageBuffer outA(testimages::FloatFormat(1), {0, 0, 64, 1, false}), outB(outA.format, outA.bounds);
    a.Compute(outA, outA.bounds);
    b.Compute(outB, outB.bounds);
    EXPECT_NE(testnodes::ReadFloats(outA), testnodes::ReadFloats(outB));
}

TEST_F(DrawingNodes, ABlockWhoseSeedWouldBeZeroIsStillRepeatable) {
    // Block (0, 0) mixes to 16777473: that node seed would seed its generator with 0, the clock.
    ASSERT_EQ(((256u & 0xFFFFu) ^ (256u << 16)) + 1u, 16777473u);
    NoiseNode noise(0.0f, 1.0f, false, 16777473);
    EXPECT_EQ(NoiseNode::BlockSeed(256, 256, 16777473), 1);
    std::vector<float> first;
    for (int run = 0; run < 2; ++run) {
        ImageLib_ImageBuffer output(testimages::FloatFormat(3), {0, 0, 32, 1, false});
        noise.Compute(output, output.bounds);
        if (run == 0) {
            first = testnodes::ReadFloats(output);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
            EXPECT_EQ(testnodes::ReadFloats(output), first);
        }
    }
    UniformRandom one(1);
    EXPECT_EQ(first[0], one.Centred());
}

} // namespace
