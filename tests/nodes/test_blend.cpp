#include "ImageLib_Blend.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

namespace {

using ImageLib_Blend::BlendMode;
using testnodes::ReadBytes;
using testnodes::ReadFloats;
using NodePtr = std::unique_ptr<ImageLib_ComputeNode>;
using BufferPtr = std::unique_ptr<ImageLib_ImageBuffer>;

using BlendNodes = testimages::NodeTest;
using FadeNodes = testimages::NodeTest;
using MatchNodes = testimages::NodeTest;
using ChannelNodes = testimages::NodeTest;
using LuminanceChannel = testimages::NodeTest;
using MatteNodes = testimages::NodeTest;

constexpr ImageLib_Rect Rect(int32_t x0, int32_t y0, int32_t x1, int32_t y1) { return {x0, y0, x1, y1, false}; }
constexpr uint32_t Code(BlendMode mode) { return static_cast<uint32_t>(mode); }
// Values that land exactly on an 8-bit or a 16-bit sample.
constexpr float B8(int k) { return static_cast<float>(k / 255.0); }
constexpr float W16(int k) { return static_cast<float>(k / 32768.0); }

const ImageLib_PixelFormat kHost8 = ImageLib_HostFormat8(), kHost16 = ImageLib_HostFormat16();
const ImageLib_PixelFormat kFloat4 = ImageLib_FloatFormat(kHost8), kFloat3 = testimages::FloatFormat(3);

ImageLib_PixelFormat WithoutAlpha(const ImageLib_PixelFormat& format) { return testimages::WithChannels(format, 3); }

ImageLib_PixelFormat SingleSampleLayout(ImageLib_PixelFormat format) {
    format.layoutTag = 4;
    return format;
}

// Given values over `extent`: one pixel's channels used everywhere, or every
// pixel row by row. Records its requests and checks for abort like a real source.
class ValuesNode : public ImageLib_ComputeNode {
public:
    ValuesNode(ImageLib_Rect extent, uint32_t channels, std::vector<float> values)
        : extent_(extent), channels_(channels), values_(std::move(values)) {}

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override {
        requests.push_back(region);
        ImageLib_CheckAbort();
        std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
        ASSERT_EQ(view->format.channels, channels_);
        ASSERT_EQ(ImageLib_Rect::Intersect(region, extent_), region) << "asked outside the source";
        testnodes::WriteField(*view, region, [this](int32_t x, int32_t y, uint32_t c) {
            const size_t pixel =
                values_.size() == channels_ ? 0 : (y - extent_.y0) * extent_.Width() + (x - extent_.x0);
            return values_[pixel * channels_ + c];
        });
    }
    ImageLib_Rect ComputeBounds() override { return extent_; }

    std::vector<ImageLib_Rect> requests;

private:
    ImageLib_Rect extent_;
    uint32_t channels_;
    std::vector<float> values_;
};

std::unique_ptr<ValuesNode> Values(std::vector<float> values, ImageLib_Rect extent = Rect(0, 0, 3, 2)) {
    const uint32_t channels = values.size() == 3 ? 3 : 4;
    return std::make_unique<ValuesNode>(extent, channels, std::move(values));
}

std::unique_ptr<ValuesNode> Grey(float v, uint32_t channels = 4) {
    return std::make_unique<ValuesNode>(ImageLib_Rect::Everything(), channels, std::vector<float>(channels, v));
}

NodePtr Connect(ImageLib_ComputeNode* node, std::initializer_list<ImageLib_ComputeNode*> inputs) {
    int32_t i = 0;
    for (ImageLib_ComputeNode* input : inputs) node->SetInput(i++, input);
    return NodePtr(node);
}

// Computes `node` over `region` into an output whose samples all start as `fill`.
BufferPtr Evaluate(ImageLib_ComputeNode& node, const ImageLib_PixelFormat& format,
                   ImageLib_Rect bounds = Rect(0, 0, 3, 2), float fill = 0.0f,
                   ImageLib_Rect region = Rect(0, 0, 0, 0)) {
    BufferPtr out = std::make_unique<ImageLib_ImageBuffer>(format, bounds);
    testimages::Fill(*out, [fill](int32_t, int32_t, uint32_t) { return fill; });
    node.Compute(*out, region.IsEmpty() ? bounds : region);
    return out;
}

// Sample i of an access: the integer sample of 8-bit and 16-bit formats, the value of float ones.
std::vector<float> Samples(ImageLib_ImageAccess& access) {
    if (access.format.sampleType == ImageLib_SampleFloat) return ReadFloats(access);
    const std::vector<uint8_t> bytes = ReadBytes(access);
    std::vector<float> samples;
    for (size_t i = 0; i < bytes.size(); i += access.format.bytesPerChannel) {
        uint16_t word = bytes[i];
        if (access.format.bytesPerChannel == 2) std::memcpy(&word, &bytes[i], 2);
        samples.push_back(word);
    }
    return samples;
}

// Sample i equals expected[i % size], exactly for integers, within `tolerance` for floats.
void ExpectPixels(ImageLib_ImageAccess& access, const std::vector<float>& expected, float tolerance = 1e-6f) {
    const std::vector<float> samples = Samples(access);
    ASSERT_FALSE(samples.empty());
    const float slack = access.format.sampleType == ImageLib_SampleFloat ? tolerance : 0.0f;
    for (size_t i = 0; i < samples.size(); ++i) EXPECT_NEAR(samples[i], expected[i % expected.size()], slack) << i;
}

TEST_F(BlendNodes, EveryModeInEveryFormat) {
    const float ln2 = 0.693147181f;
    struct Case {
        ImageLib_PixelFormat format;
        uint32_t mode;
        float d, s, expected;
    } cases[] = {
        {kFloat4, Code(BlendMode::Add), 0.25f, 0.5f, 0.75f},
        {kFloat4, Code(BlendMode::Add), 0.9f, -0.5f, 0.4f},
        {kFloat4, Code(BlendMode::Add), 0.9f, 0.3f, 1.2f}, // no clamp
        {kFloat4, Code(BlendMode::ExpMultiply), 0.5f, 0.0f, 0.5f},
        {kFloat4, Code(BlendMode::ExpMultiply), 0.8f, -ln2, 0.4f},
        {kFloat4, Code(BlendMode::Screen), 0.5f, 0.25f, 0.625f},
        {kFloat4, Code(BlendMode::Screen), 0.5f, -0.25f, 0.625f},
        {kFloat4, Code(BlendMode::Screen), -0.5f, 0.5f, 0.75f},
        {kFloat4, Code(BlendMode::Screen), 0.5f, 1.5f, 1.25f},
        {kFloat4, Code(BlendMode::ExpScreen), 0.3f, 0.0f, 0.3f},
        {kFloat4, Code(BlendMode::ExpScreen), 0.5f, -ln2, 0.75f},
        {kFloat4, Code(BlendMode::Multiply), 0.5f, -1.0f, -0.5f},
        {kFloat4, Code(BlendMode::Overlay), 0.5f, 0.0f, 0.5f},
        {kFloat4, Code(BlendMode::Overlay), 0.25f, 0.0f, 0.25f},
        {kFloat4, Code(BlendMode::Overlay), 0.75f, 0.25f, 0.875f}, // 1 - (0.25 * 2) * 0.25
        {kFloat4, Code(BlendMode::Overlay), 0.25f, 0.25f, 0.375f}, // (0.75 * 2) * 0.25
        {kFloat4, Code(BlendMode::Overlay), 0.8f, 0.7f, 1.08f},    // 1 - (-0.2 * 2) * 0.2
        {kFloat4, 6, 0.3f, 0.4f, 0.3f},
        {kFloat4, 0xFFFFFFFFu, 0.3f, 0.4f, 0.3f},
        {kHost8, Code(BlendMode::Add), B8(100), B8(55), 155},
        {kHost8, Code(BlendMode::Multiply), B8(200), B8(100), 78}, // 200 * 100 / 255 = 78.4
        {kHost8, Code(BlendMode::Screen), B8(128), B8(64), 160},   // 255 - 127 * 191 / 255 = 159.9
        {kHost8, Code(BlendMode::ExpScreen), B8(77), 0.0f, 77},
        {kHost16, Code(BlendMode::ExpMultiply), W16(8192), ln2, 16384},
        {kHost16, Code(BlendMode::Overlay), W16(24576), W16(8192), 28672},
        {kHost16, Code(BlendMode::Multiply), W16(16384), W16(16384), 8192},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " d " << c.d << " s " << c.s);
        auto base = Values({c.d, c.d, c.d, c.d}), layer = Values({c.s, c.s, c.s, c.s});
        NodePtr blend = Connect(ImageLib_Blend::CreateBlendNode(2, c.mode), {layer.get(), base.get()});
        ExpectPixels(*Evaluate(*blend, c.format), {c.expected});
    }
}

TEST_F(BlendNodes, BoundsAreInputZerosOrElseTheBases) {
    auto in0 = Values({0, 0, 0, 0}, Rect(0, 0, 5, 5)), in1 = Values({0, 0, 0, 0}, Rect(10, 10, 15, 15));
    auto in2 = Values({0, 0, 0, 0}, Rect(20, 20, 30, 30));
    struct Case {
        ImageLib_ComputeNode *zero, *one, *two;
        ImageLib_Rect expected;
    } cases[] = {{in0.get(), in1.get(), in2.get(), Rect(0, 0, 5, 5)},
                 {nullptr, in1.get(), in2.get(), Rect(20, 20, 30, 30)},
                 {nullptr, in1.get(), nullptr, Rect(10, 10, 15, 15)},
                 {nullptr, nullptr, nullptr, ImageLib_Rect::Nothing()}};
    for (const Case& c : cases) {
        NodePtr blend = Connect(ImageLib_Blend::CreateBlendNode(3, BlendMode::Overlay), {c.zero, c.one, c.two});
        EXPECT_EQ(static_cast<ImageLib_Blend::BlendNode&>(*blend).mode, 5u);
        EXPECT_EQ(blend->GetInputCount(), 3);
        EXPECT_EQ(blend->GetBounds(), c.expected);
    }
}

TEST_F(BlendNodes, OnlyInputOnePresentIsCopiedOverItsBounds) {
    std::vector<float> values;
    for (int k = 1; k <= 16; ++k) values.push_back(B8(10 * k));
    auto in1 = Values(values, Rect(1, 1, 3, 3));
    NodePtr blend = Connect(ImageLib_Blend::CreateBlendNode(2, BlendMode::Multiply), {nullptr, in1.get()});
    EXPECT_EQ(blend->GetBounds(), Rect(1, 1, 3, 3));
    BufferPtr out = Evaluate(*blend, kHost8, Rect(0, 0, 4, 4), B8(7));
    EXPECT_EQ(in1->requests, std::vector<ImageLib_Rect>{Rect(1, 1, 3, 3)});
    const std::vector<uint8_t> bytes = ReadBytes(*out);
    for (int32_t i = 0; i < 64; ++i) {
        const int32_t x = i / 4 % 4, y = i / 16, inside = ((y - 1) * 2 + (x - 1)) * 4 + i % 4 + 1;
        EXPECT_EQ(bytes[i], Rect(1, 1, 3, 3).Contains(x, y) ? 10 * inside : 7) << i;
    }
}

TEST_F(BlendNodes, UpperInputsCoverOnlyTheirOverlapWithTheBase) {
    auto base = Values({0.25f, 0.25f, 0.25f, 0.25f}, Rect(0, 0, 4, 3));
    auto layer = Values({0.5f, 0.5f, 0.5f, 0.5f}, Rect(2, 1, 6, 5));
    NodePtr blend = Connect(ImageLib_Blend::CreateBlendNode(2, BlendMode::Add), {layer.get(), base.get()});
    EXPECT_EQ(blend->GetBounds(), Rect(2, 1, 6, 5));
    const ImageLib_Rect region = Rect(0, 0, 5, 4);
    const std::vector<float> values = ReadFloats(*Evaluate(*blend, kFloat4, region, -7.0f));
    EXPECT_EQ(base->requests, std::vector<ImageLib_Rect>{Rect(0, 0, 4, 3)});
    EXPECT_EQ(layer->requests, std::vector<ImageLib_Rect>{Rect(2, 1, 4, 3)});
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 5; ++x) {
            const float expected = !Rect(0, 0, 4, 3).Contains(x, y) ? -7.0f : x >= 2 && y >= 1 ? 0.75f : 0.25f;
            EXPECT_EQ(testimages::At(values, region, 4, x, y, 3), expected) << x << "," << y;
        }
}

TEST_F(BlendNodes, HigherSlotsAreLaidOnFirstAndOthersSkipped) {
    // Overlay does not commute: 0.4 under 0.3 gives (0.8 * 2) * 0.4 = 0.64,
    // then under -0.2 gives 1 - (0.7 * 2) * 0.36 = 0.496 (0.384 the other way).
    auto far = Values({0.9f, 0.9f, 0.9f, 0.9f}, Rect(10, 10, 12, 12));
    auto base = Grey(0.4f), in1 = Grey(0.3f), in0 = Grey(-0.2f);
    NodePtr blend = Connect(ImageLib_Blend::CreateBlendNode(5, BlendMode::Overlay),
                            {in0.get(), in1.get(), far.get(), base.get(), far.get()});
    blend->SetInput(2, nullptr);
    ExpectPixels(*Evaluate(*blend, kFloat4, Rect(0, 0, 2, 2)), {0.496f});
    EXPECT_TRUE(far->requests.empty());
}

TEST_F(BlendNodes, PaddedFloatRowsOfThreeChannelOutputs) {
    // Three 8-bit samples a pixel: the float view pads each row of 9 floats to
    // 12 while the float layer buffer is packed.
    std::vector<float> base, layer, expected;
    for (int k = 0; k < 18; ++k) {
        base.push_back(B8(5 * k));
        layer.push_back(B8(7 * k + 1));
        expected.push_back(static_cast<float>(12 * k + 1));
    }
    auto in1 = std::make_unique<ValuesNode>(Rect(0, 0, 3, 2), 3, base);
    auto in0 = std::make_unique<ValuesNode>(Rect(0, 0, 3, 2), 3, layer);
    NodePtr blend = Connect(ImageLib_Blend::CreateBlendNode(2, BlendMode::Add), {in0.get(), in1.get()});
    EXPECT_EQ(Samples(*Evaluate(*blend, WithoutAlpha(kHost8))), expected);
}

TEST_F(FadeNodes, AmountIsHeldInZeroToOneAndEndsAskOneInput) {
    struct Case {
        float given, amount;
        size_t asksFirst, asksSecond;
    } cases[] = {{-0.5f, 0.0f, 1, 0}, {0.0f, 0.0f, 1, 0}, {0.25f, 0.25f, 1, 1},
                 {1.0f, 1.0f, 0, 1},  {2.0f, 1.0f, 0, 1}, {std::nanf(""), 1.0f, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        auto first = Grey(0.2f), second = Grey(0.6f);
        NodePtr fade = Connect(ImageLib_Blend::CreateFadeNode(c.given), {first.get(), second.get()});
        EXPECT_EQ(static_cast<ImageLib_Blend::FadeNode&>(*fade).amount, c.amount);
        ExpectPixels(*Evaluate(*fade, kFloat4), {0.2f + 0.4f * c.amount});
        EXPECT_EQ(first->requests.size(), c.asksFirst);
        EXPECT_EQ(second->requests.size(), c.asksSecond);
    }
}

TEST_F(FadeNodes, MixesTowardInputOneInEveryFormat) {
    struct Case {
        ImageLib_PixelFormat format;
        float first, second, amount, expected;
    } cases[] = {{kFloat4, 0.2f, 0.6f, 0.25f, 0.3f},
                 {kFloat4, 0.9f, -0.1f, 0.5f, 0.4f},
                 {kHost8, B8(40), B8(200), 0.25f, 80},
                 {kHost16, W16(32768), W16(0), 0.75f, 8192}};
    for (const Case& c : cases) {
        auto first = Grey(c.first), second = Grey(c.second);
        NodePtr fade = Connect(ImageLib_Blend::CreateFadeNode(c.amount), {first.get(), second.get()});
        ExpectPixels(*Evaluate(*fade, c.format), {c.expected});
    }
}

ImageLib_Vector<float> Reference(std::initializer_list<float> values) { return ImageLib_Vector<float>(values); }

TEST_F(MatchNodes, MatteOfTheMeanSquaredDistance) {
    // Every sample sqrt(D) away from the reference (0.3, 0.5, 0.2), so that
    // the mean squared distance is D; with a fourth sample and only three
    // reference values, the fourth is compared with 0.
    struct Case {
        float softness;
        double distance;
        float fourth, matte;
    } cases[] = {{0.2f, 0.0, -1, 1.0f},   {0.2f, 0.005, -1, 1.0f},  {0.2f, 0.03, -1, 0.5f},   {0.2f, 0.04, -1, 0.25f},
                 {0.2f, 0.05, -1, 0.0f},  {0.2f, 4.0, -1, 0.0f},    {0.0f, 0.0099, -1, 1.0f}, {0.0f, 0.0101, -1, 0.0f},
                 {0.2f, 0.0, 0.0f, 1.0f}, {0.2f, 0.0, 0.4f, 0.25f}, // 0.16 / 4 = 0.04
                 {0.2f, 0.0, 1.0f, 0.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "D " << c.distance << " fourth " << c.fourth);
        std::vector<float> pixel;
        for (float r : {0.3f, 0.5f, 0.2f}) pixel.push_back(static_cast<float>(r + std::sqrt(c.distance)));
        if (c.fourth >= 0) pixel.push_back(c.fourth);
        auto source = Values(pixel);
        NodePtr match =
            Connect(ImageLib_Blend::CreateMatchNode(0.1f, c.softness, Reference({0.3f, 0.5f, 0.2f})), {source.get()});
        EXPECT_EQ(match->GetBounds(), Rect(0, 0, 3, 2));
        ExpectPixels(*Evaluate(*match, pixel.size() == 3 ? kFloat3 : kFloat4), {c.matte}, 1e-5f);
    }
}

TEST_F(MatchNodes, IntegerSamplesAreTruncatedIntoEverySampleAlphaIncluded) {
    // 8-bit samples of 200 against a reference sqrt(0.03) lower give 0.5,
    // stored as 127. 16-bit: a distance chosen for a matte of 8192.5 / 32768.
    const float ref8 = static_cast<float>(B8(200) - std::sqrt(0.03));
    const float ref16 = static_cast<float>(0.5 - std::sqrt(0.01 + (1.0 - 8192.5 / 32768.0) * 0.04));
    struct Case {
        ImageLib_PixelFormat format;
        float reference;
        std::vector<float> pixel;
        float expected;
    } cases[] = {{kHost8, ref8, {B8(200), B8(200), B8(200), B8(200)}, 127},
                 {kHost8, B8(200), {B8(200), B8(200), B8(200), B8(200)}, 255},
                 {kHost8, B8(200), {B8(0), B8(200), B8(200), B8(200)}, 0}, // only alpha differs
                 {kHost16, ref16, {0.5f, 0.5f, 0.5f, 0.5f}, 8192},
                 {kHost16, 0.5f, {0.5f, 0.5f, 0.5f, 0.5f}, 32768},
                 {kHost16, 0.5f, {0.0f, 0.5f, 0.5f, 0.5f}, 0}};
    for (const Case& c : cases) {
        auto source = Values(c.pixel);
        const float r = c.reference;
        NodePtr match = Connect(ImageLib_Blend::CreateMatchNode(0.1f, 0.2f, Reference({r, r, r, r})), {source.get()});
        ExpectPixels(*Evaluate(*match, c.format), {c.expected});
    }
}

TEST_F(ChannelNodes, SelectCopiesSampleBytesWhenFormatsAgree) {
    for (const ImageLib_PixelFormat& format : {kHost8, kHost16, kFloat4, WithoutAlpha(kHost8)}) {
        for (uint32_t channel = 0; channel < format.channels; ++channel) {
            SCOPED_TRACE(testing::Message() << format.bytesPerChannel << " bytes, channel " << channel);
            std::vector<float> values;
            for (uint32_t k = 0; k < 6 * format.channels; ++k)
                values.push_back(format.maxValue == 1.0f ? 0.1f * k : (3.0f + 10.0f * k) / 255.0f);
            auto source = std::make_unique<ValuesNode>(Rect(0, 0, 3, 2), format.channels, values);
            ImageLib_ImageBuffer direct(format, Rect(0, 0, 3, 2));
            source->Compute(direct, direct.bounds);
            const std::vector<uint8_t> in = ReadBytes(direct);
            NodePtr select(ImageLib_Blend::CreateSelectChannelNode(format, channel, source.get()));
            EXPECT_EQ(select->GetBounds(), Rect(0, 0, 3, 2));
            const std::vector<uint8_t> out = ReadBytes(*Evaluate(*select, format));
            const uint32_t pixelBytes = format.bytesPerPixel, sampleBytes = format.bytesPerChannel;
            for (uint32_t i = 0; i < out.size(); ++i)
                EXPECT_EQ(out[i], in[i / pixelBytes * pixelBytes + channel * sampleBytes + i % sampleBytes]) << i;
        }
    }
}

TEST_F(ChannelNodes, SelectConvertsFillsAndDefaults) {
    // The source is 8-bit (153, 51, 102, 255); the single-sample layout puts the
    // value after a leading alpha, or first, and fills the rest with 127
    // bytes (same format) or 0.5 (converted). A missing channel reads 0.
    const std::vector<float> pixel = {B8(153), B8(51), B8(102), B8(255)};
    const ImageLib_PixelFormat tagged8 = SingleSampleLayout(kHost8), tagged3 = SingleSampleLayout(WithoutAlpha(kHost8));
    struct Case {
        ImageLib_PixelFormat source, output;
        uint32_t channel;
        std::vector<float> expected;
    } cases[] = {{kHost8, kFloat4, 1, {B8(51)}},
                 {kHost8, kHost16, 1, {6554}}, // 6553.6 rounded by the view
                 {kHost8, kHost16, 2, {13107}},
                 {kHost8, kFloat3, 3, {1.0f}},
                 {kHost8, kHost8, 7, {0}},
                 {kHost8, kFloat4, 4, {0}},
                 {tagged8, tagged8, 2, {127, 102, 127, 127}},
                 {tagged3, tagged3, 1, {51, 127, 127}},
                 {kHost8, SingleSampleLayout(kFloat4), 3, {0.5f, 1.0f, 0.5f, 0.5f}},
                 {kHost8, SingleSampleLayout(kFloat3), 1, {B8(51), 0.5f, 0.5f}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "channel " << c.channel);
        auto source = std::make_unique<ValuesNode>(
            Rect(0, 0, 3, 2), c.source.channels, std::vector<float>(pixel.begin(), pixel.begin() + c.source.channels));
        NodePtr select(ImageLib_Blend::CreateSelectChannelNode(c.source, c.channel, source.get()));
        ExpectPixels(*Evaluate(*select, c.output, Rect(0, 0, 3, 2), 0.9f), c.expected, 0.0f);
    }
}

TEST_F(LuminanceChannel, UnweightedMeanOfTheSourceChannels) {
    struct Case {
        ImageLib_PixelFormat source, output;
        std::vector<float> pixel;
        float expected;
    } cases[] = {{kFloat3, kFloat4, {0.2f, 0.4f, 0.9f}, 0.5f},
                 {kFloat3, kHost8, {0.2f, 0.4f, 0.9f}, 128}, // 127.5 rounded by the view
                 {kFloat3, kHost16, {0.2f, 0.4f, 0.9f}, 16384},
                 {WithoutAlpha(kHost8), kHost8, {B8(30), B8(60), B8(90)}, 60},
                 {WithoutAlpha(kHost8), kFloat3, {B8(1), B8(2), B8(4)}, 7.0f / 765.0f},
                 {kHost8, kFloat4, {B8(255), B8(51), B8(0), B8(0)}, 0.3f}}; // alpha counts when present
    for (const Case& c : cases) {
        auto source = Values(c.pixel);
        NodePtr luminance(ImageLib_Blend::CreateLuminanceChannelNode(c.source, source.get()));
        EXPECT_EQ(luminance->GetBounds(), Rect(0, 0, 3, 2));
        ExpectPixels(*Evaluate(*luminance, c.output, Rect(0, 0, 3, 2), 0.9f), {c.expected});
    }
}

TEST_F(MatteNodes, MixesChannelByChannelThroughTheMatte) {
    struct Case {
        ImageLib_PixelFormat format;
        std::vector<float> image, mixed, matte;
        float amount;
        std::vector<float> expected;
    } cases[] = {{kFloat4,
                  {0.1f, 0.2f, 0.3f, 0.4f},
                  {0.9f, 0.8f, 0.7f, 0.6f},
                  {0, 1, 0.5f, 0.25f},
                  1,
                  {0.1f, 0.8f, 0.5f, 0.45f}},
                 {kFloat4,
                  {0.1f, 0.2f, 0.3f, 0.4f},
                  {0.9f, 0.8f, 0.7f, 0.6f},
                  {0, 1, 0.5f, 0.25f},
                  0.5f,
                  {0.1f, 0.5f, 0.4f, 0.425f}},
                 {kHost8, {B8(40)}, {B8(200)}, {0, 1, B8(51), B8(102)}, 1, {40, 200, 72, 104}},
                 {kHost16, {0.25f}, {0.75f}, {0, 1, 0.5f, 0.25f}, 0.5f, {8192, 16384, 12288, 10240}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.format.bytesPerChannel << " bytes, amount " << c.amount);
        auto four = [](const std::vector<float>& v) { return v.size() == 4 ? v : std::vector<float>(4, v[0]); };
        auto image = Values(four(c.image)), mixed = Values(four(c.mixed)), matte = Values(c.matte);
        NodePtr node = Connect(ImageLib_Blend::CreateMatteNode(c.amount), {image.get(), mixed.get(), matte.get()});
        EXPECT_EQ(node->GetInputCount(), 3);
        EXPECT_EQ(node->GetBounds(), Rect(0, 0, 3, 2));
        ExpectPixels(*Evaluate(*node, c.format), c.expected);
    }
}

// Every node of the family, on sources of 0.25, 0.5 and 0.75.
struct Graph {
    std::unique_ptr<ValuesNode> a = Grey(0.25f), b = Grey(0.5f), c = Grey(0.75f), rgb = Grey(0.5f, 3);
    NodePtr nodes[7];
    Graph() {
        nodes[0] = Connect(ImageLib_Blend::CreateBlendNode(2, BlendMode::Screen), {a.get(), b.get()});
        nodes[1] = Connect(ImageLib_Blend::CreateFadeNode(0.5f), {a.get(), b.get()});
        nodes[2] = Connect(ImageLib_Blend::CreateMatteNode(1.0f), {a.get(), c.get(), b.get()});
        nodes[3] = Connect(ImageLib_Blend::CreateMatchNode(0.1f, 0.2f, Reference({0.2f, 0.2f, 0.2f, 0.2f})), {c.get()});
        nodes[4] = NodePtr(ImageLib_Blend::CreateSelectChannelNode(kHost8, 1, a.get()));
        nodes[5] = NodePtr(ImageLib_Blend::CreateSelectChannelNode(kHost16, 1, a.get()));
        nodes[6] = NodePtr(ImageLib_Blend::CreateLuminanceChannelNode(WithoutAlpha(kHost8), rgb.get()));
    }
};

TEST_F(BlendNodes, EveryNodeWritesOnlyItsRegion) {
    Graph graph;
    const ImageLib_Rect bounds = Rect(0, 0, 5, 4), region = Rect(1, 1, 4, 3);
    for (const ImageLib_PixelFormat& format : {kHost8, kHost16, kFloat4}) {
        for (int n = 0; n < 7; ++n) {
            SCOPED_TRACE(testing::Message() << "node " << n << ", " << format.bytesPerChannel << " bytes");
            const float sentinel = static_cast<float>(7.0 / format.maxValue);
            const std::vector<float> values = ReadFloats(*Evaluate(*graph.nodes[n], format, bounds, sentinel, region));
            for (size_t i = 0; i < values.size(); ++i) {
                const bool inside = region.Contains(static_cast<int32_t>(i / 4 % 5), static_cast<int32_t>(i / 20));
                EXPECT_EQ(values[i] == sentinel, !inside) << i;
            }
        }
    }
}

// Every memory request refused in turn, every abort check in turn: each node
// gives back all that it took.
TEST(BlendFailures, EveryRequestAndCheckOfEveryNodeFailsCleanly) {
    for (const ImageLib_PixelFormat& format : {kHost8, kFloat4}) {
        for (int n = 0; n < 7; ++n) {
            SCOPED_TRACE(testing::Message() << "node " << n << ", " << format.bytesPerChannel << " bytes");
            testimages::ExpectCleanFailures([&](ImageLib_TestCallbacks& callbacks) {
                ImageLib_Context context(&callbacks);
                Graph graph;
                ImageLib_ImageBuffer out(format, Rect(0, 0, 4, 3));
                graph.nodes[n]->Compute(out, out.bounds);
            });
        }
    }
}

} // namespace
