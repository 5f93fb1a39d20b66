#include "grain/ModelPreparation.h"
#include "grain/ResponseFit.h"
#include "tests/support/TestImages.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using testimages::NodeTest;
using Preparation = NodeTest;

// Three measured kernels: a 5 x 7 ramp, a 9 x 9 Gaussian and an 11 x 3 ramp.
void Measured(GrainModel& model) {
    model.kernels.clear();
    const uint32_t sizes[3][2] = {{5, 7}, {9, 9}, {11, 3}};
    for (const auto& s : sizes) {
        ImageLib_Kernel k(s[0], s[1]);
        for (size_t i = 0; i < k.values.size(); ++i) k.values[i] = 0.01f * static_cast<float>(i % 7) - 0.02f;
        model.kernels.push_back(k);
    }
    model.kernels[1].MakeGaussian(1.5f, 1.0f);
}

TEST_F(Preparation, DefaultTweaksOnlyPadKernelsToNine) {
    GrainModel model, before;
    Measured(model);
    Measured(before);
    TweakKernels(GrainTweaks{}, model);
    for (size_t k = 0; k < 3; ++k) {
        const ImageLib_Kernel &now = model.kernels[k], &was = before.kernels[k];
        EXPECT_EQ(now.width, std::max(was.width, 9u));
        EXPECT_EQ(now.height, std::max(was.height, 9u));
        for (int32_t y = now.MinY(); y <= now.MaxY(); ++y)
            for (int32_t x = now.MinX(); x <= now.MaxX(); ++x) {
                const bool shared = x >= was.MinX() && x <= was.MaxX() && y >= was.MinY() && y <= was.MaxY();
                EXPECT_NEAR(now.At(x, y), shared ? was.At(x, y) : 0.0f, 1e-6f) << k << " " << x << "," << y;
            }
    }
}

TEST_F(Preparation, SizeScalesExtentAndGainButNeverEnergy) {
    struct Case {
        float size;
        uint32_t width, height; // of the 9 x 9 kernel
        float gain;
    } cases[] = {{2.0f, 18, 18, 2.0f}, {0.5f, 9, 9, 1.0f}, {3.0f, 27, 27, 3.0f}, {0.0f, 9, 9, 1.0f}};
    for (const Case& c : cases) {
        GrainModel model, before;
        Measured(model);
        Measured(before);
        GrainTweaks tweaks;
        tweaks.size = c.size;
        TweakKernels(tweaks, model);
        EXPECT_EQ(model.kernels[1].width, c.width) << c.size;
        EXPECT_EQ(model.kernels[1].height, c.height) << c.size;
        // The stretch keeps the energy, the gain scales it; only what falls past a 9-tap edge is lost.
        const float expected = before.kernels[1].SumOfSquares() * c.gain * c.gain;
        EXPECT_NEAR(model.kernels[1].SumOfSquares(), expected, expected * (c.size < 1 ? 0.35f : 1e-4f)) << c.size;
    }
    // Aspect ratio and per-channel size act on their own axis and channel.
    GrainModel model;
    Measured(model);
    GrainTweaks tweaks;
    tweaks.aspectRatio = 2.0f;
    tweaks.channelSize = {1.0f, 3.0f, 1.0f};
    TweakKernels(tweaks, model);
    EXPECT_EQ(model.kernels[0].width, 10u);
    EXPECT_EQ(model.kernels[0].height, 9u);
    EXPECT_EQ(model.kernels[1].width, 54u);
    EXPECT_EQ(model.kernels[1].height, 27u);
}

TEST_F(Preparation, IntensitiesAndMonochrome) {
    for (bool mono : {false, true}) {
        GrainModel model, before;
        Measured(model);
        Measured(before);
        GrainTweaks tweaks;
        tweaks.intensity = 2.0f;
        tweaks.channelIntensity = {0.5f, 1.0f, 3.0f};
        tweaks.monochromatic = mono;
        tweaks.saturation = 1.7f;
        TweakKernels(tweaks, model);
        SetGrainAppearance(tweaks, model);
        for (size_t k = 0; k < 3; ++k) {
            const float gain = mono ? 2.0f : 2.0f * tweaks.channelIntensity[k];
            EXPECT_NEAR(model.kernels[k].At(0, 0), before.kernels[k].At(0, 0) * gain, 1e-6f);
        }
        EXPECT_EQ(model.grainSaturation, mono ? 0.0f : 1.7f);
    }
}

TEST_F(Preparation, CompensationSubtractsTheTargetsGrain) {
    for (float percent : {100.0f, 50.0f}) {
        GrainModel model, target;
        Measured(model);
        Measured(target);
        TweakKernels(GrainTweaks{}, model); // the main kernels are tweaked, the target's are raw
        GrainModel expected;
        Measured(expected);
        TweakKernels(GrainTweaks{}, expected);
        SubtractExistingGrain(percent, target, model);
        for (size_t k = 0; k < 3; ++k) {
            GrainModel raw;
            Measured(raw);
            const ImageLib_Kernel& m = model.kernels[k];
            for (int32_t y = m.MinY(); y <= m.MaxY(); ++y)
                for (int32_t x = m.MinX(); x <= m.MaxX(); ++x) {
                    const ImageLib_Kernel& r = raw.kernels[k];
                    const bool shared = x >= r.MinX() && x <= r.MaxX() && y >= r.MinY() && y <= r.MaxY();
                    const float removed = shared ? r.At(x, y) * percent / 100.0f : 0.0f;
                    EXPECT_NEAR(m.At(x, y), expected.kernels[k].At(x, y) - removed, 1e-6f);
                }
        }
    }
}

TEST_F(Preparation, SeedsFollowTheAnimation) {
    struct Case {
        float speed;
        bool smooth;
        int32_t frame;
        int32_t i;
        float f;
    } cases[] = {
        {0.5f, true, 0, 0, 0.0f},  {0.5f, true, 1, 0, 0.5f},  {0.5f, true, 2, 1, 0.0f},     {0.5f, true, 3, 1, 0.5f},
        {0.5f, false, 3, 1, 0.0f}, {1.0f, false, 7, 7, 0.0f}, {0.25f, true, -3, 0, -0.75f},
    };
    for (const Case& c : cases) {
        GrainModel model;
        GrainTweaks tweaks;
        tweaks.randomSeed = 1234;
        tweaks.animationSpeed = c.speed;
        tweaks.animateSmoothly = c.smooth;
        tweaks.frame = c.frame;
        SetGrainAppearance(tweaks, model);
        EXPECT_EQ(model.randSeed, 1234 ^ c.i) << c.frame;
        EXPECT_EQ(model.randSeed2, 1234 ^ (c.i + 1)) << c.frame;
        EXPECT_FLOAT_EQ(model.randBlend, c.f) << c.frame;
    }
    GrainModel still;
    GrainTweaks tweaks;
    tweaks.randomSeed = 9;
    tweaks.animationSpeed = 0.0f;
    tweaks.frame = 50;
    SetGrainAppearance(tweaks, still);
    EXPECT_EQ(still.randSeed, 9);
    EXPECT_EQ(still.randSeed2, 9);
    EXPECT_EQ(still.randBlend, 0.0f);
}

TEST_F(Preparation, TintResponseAndBlendMode) {
    struct Case {
        std::array<float, 3> tint;
        float amount;
        std::array<float, 3> intensity;
    } cases[] = {
        {{1, 1, 1}, 100, {1, 1, 1}},        {{0.5f, 0.5f, 0.5f}, 100, {1, 1, 1}},
        {{0, 0, 0}, 100, {1, 1, 1}}, // black behaves like white
        {{1, 0, 0}, 100, {3, 0, 0}},        {{1, 0, 0}, 50, {2, 0.5f, 0.5f}},
        {{0.2f, 0.4f, 0.6f}, 0, {1, 1, 1}},
    };
    for (const Case& c : cases) {
        GrainModel model;
        GrainTweaks tweaks;
        tweaks.tint = c.tint;
        tweaks.tintAmount = c.amount;
        SetGrainAppearance(tweaks, model);
        ASSERT_EQ(model.grainIntensity.size(), 3u);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(model.grainIntensity[i], c.intensity[i], 1e-6f);
    }
    GrainModel model;
    GrainTweaks tweaks;
    tweaks.shadows = 2.0f;
    tweaks.midtones = 0.5f;
    tweaks.highlights = 3.0f;
    tweaks.midpoint = 0.25f;
    tweaks.balance = {{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}};
    SetGrainAppearance(tweaks, model);
    ASSERT_EQ(model.grainResponse.size(), 3u);
    for (int c = 0; c < 3; ++c) {
        const ImageLib_Vector<float>& r = model.grainResponse[c];
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[0], tweaks.balance[c][0] * 2.0f);
        EXPECT_EQ(r[1], tweaks.balance[c][1] * 0.5f);
        EXPECT_EQ(r[2], tweaks.balance[c][2] * 3.0f);
        EXPECT_EQ(r[3], 0.25f);
    }
    EXPECT_EQ(model.blurAmount, (ImageLib_Vector<float>{0, 0, 0}));
    const int32_t modes[][2] = {{1, 3}, {2, 1}, {3, 0}, {4, 2}, {5, 5}, {0, 0}, {6, 0}};
    for (const auto& m : modes) EXPECT_EQ(BlendModeFromPopup(m[0]), m[1]);
}

TEST_F(Preparation, CompensationAddsAnAnalysisAndAProgressStep) {
    ImageLib_ImageBuffer plate(ImageLib_HostFormat8(), {0, 0, 64, 64, false});
    testimages::Fill(plate, [](int32_t x, int32_t y, uint32_t c) {
        return c == 0 ? 1.0f : 0.5f + 0.1f * std::sin(static_cast<float>(x * 7 + y * 13 + static_cast<int32_t>(c)));
    });
    SampleSet samples;
    samples.push_back({4, 4, 28, 28, false});
    samples.push_back({30, 30, 54, 54, false});
    for (float compensate : {0.0f, 100.0f}) {
        callbacks.progress.clear();
        GrainModel model;
        GrainTweaks tweaks;
        tweaks.compensate = compensate;
        BuildGrainModel(tweaks, plate, samples, plate, samples, model);
        ASSERT_EQ(model.kernels.size(), 3u);
        // The first report of the outer scope: 1 / (steps + 1).
        EXPECT_FLOAT_EQ(callbacks.progress.front(), compensate > 0 ? 0.25f : 1.0f / 3);
        EXPECT_FLOAT_EQ(callbacks.progress.back(), 1.0f);
        if (compensate > 0) {
            // The same layer, fully compensated: what is left is the tweak's zero padding and rounding.
            for (const ImageLib_Kernel& k : model.kernels) EXPECT_LT(k.SumOfSquares(), 1e-9f);
        }
    }
}

} // namespace

namespace {

ResponseLevels LevelsOf(const std::vector<std::pair<double, double>>& points, int32_t windows = 10) {
    ResponseLevels levels;
    levels.channels = 1;
    for (const auto& [level, sigma] : points) {
        const auto bin =
            static_cast<size_t>(std::min(kResponseLevels - 1, static_cast<int32_t>(level * kResponseLevels)));
        levels.windows[0][bin] = windows;
        levels.level[0][bin] = level;
        levels.sigma[0][bin] = sigma;
    }
    return levels;
}

double WorstMiss(const ResponseCurve& curve, const std::vector<std::pair<double, double>>& points, double scale) {
    double worst = 0.0;
    for (const auto& [level, sigma] : points)
        worst = std::max(worst, std::fabs(scale * curve.At(static_cast<float>(level)) / sigma - 1.0));
    return worst;
}

} // namespace

// The fitted curve: a tent is found exactly, wherever its midpoint; a film's plateau (no tent
// fits it) within the least largest miss a tent allows, scaled by the measured strength at the
// samples' level (where the model's kernel was measured); one level gives a flat curve, two a
// line.
TEST_F(Preparation, FittedResponseCurves) {
    const ImageLib_Vector<float> atHalf(1, 0.5f);
    {
        std::vector<std::pair<double, double>> tent;
        for (double v = 0.05; v < 1.0; v += 0.0625)
            tent.push_back({v, v < 0.3 ? 0.01 + 0.1 * v : 0.04 - 0.02 * (v - 0.3) / 0.7});
        const ResponseCurve curve = FitResponse(LevelsOf(tent), 0, atHalf);
        EXPECT_NEAR(curve.midpoint, 0.3, 0.011);
        const double scale = 0.04 - 0.02 * 0.2 / 0.7; // the tent at the samples' level
        EXPECT_LT(WorstMiss(curve, tent, scale), 0.01);
        EXPECT_NEAR(curve.At(0.5f), 1.0f, 0.01f); // the midpoint is searched in steps of 0.01
    }
    {
        // Sigma by level as the engine measured it on modelled film over ramps.
        const std::vector<std::pair<double, double>> film{{0.03, .0274}, {0.09, .0353}, {0.16, .0445}, {0.22, .0503},
                                                          {0.28, .0533}, {0.34, .0550}, {0.41, .0559}, {0.47, .0566},
                                                          {0.53, .0563}, {0.59, .0549}, {0.66, .0511}, {0.72, .0463},
                                                          {0.78, .0419}, {0.84, .0347}, {0.91, .0259}, {0.97, .0196}};
        const ResponseCurve curve = FitResponse(LevelsOf(film), 0, atHalf);
        EXPECT_LT(WorstMiss(curve, film, (0.0566 + 0.0563) / 2), 0.12);
    }
    const ResponseCurve one = FitResponse(LevelsOf({{0.4, 0.02}}), 0, atHalf);
    EXPECT_EQ(one.shadows, 1.0f);
    EXPECT_EQ(one.highlights, 1.0f);
    const ResponseCurve two = FitResponse(LevelsOf({{0.25, 0.02}, {0.75, 0.04}}), 0, atHalf);
    EXPECT_NEAR(two.At(0.25f) / two.At(0.75f), 0.5, 1e-5);
    EXPECT_NEAR(two.At(0.5f), 1.0f, 1e-5f);
    const ResponseCurve sparse =
        FitResponse(LevelsOf({{0.25, 0.02}, {0.75, 0.04}}, kLeastResponseWindows - 1), 0, atHalf);
    EXPECT_EQ(sparse.midtones, 1.0f) << "levels with too few windows do not count";
}
