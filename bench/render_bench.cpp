// Whole-frame renders through the built module and the substitute host, as a
// host drives them: Final Output, default parameters, a grainy noise source
// onto a clean target. Prints medians per frame size, depth and thread count,
// with two baselines of the same run: the same code linked in and switched to
// its reference paths, and a plain copy of the frame.
#include "effect/EntryPoint.h"
#include "effect/ParamId.h"
#include "host/HostModule.h"
#include "host/HostRuntime.h"
#include "imagelib/core/ImageLib_Paths.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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

struct Options {
    int runs = 7;
    int referenceRuns = 3;
    bool reference = true;
    std::vector<std::pair<int32_t, int32_t>> sizes = {{1920, 1080}, {3840, 2160}};
    std::vector<bool> depths = {false, true};
    std::vector<int32_t> threads = {1, 2};
    std::string module = TEXTURIST_MODULE_PATH; // another build, to compare two in one sitting
};

// A runtime set up for a Final Output render of one frame size and depth.
std::unique_ptr<HostRuntime> Prepare(std::unique_ptr<HostRuntime> host, int32_t width, int32_t height, bool deep,
                                     int32_t estimator = kEstimatorRefined, bool fitResponse = false) {
    // A production host keeps unlocked blocks where they are, reuses freed
    // ones, and keeps its workers awake between the short runs of a frame.
    host->SetMoveHandles(false);
    host->SetPoisonMemory(false);
    host->SetBlockCache(uint64_t{512} << 20);
    host->SetIterateSpin(std::chrono::microseconds(200));
    host->BindInputLayer(HostLayer::Still(Plate(width, height, deep, 0.002, 1)));
    if (host->GlobalSetup() != 0 || host->ParamsSetup() != 0) return nullptr;
    host->Params()
        .ById(static_cast<int32_t>(ParamId::NoiseSourceLayer))
        .BindLayer(HostLayer::Still(Plate(width, height, deep, 0.03, 2)));
    host->Params().ById(static_cast<int32_t>(ParamId::ViewingMode)).SetPopup(5);
    host->Params().ById(static_cast<int32_t>(ParamId::Estimator)).SetPopup(estimator);
    host->Params().ById(static_cast<int32_t>(ParamId::FitResponseToSource)).SetCheckbox(fitResponse);
    if (host->FrameSetup() != 0) return nullptr;
    return host;
}

// Median milliseconds of `runs` renders, or a negative value when one fails.
double TimeRenders(HostRuntime& host, HostImageBuffer& output, int32_t threads, int runs) {
    host.SetIterateThreads(threads);
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        if (host.Render(output.Image()) != 0) return -1.0;
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    return Median(times);
}

double TimeCopies(HostRuntime& host, HostImageBuffer& output, int runs) {
    const HostImage& in = host.Params().Input().Layer()->Frame(0).Image();
    const size_t rowBytes = static_cast<size_t>(in.width) * ((in.flags & kHostImageDeep) ? 8 : 4);
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int32_t y = 0; y < in.height; ++y)
            std::memcpy(output.Image().pixels + static_cast<size_t>(y) * output.RowBytes(),
                        in.pixels + static_cast<size_t>(y) * in.rowBytes, rowBytes);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    return Median(times);
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--runs" && hasValue) {
            o.runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--reference-runs" && hasValue) {
            o.referenceRuns = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--no-reference") {
            o.reference = false;
        } else if (arg == "--hd-only") {
            o.sizes.resize(1);
        } else if (arg == "--depth" && hasValue) {
            o.depths = {std::atoi(argv[++i]) == 16};
        } else if (arg == "--module" && hasValue) {
            o.module = argv[++i];
        } else if (arg == "--threads" && hasValue) {
            o.threads = {std::max(1, std::atoi(argv[++i]))};
        } else {
            std::fprintf(stderr, "usage: render_bench [--runs N] [--reference-runs N] [--no-reference] [--hd-only]"
                                 " [--depth 8|16] [--threads N] [--module PATH]\n");
            return false;
        }
    }
    return true;
}

// A child process that spins until this object goes.
class BusyProcess {
public:
    BusyProcess() : pid_(fork()) {
        if (pid_ == 0) {
            volatile uint64_t spin = 0;
            for (;;) spin = spin + 1;
        }
    }
    ~BusyProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    BusyProcess(const BusyProcess&) = delete;
    BusyProcess& operator=(const BusyProcess&) = delete;

private:
    pid_t pid_;
};

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) return 2;
    const HostModule module(o.module);
    // "module" is the default (Refined) estimator; "classic" the same frame with "Estimator" Classic;
    // "fitted" the default with "Fit Response to Source" on.
    std::printf("%-10s %-6s %-8s %10s %11s %10s %10s %10s %9s %9s %9s %9s\n", "size", "depth", "threads", "module ms",
                "classic ms", "fitted ms", "ref ms", "copy ms", "mod/clas", "fit/mod", "ref/mod", "mod/copy");
    for (auto [width, height] : o.sizes) {
        for (bool deep : o.depths) {
            auto fast = Prepare(std::make_unique<HostRuntime>(module), width, height, deep);
            auto classic = Prepare(std::make_unique<HostRuntime>(module), width, height, deep, kEstimatorClassic);
            auto fitted = Prepare(std::make_unique<HostRuntime>(module), width, height, deep, kEstimatorRefined, true);
            // The same code linked in, switched to its reference paths.
            auto reference =
                o.reference ? Prepare(std::make_unique<HostRuntime>(&TexturistMain), width, height, deep) : nullptr;
            if (!fast || !classic || !fitted || (o.reference && !reference)) return 1;
            HostImageBuffer output(width, height, deep);
            for (int32_t threads : o.threads) {
                const double m = TimeRenders(*fast, output, threads, o.runs);
                const double k = TimeRenders(*classic, output, threads, o.runs);
                const double f = TimeRenders(*fitted, output, threads, o.runs);
                double r = 0.0;
                if (reference) {
                    SelectSimdPath(SimdPath::Reference);
                    r = TimeRenders(*reference, output, threads, o.referenceRuns);
                    SelectSimdPath(WidestSimdPath());
                }
                const double c = TimeCopies(*fast, output, o.runs);
                if (m < 0.0 || k < 0.0 || f < 0.0 || r < 0.0) return 1;
                std::printf("%4dx%-5d %-6s %-8d %10.1f %11.1f %10.1f %10.1f %10.2f %9.2f %9.2f %9.2f %9.0f\n", width,
                            height, deep ? "16" : "8", threads, m, k, f, r, c, m / k, f / m, reference ? r / m : 0.0,
                            m / c);
                std::fflush(stdout);
            }
            // Two threads while another process keeps a core busy, as on a shared
            // machine: a second thread must not cost more than it brings.
            if (std::find(o.threads.begin(), o.threads.end(), 2) != o.threads.end()) {
                const BusyProcess busy;
                const double loaded = TimeRenders(*fast, output, 2, o.runs);
                const double alone = TimeRenders(*fast, output, 1, o.runs);
                if (loaded < 0.0 || alone < 0.0) return 1;
                std::printf(
                    "%4dx%-5d %-6s %-8s %10.1f   (one thread with the busy process: %.1f ms, 2 / 1 threads %.2f)\n",
                    width, height, deep ? "16" : "8", "2+busy", loaded, alone, loaded / alone);
                std::fflush(stdout);
            }
            fast->GlobalSetdown();
            classic->GlobalSetdown();
            fitted->GlobalSetdown();
            if (reference) reference->GlobalSetdown();
        }
    }
    return 0;
}
