#include "ImageLib_Blend.h"

#include "ImageLib_Context.h"
#include "ImageLib_FloatRows.h"
#include "ImageLib_ImageBuffer.h"
#include "ImageLib_Math.h"
#include "ImageLib_Views.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

namespace ImageLib_Blend {

namespace {

using ViewPtr = std::unique_ptr<ImageLib_ImageAccess>;

// The slope of a matte without softness: steep enough that any excess over the
// tolerance reaches 0, yet finite, so that an excess of exactly 0 still gives 1
// where infinity would give NaN.
constexpr float kHardMatteSlope = std::bit_cast<float>(0x799A130Cu);

// Layout whose pixels carry their value in one sample and neutral filler in
// the others.
constexpr uint32_t kSingleSampleLayout = 4;

// The sample that carries the value in kSingleSampleLayout: the one after the
// alpha sample when alpha comes first.
uint32_t ValueSample(const ImageLib_PixelFormat& format) {
    return format.alphaChannel == 0 && format.channels > 1 ? 1 : 0;
}

// Applies out = op(out, in) to every float sample of `region`, where `layer`
// and `base` have the same channel count.
template <class Op>
void CombineRows(ImageLib_ImageAccess& layer, ImageLib_ImageAccess& base, const ImageLib_Rect& region, Op op) {
    const ImageLib_FloatRows upper(layer, region, ImageLib_AccessMode::Read);
    const ImageLib_FloatRows lower(base, region, ImageLib_AccessMode::ReadWrite);
    const uint32_t count = lower.RowFloats();
    ImageLib_ForEachRow(region, [&upper, &lower, count, op](int32_t y) {
        const float* s = upper.Row(y);
        float* d = lower.Row(y);
        for (uint32_t i = 0; i < count; ++i) d[i] = op(d[i], s[i]);
    });
}

// The factor of Screen for one value: 1 - |x|, written so that no sign is lost.
inline float ScreenFactor(float x) { return x < 0.0f ? x + 1.0f : 1.0f - x; }

void LayOn(uint32_t mode, ImageLib_ImageAccess& layer, ImageLib_ImageAccess& view, const ImageLib_Rect& region) {
    switch (static_cast<BlendMode>(mode)) {
    case BlendMode::Add:
        CombineRows(layer, view, region, [](float d, float s) { return d + s; });
        break;
    case BlendMode::ExpMultiply:
        CombineRows(layer, view, region, [](float d, float s) { return d * ImageLib_Exp(s); });
        break;
    case BlendMode::Screen:
        CombineRows(layer, view, region, [](float d, float s) { return 1.0f - ScreenFactor(s) * ScreenFactor(d); });
        break;
    case BlendMode::ExpScreen:
        CombineRows(layer, view, region, [](float d, float s) { return 1.0f - ImageLib_Exp(s) * (1.0f - d); });
        break;
    case BlendMode::Multiply:
        CombineRows(layer, view, region, [](float d, float s) { return s * d; });
        break;
    case BlendMode::Overlay:
        CombineRows(layer, view, region, [](float d, float s) {
            const float v = s + 0.5f;
            return d > 0.5f ? 1.0f - ((1.0f - v) * 2.0f) * (1.0f - d) : (v * 2.0f) * d;
        });
        break;
    }
}

// Truncates toward zero into an integer sample; values the sample cannot hold
// (only possible with an unusual maxValue) saturate instead of being undefined.
template <class Sample> inline Sample ToSample(float value) {
    constexpr float kLargest = static_cast<float>(std::numeric_limits<Sample>::max());
    if (!(value > 0.0f)) return 0;
    return value < kLargest ? static_cast<Sample>(value) : std::numeric_limits<Sample>::max();
}

template <class Sample> inline Sample FromMatte(float m, float scale) {
    if constexpr (std::is_same_v<Sample, float>) {
        return m * scale;
    } else {
        return ToSample<Sample>(m * scale);
    }
}

struct Matcher {
    float toleranceSquared;
    float inverseSoftness;
    float inverseChannels;
    const float* reference;
    size_t referenceCount;
    uint32_t channels;
    bool circularFirst; // channel 0 is an angle in turns: 0.99 and 0.01 lie 0.02 apart

    template <class Sample> float Matte(const Sample* pixel, float scale) const {
        float sum = 0.0f;
        for (uint32_t c = 0; c < channels; ++c) {
            const float target = c < referenceCount ? reference[c] : 0.0f;
            float delta = static_cast<float>(pixel[c]) / scale - target;
            if (c == 0 && circularFirst) {
                delta = std::fabs(delta);
                delta = std::min(delta, 1.0f - delta);
            }
            sum += delta * delta;
        }
        const float excess = sum * inverseChannels - toleranceSquared;
        if (excess < 0.0f) return 1.0f;
        const float m = 1.0f - excess * inverseSoftness;
        return m > 0.0f ? m : 0.0f; // also turns NaN into 0
    }
};

// Replaces every pixel of the mapped `rows` by its matte, in place.
template <class Sample>
void MatchRows(const Matcher& matcher, const ImageLib_RowRange& rows, int32_t width, int32_t height, float scale) {
    ImageLib_ParallelFor(
        height,
        [&matcher, &rows, width, scale](int32_t y) {
            Sample* pixel = rows.Row(y).As<Sample>();
            for (int32_t x = 0; x < width; ++x, pixel += matcher.channels) {
                const Sample value = FromMatte<Sample>(matcher.Matte(pixel, scale), scale);
                for (uint32_t c = 0; c < matcher.channels; ++c) pixel[c] = value;
            }
        },
        width);
}

} // namespace

BlendNode::BlendNode(int32_t inputCount, uint32_t blendMode)
    : ImageLib_NodeWithManyInputs(inputCount), mode(blendMode) {}

ImageLib_Rect BlendNode::ComputeBounds() {
    if (!inputs.empty() && inputs[0]) return inputs[0]->GetBounds();
    // Without input 0 the result exists where the base writes it.
    for (size_t i = inputs.size(); i-- > 0;)
        if (inputs[i]) return inputs[i]->GetBounds();
    return ImageLib_Rect::Nothing();
}

void BlendNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    ViewPtr view(ImageLib_MakeFloatView(output));
    ImageLib_ImageBuffer layer(view->format, region);
    bool haveBase = false;
    ImageLib_Rect written = ImageLib_Rect::Nothing();
    for (size_t i = inputs.size(); i-- > 0;) {
        ImageLib_ComputeNode* node = inputs[i];
        if (!node) continue;
        // Upper inputs are clipped to what the base wrote: outside it the
        // output holds no base to combine with and stays untouched.
        const ImageLib_Rect part = ImageLib_Rect::Intersect(haveBase ? written : region, node->GetBounds());
        if (part.IsEmpty()) continue;
        if (!haveBase) {
            node->Compute(output, part);
            written = part;
            haveBase = true;
            continue;
        }
        if (mode >= kBlendModeCount) break;
        node->Compute(layer, part);
        LayOn(mode, layer, *view, part);
    }
}

// Written as compare-and-select so that NaN falls through to 1.
FadeNode::FadeNode(float fadeAmount) : ImageLib_NodeWithManyInputs(2) {
    const float upper = fadeAmount < 1.0f ? fadeAmount : 1.0f;
    amount = upper > 0.0f ? upper : 0.0f;
}

ImageLib_Rect FadeNode::ComputeBounds() { return inputs[0]->GetBounds(); }

void FadeNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    if (amount == 0.0f) {
        inputs[0]->Compute(output, region);
        return;
    }
    if (amount == 1.0f) {
        inputs[1]->Compute(output, region);
        return;
    }
    inputs[0]->Compute(output, region);
    ImageLib_ImageBuffer other(output.format, region);
    inputs[1]->Compute(other, region);
    // Float rows let integer outputs fade too.
    const float t = amount;
    CombineRows(other, output, region, [t](float out, float in) { return out + (in - out) * t; });
}

MatchNode::MatchNode(float tolerance, float softness, ImageLib_Vector<float> referenceColour, MatchSpace matchSpace)
    : toleranceSquared(tolerance * tolerance), softnessSquared(softness * softness),
      inverseSoftness(softnessSquared > 0.0f ? 1.0f / softnessSquared : kHardMatteSlope),
      reference(std::move(referenceColour)), space(matchSpace) {}

ImageLib_Rect MatchNode::ComputeBounds() { return input->GetBounds(); }

void MatchNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    const uint32_t channels = output.format.channels;
    const Matcher matcher{toleranceSquared,
                          inverseSoftness,
                          channels > 0 ? 1.0f / static_cast<float>(channels) : 0.0f,
                          reference.data(),
                          reference.size(),
                          channels,
                          space == MatchSpace::FloatHue};
    const int32_t width = region.Width();
    const int32_t height = region.Height();
    if (space != MatchSpace::Output && output.format.sampleType != ImageLib_SampleFloat) {
        // Transformed values (negative chroma, hues, averages) stay exact in
        // float; only the matte is stored in the output's integers.
        ImageLib_ImageBuffer values(ImageLib_FloatFormat(output.format), region);
        input->Compute(values, region);
        {
            ImageLib_MappedRegion mapped(values, region, ImageLib_AccessMode::ReadWrite);
            MatchRows<float>(matcher, mapped.rows(), width, height, 1.0f);
        }
        ViewPtr view(ImageLib_MakeFloatView(output));
        ImageLib_CopyRegion(*view, region, values, region);
        return;
    }
    input->Compute(output, region);
    if (output.format.bytesPerChannel == 1) {
        ImageLib_MappedRegion mapped(output, region, ImageLib_AccessMode::ReadWrite);
        MatchRows<uint8_t>(matcher, mapped.rows(), width, height, output.format.maxValue);
    } else if (output.format.bytesPerChannel == 2) {
        ImageLib_MappedRegion mapped(output, region, ImageLib_AccessMode::ReadWrite);
        MatchRows<uint16_t>(matcher, mapped.rows(), width, height, output.format.maxValue);
    } else {
        ViewPtr view(ImageLib_MakeFloatView(output));
        ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::ReadWrite);
        MatchRows<float>(matcher, mapped.rows(), width, height, 1.0f);
    }
}

SelectChannelNode::SelectChannelNode(const ImageLib_PixelFormat& format, uint32_t channelIndex,
                                     ImageLib_ComputeNode* node)
    : ImageLib_NodeWithOneInput(node), sourceFormat(format), channel(channelIndex) {}

ImageLib_Rect SelectChannelNode::ComputeBounds() { return input->GetBounds(); }

void SelectChannelNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    ImageLib_ImageBuffer source(sourceFormat, region);
    input->Compute(source, region);
    const int32_t width = region.Width();

    if (ImageLib_FormatsEqual(output.format, sourceFormat)) {
        // Same layout: copy sample bytes, so no conversion can alter them.
        ImageLib_MappedRegion in(source, region, ImageLib_AccessMode::Read);
        ImageLib_MappedRegion out(output, region, ImageLib_AccessMode::Write);
        const ImageLib_RowRange& from = in.rows();
        const ImageLib_RowRange& to = out.rows();
        const uint32_t pixelBytes = sourceFormat.bytesPerPixel;
        const uint32_t sampleBytes = sourceFormat.bytesPerChannel;
        const uint32_t channels = sourceFormat.channels;
        const bool present = channel < channels;
        const uint32_t offset = present ? channel * sampleBytes : 0;
        const bool single = sourceFormat.layoutTag == kSingleSampleLayout;
        const uint32_t valueSample = ValueSample(sourceFormat);
        ImageLib_ParallelFor(
            region.Height(),
            [&](int32_t y) {
                const uint8_t* s = from.Row(y).rowBegin + offset;
                uint8_t* d = to.Row(y).rowBegin;
                auto put = [&](uint8_t* sample) {
                    if (present) {
                        std::memcpy(sample, s, sampleBytes);
                    } else {
                        std::memset(sample, 0, sampleBytes);
                    }
                };
                for (int32_t x = 0; x < width; ++x, s += pixelBytes, d += pixelBytes) {
                    if (single) {
                        std::memset(d, 127, pixelBytes);
                        if (channels > 0) put(d + valueSample * sampleBytes);
                    } else {
                        for (uint32_t c = 0; c < channels; ++c) put(d + c * sampleBytes);
                    }
                }
            },
            region.Width());
        return;
    }

    const ImageLib_FloatRows in(source, region, ImageLib_AccessMode::Read);
    const ImageLib_FloatRows out(output, region, ImageLib_AccessMode::Write);
    const uint32_t inChannels = sourceFormat.channels;
    const uint32_t outChannels = output.format.channels;
    const bool present = channel < inChannels;
    const bool single = output.format.layoutTag == kSingleSampleLayout;
    const uint32_t valueSample = ValueSample(output.format);
    ImageLib_ForEachRow(region, [&](int32_t y) {
        const float* s = in.Row(y);
        float* d = out.Row(y);
        for (int32_t x = 0; x < width; ++x, s += inChannels, d += outChannels) {
            const float value = present ? s[channel] : 0.0f;
            if (single) {
                for (uint32_t c = 0; c < outChannels; ++c) d[c] = 0.5f;
                if (outChannels > 0) d[valueSample] = value;
            } else {
                for (uint32_t c = 0; c < outChannels; ++c) d[c] = value;
            }
        }
    });
}

LuminanceChannelNode::LuminanceChannelNode(const ImageLib_PixelFormat& format, ImageLib_ComputeNode* node)
    : ImageLib_NodeWithOneInput(node), sourceFormat(format) {}

ImageLib_Rect LuminanceChannelNode::ComputeBounds() { return input->GetBounds(); }

void LuminanceChannelNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    ImageLib_ImageBuffer source(sourceFormat, region);
    input->Compute(source, region);
    const ImageLib_FloatRows in(source, region, ImageLib_AccessMode::Read);
    const ImageLib_FloatRows out(output, region, ImageLib_AccessMode::Write);
    const uint32_t inChannels = sourceFormat.channels;
    const uint32_t outChannels = output.format.channels;
    const float divisor = static_cast<float>(inChannels);
    const int32_t width = region.Width();
    ImageLib_ForEachRow(region, [&](int32_t y) {
        const float* s = in.Row(y);
        float* d = out.Row(y);
        for (int32_t x = 0; x < width; ++x, s += inChannels, d += outChannels) {
            float sum = 0.0f;
            for (uint32_t c = 0; c < inChannels; ++c) sum += s[c];
            // A format without channels has nothing to average: black.
            const float mean = inChannels > 0 ? sum / divisor : 0.0f;
            for (uint32_t c = 0; c < outChannels; ++c) d[c] = mean;
        }
    });
}

MatteNode::MatteNode(float matteAmount) : ImageLib_NodeWithManyInputs(3), amount(matteAmount) {}

ImageLib_Rect MatteNode::ComputeBounds() { return inputs[0]->GetBounds(); }

void MatteNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    inputs[0]->Compute(output, region);
    ImageLib_ImageBuffer mixed(output.format, region);
    inputs[1]->Compute(mixed, region);
    ImageLib_ImageBuffer matte(output.format, region);
    inputs[2]->Compute(matte, region);

    const ImageLib_FloatRows out(output, region, ImageLib_AccessMode::ReadWrite);
    const ImageLib_FloatRows in(mixed, region, ImageLib_AccessMode::Read);
    const ImageLib_FloatRows weights(matte, region, ImageLib_AccessMode::Read);
    const float scale = amount;
    const uint32_t count = out.RowFloats();
    ImageLib_ForEachRow(region, [&](int32_t y) {
        float* d = out.Row(y);
        const float* b = in.Row(y);
        const float* m = weights.Row(y);
        for (uint32_t i = 0; i < count; ++i) d[i] = d[i] + (b[i] - d[i]) * m[i] * scale;
    });
}

ImageLib_ComputeNode* CreateBlendNode(int32_t inputCount, uint32_t mode) { return new BlendNode(inputCount, mode); }

ImageLib_ComputeNode* CreateBlendNode(int32_t inputCount, BlendMode mode) {
    return new BlendNode(inputCount, static_cast<uint32_t>(mode));
}

ImageLib_ComputeNode* CreateFadeNode(float amount) { return new FadeNode(amount); }

ImageLib_ComputeNode* CreateMatchNode(float tolerance, float softness, ImageLib_Vector<float> reference,
                                      MatchSpace space) {
    return new MatchNode(tolerance, softness, std::move(reference), space);
}

ImageLib_ComputeNode* CreateSelectChannelNode(const ImageLib_PixelFormat& sourceFormat, uint32_t channel,
                                              ImageLib_ComputeNode* input) {
    return new SelectChannelNode(sourceFormat, channel, input);
}

ImageLib_ComputeNode* CreateLuminanceChannelNode(const ImageLib_PixelFormat& sourceFormat,
                                                 ImageLib_ComputeNode* input) {
    return new LuminanceChannelNode(sourceFormat, input);
}

ImageLib_ComputeNode* CreateMatteNode(float amount) { return new MatteNode(amount); }

} // namespace ImageLib_Blend
