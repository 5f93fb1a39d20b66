// Convolution nodes against independent double-precision sums, in every output
// format, serial and threaded, and under injected faults.
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/nodes/ImageLib_Convolution.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using ImageLib_Convolution::CreateConvolutionNode;
using testnodes::Field;
using testnodes::FieldNode;
using Mode = ImageLib_TestCallbacks::IterateMode;
using NodePtr = std::unique_ptr<ImageLib_ComputeNode>;

// Seeded values in [-1, 1) that depend only on the position.
float Noise(uint64_t seed, int64_t x, int64_t y, uint64_t c) {
    uint64_t z = seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(x) * 0xBF58476D1CE4E5B9ull +
                 static_cast<uint64_t>(y) * 0x94D049BB133111EBull + c * 0x2545F4914F6CDD1Dull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<float>(static_cast<double>((z ^ (z >> 31)) >> 40) / 8388608.0 - 1.0);
}

using ConvolutionTest = testimages::NodeTest;

TEST_F(ConvolutionTest, ThreeTapsOverAStepEdgeInEveryFormat) {
    const float taps[] = {0.25f, 0.5f, 0.25f};
    const float* kernel = taps;
    const double expected[] = {0.0, 0.25, 0.75, 1.0}; // at 8, 9, 10, 11 across the edge at 10
    for (bool down : {false, true}) {
        for (const ImageLib_PixelFormat& format :
             {testimages::FloatFormat(3), ImageLib_HostFormat8(), ImageLib_HostFormat16()}) {
            FieldNode step([down](int32_t x, int32_t y, uint32_t) { return (down ? y : x) >= 10 ? 1.0f : 0.0f; });
            NodePtr node(CreateConvolutionNode(&kernel, 1, down ? 1 : 3, down ? 3 : 1, &step));
            const ImageLib_Rect area = down ? ImageLib_Rect{0, 8, 2, 12, false} : ImageLib_Rect{8, 0, 12, 2, false};
            ImageLib_ImageBuffer output(format, area);
            ImageLib_Evaluate(*node, output, area, 0, 0);
            const std::vector<float> values = testnodes::ReadFloats(output);
            for (size_t i = 0; i < values.size(); ++i) {
                const size_t pixel = i / format.channels;
                const double v = expected[down ? pixel / 2 : pixel % 4], scale = format.maxValue;
                // Integer outputs hold the value rounded as the float view writes it.
                EXPECT_EQ(values[i], format.sampleType == ImageLib_SampleFloat
                                         ? static_cast<float>(v)
                                         : static_cast<float>(std::floor(v * scale + 0.5) / scale))
                    << (down ? "down, " : "across, ") << "type " << format.sampleType << ", sample " << i;
            }
        }
    }
}

TEST_F(ConvolutionTest, BoundsRequestsAndRejectedKernels) {
    const float zeros[25] = {};
    const float* kernels[] = {zeros, zeros, zeros};
    struct Case {
        uint32_t width, height;
        ImageLib_Rect input, expected;
    } cases[] = {
        {5, 5, {0, 0, 100, 50, false}, {2, 2, 98, 48, false}},
        {4, 4, {0, 0, 100, 50, false}, {2, 2, 98, 48, false}},
        {1, 9, {-10, 3, 20, 7, false}, {-10, 7, 20, 3, false}},
        {3, 3, ImageLib_Rect::Everything(), ImageLib_Rect::Everything()},
    };
    for (const Case& c : cases) {
        testnodes::PatternNode source(c.input);
        NodePtr node(CreateConvolutionNode(kernels, 1, c.width, c.height, &source));
        EXPECT_EQ(node->GetBounds(), c.expected) << c.width << "x" << c.height;
    }

    // The input is asked for the request grown by the margins, and for
    // nothing when the request is empty.
    FieldNode source(testnodes::Pattern);
    NodePtr node(CreateConvolutionNode(kernels, 1, 5, 3, &source));
    ImageLib_ImageBuffer output(testimages::FloatFormat(3), {0, 0, 40, 40, false});
    node->Compute(output, {10, 20, 30, 25, false});
    node->Compute(output, {10, 20, 10, 25, false});
    EXPECT_EQ(source.requests, (std::vector<ImageLib_Rect>{{8, 19, 32, 26, false}}));

    // Two kernels cannot serve three channels; no kernel serves none.
    NodePtr twoKernels(CreateConvolutionNode(kernels, 2, 3, 1, &source));
    EXPECT_THROW(twoKernels->Compute(output, {0, 0, 4, 4, false}), std::invalid_argument);
    EXPECT_EQ(source.requests.size(), 1u);
    EXPECT_THROW(CreateConvolutionNode(kernels, 0, 3, 1, &source), std::invalid_argument);
    EXPECT_THROW(CreateConvolutionNode(nullptr, 1, 3, 1, &source), std::invalid_argument);
}

// Every pass and path (nine taps sliding along rows, nine taps strided down
// columns whose output rows are wider than the input's, the plain loop; shared
// and per-channel kernels) against a double-precision sum. The output has a
// row, and sometimes columns, beyond the request that must keep a sentinel.
TEST_F(ConvolutionTest, MatchesADoublePrecisionSum) {
    struct Case {
        const char* name;
        uint32_t width, height, kernelCount, channels;
        ImageLib_Rect region;
        int32_t extraColumns;
    } cases[] = {
        {"nine across, odd count", 9, 1, 1, 3, {-3, 2, 10, 6, false}, 0},
        {"nine across, one output", 9, 1, 1, 4, {5, 0, 6, 3, false}, 1},
        {"nine across per channel", 9, 1, 3, 3, {0, 0, 7, 2, false}, 0},
        {"nine down, equal rows", 1, 9, 1, 3, {1, 1, 6, 12, false}, 0},
        {"nine down, wider rows", 1, 9, 1, 3, {1, 1, 6, 12, false}, 1},
        {"nine down per channel", 1, 9, 4, 4, {-2, -5, 3, 2, false}, 2},
        {"three across", 3, 1, 1, 1, {0, 0, 9, 3, false}, 0},
        {"four across", 4, 1, 1, 3, {0, 0, 6, 2, false}, 0},
        {"four down per channel", 1, 4, 3, 3, {0, 0, 3, 5, false}, 1},
        {"one tap", 1, 1, 1, 2, {0, 0, 4, 2, false}, 0},
        {"5x3", 5, 3, 1, 3, {-1, -1, 6, 4, false}, 1},
        {"4x4 per channel", 4, 4, 3, 3, {2, 2, 7, 6, false}, 0},
    };
    const float sentinel = 1234.5f;
    const Field f = [](int32_t x, int32_t y, uint32_t c) { return Noise(7, x, y, c); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t taps = c.width * c.height;
        std::vector<std::vector<float>> kernels(c.kernelCount);
        std::vector<const float*> pointers;
        for (uint32_t k = 0; k < c.kernelCount; ++k) {
            for (uint32_t i = 0; i < taps; ++i) kernels[k].push_back(Noise(99 + k, i, 0, 0));
            pointers.push_back(kernels[k].data());
        }
        FieldNode source(f);
        NodePtr node(CreateConvolutionNode(pointers.data(), c.kernelCount, c.width, c.height, &source));
        const ImageLib_Rect& r = c.region;
        const ImageLib_Rect all{r.x0, r.y0, r.x1 + c.extraColumns, r.y1 + 1, false};
        ImageLib_ImageBuffer output(testimages::FloatFormat(c.channels), all);
        FieldNode fill([sentinel](int32_t, int32_t, uint32_t) { return sentinel; });
        fill.Compute(output, all);
        node->Compute(output, r);

        const std::vector<float> result = testnodes::ReadFloats(output);
        size_t at = 0;
        for (int32_t y = all.y0; y < all.y1; ++y) {
            for (int32_t x = all.x0; x < all.x1; ++x) {
                for (uint32_t ch = 0; ch < c.channels; ++ch, ++at) {
                    if (!r.Contains(x, y)) {
                        ASSERT_EQ(result[at], sentinel) << "written outside the request at " << x << "," << y;
                        continue;
                    }
                    const std::vector<float>& k = kernels[c.kernelCount == 1 ? 0 : ch];
                    double sum = 0.0, magnitude = 0.0;
                    for (int32_t j = 0; j < static_cast<int32_t>(c.height); ++j) {
                        for (int32_t i = 0; i < static_cast<int32_t>(c.width); ++i) {
                            const double term = static_cast<double>(k[j * c.width + i]) *
                                                f(x - static_cast<int32_t>(c.width / 2) + i,
                                                  y - static_cast<int32_t>(c.height / 2) + j, ch);
                            sum += term;
                            magnitude += std::fabs(term);
                        }
                    }
                    ASSERT_NEAR(result[at], sum, (taps + 2) * magnitude * 0x1p-24) << x << "," << y << "," << ch;
                }
            }
        }
    }
}

} // namespace

// Per-channel kernels: the fast passes check for cancel at least as often as
// the reference loops do over the same work, in slices that keep the bytes.
TEST(ConvolutionFailures, FastPerChannelPassesCheckForCancelAsOftenAsTheReference) {
    std::vector<float> taps(401);
    for (size_t i = 0; i < taps.size(); ++i) taps[i] = Noise(7, static_cast<int64_t>(i), 0, 0) / 64.0f;
    const float* kernels[] = {taps.data(), taps.data() + 1, taps.data() + 2};
    for (bool down : {false, true}) {
        const uint32_t length = 399;
        const ImageLib_Rect area{0, 0, 600, 90, false};
        int64_t checks[2];
        std::vector<float> out[2];
        for (int reference : {0, 1}) {
            SelectSimdPath(reference != 0 ? SimdPath::Reference : WidestSimdPath());
            ImageLib_TestCallbacks callbacks;
            {
                ImageLib_Context context(&callbacks);
                FieldNode field([](int32_t x, int32_t y, uint32_t c) { return Noise(3, x, y, c); });
                NodePtr node(CreateConvolutionNode(kernels, 3, down ? 1 : length, down ? length : 1, &field));
                ImageLib_ImageBuffer output(testimages::FloatFormat(3), area);
                ImageLib_Evaluate(*node, output, area, 0, 0);
                out[reference] = testnodes::ReadFloats(output);
            }
            checks[reference] = callbacks.abortChecks;
            EXPECT_TRUE(callbacks.Clean());
        }
        SelectSimdPath(WidestSimdPath());
        EXPECT_EQ(out[0], out[1]) << (down ? "down" : "across");
        // The reference checks after each channel (down) or each row and channel
        // (across); the fast pass after each slice of at most 4 M multiply-adds.
        const int64_t work = int64_t{area.Width()} * area.Height() * 3 * length;
        EXPECT_GE(checks[0], std::min<int64_t>(checks[1], work >> 22)) << (down ? "down" : "across");
        EXPECT_GE(checks[0], 3) << (down ? "down" : "across");
    }
}
