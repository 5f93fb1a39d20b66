// Whole-frame renders through the built module and the substitute host, as a
// host drives them: Final Output, default parameters, a grainy noise source
// onto a clean target. Prints medians per frame size, depth and thread count,
// with a plain copy of the frame as the baseline of the same run.
#include "effect/ParamId.h"
#include "host/HostModule.h"
#include "host/HostRuntime.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

HostImageBuffer Plate(int32_t width, int32_t height, bool deep, double strength, uint32_t seed) {
    HostImageBuffer image(width, height, deep);
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, strength);
    const double full = deep ? 32768.0 : 255.0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const double base = 0.3 + 0.4 * x / width;
            auto q = [&](double v) { return static_cast<uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * full)); };
            image.Set(x, y,
                      {static_cast<uint16_t>(full), q(base + normal(random)), q(base + normal(random)),
                       q(base + normal(random))});
        }
    return image;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int runs = 7;
    std::vector<std::pair<int32_t, int32_t>> sizes = {{1920, 1080}, {3840, 2160}};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::atoi(argv[++i]);
        if (std::strcmp(argv[i], "--hd-only") == 0) sizes.resize(1);
    }
    const HostModule module(TEXTURIST_MODULE_PATH);
    std::printf("%-10s %-6s %-8s %12s %12s %8s\n", "size", "depth", "threads", "render ms", "copy ms", "ratio");
    for (auto [width, height] : sizes) {
        for (bool deep : {false, true}) {
            HostRuntime host(module);
            // A production host keeps unlocked blocks where they are.
            host.SetMoveHandles(false);
            host.SetPoisonMemory(false);
            host.BindInputLayer(HostLayer::Still(Plate(width, height, deep, 0.002, 1)));
            if (host.GlobalSetup() != 0 || host.ParamsSetup() != 0) return 1;
            host.Params()
                .ById(static_cast<int32_t>(ParamId::NoiseSourceLayer))
                .BindLayer(HostLayer::Still(Plate(width, height, deep, 0.03, 2)));
            host.Params().ById(static_cast<int32_t>(ParamId::ViewingMode)).SetPopup(5);
            if (host.FrameSetup() != 0) return 1;
            HostImageBuffer output(width, height, deep);
            for (int32_t threads : {1, 2}) {
                host.SetIterateThreads(threads);
                std::vector<double> render, copy;
                for (int r = 0; r < runs; ++r) {
                    auto t0 = std::chrono::steady_clock::now();
                    if (host.Render(output.Image()) != 0) return 1;
                    auto t1 = std::chrono::steady_clock::now();
                    const HostImage& in = host.Params().Input().Layer()->Frame(0).Image();
                    for (int32_t y = 0; y < height; ++y)
                        std::memcpy(output.Image().pixels + static_cast<size_t>(y) * output.RowBytes(),
                                    in.pixels + static_cast<size_t>(y) * in.rowBytes,
                                    static_cast<size_t>(width) * (deep ? 8 : 4));
                    auto t2 = std::chrono::steady_clock::now();
                    render.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
                    copy.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
                }
                const double r = Median(render), c = Median(copy);
                std::printf("%4dx%-5d %-6s %-8d %12.1f %12.2f %8.0f\n", width, height, deep ? "16" : "8", threads, r, c,
                            r / c);
            }
            host.GlobalSetdown();
        }
    }
    return 0;
}
