// Feeds the built module arbitrary parameter values, layer sizes, depths,
// viewing modes, host applications and downsample factors through the
// substitute host. Every render must return 0 or an error code and leave the
// host holding nothing of the module's; anything else aborts the run.
#include "host/HostModule.h"
#include "host/HostRuntime.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

const HostModule& Module() {
    static const HostModule module(TEXTURIST_MODULE_PATH);
    return module;
}

HostImageBuffer Layer(FuzzedDataProvider& data, bool deep) {
    const int32_t width = data.ConsumeIntegralInRange<int32_t>(1, 96);
    const int32_t height = data.ConsumeIntegralInRange<int32_t>(1, 96);
    HostImageBuffer image(width, height, deep);
    const uint32_t seed = data.ConsumeIntegral<uint32_t>();
    const int32_t full = image.MaxValue();
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            uint32_t h = seed ^ (static_cast<uint32_t>(x) * 73856093u) ^ (static_cast<uint32_t>(y) * 19349663u);
            h = (h ^ (h >> 13)) * 0x5bd1e995u;
            image.Set(x, y,
                      {static_cast<uint16_t>(h % (full + 1)), static_cast<uint16_t>((h >> 8) % (full + 1)),
                       static_cast<uint16_t>((h >> 16) % (full + 1)), static_cast<uint16_t>((h >> 4) % (full + 1))});
        }
    return image;
}

// Presses the host's cancel button when a render outlives its time, as a
// user would. Enormous kernels are legitimate work that takes seconds under
// the sanitizers; the module must stop at its next abort check and still
// clean up. A render that does not stop shows up as a libFuzzer timeout.
class Watchdog {
public:
    Watchdog(HostRuntime& host, std::chrono::milliseconds patience)
        : thread_([this, &host, patience] {
              std::unique_lock lock(mutex_);
              if (!wake_.wait_for(lock, patience, [this] { return done_; })) host.Cancel();
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

[[noreturn]] void Fail(const char* what, int32_t code) {
    std::fprintf(stderr, "fuzz_module: %s (code %d)\n", what, code);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    HostRuntime host(Module());
    // Kernels far beyond this fail as out of memory at once instead of taking seconds.
    host.SetHandleLimit(uint64_t{8} << 20);
    const uint32_t apps[] = {kHostAppVantor, kHostAppA, kHostAppB, kHostAppC, kHostAppD};
    host.SetAppId(apps[data.ConsumeIntegralInRange<size_t>(0, 4)]);
    host.SetDownsample(data.ConsumeIntegralInRange<int32_t>(-4, 8), data.ConsumeIntegralInRange<uint32_t>(0, 8),
                       data.ConsumeIntegralInRange<int32_t>(-4, 8), data.ConsumeIntegralInRange<uint32_t>(0, 8));
    host.SetTimeline({data.ConsumeIntegralInRange<int32_t>(-1000, 100000),
                      data.ConsumeIntegralInRange<int32_t>(0, 2000), data.ConsumeIntegralInRange<int32_t>(0, 1000000),
                      data.ConsumeIntegralInRange<uint32_t>(0, 48000)});
    host.SetIterateAvailable(data.ConsumeBool());
    const bool deep = data.ConsumeBool();
    host.BindInputLayer(HostLayer::Still(Layer(data, deep)));
    if (const int32_t code = host.GlobalSetup()) Fail("global setup failed", code);
    if (const int32_t code = host.ParamsSetup()) Fail("parameter setup failed", code);
    HostParamStore& store = host.Params();
    for (int32_t index = 1; index < store.Count() && data.remaining_bytes() > 0; ++index) {
        const HostParam& param = store.At(index);
        if (param.Type() == kHostParamLayer) {
            if (data.ConsumeBool()) store.At(index).BindLayer(HostLayer::Still(Layer(data, data.ConsumeBool())));
            continue;
        }
        if (!data.ConsumeBool()) continue;
        // Any value word, in range or not: the record as a host could hand it over.
        HostParamRecord record = param.Record();
        record.u.slider.value = data.ConsumeIntegral<int32_t>();
        if (param.Type() == kHostParamPoint) record.u.point.y = data.ConsumeIntegral<int32_t>();
        store.TakeValue(index, record);
    }
    const int32_t setup = host.FrameSetup();
    if (setup == 0) {
        int32_t code = 0;
        {
            Watchdog watchdog(host, std::chrono::milliseconds(1000));
            code = host.Render();
        }
        if (code != 0 && code != kHostErrCancelled && code != 4 && code != 512)
            Fail("render returned an unknown code", code);
    }
    if (const int32_t code = host.GlobalSetdown()) Fail("global setdown failed", code);
    if (!host.Accounting().Clean()) Fail("the module left something with the host", 0);
    return 0;
}
