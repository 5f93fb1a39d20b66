// The whole engine on grain it did not make: a plate of known grain is
// measured at fixed samples, the model prepared with default controls, and
// the grain that synthesis lays on a flat grey compared with the plate's.
#include "grain/GrainAnalysis.h"
#include "grain/GrainSynthesis.h"
#include "grain/ModelPreparation.h"
#include "imagelib/core/ImageLib_Fourier.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_Drawing.h"
#include "tests/support/GrainPlates.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>

namespace {

using grainplates::GaussianShape;
using grainplates::Plate;
using grainplates::PlateRecipe;
using Recovery = testimages::NodeTest;

constexpr int32_t kSize = 256;

struct Figures {
    std::array<double, 3> sigma{};
    std::array<double, 3> correlation{}; // (0,1), (0,2), (1,2)
};

Figures Measure(const std::vector<float>& grain) {
    std::array<double, 3> sum{}, squares{};
    std::array<double, 3> cross{};
    const size_t n = grain.size() / 3;
    for (size_t i = 0; i < n; ++i) {
        for (int c = 0; c < 3; ++c) {
            sum[c] += grain[i * 3 + c];
            squares[c] += static_cast<double>(grain[i * 3 + c]) * grain[i * 3 + c];
        }
        cross[0] += static_cast<double>(grain[i * 3]) * grain[i * 3 + 1];
        cross[1] += static_cast<double>(grain[i * 3]) * grain[i * 3 + 2];
        cross[2] += static_cast<double>(grain[i * 3 + 1]) * grain[i * 3 + 2];
    }
    Figures f;
    std::array<double, 3> mean{};
    for (int c = 0; c < 3; ++c) {
        mean[c] = sum[c] / static_cast<double>(n);
        f.sigma[c] = std::sqrt(squares[c] / static_cast<double>(n) - mean[c] * mean[c]);
    }
    const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    for (int p = 0; p < 3; ++p) {
        const int a = pairs[p][0], b = pairs[p][1];
        const double covariance = cross[p] / static_cast<double>(n) - mean[a] * mean[b];
        f.correlation[p] = covariance / (f.sigma[a] * f.sigma[b]);
    }
    return f;
}

// Radially averaged power per pixel of channel c, in bins of 1/64 cycle per pixel,
// averaged over 64 x 64 tiles of the grain.
std::map<int, double> RadialSpectrum(const std::vector<float>& grain, uint32_t c) {
    std::map<int, double> power, count;
    for (int32_t ty = 0; ty < kSize; ty += 64)
        for (int32_t tx = 0; tx < kSize; tx += 64) {
            ImageLib_ComplexMatrix tile(64, 64);
            for (int32_t y = 0; y < 64; ++y)
                for (int32_t x = 0; x < 64; ++x)
                    tile.Element(static_cast<uint32_t>(y), static_cast<uint32_t>(x)) = {
                        grain[(static_cast<size_t>(ty + y) * kSize + tx + x) * 3 + c], 0.0f};
            ImageLib_Matrix spectrum;
            PowerSpectrum(tile, spectrum);
            for (int32_t v = 0; v < 64; ++v)
                for (int32_t u = 0; u < 64; ++u) {
                    if (u == 0 && v == 0) continue;
                    const double fx = (u < 32 ? u : u - 64) / 64.0, fy = (v < 32 ? v : v - 64) / 64.0;
                    const int bin = static_cast<int>(std::lround(std::sqrt(fx * fx + fy * fy) * 64.0));
                    power[bin] += spectrum.Element(static_cast<uint32_t>(v), static_cast<uint32_t>(u)) / (64.0 * 64.0);
                    count[bin] += 1;
                }
        }
    for (auto& [bin, p] : power) p /= count[bin];
    return power;
}

TEST_F(Recovery, SynthesizedGrainHasThePlatesStatistics) {
    struct Case {
        std::array<GaussianShape, 3> shapes;
        int32_t sample;
        int32_t count;
    } cases[] = {
        {{{{1, 1, 0}, {1, 1, 0}, {1, 1, 0}}}, 48, 10},
        {{{{2, 2, 0}, {2, 2, 0}, {2, 2, 0}}}, 48, 10},
        {{{{1, 1, 0}, {2, 2, 0}, {2, 1.6, 0}}}, 48, 10},
    };
    for (const Case& c : cases) {
        PlateRecipe recipe;
        recipe.width = recipe.height = kSize;
        recipe.shapes = c.shapes;
        recipe.mix =
            grainplates::MixWithStrengths({1.0, 0.0, 0.0, 0.6, 0.8, 0.0, 0.3, 0.5, 0.8124}, {0.02, 0.03, 0.04});
        recipe.seed = 11;
        const Plate plate(recipe);
        std::unique_ptr<ImageLib_ImageBuffer> image = plate.MakeBuffer(testimages::FloatFormat(3));
        ImageLib_BasicNodes::ImageNode layer(image.get(), false);
        SampleSet samples;
        for (int32_t i = 0; i < c.count; ++i) {
            const int32_t x = 8 + (i % 5) * 48, y = 8 + (i / 5) * 120;
            samples.push_back({x, y, x + c.sample, y + c.sample, false});
        }
        GrainModel model;
        EstimateGrain(samples, layer, testimages::FloatFormat(3), model);
        TweakKernels(GrainTweaks{}, model);
        SetGrainAppearance(GrainTweaks{}, model); // response (1, 1, 1, 0.5), Add, saturation 1
        ASSERT_EQ(model.blendMode, 0);

        const float grey[3] = {0.5f, 0.5f, 0.5f};
        ImageLib_Drawing::SolidNode flat(grey, 3);
        std::unique_ptr<ImageLib_NodePipeline> grain(BuildGrainNode(model));
        grain->SetInput(0, &flat);
        ImageLib_ImageBuffer output(testimages::FloatFormat(3), {0, 0, kSize, kSize, false});
        ImageLib_Evaluate(*grain, output, output.bounds, 0, 64);
        std::vector<float> synthesized = testnodes::ReadFloats(output);
        for (float& v : synthesized) v -= 0.5f;

        const Figures got = Measure(synthesized);
        const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
        for (uint32_t ch = 0; ch < 3; ++ch) {
            // What a measurement about each patch's own mean can see of the plate's grain.
            const double visible = std::sqrt(plate.Variance(ch) * (1.0 - plate.PatchMeanShare(ch, c.sample, c.sample)));
            EXPECT_NEAR(got.sigma[ch] / visible, 1.0, 0.1) << "channel " << ch << ", sigma " << c.shapes[ch].sigmaU;
            EXPECT_NEAR(got.correlation[ch], plate.Correlation(pairs[ch][0], pairs[ch][1]), 0.1) << "pair " << ch;

            // The shape: the radial spectrum, scaled to the visible variance, within 2 dB over the
            // frequencies that carry 90 % of the energy. A patch of N pixels holds no frequency
            // between 0 and 1/N, so bins below that are not the estimate's to get right.
            const std::map<int, double> measured = RadialSpectrum(synthesized, ch);
            std::map<int, double> expected, count;
            for (int32_t v = 0; v < 64; ++v)
                for (int32_t u = 0; u < 64; ++u) {
                    if (u == 0 && v == 0) continue;
                    const double fx = (u < 32 ? u : u - 64) / 64.0, fy = (v < 32 ? v : v - 64) / 64.0;
                    const int bin = static_cast<int>(std::lround(std::sqrt(fx * fx + fy * fy) * 64.0));
                    expected[bin] += plate.Spectrum(ch, fx, fy);
                    count[bin] += 1;
                }
            double total = 0;
            for (auto& [bin, p] : expected) {
                p /= count[bin];
                total += p * count[bin];
            }
            double kept = 0;
            for (auto& [bin, p] : expected) {
                if (kept > 0.9 * total) break;
                kept += p * count[bin];
                if (bin * c.sample < 64) continue;
                const double scale = visible * visible / plate.Variance(ch);
                const double db = 10.0 * std::log10(measured.at(bin) / (p * scale));
                EXPECT_LT(std::fabs(db), 2.0) << "channel " << ch << " at " << bin << "/64 cycles per pixel";
            }
        }
    }
}

} // namespace
