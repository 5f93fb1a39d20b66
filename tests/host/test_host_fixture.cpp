// The runtime driving the fixture module through dlopen and its entry point:
// what the module declares lands in the parameter store, layers reach it at
// the right frames, and every service it uses is balanced on every path,
// including the paths that faults and cancellation force.
#include "host/HostModule.h"
#include "host/HostRuntime.h"
#include "tests/host/HostTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <vector>

namespace {

// Host indices of the fixture's parameters (see fixture_module.cpp).
constexpr int32_t kMode = 1, kSource = 2, kFrame = 3, kGain = 4, kAmount = 5, kEnabled = 6, kTint = 7, kCenter = 8,
                  kCount = 11;
enum Mode { kCopyFrame = 1, kStretch, kCenterMode, kIterate, kHandles, kProgress, kMisuse };

class FixtureTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(rt.GlobalSetup(), 0);
        ASSERT_EQ(rt.ParamsSetup(), 0);
    }
    void TearDown() override {
        EXPECT_EQ(rt.GlobalSetdown(), 0);
        const HostAccounting a = rt.Accounting();
        if (expectClean) {
            EXPECT_TRUE(a.Clean()) << "handles " << a.liveHandles << ", locked " << a.lockedHandles << ", images "
                                   << a.liveImages << ", check-outs " << a.outstandingCheckouts << ", tables "
                                   << a.liveStringTables << ", suites " << a.outstandingSuites << ", misuse "
                                   << a.misuse << ", off-thread " << a.offThreadCalls;
        }
    }
    // Everything the module holds between commands: its global handle.
    void ExpectOnlyGlobalsHeld() {
        const HostAccounting a = rt.Accounting();
        EXPECT_EQ(a.liveHandles, 1);
        EXPECT_EQ(a.lockedHandles, 0);
        EXPECT_EQ(a.liveImages, 0);
        EXPECT_EQ(a.outstandingCheckouts, 0);
        EXPECT_EQ(a.outstandingSuites, 0);
    }
    HostParam& P(int32_t index) { return rt.Params().At(index); }

    HostModule module{kFixtureModule};
    HostRuntime rt{module};
    bool expectClean = true;
};

TEST(HostFixtureLoading, PropertiesComeFromTheModuleSection) {
    const HostModule module(kFixtureModule);
    EXPECT_TRUE(module.HasProperties());
    EXPECT_EQ(module.Name(), "Host Fixture");
    EXPECT_EQ(module.Category(), "Testing");
    EXPECT_EQ(module.EntryPointName(), "main");
    EXPECT_TRUE(module.Notice().empty());
    EXPECT_NE(module.EntryPoint(), nullptr);
}

TEST(HostFixtureGlobals, SetupRegistersStringsAndSetdownReleasesThem) {
    const HostModule module(kFixtureModule);
    HostRuntime rt(module);
    ASSERT_EQ(rt.GlobalSetup(), 0);
    // String 1 carries a comment tail that the host must cut.
    EXPECT_EQ(rt.ReturnMessage(), "Animate Smoothly");
    EXPECT_EQ(rt.Out().version, 0x00010002u);
    EXPECT_NE(rt.GlobalData(), nullptr);
    EXPECT_EQ(rt.In().globalData, rt.GlobalData());
    EXPECT_EQ(rt.Accounting().liveHandles, 1);
    EXPECT_EQ(rt.Accounting().liveStringTables, 1);
    ASSERT_EQ(rt.GlobalSetdown(), 0);
    EXPECT_EQ(rt.GlobalData(), nullptr);
    EXPECT_TRUE(rt.Accounting().Clean());
    EXPECT_EQ(rt.Accounting().liveStringTables, 0);
}

TEST_F(FixtureTest, AboutFormatsTheFetchedName) {
    EXPECT_EQ(rt.About(), 0);
    EXPECT_EQ(rt.ReturnMessage(), "Host Fixture, v1.2");
    EXPECT_NE(rt.GlobalData(), nullptr);
    EXPECT_EQ(rt.Call(16), 0);
    EXPECT_EQ(rt.Call(99), 0);
}

TEST(HostFixtureGlobals, SetupFailuresLeaveNothingBehind) {
    const HostModule module(kFixtureModule);
    struct Case {
        const char* what;
        HostService service;
        int32_t code;
        int32_t expected;
    } cases[] = {
        {"registration refused", HostService::RegisterStrings, 61, 61},
        {"global handle refused", HostService::NewHandle, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostRuntime rt(module);
        rt.FailCall(c.service, 1, c.code);
        EXPECT_EQ(rt.GlobalSetup(), c.expected);
        EXPECT_EQ(rt.GlobalData(), nullptr);
        EXPECT_TRUE(rt.Accounting().Clean());
        EXPECT_EQ(rt.Accounting().liveStringTables, 0);
    }
}

TEST_F(FixtureTest, DeclaredParametersFillTheStore) {
    struct Row {
        int32_t index;
        int32_t id;
        int32_t type;
        const char* name;
        const char* group;
        const char* path;
        uint32_t flags;
    } rows[] = {
        {1, 101, kHostParamPopup, "Render Mode", "", "Render Mode", 32},
        {2, 102, kHostParamLayer, "Source Layer", "", "Source Layer", 32},
        {3, 103, kHostParamSlider, "Frame", "", "Frame", 32},
        {4, 104, kHostParamFixedSlider, "Gain", "", "Gain", 32},
        {5, 105, kHostParamFixedSlider, "Amount", "", "Amount", 32},
        {6, 106, kHostParamCheckbox, "Enabled", "", "Enabled", 32},
        {7, 107, kHostParamColor, "Tint", "", "Tint", 32},
        {8, 108, kHostParamPoint, "Center", "", "Center", 32},
        {9, 109, kHostParamGroupStart, "Outer", "", "Outer", 32},
        {10, 111, kHostParamGroupStart, "Inner", "Outer", "Outer/Inner", 32},
        {11, 113, kHostParamSlider, "Count", "Outer/Inner", "Outer/Inner/Count", 32 | 64},
        {12, 112, kHostParamGroupEnd, "", "Outer/Inner", "Outer/Inner", 32},
        {13, 110, kHostParamGroupEnd, "", "Outer", "Outer", 32},
    };
    ASSERT_EQ(rt.Params().Count(), 14);
    EXPECT_EQ(rt.Out().numParams, 14);
    EXPECT_EQ(rt.Params().OpenGroups(), 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const HostParam& p = P(row.index);
        EXPECT_EQ(p.Index(), row.index);
        EXPECT_EQ(p.Id(), row.id);
        EXPECT_EQ(p.Type(), row.type);
        EXPECT_EQ(p.Name(), row.name);
        EXPECT_EQ(p.Group(), row.group);
        EXPECT_EQ(p.Path(), row.path);
        EXPECT_EQ(p.Flags(), row.flags);
        EXPECT_EQ(&rt.Params().ById(row.id), &p);
    }
    EXPECT_EQ(rt.Params().ByPath("Outer/Inner/Count").Index(), kCount);
    EXPECT_EQ(rt.Params().FindByPath("Count"), nullptr);
}

TEST_F(FixtureTest, ValuesStartAtTheDefaultsAndTextsAreCopied) {
    EXPECT_EQ(P(kMode).Popup(), 1);
    EXPECT_EQ(P(kMode).PopupEntries(), (std::vector<std::string>{"Copy Frame", "Stretch", "Center", "Iterate",
                                                                 "Handles", "Progress", "Misuse"}));
    EXPECT_STREQ(P(kMode).Record().u.popup.choices, "Copy Frame|Stretch|Center|Iterate|Handles|Progress|Misuse");
    EXPECT_EQ(P(kFrame).Integer(), 0);
    EXPECT_EQ(P(kFrame).Record().u.slider.sliderMax, 100);
    EXPECT_DOUBLE_EQ(P(kGain).Number(), 1.5);
    EXPECT_DOUBLE_EQ(P(kAmount).Number(), 25.0);
    EXPECT_EQ(P(kAmount).Record().u.slider.displayFlags, 1);
    EXPECT_TRUE(P(kEnabled).Checkbox()); // the default, although the module's value word said 0
    EXPECT_EQ(P(kEnabled).Label(), "Enable it");
    EXPECT_STREQ(P(kEnabled).Record().u.checkbox.label, "Enable it");
    const HostPixel8 tint = P(kTint).Color();
    EXPECT_EQ((std::vector<int>{tint.alpha, tint.red, tint.green, tint.blue}), (std::vector<int>{255, 200, 100, 50}));
    EXPECT_EQ(P(kCount).Integer(), 8);
    EXPECT_EQ(P(kSource).Layer(), nullptr);
}

TEST_F(FixtureTest, PointDefaultsArePercentOfTheInputLayer) {
    // Default (25 %, 75 %): nothing to measure yet, then 200 x 80, then 40 x 40.
    EXPECT_TRUE(P(kCenter).PointFollowsDefault());
    EXPECT_EQ(P(kCenter).Point(), (HostPointPixels{0, 0}));
    rt.BindInputLayer(HostLayer::Still(HostImageBuffer(200, 80, false)));
    EXPECT_EQ(P(kCenter).Point(), (HostPointPixels{50, 60}));
    rt.BindInputLayer(HostLayer::Still(HostImageBuffer(40, 40, false)));
    EXPECT_EQ(P(kCenter).Point(), (HostPointPixels{10, 30}));
    P(kCenter).SetPoint(3.5, 4.25);
    rt.BindInputLayer(HostLayer::Still(HostImageBuffer(400, 400, false)));
    EXPECT_EQ(P(kCenter).Point(), (HostPointPixels{3.5, 4.25}));
    EXPECT_EQ(P(kCenter).Record().u.point.x, 7 << 15);
}

TEST_F(FixtureTest, SettersCheckTypeAndRange) {
    EXPECT_THROW(P(kFrame).SetNumber(1.0), std::invalid_argument);
    EXPECT_THROW(P(kEnabled).SetColor({1, 2, 3, 4}), std::invalid_argument);
    EXPECT_THROW(P(kGain).Integer(), std::invalid_argument);
    EXPECT_THROW(P(kFrame).SetInteger(1001), std::out_of_range);
    EXPECT_THROW(P(kGain).SetNumber(10.5), std::out_of_range);
    EXPECT_THROW(P(kMode).SetPopup(8), std::out_of_range);
    EXPECT_THROW(P(kMode).SetPopup(0), std::out_of_range);
    P(kGain).SetNumber(2.25);
    EXPECT_EQ(P(kGain).Record().u.slider.value, 9 << 14);
    P(kMode).SetInteger(7);
    EXPECT_EQ(P(kMode).Popup(), 7);
}

TEST_F(FixtureTest, CheckOutReadsTheSourceFrameAtTheRequestedTime) {
    // Four frames of 6 x 4, each one solid colour; the input is larger so that
    // the output size shows which layer frame setup measured.
    const HostPixelValue colours[] = {{255, 10, 0, 0}, {255, 0, 20, 0}, {255, 0, 0, 30}, {128, 40, 40, 40}};
    auto source = std::make_shared<HostLayer>();
    for (const HostPixelValue& colour : colours) source->AddFrame(Solid(6, 4, false, colour));
    P(kSource).BindLayer(source);
    rt.BindInputLayer(HostLayer::Still(Solid(10, 8, false, {1, 1, 1, 1})));

    struct Case {
        int32_t frameParam;
        int32_t expectedFrame;
    } cases[] = {{0, 0}, {2, 2}, {3, 3}, {9, 3}, {1000, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE("frame " + std::to_string(c.frameParam));
        P(kFrame).SetInteger(c.frameParam);
        ASSERT_EQ(rt.FrameSetup(), 0);
        EXPECT_EQ(rt.Out().width, 6);
        EXPECT_EQ(rt.Out().height, 4);
        ASSERT_EQ(rt.Render(), 0);
        ASSERT_EQ(rt.Output().Width(), 6);
        ASSERT_EQ(rt.Output().Height(), 4);
        for (int32_t y = 0; y < 4; ++y) {
            for (int32_t x = 0; x < 6; ++x) ASSERT_EQ(rt.Output().Get(x, y), colours[c.expectedFrame]);
        }
        ExpectOnlyGlobalsHeld();
    }
}

TEST_F(FixtureTest, WithoutASourceTheInputIsReadAtThatFrame) {
    auto input = std::make_shared<HostLayer>();
    input->AddFrame(Solid(3, 2, true, {32768, 1, 2, 3}));
    input->AddFrame(Solid(3, 2, true, {32768, 4000, 5000, 6000}));
    rt.BindInputLayer(input);
    P(kFrame).SetInteger(1);
    ASSERT_EQ(rt.FrameSetup(), 0);
    ASSERT_EQ(rt.Render(), 0);
    ASSERT_TRUE(rt.Output().Deep());
    EXPECT_EQ(rt.Output().Get(2, 1), (HostPixelValue{32768, 4000, 5000, 6000}));
}

TEST_F(FixtureTest, StretchAndCenterGoThroughNewImageFillAndCopy) {
    // A 2 x 1 source ramp (0 -> 200 in red) and a 4 x 2 input: stretching
    // interpolates between pixel centres, centring pads with transparent black.
    HostImageBuffer ramp(2, 1, false);
    ramp.Set(0, 0, {255, 0, 7, 9});
    ramp.Set(1, 0, {255, 200, 7, 9});
    P(kSource).BindLayer(HostLayer::Still(std::move(ramp)));
    rt.BindInputLayer(HostLayer::Still(HostImageBuffer(4, 2, false)));

    P(kMode).SetPopup(kStretch);
    ASSERT_EQ(rt.FrameSetup(), 0);
    ASSERT_EQ(rt.Render(), 0);
    const int expectedRed[] = {0, 50, 150, 200};
    for (int32_t y = 0; y < 2; ++y) {
        for (int32_t x = 0; x < 4; ++x) {
            EXPECT_EQ(rt.Output().Get(x, y), (HostPixelValue{255, static_cast<uint16_t>(expectedRed[x]), 7, 9}))
                << x << ", " << y;
        }
    }
    ExpectOnlyGlobalsHeld();

    P(kMode).SetPopup(kCenterMode);
    ASSERT_EQ(rt.Render(), 0);
    // dx = (4 - 2) / 2 = 1, dy = (2 - 1) / 2 = 0.
    for (int32_t y = 0; y < 2; ++y) {
        for (int32_t x = 0; x < 4; ++x) {
            HostPixelValue expected{};
            if (y == 0 && x == 1) expected = {255, 0, 7, 9};
            if (y == 0 && x == 2) expected = {255, 200, 7, 9};
            EXPECT_EQ(rt.Output().Get(x, y), expected) << x << ", " << y;
        }
    }
    ExpectOnlyGlobalsHeld();
}

TEST_F(FixtureTest, FailedServicesReachTheModuleAndLeaveNothingHeld) {
    P(kSource).BindLayer(HostLayer::Still(Patterned(5, 5, false)));
    rt.BindInputLayer(HostLayer::Still(HostImageBuffer(3, 3, false)));
    struct Case {
        int32_t mode;
        HostService service;
        int32_t code;
    } cases[] = {
        {kCopyFrame, HostService::CheckoutParam, 55}, {kStretch, HostService::NewImage, 4},
        {kStretch, HostService::CopyImage, 56},       {kCenterMode, HostService::FillImage, 57},
        {kIterate, HostService::Iterate, 58},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.service));
        P(kMode).SetPopup(c.mode);
        rt.FailCall(c.service, 1, c.code);
        EXPECT_EQ(rt.Render(), c.code);
        ExpectOnlyGlobalsHeld();
    }
}

TEST_F(FixtureTest, IterateRunsEveryIndexOnceOnSeveralThreads) {
    P(kMode).SetPopup(kIterate);
    P(kCount).SetInteger(64);
    rt.SetIterateThreads(4);
    ASSERT_EQ(rt.Render(), 0);
    const std::string report = rt.ReturnMessage();
    EXPECT_EQ(ReportField(report, "indices"), 64) << report;
    EXPECT_EQ(ReportField(report, "once"), 1) << report;
    EXPECT_EQ(ReportField(report, "serial"), 0) << report;
    EXPECT_GE(ReportField(report, "threads"), 2) << report;
    EXPECT_LE(ReportField(report, "maxThread"), 3) << report;
    EXPECT_EQ(rt.Calls(HostService::Iterate), 1);
}

TEST_F(FixtureTest, WithoutTheIterateServiceTheModuleRunsSerially) {
    P(kMode).SetPopup(kIterate);
    P(kCount).SetInteger(20);
    rt.SetIterateAvailable(false);
    ASSERT_EQ(rt.Render(), 0);
    const std::string report = rt.ReturnMessage();
    EXPECT_EQ(ReportField(report, "serial"), 1) << report;
    EXPECT_EQ(ReportField(report, "ordered"), 1) << report;
    EXPECT_EQ(ReportField(report, "threads"), 1) << report;
    EXPECT_EQ(ReportField(report, "once"), 1) << report;
    EXPECT_EQ(rt.Calls(HostService::Iterate), 0);
}

TEST_F(FixtureTest, ServicesCalledFromWorkersAreCountedAsMisuse) {
    P(kMode).SetPopup(kMisuse);
    P(kCount).SetInteger(32);
    rt.SetIterateThreads(4);
    ASSERT_EQ(rt.Render(), 0);
    ASSERT_GE(ReportField(rt.ReturnMessage(), "threads"), 2);
    EXPECT_GT(rt.Accounting().offThreadCalls, 0);
    expectClean = false;
}

TEST_F(FixtureTest, EveryRefusedHandleIsReportedAndTheRestFreed) {
    P(kMode).SetPopup(kHandles);
    P(kCount).SetInteger(10);
    ASSERT_EQ(rt.Render(), 0);
    const HostAccounting after = rt.Accounting();
    // The global block of 8 bytes plus 16, 32, ..., 160 bytes held at once.
    EXPECT_EQ(after.peakHandleBytes, 8 + 16 * (10 * 11 / 2));
    EXPECT_GT(after.handleMoves, 0);
    ExpectOnlyGlobalsHeld();

    for (int64_t n = 1; n <= 10; ++n) {
        SCOPED_TRACE("refuse handle " + std::to_string(n));
        const int64_t refused = rt.Accounting().refusedHandles;
        rt.RefuseHandleAt(n);
        EXPECT_EQ(rt.Render(), 4);
        EXPECT_EQ(rt.Accounting().refusedHandles, refused + 1);
        ExpectOnlyGlobalsHeld();
    }
    rt.RefuseHandleAt(11);
    EXPECT_EQ(rt.Render(), 0);
    rt.ClearFaults();
}

TEST_F(FixtureTest, CancelAtEveryCheckEndsTheRenderCleanly) {
    // Count 5: checks alternate abort, progress for steps 0..5, 12 in all.
    P(kMode).SetPopup(kProgress);
    P(kCount).SetInteger(5);
    ASSERT_EQ(rt.Render(), 0);
    EXPECT_EQ(rt.ProgressLog().size(), 6u);
    EXPECT_EQ(rt.ProgressLog().back().done, 5);
    EXPECT_EQ(rt.ProgressLog().back().total, 5);
    for (int64_t n = 1; n <= 12; ++n) {
        SCOPED_TRACE("cancel at check " + std::to_string(n));
        rt.ClearLogs();
        rt.CancelAtCheck(n, 77);
        EXPECT_EQ(rt.Render(), 77);
        // A cancelling progress call is still logged; odd checks are abort calls.
        EXPECT_EQ(rt.ProgressLog().size(), static_cast<size_t>(n / 2));
        ExpectOnlyGlobalsHeld();
    }
    rt.CancelAtCheck(0);
    EXPECT_EQ(rt.Render(), 0);
}

HostRuntime* gSignalled = nullptr;
void CancelOnSignal(int) { gSignalled->Cancel(); }

TEST_F(FixtureTest, CancelComesFromACallbackAnotherThreadOrASignal) {
    P(kMode).SetPopup(kProgress);
    P(kCount).SetInteger(5);
    rt.SetCancelCode(3);

    rt.SetProgressCallback([this](int32_t done, int32_t) {
        if (done == 2) rt.Cancel();
    });
    EXPECT_EQ(rt.Render(), 3);
    EXPECT_EQ(rt.ProgressLog().size(), 3u);
    rt.SetProgressCallback(nullptr);
    rt.ClearCancel();
    EXPECT_EQ(rt.Render(), 0);

    std::thread([this] { rt.Cancel(); }).join();
    EXPECT_EQ(rt.Render(), 3);
    rt.ClearCancel();

    gSignalled = &rt;
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = &CancelOnSignal;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    std::raise(SIGUSR1);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(rt.CancelRequested());
    EXPECT_EQ(rt.Render(), 3);
    rt.ClearCancel();
    ExpectOnlyGlobalsHeld();
}

TEST_F(FixtureTest, CallsNestAndEachKeepsItsOwnRecords) {
    P(kMode).SetPopup(kProgress);
    P(kCount).SetInteger(2);
    int32_t depthSeen = -1;
    int32_t innerCode = -1;
    std::string innerMessage;
    rt.SetProgressCallback([&](int32_t done, int32_t) {
        if (done != 1) return;
        depthSeen = rt.CallDepth();
        innerCode = rt.About();
        innerMessage = rt.ReturnMessage();
    });
    EXPECT_EQ(rt.Render(), 0);
    EXPECT_EQ(depthSeen, 1);
    EXPECT_EQ(innerCode, 0);
    EXPECT_EQ(innerMessage, "Host Fixture, v1.2");
    EXPECT_EQ(rt.ReturnMessage(), ""); // the outer render's own out record
    EXPECT_EQ(rt.CallDepth(), 0);
    rt.SetProgressCallback(nullptr);
}

TEST_F(FixtureTest, UiUpdatesReachTheStoreThroughTheSuite) {
    struct Case {
        bool enabled;
        bool gainEnabled;
    } cases[] = {{true, true}, {false, false}, {true, true}};
    for (const Case& c : cases) {
        P(kEnabled).SetCheckbox(c.enabled);
        ASSERT_EQ(rt.UpdateParamsUi(), 0);
        EXPECT_EQ(P(kGain).Enabled(), c.gainEnabled);
        ASSERT_FALSE(rt.UiUpdateLog().empty());
        EXPECT_EQ(rt.UiUpdateLog().back().hostIndex, kGain);
    }
    EXPECT_EQ(rt.Accounting().uiUpdates, 3);

    rt.FailCall(HostService::AcquireSuite, 1, kHostErrUnknownSuite);
    P(kEnabled).SetCheckbox(false);
    EXPECT_EQ(rt.UpdateParamsUi(), kHostErrUnknownSuite);
    EXPECT_TRUE(P(kGain).Enabled());
}

TEST_F(FixtureTest, ValuesTheModuleMarksChangedAreTakenBack) {
    P(kCount).SetInteger(42);
    ASSERT_EQ(rt.UserChangedParam(kCount), 0);
    EXPECT_EQ(rt.Out().outFlags, 0x00020000u);
    EXPECT_EQ(P(kFrame).Integer(), 42);
    EXPECT_EQ(P(kFrame).Id(), 103); // the mark is the module's message, not a new identifier

    P(kCount).SetInteger(7);
    ASSERT_EQ(rt.UserChangedParam(kGain), 0);
    EXPECT_EQ(rt.Out().outFlags, 0u);
    EXPECT_EQ(P(kFrame).Integer(), 42);
}

} // namespace
