// The image services as the module calls them, through the runtime's
// service table: new and dispose, copy (exact, shrinking by area average,
// enlarging bilinearly, clipped, between depths) and fill, in 8 and 16 bits.
#include "host/HostRuntime.h"
#include "tests/host/HostTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

int32_t NoModule(uint32_t, HostInData*, HostOutData*, HostParamRecord**, HostImage*, void*) { return 0; }

class ImageServices : public testing::TestWithParam<bool> {
protected:
    bool Deep() const { return GetParam(); }
    int32_t Max() const { return Deep() ? 32768 : 255; }
    int32_t Copy(const HostImageBuffer& from, HostImageBuffer& to, const HostRect* fromRect, const HostRect* toRect) {
        return rt.Utilities().copyImage(rt.EffectRef(), &from.Image(), &to.Image(), fromRect, toRect);
    }
    // Sets every pixel from a function of (x, y) giving one value for all four channels but alpha.
    HostImageBuffer Make(int32_t w, int32_t h, const std::function<int32_t(int32_t, int32_t)>& value) {
        HostImageBuffer image(w, h, Deep());
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const auto v = static_cast<uint16_t>(value(x, y));
                image.Set(x, y, {static_cast<uint16_t>(Max()), v, static_cast<uint16_t>(v / 2), v});
            }
        }
        return image;
    }

    HostRuntime rt{&NoModule};
};

TEST_P(ImageServices, NewImagesArePaddedAndAccounted) {
    HostImage image{};
    ASSERT_EQ(rt.Utilities().newImage(rt.EffectRef(), 5, 3, Deep() ? kHostImageDeep : 0u, &image), 0);
    const int32_t packed = 5 * (Deep() ? 8 : 4);
    EXPECT_NE(image.pixels, nullptr);
    EXPECT_EQ(image.width, 5);
    EXPECT_EQ(image.height, 3);
    EXPECT_GE(image.rowBytes, packed + 16);
    EXPECT_EQ(image.rowBytes % 16, 0);
    EXPECT_EQ(image.flags & kHostImageDeep, Deep() ? kHostImageDeep : 0u);
    EXPECT_EQ(image.extent.left, 0);
    EXPECT_EQ(image.extent.top, 0);
    EXPECT_EQ(image.extent.right, 5);
    EXPECT_EQ(image.extent.bottom, 3);
    EXPECT_EQ(rt.Accounting().liveImages, 1);
    EXPECT_EQ(rt.Accounting().imageBytes, static_cast<int64_t>(image.rowBytes) * 3);

    EXPECT_EQ(rt.Utilities().disposeImage(rt.EffectRef(), &image), 0);
    EXPECT_EQ(image.pixels, nullptr);
    EXPECT_EQ(rt.Accounting().liveImages, 0);
    EXPECT_EQ(rt.Utilities().disposeImage(rt.EffectRef(), &image), kHostErrBadArgument);
    EXPECT_EQ(rt.Accounting().misuse, 1);
}

TEST_P(ImageServices, EqualSizeCopiesAreExact) {
    const HostImageBuffer source = Patterned(7, 5, Deep());
    struct Case {
        HostRect from;
        HostRect to;
    } cases[] = {
        {{0, 0, 7, 5}, {0, 0, 7, 5}},
        {{1, 1, 4, 3}, {3, 2, 6, 4}},
        {{2, 0, 7, 5}, {0, 0, 5, 5}},
    };
    for (const Case& c : cases) {
        HostImageBuffer destination = Solid(7, 5, Deep(), {1, 2, 3, 4});
        ASSERT_EQ(Copy(source, destination, &c.from, &c.to), 0);
        for (int32_t y = 0; y < 5; ++y) {
            for (int32_t x = 0; x < 7; ++x) {
                const bool inside = x >= c.to.left && x < c.to.right && y >= c.to.top && y < c.to.bottom;
                const HostPixelValue expected = inside
                                                    ? source.Get(x - c.to.left + c.from.left, y - c.to.top + c.from.top)
                                                    : HostPixelValue{1, 2, 3, 4};
                ASSERT_EQ(destination.Get(x, y), expected) << x << ", " << y;
            }
        }
    }
}

TEST_P(ImageServices, ShrinkingAveragesTheCoveredArea) {
    // 4 x 4 -> 2 x 2: each result is the mean of a 2 x 2 block, and the
    // values are chosen so that every mean is a whole number.
    const int32_t unit = Deep() ? 100 : 4;
    const HostImageBuffer source = Make(4, 4, [&](int32_t x, int32_t y) { return unit * (x + 4 * y); });
    HostImageBuffer destination(2, 2, Deep());
    ASSERT_EQ(Copy(source, destination, nullptr, nullptr), 0);
    for (int32_t y = 0; y < 2; ++y) {
        for (int32_t x = 0; x < 2; ++x) {
            int32_t sums[4] = {0, 0, 0, 0};
            for (int32_t sy = 2 * y; sy < 2 * y + 2; ++sy) {
                for (int32_t sx = 2 * x; sx < 2 * x + 2; ++sx) {
                    const HostPixelValue p = source.Get(sx, sy);
                    sums[0] += p.alpha;
                    sums[1] += p.red;
                    sums[2] += p.green;
                    sums[3] += p.blue;
                }
            }
            ASSERT_EQ(sums[1] % 4, 0);
            const HostPixelValue expected{static_cast<uint16_t>(sums[0] / 4), static_cast<uint16_t>(sums[1] / 4),
                                          static_cast<uint16_t>(sums[2] / 4), static_cast<uint16_t>(sums[3] / 4)};
            EXPECT_EQ(destination.Get(x, y), expected) << x << ", " << y;
        }
    }

    // 3 -> 2 across: the middle source pixel is shared, weights 2/3 and 1/3.
    const HostImageBuffer row = Make(3, 1, [&](int32_t x, int32_t) { return (Deep() ? 3000 : 30) * x; });
    HostImageBuffer pair(2, 1, Deep());
    ASSERT_EQ(Copy(row, pair, nullptr, nullptr), 0);
    const double scale = Deep() ? 3000 : 30;
    EXPECT_EQ(pair.Get(0, 0).red, std::floor(scale * (0 * 2 + 1 * 1) / 3.0 + 0.5));
    EXPECT_EQ(pair.Get(1, 0).red, std::floor(scale * (1 * 1 + 2 * 2) / 3.0 + 0.5));
}

TEST_P(ImageServices, EnlargingInterpolatesBetweenPixelCentres) {
    // 2 x 2 -> 4 x 4. Destination centre i maps to source x = (i + 0.5) / 2 - 0.5,
    // clamped to the source: weights of the left pixel 1, 3/4, 1/4, 0.
    const int32_t values[2][2] = {{0, Deep() ? 20000 : 200}, {Deep() ? 8000 : 80, Deep() ? 16000 : 160}};
    const HostImageBuffer source = Make(2, 2, [&](int32_t x, int32_t y) { return values[y][x]; });
    HostImageBuffer destination(4, 4, Deep());
    ASSERT_EQ(Copy(source, destination, nullptr, nullptr), 0);
    const double first[4] = {1.0, 0.75, 0.25, 0.0};
    for (int32_t y = 0; y < 4; ++y) {
        for (int32_t x = 0; x < 4; ++x) {
            const double top = first[x] * values[0][0] + (1 - first[x]) * values[0][1];
            const double bottom = first[x] * values[1][0] + (1 - first[x]) * values[1][1];
            const double expected = std::floor(first[y] * top + (1 - first[y]) * bottom + 0.5);
            EXPECT_EQ(destination.Get(x, y).red, expected) << x << ", " << y;
            EXPECT_EQ(destination.Get(x, y).alpha, Max());
        }
    }
}

TEST_P(ImageServices, CentredCopiesClipAtEveryEdge) {
    // The placement the module uses for a mask of another size:
    // dx = (destination - source) / 2, which is negative for a larger source.
    const HostImageBuffer small = Patterned(2, 2, Deep());
    const HostImageBuffer large = Patterned(6, 4, Deep());
    struct Case {
        const HostImageBuffer* source;
        int32_t width;
        int32_t height;
    } cases[] = {{&small, 6, 4}, {&large, 2, 2}, {&large, 3, 5}};
    for (const Case& c : cases) {
        const int32_t w = c.source->Width();
        const int32_t h = c.source->Height();
        const int32_t dx = (c.width - w) / 2;
        const int32_t dy = (c.height - h) / 2;
        HostImageBuffer destination(c.width, c.height, Deep());
        ASSERT_EQ(rt.Utilities().fillImage(rt.EffectRef(), nullptr, nullptr, &destination.Image()), 0);
        const HostRect from{0, 0, w, h};
        const HostRect to{dx, dy, dx + w, dy + h};
        ASSERT_EQ(Copy(*c.source, destination, &from, &to), 0);
        for (int32_t y = 0; y < c.height; ++y) {
            for (int32_t x = 0; x < c.width; ++x) {
                const int32_t sx = x - dx;
                const int32_t sy = y - dy;
                const bool covered = sx >= 0 && sx < w && sy >= 0 && sy < h;
                ASSERT_EQ(destination.Get(x, y), covered ? c.source->Get(sx, sy) : HostPixelValue{})
                    << c.width << " x " << c.height << " at " << x << ", " << y;
            }
        }
    }
}

TEST_P(ImageServices, CopiesConvertBetweenDepths) {
    // Each channel is rescaled to the other full scale and rounded to nearest.
    const int32_t otherMax = Deep() ? 255 : 32768;
    HostImageBuffer source(4, 1, Deep());
    const uint16_t values[4] = {0, 1, static_cast<uint16_t>(Max() / 2), static_cast<uint16_t>(Max())};
    for (int32_t x = 0; x < 4; ++x) source.Set(x, 0, {values[x], values[x], values[3 - x], values[x]});
    HostImageBuffer destination(4, 1, !Deep());
    ASSERT_EQ(Copy(source, destination, nullptr, nullptr), 0);
    for (int32_t x = 0; x < 4; ++x) {
        const auto convert = [&](uint16_t v) {
            return static_cast<uint16_t>(std::floor(v * static_cast<double>(otherMax) / Max() + 0.5));
        };
        EXPECT_EQ(destination.Get(x, 0),
                  (HostPixelValue{convert(values[x]), convert(values[x]), convert(values[3 - x]), convert(values[x])}))
            << x;
    }
}

TEST_P(ImageServices, CopyWithinOneImageReadsTheOriginal) {
    HostImageBuffer image = Make(4, 1, [&](int32_t x, int32_t) { return 10 * (x + 1); });
    const HostRect from{0, 0, 3, 1};
    const HostRect to{1, 0, 4, 1};
    ASSERT_EQ(Copy(image, image, &from, &to), 0);
    const int expected[4] = {10, 10, 20, 30};
    for (int32_t x = 0; x < 4; ++x) EXPECT_EQ(image.Get(x, 0).red, expected[x]) << x;
}

TEST_P(ImageServices, BadArgumentsAreRefusedAndEmptyRectanglesDoNothing) {
    const HostImageBuffer source = Patterned(3, 3, Deep());
    HostImageBuffer destination = Solid(3, 3, Deep(), {5, 5, 5, 5});
    const HostRect inverted{2, 0, 1, 3};
    const HostRect empty{1, 1, 1, 3};
    EXPECT_EQ(Copy(source, destination, &inverted, nullptr), kHostErrBadArgument);
    EXPECT_EQ(Copy(source, destination, nullptr, &inverted), kHostErrBadArgument);
    EXPECT_EQ(Copy(source, destination, &empty, nullptr), kHostOk);
    EXPECT_EQ(Copy(source, destination, nullptr, &empty), kHostOk);
    HostImage noPixels{};
    EXPECT_EQ(rt.Utilities().copyImage(rt.EffectRef(), &noPixels, &destination.Image(), nullptr, nullptr),
              kHostErrBadArgument);
    EXPECT_EQ(rt.Utilities().fillImage(rt.EffectRef(), nullptr, &inverted, &destination.Image()), kHostErrBadArgument);
    for (int32_t y = 0; y < 3; ++y) {
        for (int32_t x = 0; x < 3; ++x) EXPECT_EQ(destination.Get(x, y), (HostPixelValue{5, 5, 5, 5}));
    }
}

TEST_P(ImageServices, FillWritesTheScaledColourInsideTheClippedRectangle) {
    const auto scaled = [&](uint8_t v) {
        return static_cast<uint16_t>(Deep() ? std::floor(v * 32768.0 / 255.0 + 0.5) : v);
    };
    const HostPixel8 colour{255, 128, 1, 40};
    const HostPixelValue filled{scaled(255), scaled(128), scaled(1), scaled(40)};
    const HostPixelValue old{3, 3, 3, 3};
    struct Case {
        const HostPixel8* colour;
        const HostRect* rect;
        HostRect covered;
        HostPixelValue value;
    };
    const HostRect inner{1, 1, 3, 2};
    const HostRect overhanging{-5, 2, 100, 100};
    const Case cases[] = {
        {&colour, &inner, inner, filled},
        {&colour, nullptr, {0, 0, 4, 3}, filled},
        {&colour, &overhanging, {0, 2, 4, 3}, filled},
        {nullptr, &inner, inner, HostPixelValue{}},
    };
    for (const Case& c : cases) {
        HostImageBuffer image = Solid(4, 3, Deep(), old);
        ASSERT_EQ(rt.Utilities().fillImage(rt.EffectRef(), c.colour, c.rect, &image.Image()), 0);
        for (int32_t y = 0; y < 3; ++y) {
            for (int32_t x = 0; x < 4; ++x) {
                const bool inside =
                    x >= c.covered.left && x < c.covered.right && y >= c.covered.top && y < c.covered.bottom;
                ASSERT_EQ(image.Get(x, y), inside ? c.value : old)
                    << Describe(image.Get(x, y)) << " at " << x << ", " << y;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, ImageServices, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Deep" : "Byte"; });

} // namespace
