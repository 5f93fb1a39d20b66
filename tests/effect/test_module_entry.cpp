// The module's entry point, parameters and UI updates, through the built
// module's exported `main` as the host calls it.
#include "effect/ParamId.h"
#include "tests/effect/ModuleFixture.h"
#include "tests/effect/RenderFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

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

// ---- Host orders ----------------------------------------------------------
// Written out from the design, not from the module: every host's order, entry
// for entry, each host in a module loaded afresh.

struct Declared {
    int32_t id;
    int32_t type; // 0 layer, 1 slider, 2 fixed, 4 checkbox, 5 colour, 6 point, 7 popup, 13/14 group start/end
    const char* name;
};

// The order of every host but HOSA, HOSB and HOSC (index 0, the input layer, left out).
const std::vector<Declared>& DefaultOrder() {
    static const std::vector<Declared> rows = [] {
        std::vector<Declared> r = {
            {2, 7, "Viewing Mode"},
            {13, 0, "Noise Source Layer"},
            {200, 13, "Preview Region"},
            {14, 6, "Center"},
            {15, 1, "Width"},
            {16, 1, "Height"},
            {117, 4, "Show Box"},
            {115, 5, "Box Color"},
            {201, 14, ""},
            {204, 13, "Tweaking"},
            {21, 2, "Intensity"},
            {119, 2, "Size"},
            {232, 2, "Softness"},
            {120, 2, "Aspect Ratio"},
            {118, 2, "Compensate for Existing Noise"},
            {206, 13, "Channel Intensities"},
            {22, 2, "Red Intensity"},
            {23, 2, "Green Intensity"},
            {24, 2, "Blue Intensity"},
            {207, 14, ""},
            {220, 13, "Channel Size"},
            {122, 2, "Red Size"},
            {123, 2, "Green Size"},
            {124, 2, "Blue Size"},
            {221, 14, ""},
            {205, 14, ""},
            {226, 13, "Color"},
            {31, 4, "Monochromatic"},
            {20, 2, "Saturation"},
            {114, 2, "Tint Amount"},
            {25, 5, "Tint Color"},
            {227, 14, ""},
            {216, 13, "Application"},
            {29, 7, "Blending Mode"},
            {128, 2, "Shadows"},
            {129, 2, "Midtones"},
            {130, 2, "Highlights"},
            {131, 2, "Midpoint"},
            {210, 13, "Channel Balance"},
            {132, 2, "Red Shadows"},
            {133, 2, "Red Midtones"},
            {134, 2, "Red Highlights"},
            {135, 2, "Green Shadows"},
            {136, 2, "Green Midtones"},
            {137, 2, "Green Highlights"},
            {138, 2, "Blue Shadows"},
            {139, 2, "Blue Midtones"},
            {140, 2, "Blue Highlights"},
            {211, 14, ""},
            {217, 14, ""},
            {202, 13, "Sampling"},
            {141, 1, "Source Frame"},
            {10, 1, "Number of Samples"},
            {11, 1, "Sample Size"},
            {142, 5, "Sample Box Color"},
            {18, 7, "Sample Selection"},
            {212, 13, "Noise Sample Points"},
        };
        static const char* const numbers[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
        for (int32_t i = 0; i < 10; ++i) r.push_back({50 + i, 6, numbers[i]});
        r.push_back({213, 14, ""});
        r.push_back({214, 13, "Intensity"});
        for (int32_t i = 0; i < 10; ++i) r.push_back({70 + i, 6, numbers[i]});
        const std::vector<Declared> tail = {
            {215, 14, ""},
            {203, 14, ""},
            {224, 13, "Animation"},
            {155, 2, "Animation Speed"},
            {154, 4, "Animate Smoothly"},
            {17, 1, "Random Seed"},
            {225, 14, ""},
            {218, 13, "Blend with Original"},
            {143, 2, "Amount"},
            {153, 7, "Combine Match and Mask Using"},
            {149, 2, "Blur Matte"},
            {228, 13, "Color Matching"},
            {147, 7, "Match Color Using"},
            {144, 5, "Matching Color"},
            {145, 2, "Matching Tolerance"},
            {146, 2, "Matching Softness"},
            {148, 4, "Invert Match"},
            {229, 14, ""},
            {230, 13, "Masking Layer"},
            {150, 0, "Mask Layer"},
            {152, 7, "Masking Mode"},
            {151, 7, "If Mask Size Differs"},
            {231, 14, ""},
            {219, 14, ""},
            {156, 7, "Estimator"}, // added later: last on every host
            {157, 4, "Fit Response to Source"},
        };
        r.insert(r.end(), tail.begin(), tail.end());
        return r;
    }();
    return rows;
}

std::vector<int32_t> Run(int32_t first, int32_t last) { // identifiers of default indices first..last
    std::vector<int32_t> ids;
    for (int32_t i = first; i <= last; ++i) ids.push_back(DefaultOrder()[static_cast<size_t>(i - 1)].id);
    return ids;
}

std::vector<int32_t> Concat(std::initializer_list<std::vector<int32_t>> runs) {
    std::vector<int32_t> ids;
    for (const auto& run : runs) ids.insert(ids.end(), run.begin(), run.end());
    return ids;
}

// Identifiers in host order, indices 1 to 105.
std::vector<int32_t> ExpectedOrder(uint32_t app) {
    if (app == kHostAppA) // compensation at 10, the Tweaking group at 11 to 15
        return Concat({Run(1, 9), {118}, Run(10, 14), Run(16, 105)});
    if (app == kHostAppB || app == kHostAppC)
        return Concat({Run(1, 15),
                       {205},
                       Run(16, 25),
                       Run(27, 32),
                       {216, 29, 128, 129, 130, 131, 217},
                       Run(39, 49),
                       {202, 141, 10, 11, 142, 18, 203},
                       Run(57, 80),
                       Run(82, 86),
                       {218, 143, 149, 219},
                       Run(91, 97),
                       Run(98, 102),
                       {153, 156, 157}});
    return Run(1, 105);
}

// Group path of every entry: the names of the groups open around it.
std::vector<std::string> ExpectedPaths(const std::vector<int32_t>& order) {
    std::vector<std::string> paths, open;
    for (int32_t id : order) {
        const auto row =
            std::find_if(DefaultOrder().begin(), DefaultOrder().end(), [id](const Declared& d) { return d.id == id; });
        std::string path;
        for (const std::string& group : open) path += group + "/";
        if (row->type == 14) {
            open.pop_back();
            paths.push_back("");
            continue;
        }
        paths.push_back(path + row->name);
        if (row->type == 13) open.push_back(row->name);
    }
    return paths;
}

int32_t ExpectedIndex(const std::vector<int32_t>& order, int32_t id) {
    return static_cast<int32_t>(std::find(order.begin(), order.end(), id) - order.begin()) + 1;
}

const uint32_t kEveryHost[] = {kHostAppVantor, kHostAppA, kHostAppB, kHostAppC};

std::string HostName(uint32_t app) {
    return {static_cast<char>(app >> 24), static_cast<char>(app >> 16), static_cast<char>(app >> 8),
            static_cast<char>(app)};
}

TEST(HostOrders, EachHostsOrderEntryForEntryInAFreshModule) {
    // The tables themselves: each a permutation of the default.
    std::vector<int32_t> all = ExpectedOrder(kHostAppVantor);
    std::sort(all.begin(), all.end());
    for (uint32_t app : kEveryHost) {
        std::vector<int32_t> ids = ExpectedOrder(app);
        std::sort(ids.begin(), ids.end());
        ASSERT_EQ(ids, all) << HostName(app);
    }
    for (uint32_t app : kEveryHost) {
        SCOPED_TRACE(HostName(app));
        const HostModule module = FreshTexturistModule();
        ModuleSession session(app, 64, 48, false, module);
        HostParamStore& store = session.host.Params();
        EXPECT_EQ(session.host.Out().numParams, 106);
        ASSERT_EQ(store.Count(), 106);
        const std::vector<int32_t> order = ExpectedOrder(app);
        const std::vector<std::string> paths = ExpectedPaths(order);
        for (int32_t index = 1; index < 106; ++index) {
            const HostParam& p = store.At(index);
            const int32_t id = order[static_cast<size_t>(index - 1)];
            const Declared& row = *std::find_if(DefaultOrder().begin(), DefaultOrder().end(),
                                                [id](const Declared& d) { return d.id == id; });
            EXPECT_EQ(p.Id(), id) << "index " << index;
            EXPECT_EQ(p.Type(), row.type) << "index " << index;
            EXPECT_EQ(p.Name(), row.name) << "index " << index;
            if (row.type != 14) {
                EXPECT_EQ(p.Path(), paths[static_cast<size_t>(index - 1)]) << "index " << index;
            }
        }
    }
}

TEST(HostOrders, UiUpdatesTouchTheIndicesOfTheirHost) {
    for (uint32_t app : kEveryHost) {
        SCOPED_TRACE(HostName(app));
        const HostModule module = FreshTexturistModule();
        ModuleSession session(app, 64, 48, false, module);
        HostRuntime& host = session.host;
        const std::vector<int32_t> order = ExpectedOrder(app);
        auto log = [&] {
            std::vector<std::pair<int32_t, uint32_t>> entries;
            for (const HostUiUpdate& u : host.UiUpdateLog()) entries.emplace_back(u.hostIndex, u.uiFlags);
            host.ClearLogs();
            return entries;
        };
        host.ClearLogs();
        // Automatic sampling: both point groups, then the points pairwise, disabled.
        ASSERT_EQ(host.UpdateParamsUi(), 0);
        std::vector<std::pair<int32_t, uint32_t>> expected = {{ExpectedIndex(order, 212), 32u},
                                                              {ExpectedIndex(order, 214), 32u}};
        for (int32_t i = 0; i < 10; ++i) {
            expected.emplace_back(ExpectedIndex(order, 50 + i), 32u);
            expected.emplace_back(ExpectedIndex(order, 70 + i), 32u);
        }
        EXPECT_EQ(log(), expected);
        // Monochromatic: Saturation and the Channel Intensities group.
        host.Params().At(ExpectedIndex(order, 31)).SetCheckbox(true);
        ASSERT_EQ(host.UserChangedParam(ExpectedIndex(order, 31)), 0);
        expected.clear();
        for (int32_t id : {20, 206, 22, 23, 24}) expected.emplace_back(ExpectedIndex(order, id), 32u);
        EXPECT_EQ(log(), expected);
        // Manual with two samples: the groups and points 1 and 2 of each; the view switches.
        host.Params().At(ExpectedIndex(order, 10)).SetInteger(2);
        host.Params().At(ExpectedIndex(order, 18)).SetPopup(2);
        ASSERT_EQ(host.UserChangedParam(ExpectedIndex(order, 18)), 0);
        expected = {{ExpectedIndex(order, 212), 0u}, {ExpectedIndex(order, 214), 0u}, {ExpectedIndex(order, 50), 0u},
                    {ExpectedIndex(order, 70), 0u},  {ExpectedIndex(order, 51), 0u},  {ExpectedIndex(order, 71), 0u}};
        EXPECT_EQ(log(), expected);
        EXPECT_EQ(host.Params().At(ExpectedIndex(order, 2)).Popup(), 2);
        EXPECT_EQ(host.Out().outFlags, 0x00020000u);
        // Nothing changes: no update at all.
        ASSERT_EQ(host.UpdateParamsUi(), 0);
        EXPECT_EQ(log(), (std::vector<std::pair<int32_t, uint32_t>>{}));
        // Monochromatic off enables again; back to Automatic keeps the view where the user left it.
        host.Params().At(ExpectedIndex(order, 31)).SetCheckbox(false);
        ASSERT_EQ(host.UserChangedParam(ExpectedIndex(order, 31)), 0);
        expected.clear();
        for (int32_t id : {20, 206, 22, 23, 24}) expected.emplace_back(ExpectedIndex(order, id), 0u);
        EXPECT_EQ(log(), expected);
        host.Params().At(ExpectedIndex(order, 2)).SetPopup(5);
        host.Params().At(ExpectedIndex(order, 18)).SetPopup(1);
        ASSERT_EQ(host.UserChangedParam(ExpectedIndex(order, 18)), 0);
        EXPECT_EQ(host.Params().At(ExpectedIndex(order, 2)).Popup(), 5);
        EXPECT_EQ(host.Accounting().outstandingSuites, 0);
        // The record the module declared: Number of Samples supervised.
        EXPECT_NE(host.Params().At(ExpectedIndex(order, 10)).Flags() & kHostParamSupervised, 0u);
    }
}

TEST(HostOrders, EveryParameterSetThroughEachHostsIndicesRendersTheSameBytes) {
    // Identifier and value of every value parameter; percentages in percent,
    // chosen exact as HOSC's fractions too.
    struct Setting {
        int32_t id;
        double value;
        double y = 0; // points
    };
    std::vector<Setting> settings = {
        {2, 5},     {14, 30, 20}, {15, 120},  {16, 150},  {117, 0},   {115, 200}, {21, 1.4},  {119, 1.3}, {232, 0.6},
        {120, 1.2}, {118, 25},    {22, 1.2},  {23, 0.8},  {24, 1.1},  {122, 1.1}, {123, 0.9}, {124, 1.2}, {31, 0},
        {20, 0.7},  {114, 50},    {25, 180},  {29, 1},    {128, 0.8}, {129, 1.2}, {130, 0.9}, {131, 0.4}, {132, 1.1},
        {133, 0.9}, {134, 1.2},   {135, 0.8}, {136, 1.3}, {137, 1.0}, {138, 0.7}, {139, 1.1}, {140, 1.4}, {141, 0},
        {10, 3},    {11, 16},     {142, 90},  {18, 2},    {155, 0.5}, {154, 1},   {17, 42},   {143, 25},  {153, 2},
        {149, 1.5}, {147, 3},     {144, 150}, {145, 0.3}, {146, 0.2}, {148, 1},   {152, 3},   {151, 2},
    };
    for (int32_t i = 0; i < 3; ++i) {
        settings.push_back({50 + i, 10.0 + 20 * i, 8.0 + 12 * i});
        settings.push_back({70 + i, 12.0 + 15 * i, 10.0 + 10 * i});
    }
    const GrainyPlate plate = MakeGrainyPlate(80, 60, false, 0.05, 11);
    HostImageBuffer mask(64, 48, false);
    for (int32_t y = 0; y < 48; ++y)
        for (int32_t x = 0; x < 64; ++x) {
            const uint16_t v = static_cast<uint16_t>(x * 4);
            mask.Set(x, y, {255, v, v, v});
        }
    std::vector<uint16_t> reference;
    for (uint32_t app : kEveryHost) {
        SCOPED_TRACE(HostName(app));
        const HostModule module = FreshTexturistModule();
        ModuleSession session(app, 64, 48, false, module);
        HostRuntime& host = session.host;
        const std::vector<int32_t> order = ExpectedOrder(app);
        host.BindInputLayer(HostLayer::Still(MakeGrainyPlate(64, 48, false, 0.02, 5, {0.4, 0.5, 0.6}).image));
        host.Params().At(ExpectedIndex(order, 13)).BindLayer(HostLayer::Still(plate.image.Clone()));
        host.Params().At(ExpectedIndex(order, 150)).BindLayer(HostLayer::Still(mask.Clone()));
        for (const Setting& s : settings) {
            HostParam& p = host.Params().At(ExpectedIndex(order, s.id));
            ASSERT_EQ(p.Id(), s.id);
            switch (p.Type()) {
            case 1:
                p.SetInteger(static_cast<int32_t>(s.value));
                break;
            case 2: {
                const bool percent = s.id == 118 || s.id == 114 || s.id == 143;
                p.SetNumber(percent && app == kHostAppC ? s.value / 100 : s.value);
                break;
            }
            case 4:
                p.SetCheckbox(s.value != 0);
                break;
            case 5: {
                const auto v = static_cast<uint8_t>(s.value);
                p.SetColor({255, v, static_cast<uint8_t>(255 - v), static_cast<uint8_t>(v / 2)});
                break;
            }
            case 6:
                p.SetPoint(s.value, s.y);
                break;
            case 7:
                p.SetPopup(static_cast<int32_t>(s.value));
                break;
            default:
                FAIL() << "no value for type " << p.Type();
            }
        }
        ASSERT_EQ(host.FrameSetup(), 0);
        ASSERT_EQ(host.Render(), 0);
        std::vector<uint16_t> bytes;
        const HostImageBuffer& out = host.Output();
        for (int32_t y = 0; y < out.Height(); ++y)
            for (int32_t x = 0; x < out.Width(); ++x) {
                const HostPixelValue v = out.Get(x, y);
                bytes.insert(bytes.end(), {v.alpha, v.red, v.green, v.blue});
            }
        if (reference.empty())
            reference = bytes;
        else
            EXPECT_EQ(bytes, reference);
    }
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

TEST(ModuleEntry, FrameSetupSizesTheOutput) {
    ModuleSession session(kHostAppVantor, 40, 30);
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
