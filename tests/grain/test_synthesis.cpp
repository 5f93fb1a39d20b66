#include "grain/GrainSynthesis.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_Blend.h"
#include "imagelib/nodes/ImageLib_Drawing.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <vector>

namespace {

using testimages::NodeTest;
using Synthesis = NodeTest;
using Mode = ImageLib_TestCallbacks::IterateMode;

// A prepared model: every kernel an impulse of the given energy, identity
// transform, unit intensities, flat response, Add.
void FillModel(GrainModel& model, float energy = 1.0f) {
    model.kernels.clear();
    for (int c = 0; c < 3; ++c) {
        ImageLib_Kernel k(9, 9);
        k.At(0, 0) = std::sqrt(energy);
        model.kernels.push_back(k);
    }
    model.colourTransform = ImageLib_Matrix(3, 3);
    for (uint32_t i = 0; i < 3; ++i) model.colourTransform.Element(i, i) = 1.0f;
    model.grainIntensity.assign(3, 1.0f);
    model.blurAmount.assign(3, 0.0f);
    model.grainSaturation = 1.0f;
    model.grainResponse.clear();
    for (int c = 0; c < 3; ++c) model.grainResponse.push_back(ImageLib_Vector<float>{1.0f, 1.0f, 1.0f, 0.5f});
    model.blendMode = static_cast<int32_t>(ImageLib_Blend::BlendMode::Add);
    model.randSeed = 11;
    model.randSeed2 = 12;
}

TEST_F(Synthesis, NoiseGainKeepsTheVarianceOfOneField) {
    struct Case {
        float blend, gain;
    } cases[] = {{0.0f, 1.0f}, {1.0f, 1.0f}, {0.5f, 1.4142135f}, {0.25f, static_cast<float>(1.0 / std::sqrt(0.625))}};
    for (const Case& c : cases) EXPECT_FLOAT_EQ(NoiseBlendGain(c.blend), c.gain) << c.blend;
}

TEST_F(Synthesis, SaturationMovesBetweenGreyMeasuredAndIndependent) {
    GrainModel model;
    FillModel(model);
    const float t[9] = {1.0f, 0.5f, 0.2f, 0.0f, 0.8f, 0.1f, 0.0f, 0.0f, 0.6f}; // column-major, lower factor
    for (uint32_t i = 0; i < 9; ++i) model.colourTransform.values[i] = t[i];
    model.grainIntensity = {1.0f, 2.0f, 0.5f};
    const float g = 1.25f;
    for (float s : {0.0f, 1.0f, 2.0f, 0.5f}) {
        model.grainSaturation = s;
        const ImageLib_Matrix m = GrainColourMatrix(model, g);
        for (uint32_t row = 0; row < 3; ++row)
            for (uint32_t col = 0; col < 3; ++col) {
                const float measured = model.colourTransform.Element(row, col);
                const float gain = g * model.grainIntensity[row];
                float expected = 0;
                if (s == 0.0f) expected = gain / 3.0f;
                if (s == 1.0f) expected = measured * gain;
                if (s == 2.0f) expected = row == col ? gain : 0.0f;
                if (s == 0.5f) expected = (0.5f * measured + 0.5f / 3.0f) * gain;
                EXPECT_NEAR(m.Element(row, col), expected, 1e-6f) << "s " << s << " (" << row << "," << col << ")";
            }
    }
}

TEST_F(Synthesis, SeparableKernelsKeepTheEnergy) {
    ImageLib_Vector<ImageLib_Kernel> kernels;
    ImageLib_Kernel impulse(5, 7);
    impulse.At(0, 0) = 3.0f; // energy 9: both 1-D kernels hold 9^(1/4) = sqrt(3) at the centre
    kernels.push_back(impulse);
    ImageLib_Kernel gauss(7, 5);
    gauss.MakeGaussian(1.5f, 1.0f);
    kernels.push_back(gauss);
    kernels.push_back(ImageLib_Kernel(9, 9)); // no energy: stays zero
    const ImageLib_Vector<ImageLib_Kernel> separable = MakeSeparableKernels(kernels);
    ASSERT_EQ(separable.size(), 6u);
    EXPECT_EQ(separable[0].width, 5u);
    EXPECT_EQ(separable[0].height, 1u);
    EXPECT_EQ(separable[1].width, 1u);
    EXPECT_EQ(separable[1].height, 7u);
    EXPECT_FLOAT_EQ(separable[0].At(0, 0), std::sqrt(3.0f));
    EXPECT_FLOAT_EQ(separable[1].At(0, 0), std::sqrt(3.0f));
    EXPECT_EQ(separable[0].Sum(), separable[0].At(0, 0));
    // The outer product of the pair has the 2-D kernel's energy.
    EXPECT_NEAR(separable[2].SumOfSquares() * separable[3].SumOfSquares(), gauss.SumOfSquares(), 1e-6);
    // Shapes: the row and column through the origin.
    for (int32_t x = -3; x <= 3; ++x)
        EXPECT_NEAR(separable[2].At(x, 0) / separable[2].At(0, 0), gauss.At(x, 0) / gauss.At(0, 0), 1e-6);
    EXPECT_EQ(separable[4].SumOfSquares(), 0.0f);
}

// Reads the grain of a synthesized flat image: samples minus the base value.
std::vector<float> GrainOn(GrainModel& model, float base, const ImageLib_Rect& frame, int32_t tw = 0, int32_t th = 0,
                           const ImageLib_PixelFormat& format = testimages::FloatFormat(3)) {
    const float grey[3] = {base, base, base};
    ImageLib_Drawing::SolidNode flat(grey, 3);
    std::unique_ptr<ImageLib_NodePipeline> grain(BuildGrainNode(model));
    grain->SetInput(0, &flat);
    ImageLib_ImageBuffer output(format, frame);
    ImageLib_Evaluate(*grain, output, frame, tw, th);
    std::vector<float> values = testnodes::ReadFloats(output);
    for (float& v : values) v -= base;
    return values;
}

// The power spectrum of a row-major kernel at frequency (u, v) / n.
double KernelPower(const std::vector<double>& k, int32_t width, int32_t height, int32_t u, int32_t v, int32_t n) {
    std::complex<double> sum = 0.0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            sum += k[static_cast<size_t>(y) * width + x] *
                   std::polar(
                       1.0, -2.0 * std::numbers::pi *
                                (static_cast<double>(u) * (x - width / 2) + static_cast<double>(v) * (y - height / 2)) /
                                n);
    return std::norm(sum);
}

// A rotated, elongated kernel (grain of a scanner with an anisotropic spot) is not separable:
// its row and column through the origin lose its shape, a few terms of its singular value
// decomposition keep it.
TEST_F(Synthesis, SeparableTermsReproduceANonSeparableKernel) {
    constexpr int32_t kSide = 25;
    ImageLib_Vector<ImageLib_Kernel> kernels;
    kernels.emplace_back(static_cast<uint32_t>(kSide), static_cast<uint32_t>(kSide));
    std::vector<double> exact(static_cast<size_t>(kSide) * kSide);
    for (int32_t y = 0; y < kSide; ++y)
        for (int32_t x = 0; x < kSide; ++x) {
            const double dx = x - kSide / 2, dy = y - kSide / 2, c = std::cos(0.5), s = std::sin(0.5);
            const double u = c * dx + s * dy, v = -s * dx + c * dy;
            exact[static_cast<size_t>(y) * kSide + x] = std::exp(-0.5 * (u * u / 4.0 + v * v / 1.44));
        }
    for (size_t i = 0; i < exact.size(); ++i) kernels[0].values[i] = static_cast<float>(exact[i]);
    int32_t terms = 0;
    const ImageLib_Vector<ImageLib_Kernel> separable = MakeSeparableTerms(kernels, 4, 0.0, 0.0, terms);
    ASSERT_GE(terms, 2);
    ASSERT_EQ(separable.size(), static_cast<size_t>(terms) * 2);
    // The terms summed back into a 2-D kernel, each centred on the origin.
    const auto rebuild = [&](const ImageLib_Vector<ImageLib_Kernel>& parts, size_t count) {
        std::vector<double> sum(exact.size(), 0.0);
        for (size_t t = 0; t < count; ++t) {
            const ImageLib_Kernel &across = parts[2 * t], &down = parts[2 * t + 1];
            for (int32_t y = down.MinY(); y <= down.MaxY(); ++y)
                for (int32_t x = across.MinX(); x <= across.MaxX(); ++x)
                    if (std::abs(x) <= kSide / 2 && std::abs(y) <= kSide / 2)
                        sum[static_cast<size_t>(y + kSide / 2) * kSide + x + kSide / 2] +=
                            static_cast<double>(across.At(x, 0)) * down.At(0, y);
        }
        return sum;
    };
    const std::vector<double> approximated = rebuild(separable, static_cast<size_t>(terms));
    const std::vector<double> slices = rebuild(MakeSeparableKernels(kernels), 1);
    double energy = 0.0, kept = 0.0;
    for (size_t i = 0; i < exact.size(); ++i) energy += exact[i] * exact[i], kept += approximated[i] * approximated[i];
    EXPECT_NEAR(kept / energy, 1.0, 1e-3);
    // Over the frequencies that hold the grain (power above 1 % of the peak): within 0.1 dB;
    // the classic slices miss by far more.
    const double peak = KernelPower(exact, kSide, kSide, 0, 0, 64);
    double worst = 0.0, worstSlices = 0.0;
    for (int32_t v = -32; v < 32; v += 2)
        for (int32_t u = -32; u < 32; u += 2) {
            const double p = KernelPower(exact, kSide, kSide, u, v, 64);
            if (p < 0.01 * peak) continue;
            worst =
                std::max(worst, std::fabs(10.0 * std::log10(KernelPower(approximated, kSide, kSide, u, v, 64) / p)));
            worstSlices =
                std::max(worstSlices, std::fabs(10.0 * std::log10(KernelPower(slices, kSide, kSide, u, v, 64) / p)));
        }
    EXPECT_LT(worst, 0.1) << terms << " terms, energy kept " << kept / energy;
    EXPECT_GT(worstSlices, 1.0);
    // Synthesis leaves out terms under 1 % of the energy (a measured kernel's noise): this
    // kernel's shape still takes two terms.
    int32_t shapeTerms = 0;
    MakeSeparableTerms(kernels, 4, kNoiseTerm, kNoiseTaps, shapeTerms);
    EXPECT_GE(shapeTerms, 2);
}

TEST_F(Synthesis, ResponseCurvesShapeTheGrainByImageValue) {
    const ImageLib_Rect frame{0, 0, 48, 32, false};
    GrainModel model;
    FillModel(model, 0.0004f); // standard deviation 0.02: never clipped around mid grey
    const std::vector<float> reference = GrainOn(model, 0.5f, frame);
    struct Case {
        float curve[4];
        float base;
        float factor; // expected grain relative to the flat response
    } cases[] = {
        {{0, 1, 0, 0.5f}, 0.5f, 1.0f},     // full grain at the midpoint
        {{0, 1, 0, 0.5f}, 0.25f, 0.5f},    // halfway down the shadow slope
        {{2, 2, 2, 0.3f}, 0.5f, 2.0f},     // a flat curve is a gain
        {{1, 0.5f, 3, 0.0f}, 0.5f, 1.75f}, // midpoint 0: the upper branch mid + (hl - mid) v
        {{1, 0.5f, 1, 1.0f}, 0.5f, 0.75f}, // midpoint 1: the lower branch sh + (mid - sh) v
    };
    for (const Case& c : cases) {
        for (auto& curve : model.grainResponse) curve.assign(c.curve, c.curve + 4);
        const std::vector<float> got = GrainOn(model, c.base, frame);
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_NEAR(got[i], reference[i] * c.factor, 2e-6f)
                << "curve " << c.curve[0] << "," << c.curve[1] << "," << c.curve[2] << "," << c.curve[3];
    }
    // No grain at all in pure black with a curve that is 0 there (the clip keeps black at 0).
    for (auto& curve : model.grainResponse) curve.assign({0.0f, 1.0f, 0.0f, 0.5f});
    for (float v : GrainOn(model, 0.0f, frame)) ASSERT_EQ(v, 0.0f);
}

TEST_F(Synthesis, EachChannelUsesItsOwnKernelCentredAtTheLargestSize) {
    GrainModel model;
    FillModel(model, 0.0004f);
    // Green takes red's noise through a 15 x 15 kernel with two taps, at the origin and
    // one pixel right of it; red and blue (11 x 9) are impulses. Centred origin on origin
    // at the common size, green's grain is red's at x plus red's at x + 1.
    model.colourTransform.Element(1, 1) = 0.0f;
    model.colourTransform.Element(1, 0) = 1.0f;
    ImageLib_Kernel twoTaps(15, 15);
    twoTaps.At(0, 0) = 0.02f;
    twoTaps.At(1, 0) = 0.02f;
    ImageLib_Kernel wide(11, 9);
    wide.At(0, 0) = 0.02f;
    model.kernels[1] = twoTaps;
    model.kernels[2] = wide;
    const std::vector<float> grain = GrainOn(model, 0.5f, {0, 0, 40, 20, false});
    for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x < 39; ++x) {
            const float red0 = grain[(y * 40 + x) * 3], red1 = grain[(y * 40 + x + 1) * 3];
            ASSERT_NEAR(grain[(y * 40 + x) * 3 + 1], red0 + red1, 1e-6f) << x << "," << y;
        }
}

TEST(SynthesisFailures, EveryAllocationAndAbortLeavesNothingBehind) {
    auto run = [](ImageLib_TestCallbacks& callbacks) {
        ImageLib_Context context(&callbacks);
        GrainModel model;
        FillModel(model, 0.001f);
        const float grey[3] = {0.5f, 0.5f, 0.5f};
        ImageLib_Drawing::SolidNode flat(grey, 3);
        std::unique_ptr<ImageLib_NodePipeline> grain(BuildGrainNode(model));
        grain->SetInput(0, &flat);
        ImageLib_ImageBuffer output(ImageLib_HostFormat8(), {0, 0, 24, 20, false});
        ImageLib_PixelFormat colour = ImageLib_HostFormat8();
        colour.channels = colour.colorChannels = colour.bytesPerPixel = 3;
        colour.alphaChannel = -1;
        ImageLib_ImageBuffer rgb(colour, {0, 0, 24, 20, false});
        ImageLib_Evaluate(*grain, rgb, rgb.bounds, 0, 8);
    };
    testimages::ExpectCleanFailures(run);
}

} // namespace
