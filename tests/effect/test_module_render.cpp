// Every viewing mode of the built module, rendered by the substitute host.
#include "effect/ParamId.h"
#include "tests/effect/ModuleFixture.h"
#include "tests/effect/RenderFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <cmath>
#include <thread>

namespace {

HostParam& P(ModuleSession& s, ParamId id) { return s.host.Params().ById(static_cast<int32_t>(id)); }

int32_t RenderView(ModuleSession& s, int32_t view) {
    P(s, ParamId::ViewingMode).SetPopup(view);
    const int32_t setup = s.host.FrameSetup();
    if (setup != 0) return setup;
    return s.host.Render();
}

// Manual samples of `size` centred on `points`, for noise (or compensation) samples.
void ManualSamples(ModuleSession& s, const std::vector<std::pair<int, int>>& points, int32_t size, bool noise = true) {
    P(s, ParamId::SampleSelection).SetPopup(2);
    P(s, ParamId::NumberOfSamples).SetInteger(static_cast<int32_t>(points.size()));
    P(s, ParamId::SampleSize).SetInteger(size);
    for (size_t i = 0; i < points.size(); ++i) {
        const ParamId id =
            noise ? NoiseSamplePoint(static_cast<int32_t>(i)) : CompensationSamplePoint(static_cast<int32_t>(i));
        P(s, id).SetPoint(points[i].first, points[i].second);
    }
}

bool OnOutline(int32_t x, int32_t y, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    const bool inside = x >= x0 && x < x1 && y >= y0 && y < y1;
    return inside && (x < x0 + 2 || x >= x1 - 2 || y < y0 + 2 || y >= y1 - 2);
}

TEST(ModuleRender, SampleViewsShowTheBoxesOverTheirLayer) {
    for (bool deep : {false, true}) {
        ModuleSession s(kHostAppVantor, 100, 70, deep);
        GrainyPlate plate = MakeGrainyPlate(120, 90, deep, 0.04, 5);
        const HostImageBuffer noise = plate.image.Clone();
        P(s, ParamId::NoiseSourceLayer).BindLayer(HostLayer::Still(std::move(plate.image)));
        s.host.BindInputLayer(HostLayer::Still(MakeGrainyPlate(100, 70, deep, 0.02, 6).image));
        const HostImageBuffer input = MakeGrainyPlate(100, 70, deep, 0.02, 6).image;
        P(s, ParamId::SampleBoxColor).SetColor({255, 255, 0, 0});
        ManualSamples(s, {{30, 20}, {80, 50}}, 16);
        ManualSamples(s, {{10, 10}, {90, 65}}, 16, false);
        struct View {
            int32_t mode;
            const HostImageBuffer* layer;
            std::vector<std::array<int32_t, 4>> boxes;
        } views[] = {
            {2, &noise, {{22, 12, 38, 28}, {72, 42, 88, 58}}},
            // (10, 10) fits as it is; (90, 65) is moved up inside: bottom to 70.
            {3, &input, {{2, 2, 18, 18}, {82, 54, 98, 70}}},
        };
        const uint16_t full = deep ? 32768 : 255;
        for (const View& v : views) {
            ASSERT_EQ(RenderView(s, v.mode), 0);
            const HostImageBuffer& out = s.host.Output();
            ASSERT_EQ(out.Width(), v.layer->Width());
            ASSERT_EQ(out.Height(), v.layer->Height());
            for (int32_t y = 0; y < out.Height(); ++y)
                for (int32_t x = 0; x < out.Width(); ++x) {
                    bool box = false;
                    for (const auto& b : v.boxes) box = box || OnOutline(x, y, b[0], b[1], b[2], b[3]);
                    const HostPixelValue expected = box ? HostPixelValue{full, full, 0, 0} : v.layer->Get(x, y);
                    ASSERT_EQ(out.Get(x, y), expected) << "view " << v.mode << " at " << x << "," << y;
                }
        }
    }
}

TEST(ModuleRender, PreviewChangesOnlyItsRectangle) {
    for (bool showBox : {false, true}) {
        ModuleSession s(kHostAppVantor, 100, 70);
        const HostImageBuffer clean = FlatImage(100, 70, false, {1, 0.5, 0.5, 0.5});
        s.host.BindInputLayer(HostLayer::Still(clean.Clone()));
        P(s, ParamId::NoiseSourceLayer).BindLayer(HostLayer::Still(MakeGrainyPlate(80, 60, false, 0.05, 9).image));
        P(s, ParamId::PreviewCenter).SetPoint(50, 35);
        P(s, ParamId::PreviewWidth).SetInteger(60);
        P(s, ParamId::PreviewHeight).SetInteger(50);
        s.host.SetDownsample(1, 2, 1, 2); // a half-resolution view: a 30 x 25 rectangle
        P(s, ParamId::ShowBox).SetCheckbox(showBox);
        P(s, ParamId::BoxColor).SetColor({0, 0, 0, 255});
        ASSERT_EQ(RenderView(s, 1), 0);
        const HostImageBuffer& out = s.host.Output();
        const int32_t x0 = 50 - 15, y0 = 35 - 12, x1 = x0 + 30, y1 = y0 + 25;
        int changed = 0;
        for (int32_t y = 0; y < 70; ++y)
            for (int32_t x = 0; x < 100; ++x) {
                const bool inside = x >= x0 && x < x1 && y >= y0 && y < y1;
                if (!inside) {
                    ASSERT_EQ(out.Get(x, y), clean.Get(x, y)) << x << "," << y;
                } else if (showBox && OnOutline(x, y, x0, y0, x1, y1)) {
                    // The box colour with its alpha made opaque.
                    ASSERT_EQ(out.Get(x, y), (HostPixelValue{255, 0, 0, 255})) << x << "," << y;
                } else {
                    changed += !(out.Get(x, y) == clean.Get(x, y));
                }
            }
        EXPECT_GT(changed, 300); // grain inside the rectangle
    }
}

TEST(ModuleRender, BlendingMatteView) {
    ModuleSession s(kHostAppVantor, 40, 30);
    // Left half the matching grey, right half red.
    HostImageBuffer input(40, 30, false);
    for (int32_t y = 0; y < 30; ++y)
        for (int32_t x = 0; x < 40; ++x)
            input.Set(x, y, x < 20 ? HostPixelValue{255, 127, 127, 127} : HostPixelValue{255, 230, 20, 20});
    s.host.BindInputLayer(HostLayer::Still(input.Clone()));
    auto matte = [&](int32_t x, int32_t y) { return s.host.Output().Get(x, y).red; };

    ASSERT_EQ(RenderView(s, 4), 0); // matching on RGB with the default grey
    EXPECT_EQ(s.host.Output().Get(5, 5), (HostPixelValue{255, 255, 255, 255}));
    EXPECT_EQ(s.host.Output().Get(35, 5), (HostPixelValue{255, 0, 0, 0}));
    P(s, ParamId::InvertMatch).SetCheckbox(true);
    ASSERT_EQ(RenderView(s, 4), 0);
    EXPECT_EQ(matte(5, 5), 0);
    EXPECT_EQ(matte(35, 5), 255);

    // A smaller mask, centred: intensity 0.4 inside, the cleared border outside.
    P(s, ParamId::MatchColorUsing).SetPopup(1);
    P(s, ParamId::MaskLayer).BindLayer(HostLayer::Still(FlatImage(20, 10, false, {0.5, 0.4, 0.4, 0.4})));
    struct Masking {
        int32_t mode;
        int32_t inside, outside;
    } masking[] = {{1, 102, 0}, {2, 128, 0}, {3, 153, 255}, {4, 127, 255}};
    for (const Masking& m : masking) {
        P(s, ParamId::MaskingMode).SetPopup(m.mode);
        ASSERT_EQ(RenderView(s, 4), 0);
        EXPECT_NEAR(matte(20, 15), m.inside, 1) << "masking mode " << m.mode;
        EXPECT_NEAR(matte(2, 2), m.outside, 1) << "masking mode " << m.mode;
        EXPECT_EQ(s.host.Accounting().liveImages, 0); // the fitted mask went back to the host
    }
    // Stretched to fit, combined with the match by multiply, then blurred.
    P(s, ParamId::IfMaskSizeDiffers).SetPopup(2);
    P(s, ParamId::MaskingMode).SetPopup(1);
    P(s, ParamId::MatchColorUsing).SetPopup(3);
    P(s, ParamId::InvertMatch).SetCheckbox(false);
    ASSERT_EQ(RenderView(s, 4), 0);
    EXPECT_NEAR(matte(2, 2), 102, 1);
    EXPECT_EQ(matte(35, 5), 0);
    P(s, ParamId::BlurMatte).SetNumber(3);
    ASSERT_EQ(RenderView(s, 4), 0);
    for (int32_t x = 1; x < 40; ++x) EXPECT_LE(matte(x, 15), matte(x - 1, 15));
    EXPECT_GT(matte(19, 15), matte(20, 15));
    EXPECT_GT(matte(20, 15), 0);
    EXPECT_LT(matte(19, 15), 102);
}

struct FinalSetup {
    std::unique_ptr<ModuleSession> session;
    GrainyPlate plate;
    HostImageBuffer target;
};

FinalSetup GrainyOntoClean(bool deep, bool manual, double grey = 0.5) {
    FinalSetup f{std::make_unique<ModuleSession>(kHostAppVantor, 150, 110, deep),
                 MakeGrainyPlate(200, 160, deep, 0.05, 21), FlatImage(150, 110, deep, {1, grey, grey, grey})};
    ModuleSession& s = *f.session;
    s.host.BindInputLayer(HostLayer::Still(f.target.Clone()));
    P(s, ParamId::NoiseSourceLayer).BindLayer(HostLayer::Still(f.plate.image.Clone()));
    if (manual)
        ManualSamples(s, {{30, 30}, {100, 30}, {170, 30}, {30, 80}, {100, 80}, {170, 80}, {60, 130}, {140, 130}}, 24);
    return f;
}

TEST(ModuleRender, FinalOutputReproducesTheSourcesGrain) {
    for (bool deep : {false, true}) {
        FinalSetup f = GrainyOntoClean(deep, true);
        ASSERT_EQ(RenderView(*f.session, 5), 0);
        const std::array<double, 3> got = DifferenceSigma(f.session->host.Output(), f.target);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c] / f.plate.sigma[c], 1.0, 0.1) << "channel " << c;
    }
}

TEST(ModuleRender, SameBytesOnAnyThreadCountAndWithoutTheService) {
    FinalSetup f = GrainyOntoClean(false, false);
    ModuleSession& s = *f.session;
    ASSERT_EQ(RenderView(s, 5), 0);
    const HostImageBuffer reference = s.host.Output().Clone();
    auto same = [&](const char* what) {
        ASSERT_EQ(RenderView(s, 5), 0) << what;
        for (int32_t y = 0; y < 110; ++y)
            for (int32_t x = 0; x < 150; ++x) ASSERT_EQ(s.host.Output().Get(x, y), reference.Get(x, y)) << what;
    };
    s.host.SetIterateThreads(1);
    same("one worker");
    s.host.SetIterateThreads(3);
    same("three workers");
    // A host with many workers gets work onto every one of them: loops are cut
    // by the workers the module has seen, not into a fixed handful. Scheduled
    // round-robin here, so that which worker runs which job does not depend on
    // which threads the system happens to run first; real pools of 16 and 64
    // give the same bytes.
    for (const int32_t workers : {16, 64}) {
        s.host.SetIterateRoundRobin(workers);
        same("many workers, round-robin");
        const std::vector<int64_t> run = s.host.IterateIndicesRun();
        ASSERT_EQ(static_cast<int32_t>(run.size()), workers);
        EXPECT_EQ(std::count(run.begin(), run.end(), 0), 0) << "of " << workers << " workers, some had no job";
        s.host.SetIterateRoundRobin(0);
        s.host.SetIterateThreads(workers);
        same("many workers");
    }
    s.host.SetIterateAvailable(false);
    same("no iteration service");
    s.host.SetIterateAvailable(true);
    s.host.SetAppId(kHostAppD);
    same("HOSD");
}

// A small render of the given view whose failures are driven at every step:
// automatic noise samples (so the sample search runs too), compensation,
// a mask and a blurred matte, so that every stage allocates and checks.
FinalSetup SmallRender(int32_t view, bool fitResponse = false) {
    FinalSetup f{std::make_unique<ModuleSession>(kHostAppVantor, 40, 32), MakeGrainyPlate(44, 36, false, 0.05, 3),
                 FlatImage(40, 32, false, {1, 0.5, 0.4, 0.3})};
    ModuleSession& s = *f.session;
    s.host.BindInputLayer(HostLayer::Still(f.target.Clone()));
    P(s, ParamId::NoiseSourceLayer).BindLayer(HostLayer::Still(f.plate.image.Clone()));
    ManualSamples(s, {{12, 12}, {30, 22}}, 16);
    P(s, ParamId::CompensateForExistingNoise).SetNumber(50);
    P(s, ParamId::MaskLayer).BindLayer(HostLayer::Still(FlatImage(20, 20, false, {1, 0.5, 0.5, 0.5})));
    P(s, ParamId::BlurMatte).SetNumber(1);
    P(s, ParamId::ViewingMode).SetPopup(view);
    P(s, ParamId::FitResponseToSource).SetCheckbox(fitResponse);
    EXPECT_EQ(s.host.FrameSetup(), 0);
    return f;
}

std::vector<uint8_t> OutputBytes(HostRuntime& host) {
    const HostImageBuffer& out = host.Output();
    return {out.Image().pixels, out.Image().pixels + out.Bytes()};
}

struct FaultView {
    const char* name;
    int32_t popup;
    bool fitResponse = false;
};
constexpr FaultView kFaultViews[] = {
    {"Final Output", 5}, {"Final Output, response fitted", 5, true}, {"Blending Matte", 4}, {"Noise Samples", 2}};

TEST(ModuleRenderFailures, EveryRefusedHandleIsOutOfMemoryWithNothingHeld) {
    for (const FaultView& view : kFaultViews) {
        SCOPED_TRACE(view.name);
        FinalSetup f = SmallRender(view.popup, view.fitResponse);
        HostRuntime& host = f.session->host;
        const int64_t before = host.Calls(HostService::NewHandle);
        ASSERT_EQ(host.Render(), 0);
        const std::vector<uint8_t> clean = OutputBytes(host);
        const int64_t handles = host.Calls(HostService::NewHandle) - before;
        ASSERT_GT(handles, 5);
        for (int64_t n = 1; n <= handles; ++n) {
            host.RefuseHandleAt(n);
            ASSERT_EQ(host.Render(), 4) << "handle " << n;
            EXPECT_EQ(host.ReturnMessage(), "Out of memory.");
            EXPECT_EQ(host.Out().outFlags & 0x100u, 0x100u);
            const HostAccounting a = host.Accounting();
            ASSERT_EQ(a.liveHandles, 1) << "handle " << n; // only the global data
            ASSERT_EQ(a.liveImages, 0) << "handle " << n;
            ASSERT_EQ(a.outstandingCheckouts, 0) << "handle " << n;
        }
        host.ClearFaults();
        // Nothing of the failed renders lingers into the next one.
        ASSERT_EQ(host.Render(), 0);
        EXPECT_EQ(OutputBytes(host), clean);
    }
}

TEST(ModuleRenderFailures, EveryCancelEndsWithTheHostsCodeAndNothingHeld) {
    for (const FaultView& view : kFaultViews) {
        SCOPED_TRACE(view.name);
        FinalSetup f = SmallRender(view.popup, view.fitResponse);
        HostRuntime& host = f.session->host;
        const int64_t before = host.Accounting().abortChecks;
        ASSERT_EQ(host.Render(), 0);
        const int64_t checks = host.Accounting().abortChecks - before;
        ASSERT_GT(checks, 3);
        for (int64_t n = 1; n <= checks; ++n) {
            host.CancelAtCheck(n, 77);
            // The last check is the closing "100 of 100" report of a finished frame.
            ASSERT_EQ(host.Render(), n < checks ? 77 : 0) << "check " << n;
            const HostAccounting a = host.Accounting();
            ASSERT_EQ(a.liveHandles, 1) << "check " << n;
            ASSERT_EQ(a.liveImages, 0) << "check " << n;
            ASSERT_EQ(a.outstandingCheckouts, 0) << "check " << n;
        }
        host.CancelAtCheck(0);
        host.ClearCancel();
    }
    FinalSetup f = SmallRender(5);
    HostRuntime& host = f.session->host;
    host.FailCall(HostService::CheckoutParam, 2, 31);
    EXPECT_EQ(host.Render(), 31);
    EXPECT_EQ(host.Accounting().outstandingCheckouts, 0);
    host.ClearFaults();
}

TEST(ModuleRenderEdges, ZeroWidthOutputsAndLayersSmallerThanASample) {
    ModuleSession s(kHostAppVantor, 10, 8);
    s.host.BindInputLayer(HostLayer::Still(FlatImage(10, 8, false, {1, 0.5, 0.5, 0.5})));
    P(s, ParamId::NoiseSourceLayer).BindLayer(HostLayer::Still(MakeGrainyPlate(12, 12, false, 0.05, 4).image));
    for (int32_t view : {1, 2, 3, 4, 5}) {
        EXPECT_EQ(RenderView(s, view), 0) << "view " << view; // 24-pixel samples on 10 x 8 and 12 x 12 layers
    }
    HostImageBuffer empty(0, 8, false);
    for (int32_t view : {4, 5}) {
        P(s, ParamId::ViewingMode).SetPopup(view);
        EXPECT_EQ(s.host.Render(empty.Image()), 0) << "view " << view;
    }
}

// Found by fuzzing: preview sizes at the ends of the int32 range times a
// downsample factor do not fit an integer.
TEST(ModuleRenderEdges, PreviewSizesBeyondAnyImage) {
    ModuleSession s(kHostAppVantor, 24, 20);
    s.host.SetDownsample(8, 1, -3, 1);
    for (int32_t value : {INT32_MIN, INT32_MAX, -1, 0}) {
        for (ParamId id : {ParamId::PreviewWidth, ParamId::PreviewHeight}) {
            HostParam& param = P(s, id);
            HostParamRecord record = param.Record();
            record.u.slider.value = value; // as a host could hand it over, outside the valid range
            s.host.Params().TakeValue(param.Index(), record);
        }
        EXPECT_EQ(RenderView(s, 1), 0) << value;
        EXPECT_EQ(s.host.Accounting().liveHandles, 1);
    }
}

TEST(ModuleRenderEdges, KernelsBeyondMemoryFailCleanlyAndHugeOnesStayCancellable) {
    ModuleSession s(kHostAppVantor, 64, 48);
    s.host.BindInputLayer(HostLayer::Still(FlatImage(64, 48, false, {1, 0.5, 0.5, 0.5})));
    P(s, ParamId::NoiseSourceLayer).BindLayer(HostLayer::Still(MakeGrainyPlate(64, 48, false, 0.05, 8).image));
    // The top of every valid range: kernels of billions of taps.
    for (ParamId id : {ParamId::Size, ParamId::AspectRatio, ParamId::Softness})
        P(s, id).SetNumber(id == ParamId::Size ? 100 : 10);
    P(s, ParamId::RedSize).SetNumber(5);
    EXPECT_EQ(RenderView(s, 5), 4);
    EXPECT_EQ(s.host.ReturnMessage(), "Out of memory.");
    EXPECT_EQ(s.host.Accounting().liveHandles, 1);

    // Tens of millions of taps fit, and take long: a cancel from another thread ends the render soon.
    P(s, ParamId::Size).SetNumber(5);
    P(s, ParamId::RedSize).SetNumber(1);
    s.host.ClearCancel();
    s.host.SetCancelCode(1);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        s.host.Cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    const int32_t code = RenderView(s, 5);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    canceller.join();
    s.host.ClearCancel();
    EXPECT_EQ(code, 1);
    EXPECT_LT(seconds, 20.0);
    EXPECT_EQ(s.host.Accounting().liveHandles, 1);
}

} // namespace
