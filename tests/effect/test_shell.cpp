// The shell in process, driven through its command handler by the substitute
// host, so that the module-wide call context can be watched from outside.
#include "effect/CallContext.h"
#include "effect/EntryPoint.h"
#include "effect/HostAdapter.h"
#include "effect/ParamCatalogue.h"
#include "effect/ParamReading.h"
#include "host/HostRuntime.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "tests/effect/RenderFixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

// Plain allocations of this process, the shell's included, counted so that a
// test can refuse the Nth one: below zero, none is refused.
namespace {
std::atomic<int64_t> gAllocationsBeforeRefusal{-1};
}

void* operator new(std::size_t size) {
    if (gAllocationsBeforeRefusal.load(std::memory_order_relaxed) >= 0 && gAllocationsBeforeRefusal.fetch_sub(1) == 0)
        throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
// Callers of the nothrow form cope with a refusal themselves (a stable sort
// falls back to merging in place): it is not counted.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
// GCC takes the pair for a mismatch once both are inlined; they are one allocator.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

class ShellSession {
public:
    explicit ShellSession(uint32_t app = kHostAppVantor) : host(&TexturistMain) {
        host.SetAppId(app);
        host.BindInputLayer(HostLayer::Still(HostImageBuffer(48, 40, false, 0, 0x60)));
        EXPECT_EQ(host.GlobalSetup(), 0);
        EXPECT_EQ(host.ParamsSetup(), 0);
    }
    ~ShellSession() {
        EXPECT_EQ(host.GlobalSetdown(), 0);
        EXPECT_TRUE(host.Accounting().Clean());
    }
    HostParam& Param(ParamId id) { return host.Params().ById(static_cast<int32_t>(id)); }
    HostRuntime host;
};

TEST(CallContext, RestoredAfterEveryCallEvenAThrowingOrNestedOne) {
    const HostCallContext outside = gCall;
    ShellSession session;
    HostRuntime& host = session.host;
    EXPECT_EQ(gCall, outside);

    // A nested call from inside a render (through the progress service) leaves
    // the render's context as it was.
    int nested = 0;
    bool intact = true;
    host.SetProgressCallback([&](int32_t, int32_t) {
        if (nested++ > 0) return;
        const HostCallContext during = gCall;
        EXPECT_EQ(during.selector, static_cast<uint32_t>(kHostCmdRender));
        EXPECT_EQ(host.About(), 0);
        intact = gCall == during;
    });
    session.Param(ParamId::ViewingMode).SetPopup(2);
    ASSERT_EQ(host.FrameSetup(), 0);
    ASSERT_EQ(host.Render(), 0);
    EXPECT_GT(nested, 0);
    EXPECT_TRUE(intact);
    EXPECT_EQ(gCall, outside);
    host.SetProgressCallback(nullptr);

    // A command ended by a host error, and one ended by a C++ exception.
    host.FailCall(HostService::CheckoutParam, 1, 33);
    EXPECT_EQ(host.FrameSetup(), 33);
    EXPECT_EQ(gCall, outside);
    // Anything that escapes a handler: 512 and the host shows the message.
    bool thrown = false;
    host.SetProgressCallback([&thrown](int32_t, int32_t) {
        if (thrown) return;
        thrown = true;
        throw std::runtime_error("host callback failed");
    });
    EXPECT_EQ(host.Render(), 512);
    EXPECT_EQ(host.Out().outFlags & 0x100u, 0x100u);
    EXPECT_EQ(gCall, outside);
    host.SetProgressCallback(nullptr);
}

// Nodes, graphs and models come from the plain heap, not the host's: a refusal
// there must end the render as the host's refusal does, with 4 and "Out of
// memory.", every host allocation returned. The host's own allocations are
// refused too: inside a service the host answers 4 itself (the module passes
// its code on, without a message of its own); before the module runs the call
// throws, and the next allocation is tried.
TEST(Render, EveryRefusedPlainAllocationIsOutOfMemory) {
    std::optional<HostImageBuffer> unrefused;
    int64_t ownRefusals = 0;
    for (int64_t n = -1;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        ShellSession session; // checks at its end that every host allocation was returned
        HostRuntime& host = session.host;
        session.Param(ParamId::NoiseSourceLayer)
            .BindLayer(HostLayer::Still(MakeGrainyPlate(40, 36, false, 0.05, 2).image));
        session.Param(ParamId::SampleSize).SetInteger(16);
        session.Param(ParamId::BlurMatte).SetNumber(2);
        session.Param(ParamId::CompensateForExistingNoise).SetNumber(50);
        ASSERT_EQ(host.FrameSetup(), 0);
        host.SetIterateThreads(1);
        gAllocationsBeforeRefusal = n;
        int32_t code = -1;
        try {
            code = host.Render();
        } catch (const std::bad_alloc&) {}
        const bool refused = gAllocationsBeforeRefusal.exchange(-1) < 0 && n >= 0;
        if (!refused) {
            ASSERT_EQ(code, 0);
            if (unrefused) break;
            unrefused = host.Output().Clone();
            continue;
        }
        if (code == -1) continue;
        // A refused service the module can do without (the iteration service) changes nothing.
        if (code == 0) {
            for (int32_t y = 0; y < unrefused->Height(); ++y)
                for (int32_t x = 0; x < unrefused->Width(); ++x)
                    ASSERT_EQ(host.Output().Get(x, y), unrefused->Get(x, y));
            continue;
        }
        ASSERT_EQ(code, 4);
        if (host.ReturnMessage() == "Out of memory.") ++ownRefusals;
    }
    EXPECT_GT(ownRefusals, 100) << "the module's own allocations were refused and reported";
}

// Reads a value the way the render does, with the host's records of a call.
template <class Read> auto ReadInCall(HostRuntime& host, Read read) {
    HostInData in = host.In();
    std::vector<HostParamRecord> records;
    for (int32_t i = 0; i < host.Params().Count(); ++i) records.push_back(host.Params().RecordAt(i, 0, 100));
    std::vector<HostParamRecord*> params;
    for (HostParamRecord& r : records) params.push_back(&r);
    HostOutData out{};
    const HostCallContext saved = gCall;
    gCall.in = &in;
    gCall.out = &out;
    gCall.params = params.data();
    const auto value = read();
    gCall = saved;
    return value;
}

TEST(ParamReading, PercentSlidersReadAsPercentOnEveryHost) {
    for (uint32_t app : {kHostAppVantor, kHostAppA, kHostAppC}) {
        ShellSession session(app);
        // HOSC declares percentages as fractions and stores them so.
        const HostSliderValue& declared = session.Param(ParamId::TintAmount).Record().u.slider;
        EXPECT_EQ(declared.validMax, (app == kHostAppC ? 1 : 100) << 16);
        EXPECT_EQ(declared.defaultValue, (app == kHostAppC ? 1 : 100) << 16);
        session.Param(ParamId::TintAmount).SetNumber(app == kHostAppC ? 0.5 : 50.0);
        session.Param(ParamId::Softness).SetNumber(2.5);
        EXPECT_FLOAT_EQ(ReadInCall(session.host, [] { return ReadNumber(ParamId::TintAmount); }), 50.0f);
        EXPECT_FLOAT_EQ(ReadInCall(session.host, [] { return ReadNumber(ParamId::Softness); }), 2.5f);
    }
}

TEST(ParamReading, PointsColoursAndTheSourceFrame) {
    ShellSession session;
    session.Param(ParamId::PreviewCenter).SetPoint(-0.5, 10.75);
    const ParamPoint p = ReadInCall(session.host, [] { return ReadPoint(ParamId::PreviewCenter); });
    EXPECT_EQ(p.x, -1); // floored
    EXPECT_EQ(p.y, 10);
    session.Param(ParamId::TintColor).SetColor({255, 51, 102, 0});
    const std::array<float, 4> c = ReadInCall(session.host, [] { return ReadColour(ParamId::TintColor); });
    EXPECT_FLOAT_EQ(c[0], 1.0f);
    EXPECT_FLOAT_EQ(c[1], 0.2f);
    EXPECT_FLOAT_EQ(c[2], 0.4f);
    EXPECT_FLOAT_EQ(c[3], 0.0f);
    EXPECT_EQ(ReadInCall(session.host, [] { return HostIndex(static_cast<ParamId>(99)); }), 0);

    struct Case {
        uint32_t app;
        HostTimeline timeline;
        int32_t frame;
        int32_t time;
    } cases[] = {
        {kHostAppVantor, {0, 100, 1000, 2400}, 3, 300},
        {kHostAppVantor, {0, 100, 1000, 2400}, 50, 900}, // the last frame
        {kHostAppC, {0, 100, 1000, 2400}, 50, 1000},     // HOSC: the end
        {kHostAppVantor, {0, 0, 0, 2400}, 7, 0},         // no time step
        {kHostAppVantor, {0, 100, 50, 2400}, 0, 0},      // shorter than a frame
        {kHostAppVantor, {0, 100000, 2000000000, 2400}, 100000, 1999900000},
    };
    for (const Case& c : cases) {
        session.host.SetAppId(c.app);
        session.host.SetTimeline(c.timeline);
        session.Param(ParamId::SourceFrame).SetInteger(c.frame);
        EXPECT_EQ(ReadInCall(session.host, [] { return SourceFrameTime(); }), c.time) << c.frame;
    }
    session.host.SetAppId(kHostAppVantor);
}

// Whole frames through the fast and the reference paths of the library, with
// seeded random parameters: the same bytes for every band height and thread count.
TEST(Render, FastPathsGiveTheReferenceBytes) {
    std::mt19937 random(2024);
    for (bool deep : {false, true}) {
        for (int trial = 0; trial < 3; ++trial) {
            ShellSession session;
            HostRuntime& host = session.host;
            session.Param(ParamId::NoiseSourceLayer)
                .BindLayer(HostLayer::Still(MakeGrainyPlate(72, 56, deep, 0.05, random()).image));
            host.BindInputLayer(HostLayer::Still(MakeGrainyPlate(64, 48, deep, 0.02, random()).image));
            auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
            session.Param(ParamId::SampleSize).SetInteger(16 + static_cast<int32_t>(random() % 12));
            session.Param(ParamId::NumberOfSamples).SetInteger(1 + static_cast<int32_t>(random() % 6));
            session.Param(ParamId::Size).SetNumber(uniform(0.3, 2.5));
            session.Param(ParamId::AspectRatio).SetNumber(uniform(0.5, 2));
            session.Param(ParamId::Softness).SetNumber(uniform(0.5, 1.5));
            session.Param(ParamId::GreenSize).SetNumber(uniform(0.5, 2));
            session.Param(ParamId::Saturation).SetNumber(uniform(0, 2));
            session.Param(ParamId::RandomSeed).SetInteger(static_cast<int32_t>(random() % 10000));
            session.Param(ParamId::AnimateSmoothly).SetCheckbox(true);
            session.Param(ParamId::AnimationSpeed).SetNumber(uniform(0, 1));
            session.Param(ParamId::BlendingMode).SetPopup(1 + static_cast<int32_t>(random() % 5));
            session.Param(ParamId::BlendAmount).SetNumber(uniform(0, 100));
            session.Param(ParamId::BlurMatte).SetNumber(random() % 2 ? 0 : uniform(0.5, 4));
            session.Param(ParamId::CompensateForExistingNoise).SetNumber(random() % 2 ? 0 : uniform(10, 100));
            host.SetFrame(static_cast<int32_t>(random() % 5));
            ASSERT_EQ(host.FrameSetup(), 0);
            SelectSimdPath(SimdPath::Reference);
            SetBandRowsOverride(0);
            host.SetIterateThreads(1);
            ASSERT_EQ(host.Render(), 0);
            const HostImageBuffer reference = host.Output().Clone();
            SelectSimdPath(WidestSimdPath());
            for (int32_t rows : {0, 1, 5, 7, 32})
                for (int32_t threads : {1, 2}) {
                    SetBandRowsOverride(rows);
                    host.SetIterateThreads(threads);
                    ASSERT_EQ(host.Render(), 0);
                    for (int32_t y = 0; y < 48; ++y)
                        for (int32_t x = 0; x < 64; ++x)
                            ASSERT_EQ(host.Output().Get(x, y), reference.Get(x, y))
                                << (deep ? "16" : "8") << "-bit trial " << trial << ", bands " << rows << ", threads "
                                << threads << " at " << x << "," << y;
                }
            SetBandRowsOverride(0);
        }
    }
}

} // namespace
