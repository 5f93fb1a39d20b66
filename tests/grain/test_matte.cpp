#include "grain/BlendingMatte.h"
#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_Drawing.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

namespace {

using testimages::NodeTest;
using Matte = NodeTest;
using Pixel = std::array<float, 4>; // alpha, red, green, blue

constexpr ImageLib_Rect kFrame{0, 0, 16, 8, false};

// An 8-bit host image whose pixels come from `pixel(x, y)`.
std::unique_ptr<ImageLib_ImageBuffer> HostImage(const std::function<Pixel(int32_t, int32_t)>& pixel) {
    auto image = std::make_unique<ImageLib_ImageBuffer>(ImageLib_HostFormat8(), kFrame);
    testimages::Fill(*image, [&](int32_t x, int32_t y, uint32_t c) { return pixel(x, y)[c]; });
    return image;
}

// The matte, one value per pixel (channel 0 of a three-channel float evaluation).
std::vector<float> MatteOf(const MatteSettings& settings) {
    std::unique_ptr<ImageLib_NodePipeline> matte(BuildBlendingMatte(settings));
    ImageLib_ImageBuffer output(testimages::FloatFormat(3), kFrame);
    ImageLib_Evaluate(*matte, output, kFrame, 0, 3);
    const std::vector<float> all = testnodes::ReadFloats(output);
    std::vector<float> values;
    for (size_t i = 0; i < all.size(); i += 3) {
        EXPECT_EQ(all[i], all[i + 1]);
        EXPECT_EQ(all[i], all[i + 2]);
        values.push_back(all[i]);
    }
    return values;
}

TEST_F(Matte, WithoutSourcesTheGrainPassesWhateverTheAmount) {
    MatteSettings settings;
    settings.amount = 1.0f;
    for (float v : MatteOf(settings)) EXPECT_EQ(v, 0.0f);
    const float grainy[3] = {0.9f, 0.1f, 0.4f}, clean[3] = {0.2f, 0.3f, 0.5f};
    ImageLib_Drawing::SolidNode grain(grainy, 3), original(clean, 3);
    std::unique_ptr<ImageLib_NodePipeline> mix(BuildApplicationNode(settings));
    mix->SetInput(0, &grain);
    mix->SetInput(1, &original);
    ImageLib_ImageBuffer output(testimages::FloatFormat(3), kFrame);
    ImageLib_Evaluate(*mix, output, kFrame, 0, 0);
    const std::vector<float> got = testnodes::ReadFloats(output);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], grainy[i % 3]);
}

TEST_F(Matte, BothMattesCombineByMultiplyOrScreen) {
    auto source = HostImage([](int32_t x, int32_t) {
        return x < 8 ? Pixel{1.0f, 0.6f, 0.4f, 0.2f} : Pixel{1.0f, 0.0f, 0.9f, 0.9f};
    });
    auto mask = HostImage([](int32_t, int32_t y) {
        const float v = y < 4 ? 1.0f : 0.2f;
        return Pixel{1.0f, v, v, v};
    });
    MatteSettings settings;
    settings.matchSource = source.get();
    settings.matchColour = {0.6f, 0.4f, 0.2f};
    settings.tolerance = 0.1f;
    settings.mask = mask.get();
    for (CombineMode combine : {CombineMode::Multiply, CombineMode::Screen}) {
        settings.combineMode = combine;
        const std::vector<float> matte = MatteOf(settings);
        for (int32_t y = 0; y < 8; ++y)
            for (int32_t x = 0; x < 16; ++x) {
                const float m = x < 8 ? 1.0f : 0.0f;
                const float k = y < 4 ? 1.0f : 0.2f;
                const float expected = combine == CombineMode::Multiply ? m * k : 1.0f - (1.0f - m) * (1.0f - k);
                EXPECT_NEAR(matte[static_cast<size_t>(y * 16 + x)], expected, 2.0f / 255) << x << "," << y;
            }
    }
}

TEST_F(Matte, BlurKernelTapsAndShape) {
    struct Case {
        float blur;
        uint32_t taps;
    } cases[] = {{1.0f, 9}, {2.5f, 9}, {3.4f, 10}, {10.0f, 30}};
    for (const Case& c : cases) {
        const ImageLib_Kernel k = MatteBlurKernel(c.blur);
        EXPECT_EQ(k.width, c.taps);
        EXPECT_EQ(k.height, 1u);
        EXPECT_NEAR(k.Sum(), 1.0f, 1e-6f);
        EXPECT_NEAR(k.At(1, 0) / k.At(0, 0), std::exp(-0.5f / (c.blur * c.blur)), 1e-6f);
    }
}

TEST_F(Matte, ReferenceHue) {
    struct Case {
        std::array<float, 3> rgb, hsv;
    } cases[] = {
        {{1, 0, 0}, {0, 1, 1}},
        {{0.5f, 0.5f, 0.5f}, {0, 0, 0.5f}},
        {{0, 1, 0}, {1.0f / 3, 1, 1}},
        {{0, 0, 0.5f}, {2.0f / 3, 1, 0.5f}},
        {{1, 0, 0.5f}, {1.0f - 0.5f / 6, 1, 1}},
        {{0, 0, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        const std::array<float, 3> hsv = MatchColorToHsv(c.rgb);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(hsv[i], c.hsv[i], 1e-6f) << c.rgb[0] << "," << c.rgb[1] << "," << c.rgb[2];
    }
    EXPECT_LT(MatchColorToHsv({1.0f, 0.0f, 1e-7f})[0], 1.0f);
}

// Every match mode against an independent double-precision matte, with the
// matte stored in 8-bit, 16-bit and float outputs: transformed values (negative
// chroma, averages, hues) must not be cut to the output's integers first, and
// hues near red must be near each other across 0 degrees.
TEST_F(Matte, EveryMatchModeInEveryOutputFormat) {
    // Colours of an 8-bit layer: a blue-ish grey, reds either side of 0 degrees, a hue sweep.
    std::vector<std::array<int, 3>> colours = {{77, 77, 204}, {255, 0, 5}, {255, 5, 0}, {250, 10, 30}, {128, 128, 128}};
    for (int i = 0; i < 11; ++i) {
        const double h = i / 11.0 * 6.0, f = h - std::floor(h);
        const int q = static_cast<int>(255 * (1 - f)), t = static_cast<int>(255 * f);
        const std::array<int, 3> sweep[] = {{255, t, 0}, {q, 255, 0}, {0, 255, t},
                                            {0, q, 255}, {t, 0, 255}, {255, 0, q}};
        colours.push_back(sweep[static_cast<int>(h)]);
    }
    auto source = HostImage([&](int32_t x, int32_t y) {
        const std::array<int, 3>& c = colours[static_cast<size_t>(y * 16 + x) % colours.size()];
        return Pixel{1.0f, c[0] / 255.0f, c[1] / 255.0f, c[2] / 255.0f};
    });
    // The transform of each mode, and the matte from a transformed pixel and reference.
    const auto transform = [](int mode, std::array<double, 3> rgb) -> std::array<double, 3> {
        const double chroma[3][3] = {{0, 0, 0}, {0.596, -0.275, -0.321}, {0.212, -0.523, 0.311}};
        std::array<double, 3> out{};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                const double m = mode == 1   ? 1.0 / 3
                                 : mode == 2 ? chroma[r][c]
                                 : mode >= 4 ? (c == mode - 4)
                                             : (r == c);
                out[r] += m * rgb[c];
            }
        if (mode == 3) {
            const double mx = std::max({rgb[0], rgb[1], rgb[2]}), mn = std::min({rgb[0], rgb[1], rgb[2]});
            double h = 0.0;
            if (mx > mn) {
                h = rgb[0] == mx   ? (rgb[1] - rgb[2]) / (mx - mn)
                    : rgb[1] == mx ? (rgb[2] - rgb[0]) / (mx - mn) + 2
                                   : (rgb[0] - rgb[1]) / (mx - mn) + 4;
                h = h < 0 ? h / 6 + 1 : h / 6;
            }
            out = {h, mx > 0 ? (mx - mn) / mx : 0.0, mx};
        }
        return out;
    };
    const double tolerance = 0.1, softness = 0.2;
    for (const std::array<int, 3>& wanted : {std::array<int, 3>{77, 77, 204}, std::array<int, 3>{255, 0, 3}}) {
        for (int mode = 0; mode <= 6; ++mode) {
            MatteSettings settings;
            settings.matchSource = source.get();
            settings.matchColour = {wanted[0] / 255.0f, wanted[1] / 255.0f, wanted[2] / 255.0f};
            settings.matchMode = static_cast<MatchMode>(mode);
            settings.tolerance = static_cast<float>(tolerance);
            settings.softness = static_cast<float>(softness);
            // Every mode inverted too, with the second colour.
            settings.invert = wanted[0] == 255;
            const std::array<double, 3> reference =
                transform(mode, {wanted[0] / 255.0, wanted[1] / 255.0, wanted[2] / 255.0});
            for (const ImageLib_PixelFormat& format :
                 {ImageLib_Alpha::FormatWithAlphaRemoved(ImageLib_HostFormat8()),
                  ImageLib_Alpha::FormatWithAlphaRemoved(ImageLib_HostFormat16()), testimages::FloatFormat(3)}) {
                std::unique_ptr<ImageLib_NodePipeline> matte(BuildBlendingMatte(settings));
                ImageLib_ImageBuffer output(format, kFrame);
                ImageLib_Evaluate(*matte, output, kFrame, 0, 0);
                const std::vector<float> got = testnodes::ReadFloats(output);
                const double step = format.sampleType == ImageLib_SampleFloat ? 1e-5 : 1.0 / format.maxValue;
                for (int32_t i = 0; i < 16 * 8; ++i) {
                    const std::array<int, 3>& c = colours[static_cast<size_t>(i) % colours.size()];
                    const std::array<double, 3> value = transform(mode, {c[0] / 255.0, c[1] / 255.0, c[2] / 255.0});
                    double sum = 0.0;
                    for (int k = 0; k < 3; ++k) {
                        double d = std::fabs(value[k] - reference[k]);
                        if (mode == 3 && k == 0) d = std::min(d, 1.0 - d);
                        sum += d * d;
                    }
                    const double excess = sum / 3 - tolerance * tolerance;
                    const double matte = excess < 0 ? 1.0 : std::max(0.0, 1.0 - excess / (softness * softness));
                    const double expected = settings.invert ? 1.0 - matte : matte;
                    ASSERT_NEAR(got[static_cast<size_t>(i) * 3], expected, step + 2e-5)
                        << "mode " << mode << ", colour " << c[0] << "," << c[1] << "," << c[2] << ", matching "
                        << wanted[0] << "," << wanted[1] << "," << wanted[2] << ", bytes per sample "
                        << format.bytesPerChannel;
                }
            }
        }
    }
}

TEST(MatteFailures, EveryAllocationAndAbortLeavesNothingBehind) {
    auto run = [](ImageLib_TestCallbacks& callbacks) {
        ImageLib_Context context(&callbacks);
        auto source = HostImage([](int32_t x, int32_t y) {
            return Pixel{1.0f, 0.1f * static_cast<float>(x % 8), 0.5f, 0.1f * static_cast<float>(y)};
        });
        MatteSettings settings;
        settings.matchSource = source.get();
        settings.matchMode = MatchMode::Hue;
        settings.mask = source.get();
        settings.blur = 1.5f;
        MatteOf(settings);
    };
    testimages::ExpectCleanFailures(run);
}

} // namespace
