// The module's entry point, parameters and UI updates, through the built
// module's exported `main` as the host calls it.
#include "effect/ParamId.h"
#include "tests/effect/ModuleFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kVantor = HostFourCC('V', 'N', 'T', 'R');

int32_t IndexOf(HostRuntime& host, ParamId id) { return host.Params().ById(static_cast<int32_t>(id)).Index(); }

TEST(ModuleEntry, PropertiesAndGlobalSetup) {
    const HostModule& module = TexturistModule();
    EXPECT_EQ(module.Name(), "Texturist");
    EXPECT_EQ(module.Category(), "Noise & Grain");
    EXPECT_EQ(module.EntryPointName(), "main");

    HostRuntime host(module);
    ASSERT_EQ(host.GlobalSetup(), 0);
    EXPECT_EQ(host.Out().version, 0x00180600u);
    EXPECT_EQ(host.Out().outFlags, 0x06000055u);
    EXPECT_EQ(host.Out().outFlags2, 0x00020000u);
    EXPECT_NE(host.GlobalData(), nullptr);
    EXPECT_EQ(host.Accounting().liveStringTables, 1);
    ASSERT_EQ(host.About(), 0);
    EXPECT_EQ(host.ReturnMessage().rfind("Texturist, v3.0#{cr}#{cr}", 0), 0u) << host.ReturnMessage();
    EXPECT_NE(host.ReturnMessage().find("Matches film grain in an image."), std::string::npos);
    ASSERT_EQ(host.GlobalSetdown(), 0);
    EXPECT_EQ(host.GlobalData(), nullptr);
    EXPECT_TRUE(host.Accounting().Clean());
}

TEST(ModuleEntry, FailedGlobalSetupExplainsItselfAndHoldsNothing) {
    struct Case {
        HostService service;
        int32_t code; // what the module returns
    } cases[] = {{HostService::RegisterStrings, 9}, {HostService::NewHandle, 4}};
    for (const Case& c : cases) {
        HostRuntime host(TexturistModule());
        host.FailCall(c.service, 1, 9);
        EXPECT_EQ(host.GlobalSetup(), c.code);
        EXPECT_EQ(host.ReturnMessage(), "Texturist could not be initialized.");
        EXPECT_NE(host.Out().outFlags & 0x100u, 0u);
        EXPECT_TRUE(host.Accounting().Clean());
    }
}

TEST(ModuleEntry, ParametersInEachHostsOrder) {
    struct Case {
        uint32_t app;
        int32_t compensateIndex;
        ParamId last;
    } cases[] = {
        {kVantor, 15, ParamId::BlendWithOriginalGroupEnd},
        {kHostAppA, 10, ParamId::BlendWithOriginalGroupEnd},
        {kHostAppB, 15, ParamId::CombineMatchAndMask},
        {kHostAppC, 15, ParamId::CombineMatchAndMask},
    };
    for (const Case& c : cases) {
        ModuleSession session(c.app);
        HostRuntime& host = session.host;
        EXPECT_EQ(host.Out().numParams, 104);
        ASSERT_EQ(host.Params().Count(), 104);
        EXPECT_EQ(IndexOf(host, ParamId::CompensateForExistingNoise), c.compensateIndex);
        EXPECT_EQ(host.Params().At(103).Id(), static_cast<int32_t>(c.last));
        // Identifiers are the ParamIds: every one once.
        std::vector<int32_t> ids;
        for (int32_t i = 1; i < 104; ++i) ids.push_back(host.Params().At(i).Id());
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
        EXPECT_EQ(host.Params().At(1).Name(), "Viewing Mode");
        EXPECT_EQ(host.Params().ById(static_cast<int32_t>(ParamId::Size)).Name(), "Size");
    }
    // HOSA: the Tweaking group follows the moved slider.
    ModuleSession a(kHostAppA);
    EXPECT_EQ(IndexOf(a.host, ParamId::TweakingGroup), 11);
    EXPECT_EQ(IndexOf(a.host, ParamId::AspectRatio), 15);
    // HOSB: groups are flat, so "Shadows" lives directly in Application.
    ModuleSession b(kHostAppB);
    EXPECT_EQ(b.host.Params().ById(static_cast<int32_t>(ParamId::Shadows)).Path(), "Application/Shadows");
    EXPECT_EQ(IndexOf(b.host, ParamId::ChannelBalanceGroup), 40);
    ModuleSession v;
    EXPECT_EQ(v.host.Params().ById(static_cast<int32_t>(ParamId::RedShadows)).Path(),
              "Application/Channel Balance/Red Shadows");
}

TEST(ModuleEntry, DeclarationsCarryRangesDefaultsAndNames) {
    ModuleSession session;
    HostParamStore& store = session.host.Params();
    const HostColorValue grey = store.ById(static_cast<int32_t>(ParamId::MatchingColor)).Record().u.color;
    for (uint8_t b : {grey.defaultValue.alpha, grey.defaultValue.red, grey.defaultValue.green, grey.defaultValue.blue})
        EXPECT_EQ(b, 127);
    EXPECT_EQ(store.ById(static_cast<int32_t>(ParamId::BoxColor)).Record().u.color.defaultValue.red, 255);
    for (int32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(store.ById(static_cast<int32_t>(NoiseSamplePoint(i))).Name(), std::to_string(i + 1));
        EXPECT_EQ(store.ById(static_cast<int32_t>(CompensationSamplePoint(i))).Path(),
                  "Sampling/Intensity/" + std::to_string(i + 1));
    }
    const HostSliderValue& intensity = store.ById(static_cast<int32_t>(ParamId::Intensity)).Record().u.slider;
    EXPECT_EQ(intensity.validMax, 100 << 16);
    EXPECT_EQ(intensity.sliderMax, 5 << 16);
    EXPECT_EQ(intensity.defaultValue, 1 << 16);
    EXPECT_EQ(intensity.precision, 3);
    const HostSliderValue& amount = store.ById(static_cast<int32_t>(ParamId::BlendAmount)).Record().u.slider;
    EXPECT_EQ(amount.validMax, 100 << 16);
    EXPECT_EQ(amount.precision, 1);
    EXPECT_EQ(amount.displayFlags, 1);
    EXPECT_EQ(store.ById(static_cast<int32_t>(ParamId::MatchColorUsing)).PopupEntries().at(2), "RGB");
    EXPECT_EQ(store.ById(static_cast<int32_t>(ParamId::BlendingMode)).Popup(), 3);
    EXPECT_NE(store.ById(static_cast<int32_t>(ParamId::NumberOfSamples)).Flags() & kHostParamSupervised, 0u);
    EXPECT_EQ(store.ById(static_cast<int32_t>(ParamId::AnimateSmoothly)).Name(), "Animate Smoothly");

    ModuleSession hosc(kHostAppC);
    const HostSliderValue& fraction =
        hosc.host.Params().ById(static_cast<int32_t>(ParamId::TintAmount)).Record().u.slider;
    EXPECT_EQ(fraction.validMax, 1 << 16);
    EXPECT_EQ(fraction.defaultValue, 1 << 16);
}

TEST(ModuleEntry, AnAddParameterErrorStopsSetup) {
    HostRuntime host(TexturistModule());
    ASSERT_EQ(host.GlobalSetup(), 0);
    host.FailCall(HostService::AddParam, 5, 13);
    EXPECT_EQ(host.ParamsSetup(), 13);
    EXPECT_EQ(host.Out().numParams, 6); // the input layer, four added, the one refused
    host.ClearFaults();
    EXPECT_EQ(host.GlobalSetdown(), 0);
    EXPECT_TRUE(host.Accounting().Clean());
}

TEST(ModuleEntry, SelectorsThatDoNothing) {
    ModuleSession session;
    HostRuntime& host = session.host;
    for (uint32_t selector : {2u, 5u, 6u, 7u, 8u, 9u, 12u, 16u, 17u, 255u, 0xFFFFFFFFu}) {
        const int64_t checks = host.Accounting().abortChecks;
        const int64_t fetches = host.Calls(HostService::FetchString);
        const int64_t suites = host.Calls(HostService::AcquireSuite);
        EXPECT_EQ(host.Call(selector), 0) << selector;
        EXPECT_EQ(host.Out().outFlags, 0u);
        EXPECT_EQ(host.Accounting().abortChecks, checks);
        EXPECT_EQ(host.Calls(HostService::FetchString), fetches);
        EXPECT_EQ(host.Calls(HostService::AcquireSuite), suites);
    }
    int event = 7;
    EXPECT_EQ(host.Call(kHostCmdEvent, &event), 0);
}

// Enabled state of a parameter, as the host shows it.
bool Shown(HostRuntime& host, ParamId id) { return host.Params().ById(static_cast<int32_t>(id)).Enabled(); }

TEST(ModuleEntry, SupervisedParametersEnableTheirDependents) {
    ModuleSession session;
    HostRuntime& host = session.host;
    HostParamStore& store = host.Params();
    auto param = [&](ParamId id) -> HostParam& { return store.ById(static_cast<int32_t>(id)); };

    ASSERT_EQ(host.UpdateParamsUi(), 0);
    for (int32_t i = 0; i < 10; ++i) {
        EXPECT_FALSE(Shown(host, NoiseSamplePoint(i)));
        EXPECT_FALSE(Shown(host, CompensationSamplePoint(i)));
    }
    EXPECT_FALSE(Shown(host, ParamId::NoiseSamplePointsGroup));
    EXPECT_FALSE(Shown(host, ParamId::CompensationSamplePointsGroup));
    EXPECT_TRUE(Shown(host, ParamId::Saturation));

    // Nothing changes: no suite call.
    const int64_t updates = host.Accounting().uiUpdates;
    const int64_t acquired = host.Calls(HostService::AcquireSuite);
    ASSERT_EQ(host.UpdateParamsUi(), 0);
    EXPECT_EQ(host.Accounting().uiUpdates, updates);
    EXPECT_EQ(host.Calls(HostService::AcquireSuite), acquired);

    param(ParamId::Monochromatic).SetCheckbox(true);
    ASSERT_EQ(host.UserChangedParam(IndexOf(host, ParamId::Monochromatic)), 0);
    for (ParamId id : {ParamId::Saturation, ParamId::ChannelIntensitiesGroup, ParamId::RedIntensity,
                       ParamId::GreenIntensity, ParamId::BlueIntensity})
        EXPECT_FALSE(Shown(host, id));
    EXPECT_EQ(host.Out().outFlags, 0u); // nothing was set
    param(ParamId::Monochromatic).SetCheckbox(false);
    ASSERT_EQ(host.UserChangedParam(IndexOf(host, ParamId::Monochromatic)), 0);
    EXPECT_TRUE(Shown(host, ParamId::Saturation));
    EXPECT_TRUE(Shown(host, ParamId::BlueIntensity));

    // Manual with three samples: points 1 to 3 of both sets, and the view switches to Noise Samples.
    param(ParamId::NumberOfSamples).SetInteger(3);
    param(ParamId::SampleSelection).SetPopup(2);
    ASSERT_EQ(host.UserChangedParam(IndexOf(host, ParamId::SampleSelection)), 0);
    for (int32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(Shown(host, NoiseSamplePoint(i)), i < 3) << i;
        EXPECT_EQ(Shown(host, CompensationSamplePoint(i)), i < 3) << i;
    }
    EXPECT_TRUE(Shown(host, ParamId::NoiseSamplePointsGroup));
    EXPECT_EQ(param(ParamId::ViewingMode).Popup(), 2);
    EXPECT_EQ(host.Out().outFlags, 0x00020000u);

    // Back to Automatic: the view stays where the user left it.
    param(ParamId::ViewingMode).SetPopup(5);
    param(ParamId::SampleSelection).SetPopup(1);
    ASSERT_EQ(host.UserChangedParam(IndexOf(host, ParamId::SampleSelection)), 0);
    EXPECT_EQ(param(ParamId::ViewingMode).Popup(), 5);
    EXPECT_FALSE(Shown(host, NoiseSamplePoint(0)));
    EXPECT_EQ(host.Accounting().outstandingSuites, 0);
}

TEST(ModuleEntry, FrameSetupSizesTheOutput) {
    ModuleSession session(kVantor, 40, 30);
    HostRuntime& host = session.host;
    HostParam& noise = host.Params().ById(static_cast<int32_t>(ParamId::NoiseSourceLayer));
    noise.BindLayer(HostLayer::Still(HostImageBuffer(70, 20, false)));
    struct Case {
        int32_t view, width, height;
    } cases[] = {{1, 40, 30}, {2, 70, 20}, {3, 40, 30}, {4, 40, 30}, {5, 40, 30}};
    for (const Case& c : cases) {
        host.Params().ById(static_cast<int32_t>(ParamId::ViewingMode)).SetPopup(c.view);
        ASSERT_EQ(host.FrameSetup(), 0);
        EXPECT_EQ(host.Out().width, c.width) << c.view;
        EXPECT_EQ(host.Out().height, c.height) << c.view;
        EXPECT_EQ(host.Accounting().outstandingCheckouts, 0);
    }
    // A host without a time step still gets a frame: the source frame is time 0.
    host.SetTimeline({0, 0, 0, 2400});
    host.Params().ById(static_cast<int32_t>(ParamId::ViewingMode)).SetPopup(2);
    host.Params().ById(static_cast<int32_t>(ParamId::SourceFrame)).SetInteger(50);
    EXPECT_EQ(host.FrameSetup(), 0);
    EXPECT_EQ(host.Out().width, 70);
}

TEST(ModuleEntry, ACheckOutErrorEndsTheCommandWithTheHostsCode) {
    ModuleSession session;
    HostRuntime& host = session.host;
    host.Params().ById(static_cast<int32_t>(ParamId::ViewingMode)).SetPopup(2);
    host.FailCall(HostService::CheckoutParam, 1, 21);
    EXPECT_EQ(host.FrameSetup(), 21);
    EXPECT_EQ(host.Accounting().outstandingCheckouts, 0);
}

} // namespace
