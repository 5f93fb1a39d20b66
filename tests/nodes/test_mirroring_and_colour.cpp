// Edge reflection and colour-space nodes against independent formulas, in
// every output format, and under injected faults.
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_ColourTransforms.h"
#include "imagelib/nodes/ImageLib_Mirroring.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using namespace ImageLib_Resampling;
using NodePtr = std::unique_ptr<ImageLib_ComputeNode>;

using testimages::WithChannels;
using testnodes::FieldNode;

const ImageLib_PixelFormat kRgbFloat = ImageLib_FloatFormat(WithChannels(ImageLib_HostFormat8(), 3));
const ImageLib_PixelFormat kRgb8 = WithChannels(ImageLib_HostFormat8(), 3);
const ImageLib_PixelFormat kRgb16 = WithChannels(ImageLib_HostFormat16(), 3);

std::vector<uint8_t> ScrambledBytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((i * 2654435761u + seed * 40503u) >> 11);
    return bytes;
}

// The value an integer output holds for v: v rounded as the float view writes it.
float Stored(double v, const ImageLib_PixelFormat& format) {
    if (format.sampleType == ImageLib_SampleFloat) return static_cast<float>(v);
    return static_cast<float>(std::floor(v * format.maxValue + 0.5) / format.maxValue);
}

using ReflectionTest = testimages::NodeTest;
using ColorspaceTest = testimages::NodeTest;
using RGB2HSVTest = testimages::NodeTest;

// Output (x, y) holds, byte for byte, the input pixel at the mirrored position.
TEST_F(ReflectionTest, EveryPixelComesFromItsMirroredPosition) {
    auto mirror = [](int64_t u, int64_t n) {
        const int64_t tile = static_cast<int64_t>(std::floor(static_cast<double>(u) / static_cast<double>(n)));
        return tile % 2 == 0 ? u - tile * n : n - 1 - (u - tile * n);
    };
    const ImageLib_Rect cases[][2] = {                                                  // input bounds, request
                                      {{5, -3, 9, 2, false}, {-10, -12, 20, 9, false}}, // an even width
                                      {{5, -3, 8, 2, false}, {100, 50, 104, 53, false}},
                                      {{5, -3, 8, 2, false}, {6, -2, 8, 1, false}},
                                      {{-7, 4, -6, 6, false}, {-12, -3, 2, 8, false}}};
    for (const ImageLib_PixelFormat& format : {ImageLib_HostFormat8(), ImageLib_HostFormat16(), kRgbFloat}) {
        for (const auto& [in, request] : cases) {
            const size_t pixel = format.bytesPerPixel;
            ImageLib_ImageBuffer image(format, in);
            const std::vector<uint8_t> bytes = ScrambledBytes(in.Width() * in.Height() * pixel, format.bytesPerPixel);
            testnodes::WriteBytes(image, bytes);
            NodePtr source(ImageLib_BasicNodes::CreateImageNode(&image));
            NodePtr node(CreateReflectionNode(source.get()));
            ImageLib_ImageBuffer output(format, request);
            ImageLib_Evaluate(*node, output, request, 7, 3);
            const std::vector<uint8_t> out = testnodes::ReadBytes(output);
            size_t at = 0;
            for (int32_t y = request.y0; y < request.y1; ++y) {
                for (int32_t x = request.x0; x < request.x1; ++x, at += pixel) {
                    const int64_t from = mirror(y - in.y0, in.Height()) * in.Width() + mirror(x - in.x0, in.Width());
                    ASSERT_EQ(std::memcmp(&out[at], &bytes[from * pixel], pixel), 0)
                        << "type " << format.sampleType << " at " << x << "," << y;
                }
            }
        }
    }
}

// An infinite input is passed the request unchanged. An input with finite,
// empty bounds has nothing to mirror: the node must not divide by its zero
// width or height, ask its input for anything or write.
TEST_F(ReflectionTest, InfiniteAndEmptyInputs) {
    testnodes::PatternNode plane;
    NodePtr passing(CreateReflectionNode(&plane));
    ImageLib_ImageBuffer output(ImageLib_FloatFormat(ImageLib_HostFormat16()), {3, 4, 9, 8, false});
    passing->Compute(output, output.bounds);
    EXPECT_EQ(plane.requests, std::vector<ImageLib_Rect>{output.bounds});
    const std::vector<float> values = testnodes::ReadFloats(output);
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(values[i], testnodes::Pattern(3 + static_cast<int32_t>(i / 4 % 6), 4 + static_cast<int32_t>(i / 24),
                                                static_cast<uint32_t>(i % 4)));

    for (const ImageLib_Rect& empty : {ImageLib_Rect{5, 5, 5, 9, false}, ImageLib_Rect{4, 4, 0, 0, false}}) {
        testnodes::PatternNode source(empty);
        NodePtr node(CreateReflectionNode(&source));
        EXPECT_TRUE(node->GetBounds().IsEmpty());
        ImageLib_ImageBuffer bytes(ImageLib_HostFormat8(), {0, 0, 4, 4, false});
        testnodes::WriteBytes(bytes, ScrambledBytes(64, 1));
        node->Compute(bytes, bytes.bounds);
        ImageLib_Evaluate(*node, bytes, bytes.bounds, 0, 0);
        EXPECT_TRUE(source.requests.empty());
        EXPECT_EQ(testnodes::ReadBytes(bytes), ScrambledBytes(64, 1));
    }
}

ImageLib_Matrix FromRows(const float (&rows)[3][3]) {
    ImageLib_Matrix matrix(3, 3);
    for (uint32_t r = 0; r < 3; ++r)
        for (uint32_t c = 0; c < 3; ++c) matrix.Element(r, c) = rows[r][c];
    return matrix;
}

// Products chosen with a fractional part, so that truncation cannot flip on
// rounding; two are negative and wrap as the format's conversion does.
TEST_F(ColorspaceTest, AppliesTheMatrixInEachFormat) {
    const float rows[3][3] = {{0.5f, 0.25f, -0.25f}, {0.125f, 0.5f, 0.25f}, {-0.25f, 0.125f, 0.5f}};
    const double samples[4][3] = {{10, 200, 30}, {0, 0, 201}, {255, 255, 255}, {17, 3, 90}};
    for (const ImageLib_PixelFormat& format : {kRgbFloat, kRgb8, kRgb16}) {
        const bool isFloat = format.sampleType == ImageLib_SampleFloat;
        const double scale = isFloat ? 255.0 : format.maxValue; // float pixels hold what 8-bit ones stand for
        FieldNode source([&](int32_t x, int32_t, uint32_t c) { return static_cast<float>(samples[x][c] / scale); });
        NodePtr node(CreateColorspaceNode(FromRows(rows), &source));
        ImageLib_ImageBuffer output(format, {0, 0, 4, 1, false});
        ImageLib_Evaluate(*node, output, output.bounds, 0, 0);
        const std::vector<float> values = testnodes::ReadFloats(output);
        for (int p = 0; p < 4; ++p) {
            for (int r = 0; r < 3; ++r) {
                double sum = 0.0;
                for (int c = 0; c < 3; ++c) sum += rows[r][c] * samples[p][c];
                if (isFloat) {
                    EXPECT_NEAR(values[p * 3 + r], sum / scale, 1e-6) << p << "," << r;
                    continue;
                }
                ASSERT_GT(std::fabs(sum - std::round(sum)), 0.05);
                const int64_t modulus = int64_t{1} << (8 * format.bytesPerChannel);
                const int64_t sample = (static_cast<int64_t>(sum) % modulus + modulus) % modulus;
                EXPECT_EQ(values[p * 3 + r], static_cast<float>(sample / scale)) << p << "," << r;
            }
        }
    }
}

// A matrix smaller than the pixel, or fewer than three channels for hue,
// would read past the data: both are refused before the input is asked.
TEST_F(ColorspaceTest, RejectsPixelsTheTransformDoesNotCover) {
    FieldNode source([](int32_t, int32_t, uint32_t) { return 0.5f; });
    NodePtr small(CreateColorspaceNode(ImageLib_Matrix(2, 2), &source));
    NodePtr hue(CreateRGB2HSVNode(&source));
    ImageLib_ImageBuffer rgb(kRgbFloat, {0, 0, 2, 2, false});
    ImageLib_ImageBuffer two(ImageLib_FloatFormat(WithChannels(ImageLib_HostFormat8(), 2)), {0, 0, 2, 2, false});
    EXPECT_THROW(small->Compute(rgb, rgb.bounds), std::invalid_argument);
    EXPECT_THROW(hue->Compute(two, two.bounds), std::invalid_argument);
    EXPECT_TRUE(source.requests.empty());
}

TEST_F(RGB2HSVTest, ConvertsColoursInEveryFormat) {
    struct Case {
        float rgb[3];
        double hsv[3];
        bool integerSafe; // no rounding tie when stored in 8 or 16 bits
    } cases[] = {
        {{1, 0, 0}, {0, 1, 1}, true},
        {{0, 1, 0}, {1.0 / 3, 1, 1}, true},
        {{0, 0, 1}, {2.0 / 3, 1, 1}, false},
        {{1, 0, 1}, {5.0 / 6, 1, 1}, false},
        {{1, 1, 0}, {1.0 / 6, 1, 1}, false},
        {{0.25f, 0.5f, 0.5f}, {0.5, 0.5, 0.5}, false},
        {{0.6f, 0.6f, 0.6f}, {0, 0, 0.6}, true},
        {{0, 0, 0}, {0, 0, 0}, true},
        {{-0.2f, -0.1f, -0.3f}, {0, 0, 0}, false},
        {{1, 0, 1e-9f}, {1.0 - 1e-9 / 6, 1, 1}, false}, // a hair below a full turn: hue must stay below 1
    };
    const int count = sizeof(cases) / sizeof(cases[0]);
    const ImageLib_PixelFormat withAlpha = ImageLib_FloatFormat(ImageLib_HostFormat8());
    for (const ImageLib_PixelFormat& format : {withAlpha, kRgb8, kRgb16}) {
        const bool isFloat = format.sampleType == ImageLib_SampleFloat;
        FieldNode source([&](int32_t x, int32_t, uint32_t c) { return c < 3 ? cases[x].rgb[c] : 0.77f; });
        NodePtr node(CreateRGB2HSVNode(&source));
        ImageLib_ImageBuffer output(format, {0, 0, count, 1, false});
        ImageLib_Evaluate(*node, output, output.bounds, 0, 0);
        const std::vector<float> values = testnodes::ReadFloats(output);
        const uint32_t n = format.channels;
        for (int i = 0; i < count; ++i) {
            if (isFloat) {
                for (int c = 0; c < 3; ++c) EXPECT_NEAR(values[i * n + c], cases[i].hsv[c], 1e-6) << i << "," << c;
                EXPECT_LT(values[i * n], 1.0f) << i;
                EXPECT_EQ(values[i * n + 3], 0.77f) << "sample beyond blue changed in case " << i;
            } else if (cases[i].integerSafe) {
                for (int c = 0; c < 3; ++c)
                    EXPECT_EQ(values[i * n + c], Stored(cases[i].hsv[c], format)) << format.sampleType << " " << i;
            }
        }
    }
}

} // namespace
