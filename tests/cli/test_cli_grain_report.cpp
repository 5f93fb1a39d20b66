// The grain report and the grain comparison on real files: measurements of
// plates of known statistics, verdicts on renders and on altered grain, the
// report's figures, and bad input refused in one line.
#include "tests/cli/CliTestSupport.h"

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <fstream>
#include <random>

namespace clitest {
namespace {

using nlohmann::json;
using OIIO::TypeDesc;

// Gaussian grain of known statistics: three white fields mixed by `mix`
// (row c feeds channel c) and each channel filtered by the same separable
// filter `taps`, over a flat grey.
struct KnownGrain {
    std::array<double, 9> mix{0.04, 0, 0, 0.024, 0.032, 0, 0.02, 0.01, 0.045};
    std::vector<double> taps{0.25, 0.5, 0.25};
    double grey = 0.5;

    double Gain() const { // energy of the 2-D filter
        double e = 0.0;
        for (double a : taps) e += a * a;
        return e * e;
    }
    double Covariance(int r, int s) const {
        double sum = 0.0;
        for (int i = 0; i < 3; ++i) sum += mix[3 * r + i] * mix[3 * s + i];
        return sum * Gain();
    }
    // |H(f)|^2 of the filter at frequency (fx, fy) in cycles per pixel.
    double Response(double fx, double fy) const {
        const auto one = [&](double f) {
            std::complex<double> h = 0.0;
            const int half = static_cast<int>(taps.size()) / 2;
            for (size_t i = 0; i < taps.size(); ++i)
                h += taps[i] * std::polar(1.0, -2.0 * M_PI * f * (static_cast<int>(i) - half));
            return std::norm(h);
        };
        return one(fx) * one(fy);
    }
};

void WriteGrain(const fs::path& file, int width, int height, const KnownGrain& grain, uint64_t seed, double scale = 1.0,
                bool white = false, std::array<int, 3> order = {0, 1, 2}) {
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> normal;
    const int radius = white ? 0 : static_cast<int>(grain.taps.size()) / 2;
    const int w = width + 2 * radius, h = height + 2 * radius;
    std::vector<std::array<double, 3>> field(static_cast<size_t>(w) * h), across(field.size());
    for (auto& p : field)
        for (double& v : p) v = normal(engine);
    const auto tap = [&](int i) { return white ? 1.0 : grain.taps[static_cast<size_t>(i + radius)]; };
    const double norm = white ? std::sqrt(grain.Gain()) : 1.0; // white noise of the same variance
    for (int y = 0; y < h; ++y)
        for (int x = radius; x < w - radius; ++x)
            for (int c = 0; c < 3; ++c) {
                double v = 0.0;
                for (int i = -radius; i <= radius; ++i) v += tap(i) * field[static_cast<size_t>(y) * w + x + i][c];
                across[static_cast<size_t>(y) * w + x][c] = v;
            }
    std::vector<float> samples(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::array<double, 3> white3{};
            for (int c = 0; c < 3; ++c)
                for (int i = -radius; i <= radius; ++i)
                    white3[c] += tap(i) * across[static_cast<size_t>(y + radius + i) * w + x + radius][c];
            for (int c = 0; c < 3; ++c) {
                double v = 0.0;
                for (int i = 0; i < 3; ++i) v += grain.mix[3 * order[c] + i] * white3[i];
                samples[(static_cast<size_t>(y) * width + x) * 3 + c] =
                    static_cast<float>(grain.grey + scale * norm * v);
            }
        }
    WriteFloatImage(file, width, height, 3, samples);
}

class GrainReport : public CliTest {
protected:
    json Compare(const std::vector<std::string>& more, int expectedExit) {
        std::vector<std::string> args{"compare", "--json", "result.json"};
        args.insert(args.end(), more.begin(), more.end());
        const RunResult run = Run(args);
        EXPECT_EQ(run.exitCode, expectedExit) << run.out << run.err;
        json result;
        std::ifstream(Path("result.json")) >> result;
        fs::remove(Path("result.json"));
        return result;
    }
};

TEST_F(GrainReport, MeasuresKnownGrainToItsAnalyticValues) {
    const KnownGrain grain;
    WriteGrain(Path("known.exr"), 1024, 1024, grain, 1);
    const json result = Compare({"--source", "known.exr", "--render", "known.exr"}, 0);
    const json& measured = result["source_grain"];
    EXPECT_EQ(measured["tiles"], 256) << "a flat plate is flat everywhere";
    for (int c = 0; c < 3; ++c) {
        const double sigma = std::sqrt(grain.Covariance(c, c));
        EXPECT_NEAR(measured["sigma"][c].get<double>() / sigma, 1.0, 0.02) << c;
        for (int s = 0; s < 3; ++s) {
            const double rho = grain.Covariance(c, s) / std::sqrt(grain.Covariance(c, c) * grain.Covariance(s, s));
            EXPECT_NEAR(measured["correlation"][c][s].get<double>(), rho, 0.02) << c << " " << s;
        }
        // The analytic spectrum on the same rings: |H|^2 averaged over each ring's frequencies.
        const int T = 64;
        std::vector<double> analytic, energy, samples;
        for (int v = 0; v < T; ++v)
            for (int u = 0; u < T; ++u) {
                const int fx = u <= T / 2 ? u : u - T, fy = v <= T / 2 ? v : v - T;
                const size_t bin = static_cast<size_t>(std::lround(std::sqrt(fx * fx + fy * fy)));
                if (analytic.size() <= bin) analytic.resize(bin + 1), energy.resize(bin + 1), samples.resize(bin + 1);
                analytic[bin] += grain.Response(static_cast<double>(fx) / T, static_cast<double>(fy) / T);
                samples[bin] += 1.0;
            }
        for (size_t b = 0; b < analytic.size(); ++b) energy[b] = analytic[b], analytic[b] /= samples[b];
        energy[0] = analytic[0] = 0.0;
        double total = 0.0, below = 0.0;
        for (double e : energy) total += e;
        const std::vector<double> spectrum = measured["spectrum"][c].get<std::vector<double>>();
        double shape = 0.0; // the measured spectrum's total over the rings
        for (size_t k = 1; k < spectrum.size(); ++k) shape += spectrum[k] * samples[k];
        // Over the band holding 90 % of the energy, from the second ring (the first carries the
        // tiles' planes, which the measurement removes).
        for (size_t b = 1; b < analytic.size() && below < 0.9 * total; ++b) {
            below += energy[b];
            if (b < 2) continue;
            const double db = 10.0 * std::log10((spectrum[b] * samples[b] / shape) / (energy[b] / total));
            EXPECT_LT(std::fabs(db), 0.3) << "channel " << c << " ring " << b;
        }
    }
}

TEST_F(GrainReport, ComparisonJudgesRendersAndAlteredGrain) {
    const KnownGrain grain;
    WriteGrain(Path("plate.exr"), 512, 512, grain, 1);
    WriteGrain(Path("draw2.exr"), 512, 512, grain, 2);
    WriteGrain(Path("white.exr"), 512, 512, grain, 3, 1.0, true);
    WriteGrain(Path("double.exr"), 512, 512, grain, 4, 2.0);
    WriteGrain(Path("swapped.exr"), 512, 512, grain, 5, 1.0, false, {0, 2, 1});
    struct Case {
        const char* render;
        int exit;
        const char* failing; // a word of the failure, when it fails
    } cases[] = {
        {"draw2.exr", 0, ""},
        {"white.exr", 1, "spectrum"},
        {"double.exr", 1, "sigma ratio"},
        {"swapped.exr", 1, "correlation"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.render);
        const json result = Compare({"--source", "plate.exr", "--render", c.render}, c.exit);
        EXPECT_EQ(result["matches"].get<bool>(), c.exit == 0);
        bool named = c.exit == 0;
        for (const auto& failure : result["failures"])
            named = named || failure.get<std::string>().find(c.failing) != std::string::npos;
        EXPECT_TRUE(named) << result["failures"].dump();
    }
    // Independent draws of one grain differ only by the measurement's own scatter, well inside the limits.
    const json same = Compare({"--source", "plate.exr", "--render", "draw2.exr"}, 0);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(same["channels"][c]["sigma_ratio"].get<double>(), 1.0, 0.03);
        EXPECT_NEAR(same["channels"][c]["frequency_ratio"].get<double>(), 1.0, 0.03);
        EXPECT_LT(same["channels"][c]["spectrum_error_db"].get<double>(), 0.5);
    }
    EXPECT_LT(same["correlation_difference"].get<double>(), 0.03);

    // A render through the module against its own plate, grain = render - clean.
    WriteFloatImage(Path("grey.exr"), 512, 512, 3, std::vector<float>(512 * 512 * 3, 0.5f));
    const RunResult render = Run({"render", "--module", TEXTURIST_MODULE, "--input", "grey.exr", "--noise-source",
                                  "plate.exr", "--output", "grained.exr", "--quiet", "--set", "Blending Mode=Add"});
    ASSERT_EQ(render.exitCode, 0) << render.err;
    // With the default (refined) estimator the render carries the plate's grain within the default limits.
    const json rendered = Compare({"--source", "plate.exr", "--render", "grained.exr", "--clean", "grey.exr"}, 0);
    EXPECT_EQ(rendered["render_grain"]["tiles"], 64);
}

TEST_F(GrainReport, AnalyseWritesTheReportOfTheDemoPlate) {
    const RunResult run = Run({"analyse", "--module", TEXTURIST_MODULE, "--noise-source",
                               TEXTURIST_DEMO_DATA "/grain-plate.png", "--report", "report", "--quiet"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    json report;
    std::ifstream(Path("report/report.json")) >> report;
    const Picture plate = ReadPicture(TEXTURIST_DEMO_DATA "/grain-plate.png");
    EXPECT_EQ(report["width"], plate.header.width);
    ASSERT_EQ(report["selection"]["samples"].size(), 8u);
    EXPECT_EQ(report["selection"]["counts"]["chosen"], 8);
    EXPECT_GE(report["selection"]["counts"]["candidates"].get<int>(), 8);
    for (int c = 0; c < 3; ++c) {
        EXPECT_GT(report["model"]["sigma"][c].get<double>(), 0.01);
        EXPECT_NEAR(report["model"]["correlation"][c][c].get<double>(), 1.0, 1e-3);
    }
    EXPECT_TRUE(fs::exists(Path("report/index.html")));

    // Each figure: a real picture, not blank.
    for (const auto& name : report["figures"]) {
        SCOPED_TRACE(name.get<std::string>());
        const Picture figure = ReadPicture(Path("report/" + name.get<std::string>()));
        EXPECT_GE(figure.header.width, 200);
        EXPECT_GE(figure.header.height, 150);
        float low = 1.0f, high = 0.0f;
        for (float v : figure.samples) low = std::min(low, v), high = std::max(high, v);
        EXPECT_GT(high - low, 0.5f) << "the figure shows something";
    }
    // The sample boxes are where report.json says: the samples picture is the plate with white
    // box outlines along every sample's edges.
    const Picture samples = ReadPicture(Path("report/samples.png"));
    ASSERT_EQ(samples.header.width, plate.header.width);
    std::vector<bool> nearBox(static_cast<size_t>(plate.header.width) * plate.header.height, false);
    for (const auto& rect : report["selection"]["samples"]) {
        const int x0 = rect["x0"], y0 = rect["y0"], x1 = rect["x1"], y1 = rect["y1"];
        int white = 0;
        for (int y = y0; y < y1; ++y) white += samples.At(x0, y, 0) == 1.0f && samples.At(x0, y, 2) == 1.0f;
        EXPECT_GT(white, (y1 - y0) / 2) << rect.dump();
        for (int y = std::max(0, y0 - 3); y < std::min(plate.header.height, y1 + 3); ++y)
            for (int x = std::max(0, x0 - 3); x < std::min(plate.header.width, x1 + 3); ++x)
                if (x < x0 + 3 || x >= x1 - 3 || y < y0 + 3 || y >= y1 - 3)
                    nearBox[static_cast<size_t>(y) * plate.header.width + x] = true;
    }
    int differing = 0;
    for (int y = 0; y < plate.header.height; ++y)
        for (int x = 0; x < plate.header.width; ++x)
            if (!nearBox[static_cast<size_t>(y) * plate.header.width + x])
                differing += plate.At(x, y, 1) != samples.At(x, y, 1);
    EXPECT_EQ(differing, 0) << "away from the boxes the plate shows unchanged";
}

// Grain whose strength follows a known curve of the picture's level per channel (bell-shaped,
// peaking at a different level in each): with "Fit Response to Source" the render's grain
// follows it within 10 % at every level, where the one strength of the samples misses by far
// more; the fit is the same on one thread as on many, and the report shows it.
TEST_F(GrainReport, FittedResponseFollowsTheGrainsStrengthByLevel) {
    constexpr int kWidth = 384, kBand = 96, kBands = 6;
    const std::array<double, kBands> levels{0.1, 0.25, 0.4, 0.55, 0.7, 0.85};
    const auto strength = [](double v, int c) {
        const std::array<double, 3> peak{0.4, 0.5, 0.65}, most{0.03, 0.025, 0.045};
        const double t = (v - peak[static_cast<size_t>(c)]) / 0.35;
        return most[static_cast<size_t>(c)] * (0.35 + 0.65 * std::exp(-t * t));
    };
    std::mt19937_64 engine(17);
    std::normal_distribution<double> normal;
    std::vector<float> clean(static_cast<size_t>(kWidth) * kBand * kBands * 3), plate(clean.size());
    for (int y = 0; y < kBand * kBands; ++y)
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < 3; ++c) {
                const size_t i = (static_cast<size_t>(y) * kWidth + x) * 3 + static_cast<size_t>(c);
                const double level = levels[static_cast<size_t>(y / kBand)];
                clean[i] = static_cast<float>(level);
                plate[i] = static_cast<float>(level + strength(level, c) * normal(engine));
            }
    WriteFloatImage(Path("bands.exr"), kWidth, kBand * kBands, 3, clean);
    WriteFloatImage(Path("grainy.exr"), kWidth, kBand * kBands, 3, plate);
    // The deviation of render - clean in each band and channel, over the band's inner rows.
    const auto deviations = [&](const std::string& file) {
        const Picture render = ReadPicture(Path(file));
        std::array<std::array<double, 3>, kBands> result{};
        for (int b = 0; b < kBands; ++b)
            for (int c = 0; c < 3; ++c) {
                double sum = 0.0, squares = 0.0, n = 0.0;
                for (int y = b * kBand + 8; y < (b + 1) * kBand - 8; ++y)
                    for (int x = 0; x < kWidth; ++x) {
                        const double v = render.At(x, y, c) - levels[static_cast<size_t>(b)];
                        sum += v, squares += v * v, n += 1.0;
                    }
                result[static_cast<size_t>(b)][static_cast<size_t>(c)] = std::sqrt(squares / n - (sum / n) * (sum / n));
            }
        return result;
    };
    std::string hash;
    for (const char* fit : {"off", "on"}) {
        SCOPED_TRACE(fit);
        const RunResult run =
            Run({"render", "--input", "bands.exr", "--noise-source", "grainy.exr", "--output",
                 std::string("out-") + fit + ".exr", "--depth", "float", "--colorspace-in", "raw", "--quiet",
                 "--print-hash", "--set", "Blending Mode=Add", "--set", std::string("Fit Response to Source=") + fit});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto measured = deviations(std::string("out-") + fit + ".exr");
        double worst = 0.0;
        for (int b = 0; b < kBands; ++b)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::fabs(measured[static_cast<size_t>(b)][static_cast<size_t>(c)] /
                                                      strength(levels[static_cast<size_t>(b)], c) -
                                                  1.0));
        if (std::string(fit) == "on") {
            EXPECT_LT(worst, 0.10);
            hash = HashLines(run.out).at(0).second;
        } else {
            EXPECT_GT(worst, 0.3) << "one strength at every level";
        }
    }
    const RunResult oneThread =
        Run({"render", "--input", "bands.exr", "--noise-source", "grainy.exr", "--output", "one.exr", "--depth",
             "float", "--colorspace-in", "raw", "--quiet", "--print-hash", "--threads", "1", "--set",
             "Blending Mode=Add", "--set", "Fit Response to Source=on"});
    ASSERT_EQ(oneThread.exitCode, 0) << oneThread.err;
    EXPECT_EQ(HashLines(oneThread.out).at(0).second, hash);

    ASSERT_EQ(
        Run({"analyse", "--noise-source", "grainy.exr", "--colorspace-in", "raw", "--report", "report", "--quiet"})
            .exitCode,
        0);
    json report;
    std::ifstream(Path("report") / "report.json") >> report;
    ASSERT_EQ(report["response"].size(), 3u);
    for (int c = 0; c < 3; ++c) {
        const json& curve = report["response"][static_cast<size_t>(c)]["curve"];
        EXPECT_LT(curve["shadows"].get<double>(), curve["midtones"].get<double>()) << c;
        EXPECT_LT(curve["highlights"].get<double>(), curve["midtones"].get<double>()) << c;
    }
}

TEST_F(GrainReport, BadInputIsRefusedInOneLineWithNothingWritten) {
    const KnownGrain grain;
    WriteGrain(Path("plate.exr"), 256, 256, grain, 1);
    WriteGrain(Path("small.exr"), 200, 256, grain, 2);
    WriteClean("grey.png", {256, 256, 1, TypeDesc::UINT8});
    WriteClean("picture.png", {256, 256, 3, TypeDesc::UINT8}); // smooth, without grain
    WriteFloatImage(Path("black.exr"), 256, 256, 3, std::vector<float>(256 * 256 * 3, 0.0f));
    struct Case {
        std::vector<std::string> args;
        const char* mention;
    } cases[] = {
        {{"--source", "plate.exr", "--render", "plate.exr", "--clean", "small.exr"}, "does not match"},
        {{"--source", "black.exr", "--render", "plate.exr"}, "no flat area"},
        {{"--source", "plate.exr", "--render", "grey.png"}, "grey"},
        {{"--source", "absent.exr", "--render", "plate.exr"}, "absent.exr"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mention);
        std::vector<std::string> args{"compare", "--json", "out.json", "--report", "rep"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult run = Run(args);
        EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
        ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find(c.mention), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Path("out.json")));
        EXPECT_FALSE(fs::exists(Path("rep")));
        EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
    }
}

} // namespace
} // namespace clitest
