// module-driver: loads a module through the substitute host runtime, sets it
// up as the host does and renders a fixed table of cases over layers made in
// memory, printing one hash per render. Built for Linux and for Windows, so
// that the module of each platform can be run by its own host and the hashes
// compared line by line (scripts/check-windows-module).
//
// The layers are made with integer arithmetic only, so that both builds feed
// the module the same bytes. Output: the property record, then
// "<case>  <hash>" per render; exit 1 when anything fails.
#include "effect/ParamId.h"
#include "host/HostImageOps.h"
#include "host/HostModule.h"
#include "host/HostRuntime.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace {

// xorshift64*: the same numbers from every compiler and C library.
class Integers {
public:
    explicit Integers(uint64_t seed) : state_(seed * 0x9e3779b97f4a7c15ull + 1) {}
    uint32_t Next() {
        state_ ^= state_ >> 12, state_ ^= state_ << 25, state_ ^= state_ >> 27;
        return static_cast<uint32_t>((state_ * 0x2545f4914f6cdd1dull) >> 32);
    }

private:
    uint64_t state_;
};

uint16_t Clamp(int64_t value, int32_t full) {
    return static_cast<uint16_t>(value < 0 ? 0 : value > full ? full : value);
}

// A picture: ramps in each channel and a soft diagonal stripe.
HostImageBuffer Picture(int32_t width, int32_t height, bool deep) {
    HostImageBuffer image(width, height, deep);
    const int32_t full = image.MaxValue();
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const int64_t stripe = ((x + 2 * y) % 40) < 20 ? full / 10 : 0;
            image.Set(x, y,
                      {static_cast<uint16_t>(full), Clamp(full / 5 + int64_t{full} * x / (2 * width) + stripe, full),
                       Clamp(full / 4 + int64_t{full} * y / (2 * height), full),
                       Clamp(full / 3 + int64_t{full} * (x + y) / (3 * (width + height)) - stripe, full)});
        }
    return image;
}

// A grainy plate: mid grey plus a 3 x 3 box sum of integer noise, its blue
// mixing in red, its strength about `strength` thousandths of full scale.
HostImageBuffer Plate(int32_t width, int32_t height, bool deep, int32_t strength, uint64_t seed) {
    HostImageBuffer image(width, height, deep);
    const int32_t full = image.MaxValue();
    Integers random(seed);
    const int32_t w = width + 2, h = height + 2;
    std::vector<int32_t> white(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    for (int32_t& v : white) v = static_cast<int32_t>(random.Next() % 2001) - 1000;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            int64_t sum[3] = {0, 0, 0};
            for (int32_t dy = 0; dy < 3; ++dy)
                for (int32_t dx = 0; dx < 3; ++dx)
                    for (int32_t c = 0; c < 3; ++c)
                        sum[c] +=
                            white[(static_cast<size_t>(y + dy) * static_cast<size_t>(w) + static_cast<size_t>(x + dx)) *
                                      3 +
                                  static_cast<size_t>(c)];
            const int64_t scale = int64_t{full} * strength;
            const auto grain = [&](int64_t s) { return s * scale / (1000 * 1000 * 2); };
            image.Set(x, y,
                      {static_cast<uint16_t>(full), Clamp(full / 2 + grain(sum[0]), full),
                       Clamp(full / 2 + grain((3 * sum[0] + 4 * sum[1]) / 5), full),
                       Clamp(full / 2 + grain(sum[0] + sum[2]), full)});
        }
    return image;
}

// A mask: a horizontal ramp, dark on the left.
HostImageBuffer Mask(int32_t width, int32_t height, bool deep) {
    HostImageBuffer image(width, height, deep);
    const int32_t full = image.MaxValue();
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const uint16_t v = Clamp(int64_t{full} * x / (width - 1), full);
            image.Set(x, y, {static_cast<uint16_t>(full), v, v, v});
        }
    return image;
}

struct Case {
    std::string name;
    bool deep = false;
    int32_t width = 96, height = 64;
    uint64_t seed = 1;
    std::function<void(HostParamStore&, bool deep, int32_t width, int32_t height)> set;
};

HostParam& P(HostParamStore& store, ParamId id) { return store.ById(static_cast<int32_t>(id)); }

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (const bool deep : {false, true}) {
        const std::string depth = deep ? "-16" : "-8";
        const auto add = [&](const std::string& name, auto set, int32_t width = 96, int32_t height = 64,
                             uint64_t seed = 1) {
            cases.push_back({name + depth, deep, width, height, seed, set});
        };
        static const char* const kViews[] = {"preview", "noise-samples", "compensation-samples", "matte", "final"};
        for (int32_t view = 1; view <= 5; ++view) {
            add(std::string("view-") + kViews[view - 1],
                [view](HostParamStore& s, bool, int32_t, int32_t) { P(s, ParamId::ViewingMode).SetPopup(view); });
        }
        static const char* const kModes[] = {"film", "multiply", "add", "screen", "overlay"};
        for (int32_t mode = 1; mode <= 5; ++mode) {
            add(std::string("blend-") + kModes[mode - 1],
                [mode](HostParamStore& s, bool, int32_t, int32_t) { P(s, ParamId::BlendingMode).SetPopup(mode); });
        }
        add("manual-samples", [](HostParamStore& s, bool, int32_t, int32_t) {
            P(s, ParamId::SampleSelection).SetPopup(kSelectManual);
            P(s, ParamId::NumberOfSamples).SetInteger(3);
            P(s, ParamId::SampleSize).SetInteger(24);
            const int32_t points[3][2] = {{20, 20}, {60, 30}, {90, 70}};
            for (int32_t i = 0; i < 3; ++i) P(s, NoiseSamplePoint(i)).SetPoint(points[i][0], points[i][1]);
        });
        add("compensation", [](HostParamStore& s, bool, int32_t, int32_t) {
            P(s, ParamId::CompensateForExistingNoise).SetNumber(40.0);
        });
        add("mask", [](HostParamStore& s, bool deep, int32_t width, int32_t height) {
            P(s, ParamId::BlendAmount).SetNumber(70.0);
            P(s, ParamId::MaskLayer).BindLayer(HostLayer::Still(Mask(width, height, deep)));
        });
        add("colour-match", [](HostParamStore& s, bool, int32_t, int32_t) {
            P(s, ParamId::MatchColorUsing).SetPopup(3);
            P(s, ParamId::BlendAmount).SetNumber(50.0);
        });
        add("classic",
            [](HostParamStore& s, bool, int32_t, int32_t) { P(s, ParamId::Estimator).SetPopup(kEstimatorClassic); });
        add(
            "odd-size-seed-7",
            [](HostParamStore& s, bool, int32_t, int32_t) {
                P(s, ParamId::RandomSeed).SetInteger(7);
                P(s, ParamId::BlendingMode).SetPopup(1);
            },
            131, 77, 7);
    }
    return cases;
}

std::string Text(const char* field, size_t size) {
    size_t length = 0;
    while (length < size && field[length] != '\0') ++length;
    return std::string(field, length);
}

int Run(const char* path) {
    const HostModule module(path);
    const HostModuleProperties& p = module.Properties();
    std::printf("properties  %s | %u | %s | %s | %s\n", Text(p.magic, sizeof p.magic).c_str(), p.version,
                Text(p.name, sizeof p.name).c_str(), Text(p.category, sizeof p.category).c_str(),
                Text(p.entryPoint, sizeof p.entryPoint).c_str());
    int failures = 0;
    for (const Case& c : Cases()) {
        HostRuntime host(module);
        host.SetAppId(kHostAppVantor);
        host.BindInputLayer(HostLayer::Still(Picture(c.width, c.height, c.deep)));
        if (host.GlobalSetup() != 0 || host.ParamsSetup() != 0) {
            std::printf("%s  setup failed: %s\n", c.name.c_str(), host.ReturnMessage().c_str());
            ++failures;
            continue;
        }
        P(host.Params(), ParamId::NoiseSourceLayer).BindLayer(HostLayer::Still(Plate(160, 120, c.deep, 40, c.seed)));
        c.set(host.Params(), c.deep, c.width, c.height);
        int32_t code = host.FrameSetup();
        if (code == 0) code = host.Render();
        if (code != 0) {
            std::printf("%s  render failed (%d): %s\n", c.name.c_str(), code, host.ReturnMessage().c_str());
            ++failures;
        } else {
            std::printf("%s  %016llx\n", c.name.c_str(),
                        static_cast<unsigned long long>(HostHashImage(host.Output().Image())));
        }
        if (host.GlobalSetdown() != 0 || !host.Accounting().Clean()) {
            std::printf("%s  setdown failed or left resources\n", c.name.c_str());
            ++failures;
        }
    }
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: module-driver MODULE\n");
        return 2;
    }
    try {
        return Run(argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "module-driver: %s\n", error.what());
        return 1;
    }
}
