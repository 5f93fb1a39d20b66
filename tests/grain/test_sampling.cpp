#include "grain/NoiseSampling.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "tests/support/GrainPlates.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <utility>
#include <vector>

namespace {

using testimages::NodeTest;
using NoiseSampling = NodeTest;

using PixelFunction = testnodes::Field;
using FunctionNode = testnodes::FieldNode;

// A layer whose every pixel is computed on request, so that measuring a patch never touches
// more than the patch (as a host layer's access does).
FunctionNode MakeLayer(int32_t width, int32_t height, const PixelFunction& value) {
    return FunctionNode(value, {0, 0, width, height, false});
}

SampleSelection Selection(int32_t count, int32_t width, int32_t height) {
    SampleSelection selection;
    selection.sampleCount = count;
    selection.sampleWidth = width;
    selection.sampleHeight = height;
    selection.format = testimages::FloatFormat(3);
    return selection;
}

std::vector<SampleRect> Select(const SampleSelection& selection, ImageLib_ComputeNode& layer, bool refined = false,
                               SampleSelectionCounts* counts = nullptr) {
    SampleSet samples;
    if (refined)
        SelectSamplesRefined(selection, layer, samples, counts);
    else
        SelectSamplesAutomatically(selection, layer, samples, counts);
    return {samples.begin(), samples.end()};
}

bool Inside(const SampleRect& rect, const ImageLib_Rect& area) { return ImageLib_Rect::Intersect(rect, area) == rect; }

// Grain of deviation 0.02 in all channels, correlated, on a flat grey unless a picture is given.
grainplates::PlateRecipe GrainyRecipe(int32_t width, int32_t height, uint64_t seed) {
    grainplates::PlateRecipe recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.shapes = {{{1.0, 1.0, 0.0}, {1.0, 1.0, 0.0}, {1.0, 1.0, 0.0}}};
    recipe.mix = grainplates::MixWithStrengths({1, 0, 0, 0.5, 1, 0, 0.2, 0.3, 1}, {0.02, 0.02, 0.02});
    recipe.seed = seed;
    return recipe;
}

// Mean and variance of a patch averaged over the channels, in double from the layer's own values.
struct Statistics {
    double mean = 0.0;
    double variance = 0.0;
};

Statistics PatchStatistics(const PixelFunction& value, const SampleRect& rect) {
    Statistics total;
    const double count = static_cast<double>(rect.Width()) * rect.Height();
    for (uint32_t c = 0; c < 3; ++c) {
        double sum = 0.0, squares = 0.0;
        for (int32_t y = rect.y0; y < rect.y1; ++y)
            for (int32_t x = rect.x0; x < rect.x1; ++x) sum += value(x, y, c);
        const double mean = sum / count;
        for (int32_t y = rect.y0; y < rect.y1; ++y)
            for (int32_t x = rect.x0; x < rect.x1; ++x) squares += (value(x, y, c) - mean) * (value(x, y, c) - mean);
        total.mean += mean / 3.0;
        total.variance += squares / count / 3.0;
    }
    return total;
}

TEST_F(NoiseSampling, ScoreIsVarianceOverDistanceFromBlackOrWhite) {
    struct Case {
        float mean;
        float variance;
        float score;
    } cases[] = {
        {0.0f, 0.3f, 1.0f}, {1.0f, 0.3f, 1.0f},    {0.25f, 0.01f, 0.04f}, {0.75f, 0.01f, 0.04f}, {0.5f, 0.01f, 0.02f},
        {0.1f, 0.0f, 0.0f}, {0.9f, 0.002f, 0.02f}, {0.4f, 0.004f, 0.01f}, {0.0f, 0.0f, 1.0f},    {1.0f, 0.0f, 1.0f},
    };
    for (const Case& c : cases) {
        SampleCandidate candidate{{0, 0, 1, 1, false}, c.mean, c.variance};
        EXPECT_NEAR(candidate.Score(), c.score, 1e-6f) << c.mean << " " << c.variance;
    }
}

TEST_F(NoiseSampling, VarianceNodePassesPixelsAndAccumulatesUntilReset) {
    const PixelFunction value = [](int32_t x, int32_t y, uint32_t c) {
        return 0.25f * static_cast<float>(c) + 0.01f * static_cast<float>((x * 7 + y * 3) % 11);
    };
    FunctionNode layer = MakeLayer(20, 12, value);
    VarianceNode variance(&layer);
    EXPECT_EQ(variance.GetBounds(), (ImageLib_Rect{0, 0, 20, 12, false}));

    struct Case {
        std::vector<ImageLib_Rect> regions; // computed in turn without a reset
    } cases[] = {
        {{{0, 0, 20, 12, false}}},
        {{{3, 2, 9, 5, false}}},
        {{{0, 0, 5, 5, false}, {10, 4, 20, 12, false}}},
        {{{4, 4, 5, 5, false}, {4, 4, 5, 5, false}}},
    };
    for (const Case& c : cases) {
        variance.Reset();
        double sum[3] = {}, squares[3] = {}, count = 0.0;
        for (const ImageLib_Rect& region : c.regions) {
            ImageLib_ImageBuffer output(testimages::FloatFormat(3), region);
            variance.Compute(output, region);
            const std::vector<float> got = testnodes::ReadFloats(output);
            for (int32_t y = region.y0; y < region.y1; ++y)
                for (int32_t x = region.x0; x < region.x1; ++x)
                    for (uint32_t ch = 0; ch < 3; ++ch) {
                        ASSERT_EQ(testimages::At(got, region, 3, x, y, ch), value(x, y, ch));
                        sum[ch] += value(x, y, ch);
                        squares[ch] += static_cast<double>(value(x, y, ch)) * value(x, y, ch);
                    }
            count += static_cast<double>(region.Width()) * region.Height();
        }
        for (uint32_t ch = 0; ch < 3; ++ch) {
            const double mean = sum[ch] / count;
            EXPECT_NEAR(variance.Mean(ch), mean, 1e-6);
            EXPECT_NEAR(variance.Variance(ch), std::max(0.0, squares[ch] / count - mean * mean), 1e-6);
        }
        EXPECT_EQ(variance.Mean(3), 0.0f);
        EXPECT_EQ(variance.Variance(3), 0.0f);
    }
    variance.Reset();
    EXPECT_EQ(variance.Mean(0), 0.0f);
    EXPECT_EQ(variance.Variance(0), 0.0f);
}

TEST_F(NoiseSampling, VarianceNodeReportsZeroForChannelsWithoutPixels) {
    FunctionNode layer = MakeLayer(4, 4, [](int32_t, int32_t, uint32_t) { return 0.5f; });
    VarianceNode variance(&layer);
    ImageLib_ImageBuffer output(testimages::FloatFormat(3), {0, 0, 4, 4, false});
    variance.Compute(output, {2, 2, 2, 4, false});
    for (uint32_t c = 0; c < 3; ++c) {
        EXPECT_EQ(variance.Mean(c), 0.0f);
        EXPECT_EQ(variance.Variance(c), 0.0f);
    }
    // A constant patch has no variance, never a small negative one from rounding.
    variance.Compute(output, {0, 0, 4, 4, false});
    for (uint32_t c = 0; c < 3; ++c) {
        EXPECT_EQ(variance.Mean(c), 0.5f);
        EXPECT_EQ(variance.Variance(c), 0.0f);
    }
}

TEST_F(NoiseSampling, UniformGreyKeepsGridOrder) {
    struct Case {
        int32_t width, height, size, count;
    } cases[] = {
        {100, 90, 16, 5},  // steps of 4
        {100, 90, 16, 10}, // steps of 4, more samples
        {200, 60, 24, 20}, // beyond the first column
        {41, 41, 24, 3},   // steps of 1
        {33, 50, 16, 20},  // exactly 17 wider than the sample: the columns lie one pixel apart
    };
    for (const Case& c : cases) {
        FunctionNode layer = MakeLayer(c.width, c.height, [](int32_t, int32_t, uint32_t) { return 0.5f; });
        const std::vector<SampleRect> got = Select(Selection(c.count, c.size, c.size), layer);
        const int32_t stepX = (c.width - c.size) / 17, stepY = (c.height - c.size) / 17;
        ASSERT_EQ(got.size(), static_cast<size_t>(c.count));
        for (int32_t k = 0; k < c.count; ++k) {
            const int32_t left = stepX / 2 + (k / 16) * stepX, top = stepY / 2 + (k % 16) * stepY;
            EXPECT_EQ(got[k], (SampleRect{left, top, left + c.size, top + c.size, false}))
                << c.width << "x" << c.height << " sample " << k;
        }
    }
}

TEST_F(NoiseSampling, PictureDetailStaysOutOfTheSamples) {
    // Texture with its own variance far above the grain's in every patch.
    const auto edges = [](int32_t x, int32_t y) { return ((x / 9) + (y / 7)) % 2 ? 0.7f : 0.3f; };
    const auto waves = [](int32_t x, int32_t y) {
        const double t = 2.0 * std::numbers::pi;
        return static_cast<float>(0.5 + 0.2 * std::sin(t * x / 11.0) + 0.15 * std::cos(t * (x + 2 * y) / 17.0));
    };
    const auto both = [&](int32_t x, int32_t y) { return 0.5f * (edges(x, y) + waves(x, y)); };
    const std::function<float(int32_t, int32_t)> textures[] = {edges, waves, both};
    struct Case {
        int32_t size, count;
        bool textureLeft;
    } cases[] = {{24, 8, true}, {24, 8, false}, {16, 10, true}, {16, 10, false}};
    constexpr int32_t kWidth = 240, kHeight = 128;
    uint64_t seed = 11;
    for (const auto& texture : textures) {
        for (const Case& c : cases) {
            grainplates::PlateRecipe recipe = GrainyRecipe(kWidth, kHeight, ++seed);
            const bool left = c.textureLeft;
            recipe.picture = [&texture, left](int32_t x, int32_t y, uint32_t) {
                return (x < kWidth / 2) == left ? texture(x, y) : 0.5f;
            };
            const grainplates::Plate plate(recipe);
            grainplates::PlateNode layer(plate);
            const std::vector<SampleRect> got = Select(Selection(c.count, c.size, c.size), layer);
            ASSERT_EQ(got.size(), static_cast<size_t>(c.count));
            const ImageLib_Rect flat = left ? ImageLib_Rect{kWidth / 2, 0, kWidth, kHeight, false}
                                            : ImageLib_Rect{0, 0, kWidth / 2, kHeight, false};
            for (const SampleRect& rect : got)
                EXPECT_TRUE(Inside(rect, flat)) << rect.x0 << "," << rect.y0 << " texture left " << left;
        }
    }
}

// The refined selection keeps texture out too, takes samples typical of the grain rather than the
// quietest, and keeps a bright sky when it is the only flat area.
TEST_F(NoiseSampling, RefinedSamplesAreFlatTypicalAndMayBeBright) {
    constexpr int32_t kWidth = 480, kHeight = 256;
    const auto texture = [](int32_t x, int32_t y) {
        const double t = 2.0 * std::numbers::pi;
        return static_cast<float>(((x / 9) + (y / 7)) % 2 ? 0.6 : 0.35) +
               static_cast<float>(0.08 * std::sin(t * x / 11.0) * std::cos(t * y / 13.0));
    };
    struct Case {
        const char* what;
        std::function<float(int32_t, int32_t)> picture;
        ImageLib_Rect flat; // where every sample must lie
    } cases[] = {
        {"texture on the left",
         [&](int32_t x, int32_t y) { return x < kWidth / 2 ? texture(x, y) : 0.5f; },
         {kWidth / 2, 0, kWidth, kHeight, false}},
        {"a bright sky over texture",
         [&](int32_t x, int32_t y) { return y < 96 ? 0.93f : texture(x, y); },
         {0, 0, kWidth, 96, false}},
        // Most of a real scan is picture, here a fine weave a little stronger than the grain
        // (its variance 2 to 10 times the grain's), so that neither the typical window nor a
        // multiple of the quieter quarter's variance tells grain from picture; the weave's
        // neighbour differences do.
        {"a faint weave over four fifths",
         [&](int32_t x, int32_t y) {
             if (x >= 384) return 0.45f;
             const float amplitude = 0.057f + 0.07f * static_cast<float>(x) / 384.0f;
             return 0.45f + amplitude * (((x / 3) + (y / 3)) % 2 ? 0.5f : -0.5f);
         },
         {384, 0, kWidth, kHeight, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        grainplates::PlateRecipe recipe = GrainyRecipe(kWidth, kHeight, 41);
        recipe.picture = [&c](int32_t x, int32_t y, uint32_t) { return c.picture(x, y); };
        const grainplates::Plate plate(recipe);
        grainplates::PlateNode layer(plate);
        SampleSelectionCounts counts;
        const std::vector<SampleRect> got = Select(Selection(8, 24, 24), layer, true, &counts);
        ASSERT_GE(got.size(), 4u);
        // Vector registers hold the same lanes as the portable code: the same samples.
        ASSERT_TRUE(SelectSimdPath(SimdPath::Plain));
        const std::vector<SampleRect> portable = Select(Selection(8, 24, 24), layer, true);
        SelectSimdPath(WidestSimdPath());
        EXPECT_EQ(portable, got);
        EXPECT_GT(counts.textured, 0);
        EXPECT_EQ(counts.chosen, static_cast<int32_t>(got.size()));
        for (const SampleRect& rect : got) {
            EXPECT_TRUE(Inside(rect, c.flat)) << rect.x0 << "," << rect.y0;
            EXPECT_EQ(rect.Width(), kRefinedWindow);
            for (const SampleRect& other : got)
                if (&other != &rect) {
                    EXPECT_TRUE(ImageLib_Rect::Intersect(rect, other).IsEmpty());
                }
        }
    }
    // Grain weaker in a band, as film's is in its shadows: the classic selection goes for the
    // quietest patches, the refined one for patches typical of the plate.
    grainplates::PlateRecipe recipe = GrainyRecipe(kWidth, kHeight, 43);
    const grainplates::Plate plate(recipe);
    const auto value = [&plate](int32_t x, int32_t y, uint32_t c) {
        const float grain = plate.Grain(x, y, c);
        return 0.5f + (x < 96 ? 0.6f * grain : grain);
    };
    FunctionNode layer = MakeLayer(kWidth, kHeight, value);
    for (bool refined : {false, true}) {
        const std::vector<SampleRect> got = Select(Selection(4, 24, 24), layer, refined);
        int32_t quiet = 0;
        for (const SampleRect& rect : got) quiet += rect.x1 <= 96;
        if (refined)
            EXPECT_EQ(quiet, 0);
        else
            EXPECT_EQ(quiet, static_cast<int32_t>(got.size()));
    }
}

TEST_F(NoiseSampling, NearBlackAndNearWhiteAreasAreFilteredOut) {
    // Strong checkers over most of the layer spread the brightness statistics so wide that only
    // the fixed limits 0.05 and 0.95 remain; the flat dark and light blocks have no variance and
    // would score best without them.
    struct Case {
        float dark, light;
    } cases[] = {{0.03f, 0.97f}, {0.045f, 0.955f}, {0.0f, 1.0f}};
    constexpr int32_t kSize = 200;
    const ImageLib_Rect dark{0, 0, 70, 70, false}, light{130, 130, 200, 200, false}, grey{130, 0, 200, 70, false};
    for (const Case& c : cases) {
        const grainplates::Plate plate(GrainyRecipe(kSize, kSize, 5));
        FunctionNode layer = MakeLayer(kSize, kSize, [&](int32_t x, int32_t y, uint32_t ch) {
            if (dark.Contains(x, y)) return c.dark;
            if (light.Contains(x, y)) return c.light;
            if (grey.Contains(x, y)) return plate.At(x, y, ch);
            return (x + y) % 2 ? 0.85f : 0.15f;
        });
        const std::vector<SampleRect> got = Select(Selection(10, 16, 16), layer);
        ASSERT_EQ(got.size(), 10u);
        for (const SampleRect& rect : got) EXPECT_TRUE(Inside(rect, grey)) << rect.x0 << "," << rect.y0;
    }
}

TEST_F(NoiseSampling, MoreSamplesWantedThanSurviveGivesAllSurvivorsInScoreOrder) {
    const grainplates::Plate plate(GrainyRecipe(60, 60, 3));
    grainplates::PlateNode layer(plate);
    const PixelFunction value = [&](int32_t x, int32_t y, uint32_t c) { return plate.At(x, y, c); };
    struct Case {
        int32_t count;
        size_t expected;
    } cases[] = {{256, 256}, {300, 256}, {1000, 256}};
    for (const Case& c : cases) {
        const std::vector<SampleRect> got = Select(Selection(c.count, 8, 8), layer);
        ASSERT_EQ(got.size(), c.expected);
        double previous = -1.0;
        for (const SampleRect& rect : got) {
            ASSERT_TRUE(Inside(rect, {0, 0, 60, 60, false}));
            const Statistics s = PatchStatistics(value, rect);
            const double score = s.variance / (s.mean < 0.5 ? s.mean : 1.0 - s.mean);
            EXPECT_GE(score, previous * (1.0 - 1e-4));
            previous = score;
        }
    }
}

TEST_F(NoiseSampling, AllFilteredOrLayerTooSmallGivesTheClippedFallback) {
    struct Case {
        int32_t width, height, size;
        float level;
        SampleRect expected;
    } cases[] = {
        {20, 10, 32, 0.5f, {0, 0, 20, 10, false}},    // smaller than the sample: negative steps
        {31, 40, 32, 0.5f, {0, 0, 31, 32, false}},    // narrower only
        {100, 100, 16, 0.01f, {0, 0, 16, 16, false}}, // every patch too dark
        {100, 100, 16, 0.99f, {0, 0, 16, 16, false}}, // every patch too bright
    };
    for (const Case& c : cases) {
        FunctionNode layer = MakeLayer(c.width, c.height, [&](int32_t, int32_t, uint32_t) { return c.level; });
        const std::vector<SampleRect> got = Select(Selection(5, c.size, c.size), layer);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], c.expected) << c.width << "x" << c.height;
    }
    // A layer away from the origin: the fallback is what of (0, 0, size, size) lies on it.
    testnodes::PatternNode offset({5, 5, 25, 15, false});
    EXPECT_EQ(Select(Selection(3, 32, 32), offset), (std::vector<SampleRect>{{5, 5, 25, 15, false}}));
}

TEST_F(NoiseSampling, RefinementMovesTowardsQuieterPatchesButStaysInside) {
    // A checkerboard whose amplitude grows with x + y: every 3-pixel move towards the top-left
    // corner is quieter, and the quietest patch that fits is at the corner.
    const PixelFunction value = [](int32_t x, int32_t y, uint32_t) {
        const float amplitude = 0.001f * static_cast<float>(1 + x + y);
        return 0.5f + ((x + y) % 2 ? amplitude : -amplitude);
    };
    struct Case {
        int32_t width, height, size, count;
        std::vector<SampleRect> expected;
    } cases[] = {
        // stepX = stepY = 3, grid from (1, 1): the corner candidate cannot move up or left.
        {60, 60, 8, 1, {{1, 1, 9, 9, false}}},
        // (1, 4) and (4, 1) come next; both move by 3 onto the corner.
        {60, 60, 8, 3, {{1, 1, 9, 9, false}, {1, 1, 9, 9, false}, {1, 1, 9, 9, false}}},
        // stepX = stepY = 10, grid from (5, 5): the corner candidate moves by (-3, -3).
        {186, 186, 16, 1, {{2, 2, 18, 18, false}}},
        // (5, 15) can move by (-3, -6) to (2, 9); (15, 5) likewise to (9, 2).
        {186, 186, 16, 3, {{2, 2, 18, 18, false}, {2, 9, 18, 25, false}, {9, 2, 25, 18, false}}},
    };
    for (const Case& c : cases) {
        FunctionNode layer = MakeLayer(c.width, c.height, value);
        std::vector<SampleRect> got = Select(Selection(c.count, c.size, c.size), layer);
        // Equal scores of mirror-image patches may come in either order.
        std::sort(got.begin(), got.end(), [](const SampleRect& a, const SampleRect& b) {
            return a.x0 + a.y0 != b.x0 + b.y0 ? a.x0 + a.y0 < b.x0 + b.y0 : a.x0 < b.x0;
        });
        EXPECT_EQ(got, c.expected) << c.width << " " << c.count;
    }
}

TEST_F(NoiseSampling, ProgressCountsEveryGridPositionAndEveryRefinedSample) {
    struct Case {
        int32_t width, size, count;
        size_t reports;
    } cases[] = {
        {60, 8, 4, 1 + 256 + 1 + 4},
        {60, 8, 0, 1 + 256}, // nothing taken: no refinement scope
        {5, 8, 4, 1 + 256},  // nothing fits: every grid position is still a step
    };
    for (const Case& c : cases) {
        FunctionNode layer =
            MakeLayer(c.width, c.width, [](int32_t x, int32_t, uint32_t) { return 0.4f + 0.001f * (x % 3); });
        callbacks.progress.clear();
        Select(Selection(c.count, c.size, c.size), layer);
        EXPECT_EQ(callbacks.progress.size(), c.reports);
        EXPECT_EQ(callbacks.progress.back(), 1.0f);
        EXPECT_EQ(context.depth, -1);
    }
}

TEST(NoiseSamplingFailures, ReleaseEverything) {
    const grainplates::Plate plate(GrainyRecipe(26, 26, 9));
    grainplates::PlateNode node(plate);
    testimages::ExpectCleanFailures([&node](ImageLib_TestCallbacks& callbacks) {
        testimages::CheckedContext context(&callbacks);
        SampleSet samples;
        SelectSamplesAutomatically(Selection(2, 6, 6), node, samples);
    });
}

} // namespace
