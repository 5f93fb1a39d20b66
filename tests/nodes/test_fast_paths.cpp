// Fast paths against the reference loops: the same bytes for any kernel,
// format, tiling and thread count.
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_ColourTransforms.h"
#include "imagelib/nodes/ImageLib_Convolution.h"
#include "tests/support/SimdPaths.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

using Mode = ImageLib_TestCallbacks::IterateMode;

struct Case {
    uint32_t taps;
    bool horizontal;
    bool perChannel;
};

// Seeded random samples in -0.5 .. 1.5 (zeros included) over the plane.
testnodes::FieldNode RandomNode(uint32_t seed) {
    return testnodes::FieldNode([seed](int32_t x, int32_t y, uint32_t c) {
        uint32_t h = seed ^ (static_cast<uint32_t>(x) * 0x9E3779B1u) ^ (static_cast<uint32_t>(y) * 0x85EBCA77u) ^
                     (c * 0xC2B2AE3Du);
        h ^= h >> 15;
        h *= 0x2C1B3C6Du;
        h ^= h >> 12;
        return (h % 7 == 0) ? 0.0f : static_cast<float>(h % 20001) / 10000.0f - 0.5f;
    });
}

// On the selected path.
std::vector<uint8_t> Convolve(const Case& c, const ImageLib_PixelFormat& format, Mode mode, int32_t tw, int32_t th,
                              uint32_t seed) {
    ImageLib_TestCallbacks callbacks(mode, 2);
    std::vector<uint8_t> bytes;
    {
        ImageLib_Context context(&callbacks);
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> weight(-0.4f, 0.6f);
        std::vector<std::vector<float>> kernels(c.perChannel ? format.channels : 1);
        std::vector<const float*> pointers;
        for (auto& k : kernels) {
            for (uint32_t t = 0; t < c.taps; ++t) k.push_back(weight(random));
            pointers.push_back(k.data());
        }
        testnodes::FieldNode source = RandomNode(seed);
        ImageLib_Convolution::ConvolutionNode conv(pointers.data(), static_cast<uint32_t>(pointers.size()),
                                                   c.horizontal ? c.taps : 1, c.horizontal ? 1 : c.taps, &source);
        // One row more than is computed, which must stay as it was. Rows of
        // 61 pixels hold whole vectors of every width and a tail.
        ImageLib_ImageBuffer output(format, {-7, 3, 54, 45, false});
        testimages::Fill(output, [](int32_t, int32_t, uint32_t) { return 0.25f; });
        ImageLib_Evaluate(conv, output, {-7, 3, 54, 44, false}, tw, th);
        bytes = testnodes::ReadBytes(output);
    }
    EXPECT_TRUE(callbacks.Clean());
    return bytes;
}

TEST(FastPaths, ConvolutionMatchesTheReferenceByteForByte) {
    const Case cases[] = {{1, true, false},  {3, true, true},    {9, true, false},  {9, true, true},
                          {24, true, true},  {7, false, false},  {9, false, false}, {9, false, true},
                          {24, false, true}, {31, false, false}, {2, false, true},  {64, true, true},
                          {64, false, false}};
    const ImageLib_PixelFormat formats[] = {testimages::WithChannels(ImageLib_HostFormat8(), 3),
                                            testimages::WithChannels(ImageLib_HostFormat16(), 3),
                                            testimages::FloatFormat(3), ImageLib_HostFormat8()};
    uint32_t seed = 1;
    testpaths::PathGuard guard;
    for (const Case& c : cases) {
        for (const ImageLib_PixelFormat& format : formats) {
            ++seed;
            SelectSimdPath(SimdPath::Reference);
            const std::vector<uint8_t> reference = Convolve(c, format, Mode::Serial, 0, 0, seed);
            // The reference itself does not depend on the tiling either.
            ASSERT_EQ(Convolve(c, format, Mode::Threaded, 13, 5, seed), reference) << c.taps;
            const std::pair<int32_t, int32_t> tiles[] = {{0, 0}, {0, 1}, {0, 7}, {13, 5}};
            for (SimdPath path : testpaths::FastPaths()) {
                SelectSimdPath(path);
                for (auto [tw, th] : tiles)
                    for (Mode mode : {Mode::Serial, Mode::Threaded})
                        ASSERT_EQ(Convolve(c, format, mode, tw, th, seed), reference)
                            << c.taps << (c.horizontal ? " across" : " down") << (c.perChannel ? " per channel" : "")
                            << ", " << format.channels << "x" << format.bytesPerChannel * 8 << "-bit, tiles " << tw
                            << "x" << th << ", the " << SimdPathName(path) << " path";
            }
        }
    }
}

// The colour matrix on three-channel float pixels: whole vectors of sixteen
// pixels and the tail, widths around the vector, mixed-sign coefficients, in
// every vector width.
TEST(FastPaths, ColourMatrixMatchesTheReferenceByteForByte) {
    const float values[3][3] = {{0.8f, -0.35f, 0.1f}, {0.2f, 1.25f, -0.05f}, {-0.6f, 0.3f, 0.9f}};
    for (int32_t width : {1, 15, 16, 17, 31, 33, 61}) {
        testpaths::ExpectEveryPathGivesTheReference(
            [&] {
                ImageLib_TestCallbacks callbacks(Mode::Threaded, 2);
                std::vector<uint8_t> bytes;
                {
                    ImageLib_Context context(&callbacks);
                    ImageLib_Matrix matrix(3, 3);
                    for (uint32_t r = 0; r < 3; ++r)
                        for (uint32_t c = 0; c < 3; ++c) matrix.Element(r, c) = values[r][c];
                    testnodes::FieldNode source = RandomNode(static_cast<uint32_t>(width));
                    std::unique_ptr<ImageLib_ComputeNode> mix(
                        ImageLib_Resampling::CreateColorspaceNode(matrix, &source));
                    ImageLib_ImageBuffer output(testimages::FloatFormat(3), {-3, 2, width - 3, 9, false});
                    ImageLib_Evaluate(*mix, output, output.bounds, 0, 0);
                    bytes = testnodes::ReadBytes(output);
                }
                EXPECT_TRUE(callbacks.Clean());
                return bytes;
            },
            "width " + std::to_string(width));
    }
}

} // namespace
