#include "GrainSynthesis.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_FloatRows.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_Blend.h"
#include "imagelib/nodes/ImageLib_ColourTransforms.h"
#include "imagelib/nodes/ImageLib_Convolution.h"
#include "imagelib/nodes/ImageLib_Drawing.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace Strata_AddGrain {

MultiplierNode::MultiplierNode(ImageLib_Vector<ImageLib_Vector<float>>& responseCurves)
    : ImageLib_NodeWithManyInputs(2) {
    curves.swap(responseCurves);
    for (const ImageLib_Vector<float>& curve : curves) {
        const float p = curve.size() > 3 ? curve[3] : 0.5f;
        midpoint.push_back(p);
        if (p == 0.0f) {
            lowScale.push_back(1e30f);
            highScale.push_back(1.0f);
        } else if (p == 1.0f) {
            lowScale.push_back(1.0f);
            highScale.push_back(1e30f);
        } else {
            lowScale.push_back(1.0f / p);
            highScale.push_back(1.0f / (1.0f - p));
        }
    }
}

ImageLib_Rect MultiplierNode::ComputeBounds() { return inputs[0]->GetBounds(); }

void MultiplierNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    inputs[0]->Compute(output, region);
    ImageLib_ImageBuffer image(ImageLib_FloatFormat(output.format), region);
    inputs[1]->Compute(image, region);
    const ImageLib_FloatRows grain(output, region, ImageLib_AccessMode::ReadWrite);
    const ImageLib_FloatRows guide(image, region, ImageLib_AccessMode::Read);
    const uint32_t channels = grain.Channels();
    const uint32_t curved = std::min(channels, static_cast<uint32_t>(curves.size()));
    // A curve shorter than four values cannot be evaluated; such channels pass.
    float shadows[4] = {}, midtones[4] = {}, highlights[4] = {};
    bool usable[4] = {};
    for (uint32_t c = 0; c < curved && c < 4; ++c) {
        usable[c] = curves[c].size() >= 3;
        if (!usable[c]) continue;
        shadows[c] = curves[c][0];
        midtones[c] = curves[c][1];
        highlights[c] = curves[c][2];
    }
    const int32_t width = region.Width();
    const float* p = midpoint.data();
    const float* low = lowScale.data();
    const float* high = highScale.data();
    if (channels == 3 && curved == 3 && usable[0] && usable[1] && usable[2]) {
        // The usual case, vectorised: the curve's parameters laid out along 8
        // pixels, both sides of the curve computed and one chosen without a
        // branch. The same expressions, so the same values.
        constexpr int32_t kSpan = 24;
        float ps[kSpan], lows[kSpan], highs[kSpan], blacks[kSpan], mids[kSpan], whites[kSpan];
        for (int32_t j = 0; j < kSpan; ++j) {
            const int32_t c = j % 3;
            ps[j] = p[c], lows[j] = low[c], highs[j] = high[c];
            blacks[j] = shadows[c], mids[j] = midtones[c], whites[j] = highlights[c];
        }
        ImageLib_ForEachRow(region, [&, width](int32_t y) {
            float* g = grain.Row(y);
            const float* v = guide.Row(y);
            const int32_t n = width * 3;
            auto apply = [&](int32_t i, int32_t j) {
                const float value = v[i];
                const float below = blacks[j] + (mids[j] - blacks[j]) * value * lows[j];
                const float above = mids[j] + (whites[j] - mids[j]) * (value - ps[j]) * highs[j];
                g[i] *= ps[j] > value ? below : above;
            };
            int32_t i = 0;
            for (; i + kSpan <= n; i += kSpan)
                for (int32_t j = 0; j < kSpan; ++j) apply(i + j, j);
            for (int32_t j = 0; i < n; ++i, ++j) apply(i, j);
        });
        return;
    }
    ImageLib_ForEachRow(region, [&, width, channels](int32_t y) {
        float* g = grain.Row(y);
        const float* v = guide.Row(y);
        for (int32_t x = 0; x < width; ++x, g += channels, v += channels) {
            for (uint32_t c = 0; c < curved && c < 4; ++c) {
                if (!usable[c]) continue;
                const float factor = p[c] > v[c]
                                         ? shadows[c] + (midtones[c] - shadows[c]) * v[c] * low[c]
                                         : midtones[c] + (highlights[c] - midtones[c]) * (v[c] - p[c]) * high[c];
                g[c] *= factor;
            }
        }
    });
}

} // namespace Strata_AddGrain

ImageLib_Vector<ImageLib_Kernel> MakeSeparableKernels(const ImageLib_Vector<ImageLib_Kernel>& kernels) {
    ImageLib_Vector<ImageLib_Kernel> separable;
    separable.reserve(kernels.size() * 2);
    for (const ImageLib_Kernel& k : kernels) {
        const float s = std::sqrt(std::sqrt(k.SumOfSquares()));
        // An empty kernel has no origin to take a row and a column through.
        const bool empty = k.width == 0 || k.height == 0;
        ImageLib_Kernel across(empty ? 1 : k.width, 1), down(1, empty ? 1 : k.height);
        if (!empty) {
            for (int32_t x = k.MinX(); x <= k.MaxX(); ++x) across.At(x, 0) = k.At(x, 0);
            for (int32_t y = k.MinY(); y <= k.MaxY(); ++y) down.At(0, y) = k.At(0, y);
        }
        across.NormalizeEnergy();
        across.Scale(s);
        down.NormalizeEnergy();
        down.Scale(s);
        separable.push_back(std::move(across));
        separable.push_back(std::move(down));
    }
    return separable;
}

namespace {

// The dominant singular triplet of a rows x columns matrix (row-major) by power iteration from
// its largest row, until the value stops changing (at most 200 steps): deterministic, exact to
// double precision for the well-separated leading values of grain kernels. Huge kernels (a Size
// of 5 makes tens of millions of taps) take a while: every step checks for cancel.
double LeadingSingular(const ImageLib_Vector<double>& m, size_t rows, size_t columns, ImageLib_Vector<double>& u,
                       ImageLib_Vector<double>& v) {
    u.assign(rows, 0.0);
    v.assign(columns, 0.0);
    size_t largest = 0;
    double best = -1.0;
    for (size_t r = 0; r < rows; ++r) {
        double norm = 0.0;
        for (size_t c = 0; c < columns; ++c) norm += m[r * columns + c] * m[r * columns + c];
        if (norm > best) best = norm, largest = r;
    }
    if (best <= 0.0) return 0.0;
    for (size_t c = 0; c < columns; ++c) v[c] = m[largest * columns + c];
    double sigma = 0.0;
    for (int step = 0; step < 200; ++step) {
        ImageLib_CheckAbort();
        double norm = 0.0;
        for (double x : v) norm += x * x;
        norm = std::sqrt(norm);
        if (norm <= 0.0) return 0.0;
        for (double& x : v) x /= norm;
        double unorm = 0.0;
        for (size_t r = 0; r < rows; ++r) {
            double sum = 0.0;
            for (size_t c = 0; c < columns; ++c) sum += m[r * columns + c] * v[c];
            u[r] = sum;
            unorm += sum * sum;
        }
        unorm = std::sqrt(unorm);
        if (unorm <= 0.0) return 0.0;
        for (double& x : u) x /= unorm;
        std::fill(v.begin(), v.end(), 0.0);
        for (size_t r = 0; r < rows; ++r)
            for (size_t c = 0; c < columns; ++c) v[c] += m[r * columns + c] * u[r];
        const bool settled = std::fabs(unorm - sigma) <= 1e-13 * unorm;
        sigma = unorm;
        if (settled) break;
    }
    double norm = 0.0;
    for (double x : v) norm += x * x;
    norm = std::sqrt(norm);
    for (double& x : v) x /= norm;
    return norm > sigma ? norm : sigma;
}

} // namespace

namespace {

constexpr double kLeftOut = 1e-6;                          // residual energy at which no further term is wanted
constexpr uint64_t kLargestDecomposed = uint64_t{1} << 18; // taps; larger kernels take the classic slices
constexpr uint64_t kLargestMultiTerm = uint64_t{96} * 96;  // taps; larger kernels take one term

// The taps within the smallest radius about the origin that holds all but `share` of the
// energy: a measured kernel's far taps carry its estimation noise, and cost a multiply each.
ImageLib_Kernel Trimmed(const ImageLib_Kernel& taps, bool across, double share) {
    const uint32_t length = across ? taps.width : taps.height;
    const int32_t origin = static_cast<int32_t>(length / 2);
    double energy = 0.0;
    for (float v : taps.values) energy += static_cast<double>(v) * v;
    // Grown outwards from the origin, one tap each side at a time.
    const auto square = [&taps](int32_t i) {
        return static_cast<double>(taps.values[static_cast<size_t>(i)]) * taps.values[static_cast<size_t>(i)];
    };
    double inside = square(origin);
    int32_t radius = 0;
    while (radius < origin && inside < (1.0 - share) * energy) {
        ++radius;
        inside += square(origin - radius);
        if (origin + radius < static_cast<int32_t>(length)) inside += square(origin + radius);
    }
    const uint32_t kept = static_cast<uint32_t>(2 * radius + 1);
    ImageLib_Kernel out(across ? kept : 1u, across ? 1u : kept);
    for (int32_t i = -radius; i <= radius; ++i) {
        const int32_t from = origin + i;
        if (from >= 0 && from < static_cast<int32_t>(length))
            out.values[static_cast<size_t>(i + radius)] = taps.values[static_cast<size_t>(from)];
    }
    return out;
}

} // namespace

ImageLib_Vector<ImageLib_Kernel> MakeSeparableTerms(const ImageLib_Vector<ImageLib_Kernel>& kernels, int32_t maxTerms,
                                                    double smallestTerm, double trimShare, int32_t& terms) {
    struct Term {
        ImageLib_Kernel across, down;
    };
    const size_t channels = kernels.size();
    std::vector<std::vector<Term>> perChannel(channels);
    terms = 1;
    for (size_t k = 0; k < channels; ++k) {
        const ImageLib_Kernel& kernel = kernels[k];
        const uint32_t rows = std::max(kernel.height, 1u), columns = std::max(kernel.width, 1u);
        if (static_cast<uint64_t>(rows) * columns > kLargestDecomposed) {
            // Only extreme tweaks make such kernels; their row and column through the origin
            // cost a fraction of a decomposition and keep the render responsive.
            ImageLib_Vector<ImageLib_Kernel> one;
            one.push_back(kernel);
            ImageLib_Vector<ImageLib_Kernel> slices = MakeSeparableKernels(one);
            perChannel[k].push_back({std::move(slices[0]), std::move(slices[1])});
            continue;
        }
        // Library memory: a huge kernel's copy fails as the render's out-of-memory, not the heap's.
        ImageLib_Vector<double> residual(static_cast<size_t>(rows) * columns, 0.0);
        double energy = 0.0;
        for (uint32_t r = 0; r < kernel.height; ++r)
            for (uint32_t c = 0; c < kernel.width; ++c) {
                const double value = kernel.values[static_cast<size_t>(r) * kernel.width + c];
                residual[static_cast<size_t>(r) * columns + c] = value;
                energy += value * value;
            }
        double kept = 0.0;
        ImageLib_Vector<double> u, v;
        // Large kernels come from large Size tweaks: one term (the best separable fit) keeps
        // their cost and memory at the classic level, where every further term would add a
        // buffered pass of the kernel's size.
        const int32_t allowed = static_cast<uint64_t>(rows) * columns > kLargestMultiTerm ? 1 : maxTerms;
        for (int32_t t = 0; t < allowed && energy > 0.0; ++t) {
            const double sigma = LeadingSingular(residual, rows, columns, u, v);
            // A term that adds less than this share of the energy models the estimate's noise,
            // not the grain's shape, and would only cost two passes more.
            if (sigma <= 0.0 || (t > 0 && sigma * sigma < smallestTerm * energy)) break;
            Term term{ImageLib_Kernel(columns, 1), ImageLib_Kernel(1, rows)};
            const double root = std::sqrt(sigma);
            for (uint32_t c = 0; c < columns; ++c) term.across.values[c] = static_cast<float>(root * v[c]);
            for (uint32_t r = 0; r < rows; ++r) term.down.values[r] = static_cast<float>(root * u[r]);
            double left = 0.0;
            for (uint32_t r = 0; r < rows; ++r)
                for (uint32_t c = 0; c < columns; ++c) {
                    double& value = residual[static_cast<size_t>(r) * columns + c];
                    value -= sigma * u[r] * v[c];
                    left += value * value;
                }
            perChannel[k].push_back(std::move(term));
            kept = energy - left;
            if (left < kLeftOut * energy) break;
        }
        // What the dropped terms held goes back into the kept ones, so the grain keeps its strength.
        if (kept > 0.0) {
            const float gain = static_cast<float>(std::sqrt(std::sqrt(energy / kept)));
            for (Term& term : perChannel[k]) {
                term.across.Scale(gain);
                term.down.Scale(gain);
            }
        }
        terms = std::max(terms, static_cast<int32_t>(perChannel[k].size()));
    }
    ImageLib_Vector<ImageLib_Kernel> separable;
    separable.reserve(static_cast<size_t>(terms) * channels * 2);
    for (int32_t t = 0; t < terms; ++t)
        for (size_t k = 0; k < channels; ++k) {
            if (static_cast<size_t>(t) < perChannel[k].size()) {
                separable.push_back(Trimmed(perChannel[k][static_cast<size_t>(t)].across, true, trimShare));
                separable.push_back(Trimmed(perChannel[k][static_cast<size_t>(t)].down, false, trimShare));
            } else {
                separable.emplace_back(1u, 1u);
                separable.emplace_back(1u, 1u);
            }
        }
    return separable;
}

float NoiseBlendGain(float b) {
    const float spread = std::sqrt(2.0f * b * b - 2.0f * b + 1.0f);
    return static_cast<float>(1.0 / static_cast<double>(spread));
}

ImageLib_Matrix GrainColourMatrix(const GrainModel& model, float g) {
    ImageLib_Matrix m = model.colourTransform;
    const uint32_t n = m.columns;
    const float s = model.grainSaturation;
    const float a = 1.0f - std::fabs(1.0f - s);
    const float lo = std::max(1.0f - s, 0.0f);
    const float hi = std::max(s - 1.0f, 0.0f);
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t j = 0; j < m.rows; ++j) {
            float& e = m.Element(j, i);
            e = a * e + lo / static_cast<float>(n);
            if (i == j) e += hi;
            const float intensity = j < model.grainIntensity.size() ? model.grainIntensity[j] : 1.0f;
            e *= g * intensity;
        }
    }
    return m;
}

namespace {

// The 1-D kernels of one direction brought to a common length, each centred
// (origin on origin) and padded with zeros.
ImageLib_Vector<ImageLib_Vector<float>> CommonLength(const ImageLib_Vector<ImageLib_Kernel>& separable, size_t first,
                                                     bool horizontal, uint32_t& length, size_t end = SIZE_MAX) {
    end = std::min(end, separable.size());
    length = 1;
    for (size_t k = first; k < end; k += 2)
        length = std::max(length, horizontal ? separable[k].width : separable[k].height);
    ImageLib_Vector<ImageLib_Vector<float>> padded;
    for (size_t k = first; k < end; k += 2) {
        const ImageLib_Kernel& kernel = separable[k];
        const uint32_t own = horizontal ? kernel.width : kernel.height;
        ImageLib_Vector<float> taps(length, 0.0f);
        for (uint32_t i = 0; i < own; ++i) taps[length / 2 - own / 2 + i] = kernel.values[i];
        padded.push_back(std::move(taps));
    }
    return padded;
}

} // namespace

namespace {

// The grain shaped by the response curves of the image (the pipeline's input) and blended onto it.
ImageLib_ComputeNode* ApplyGrain(ImageLib_NodePipeline& p, const GrainModel& model, ImageLib_ComputeNode* grain) {
    namespace Basic = ImageLib_BasicNodes;
    ImageLib_Vector<ImageLib_Vector<float>> curves = model.grainResponse;
    auto* response = p.Own(new Strata_AddGrain::MultiplierNode(curves));
    auto* image = p.Own(Basic::CreateBufferNode(p.GetInput(0)));
    response->SetInput(0, grain);
    response->SetInput(1, image);

    auto* blend = p.Own(ImageLib_Blend::CreateBlendNode(2, static_cast<uint32_t>(model.blendMode)));
    blend->SetInput(0, response);
    blend->SetInput(1, image);
    return p.Own(Basic::CreateFloatClippingNode(blend));
}

// The coloured noise convolved with each separable term of the kernels, the terms summed. The
// reference form keeps the noise between bands ahead of every term; the fast form keeps each
// term's horizontal pass too (and the noise only when terms share it): the same values.
ImageLib_ComputeNode* SeparableTermsGrain(ImageLib_NodePipeline& p, const GrainModel& model,
                                          ImageLib_ComputeNode* coloured) {
    namespace Basic = ImageLib_BasicNodes;
    int32_t terms = 0;
    const ImageLib_Vector<ImageLib_Kernel> separable =
        MakeSeparableTerms(model.kernels, model.kernelTerms, kNoiseTerm, kNoiseTaps, terms);
    const size_t channels = model.kernels.size();
    // Every term filters the same noise: it is made once and kept between bands.
    ImageLib_ComputeNode* noise = terms > 1 || SimdReference() ? p.Own(Basic::CreateBufferNode(coloured)) : coloured;
    auto* sum = p.Own(ImageLib_Blend::CreateBlendNode(terms, static_cast<uint32_t>(ImageLib_Blend::BlendMode::Add)));
    for (int32_t t = 0; t < terms; ++t) {
        const size_t first = static_cast<size_t>(t) * channels * 2, end = first + channels * 2;
        uint32_t width = 1, height = 1;
        const ImageLib_Vector<ImageLib_Vector<float>> across = CommonLength(separable, first, true, width, end);
        const ImageLib_Vector<ImageLib_Vector<float>> down = CommonLength(separable, first + 1, false, height, end);
        ImageLib_Vector<const float*> acrossTaps, downTaps;
        for (const ImageLib_Vector<float>& taps : across) acrossTaps.push_back(taps.data());
        for (const ImageLib_Vector<float>& taps : down) downTaps.push_back(taps.data());
        const uint32_t count = static_cast<uint32_t>(acrossTaps.size());
        ImageLib_ComputeNode* horizontal =
            p.Own(ImageLib_Convolution::CreateConvolutionNode(acrossTaps.data(), count, width, 1, noise));
        if (!SimdReference()) horizontal = p.Own(Basic::CreateBufferNode(horizontal));
        sum->SetInput(
            t, p.Own(ImageLib_Convolution::CreateConvolutionNode(downTaps.data(), count, 1, height, horizontal)));
    }
    return sum;
}

} // namespace

ImageLib_NodePipeline* BuildGrainNode(const GrainModel& model) {
    namespace Basic = ImageLib_BasicNodes;
    auto pipeline = std::make_unique<ImageLib_NodePipeline>(1);
    ImageLib_NodePipeline& p = *pipeline;

    auto* first = p.Own(ImageLib_Drawing::CreateNoiseNode(0.0f, 2.0f, true, model.randSeed));
    auto* second = p.Own(ImageLib_Drawing::CreateNoiseNode(0.0f, 2.0f, true, model.randSeed2));
    auto* mix = p.Own(ImageLib_Blend::CreateFadeNode(model.randBlend));
    mix->SetInput(0, first);
    mix->SetInput(1, second);

    const ImageLib_Matrix matrix = GrainColourMatrix(model, NoiseBlendGain(model.randBlend));
    auto* coloured = p.Own(ImageLib_Resampling::CreateColorspaceNode(matrix, mix));

    if (model.kernelTerms > 0) {
        p.SetOutputNode(ApplyGrain(p, model, SeparableTermsGrain(p, model, coloured)));
        return pipeline.release();
    }
    const ImageLib_Vector<ImageLib_Kernel> separable = MakeSeparableKernels(model.kernels);
    uint32_t width = 1, height = 1;
    const ImageLib_Vector<ImageLib_Vector<float>> across = CommonLength(separable, 0, true, width);
    const ImageLib_Vector<ImageLib_Vector<float>> down = CommonLength(separable, 1, false, height);
    ImageLib_Vector<const float*> acrossTaps, downTaps;
    for (const ImageLib_Vector<float>& taps : across) acrossTaps.push_back(taps.data());
    for (const ImageLib_Vector<float>& taps : down) downTaps.push_back(taps.data());
    const uint32_t channels = static_cast<uint32_t>(acrossTaps.size());
    ImageLib_ComputeNode* vertical;
    if (SimdReference()) {
        // The noise is kept from band to band ahead of both passes.
        auto* noise = p.Own(Basic::CreateBufferNode(coloured));
        auto* horizontal =
            p.Own(ImageLib_Convolution::CreateConvolutionNode(acrossTaps.data(), channels, width, 1, noise));
        vertical = p.Own(ImageLib_Convolution::CreateConvolutionNode(downTaps.data(), channels, 1, height, horizontal));
    } else {
        // The same values with the horizontal pass's output kept instead: the
        // rows a band shares with the next (the vertical pass's margin) are
        // then filtered across once, not once per band. At 2160p a band of 34
        // rows needs 57 rows of input, so this saves 40% of that pass.
        auto* horizontal =
            p.Own(ImageLib_Convolution::CreateConvolutionNode(acrossTaps.data(), channels, width, 1, coloured));
        auto* kept = p.Own(Basic::CreateBufferNode(horizontal));
        vertical = p.Own(ImageLib_Convolution::CreateConvolutionNode(downTaps.data(), channels, 1, height, kept));
    }

    p.SetOutputNode(ApplyGrain(p, model, vertical));
    return pipeline.release();
}
