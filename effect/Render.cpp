#include "Render.h"

#include "CallContext.h"
#include "HostAdapter.h"
#include "ParamCatalogue.h"
#include "ParamReading.h"
#include "ShellErrors.h"
#include "grain/BlendingMatte.h"
#include "grain/GrainSynthesis.h"
#include "grain/ModelPreparation.h"
#include "grain/NoiseSampling.h"
#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_Numeric.h"
#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_Drawing.h"

#include <algorithm>
#include <memory>

namespace {

namespace Basic = ImageLib_BasicNodes;

HostImage& InputImage() { return gCall.params[0]->u.layer.image; }

// The fitted mask's image, made by the host when the mask needs resizing and
// returned to it by the access that wraps it.
HostImage gFittedMask;

// The images the blending matte reads, alive as long as the graphs built on them.
struct MatteSources {
    std::unique_ptr<ImageLib_ImageAccess> match;
    std::unique_ptr<ImageLib_ImageAccess> mask;
};

// The mask layer at the current time, at the input's size: as it is when the
// sizes agree, else centred on a cleared image or stretched to fit.
std::unique_ptr<ImageLib_ImageAccess> FittedMask() {
    const HostInData& in = *gCall.in;
    HostParamRecord* record =
        ParamCheckoutStack::CheckOut(ParamId::MaskLayer, in.currentTime, in.timeStep, in.timeScale);
    if (!record || !record->u.layer.image.pixels) return nullptr;
    HostImage& mask = record->u.layer.image;
    const HostImage& input = InputImage();
    if (mask.width == input.width && mask.height == input.height)
        return std::make_unique<Vantor_ImageAccess>(&mask, false);
    HostUtilities& utils = HostUtils();
    if (const int32_t error =
            utils.newImage(HostRef(), input.width, input.height, input.flags & kHostImageDeep, &gFittedMask))
        throw VT_Exit_Exception(error);
    auto fitted = std::make_unique<Vantor_ImageAccess>(&gFittedMask, true);
    int32_t error = 0;
    if (ReadInteger(ParamId::IfMaskSizeDiffers) == 2) {
        error = utils.copyImage(HostRef(), &mask, &gFittedMask, nullptr, nullptr);
    } else {
        error = utils.fillImage(HostRef(), nullptr, nullptr, &gFittedMask);
        const int32_t dx = (gFittedMask.width - mask.width) / 2, dy = (gFittedMask.height - mask.height) / 2;
        const HostRect from{0, 0, mask.width, mask.height};
        const HostRect to{dx, dy, dx + mask.width, dy + mask.height};
        if (error == 0) error = utils.copyImage(HostRef(), &mask, &gFittedMask, &from, &to);
    }
    if (error != 0) throw VT_Exit_Exception(error);
    return fitted;
}

MatteSettings FillMatteSettings(MatteSources& sources) {
    MatteSettings s;
    s.amount = ReadNumber(ParamId::BlendAmount) / 100.0f;
    s.blur = ReadNumber(ParamId::BlurMatte);
    const int32_t match = ReadInteger(ParamId::MatchColorUsing);
    if (match != 1) {
        sources.match = std::make_unique<Vantor_ImageAccess>(&InputImage(), false);
        s.matchSource = sources.match.get();
    }
    const std::array<float, 4> colour = ReadColour(ParamId::MatchingColor);
    s.matchColour = {colour[1], colour[2], colour[3]};
    // The popup's entries from 4 on, in its order; 1 to 3 are Off, a separator and RGB.
    constexpr MatchMode kByEntry[] = {MatchMode::Hue,        MatchMode::Chroma,       MatchMode::Luminance,
                                      MatchMode::RedChannel, MatchMode::GreenChannel, MatchMode::BlueChannel};
    s.matchMode = match >= 4 && match <= 9 ? kByEntry[match - 4] : MatchMode::Rgb;
    s.tolerance = ReadNumber(ParamId::MatchingTolerance);
    s.softness = ReadNumber(ParamId::MatchingSoftness);
    s.invert = ReadFlag(ParamId::InvertMatch);
    sources.mask = FittedMask();
    s.mask = sources.mask.get();
    // The popup: Intensity, Alpha, Inverted Intensity, Inverted Alpha.
    constexpr MaskingMode kMaskingByEntry[] = {MaskingMode::Intensity, MaskingMode::Alpha,
                                               MaskingMode::InvertedIntensity, MaskingMode::InvertedAlpha};
    const int32_t masking = ReadInteger(ParamId::MaskingMode);
    s.maskingMode = masking >= 1 && masking <= 4 ? kMaskingByEntry[masking - 1] : MaskingMode::Intensity;
    s.combineMode = ReadInteger(ParamId::CombineMatchAndMask) == 2 ? CombineMode::Screen : CombineMode::Multiply;
    return s;
}

GrainTweaks ReadGrainTweaks() {
    GrainTweaks t;
    using P = ParamId;
    t.compensate = ReadNumber(P::CompensateForExistingNoise);
    t.refined = ReadInteger(P::Estimator) == kEstimatorRefined;
    t.fitResponse = ReadFlag(P::FitResponseToSource);
    t.size = ReadNumber(P::Size);
    t.softness = ReadNumber(P::Softness);
    t.aspectRatio = ReadNumber(P::AspectRatio);
    t.intensity = ReadNumber(P::Intensity);
    t.channelSize = {ReadNumber(P::RedSize), ReadNumber(P::GreenSize), ReadNumber(P::BlueSize)};
    t.channelIntensity = {ReadNumber(P::RedIntensity), ReadNumber(P::GreenIntensity), ReadNumber(P::BlueIntensity)};
    t.monochromatic = ReadFlag(P::Monochromatic);
    t.randomSeed = ReadInteger(P::RandomSeed);
    t.animationSpeed = ReadNumber(P::AnimationSpeed);
    t.animateSmoothly = ReadFlag(P::AnimateSmoothly);
    // A host that reports no time step has only one frame to offer.
    t.frame = gCall.in->timeStep != 0 ? gCall.in->currentTime / gCall.in->timeStep : 0;
    const std::array<float, 4> tint = ReadColour(P::TintColor);
    t.tint = {tint[1], tint[2], tint[3]};
    t.tintAmount = ReadNumber(P::TintAmount);
    t.saturation = ReadNumber(P::Saturation);
    t.shadows = ReadNumber(P::Shadows);
    t.midtones = ReadNumber(P::Midtones);
    t.highlights = ReadNumber(P::Highlights);
    t.midpoint = ReadNumber(P::Midpoint);
    t.balance = {{{ReadNumber(P::RedShadows), ReadNumber(P::RedMidtones), ReadNumber(P::RedHighlights)},
                  {ReadNumber(P::GreenShadows), ReadNumber(P::GreenMidtones), ReadNumber(P::GreenHighlights)},
                  {ReadNumber(P::BlueShadows), ReadNumber(P::BlueMidtones), ReadNumber(P::BlueHighlights)}}};
    t.blendingMode = ReadInteger(P::BlendingMode);
    return t;
}

void FillSamples(HostImage& image, bool noise, SampleSet& samples) {
    const int32_t count = ReadInteger(ParamId::NumberOfSamples);
    const int32_t size = ReadInteger(ParamId::SampleSize);
    samples.clear();
    if (ReadInteger(ParamId::SampleSelection) != kSelectManual) {
        Vantor_ImageAccess access(&image, false);
        ImageLib_NodePipeline layer;
        ImageLib_ComputeNode* source = layer.Own(Basic::CreateImageNode(&access));
        layer.SetOutputNode(noise ? layer.Own(ImageLib_Alpha::CreateMultiplyAlphaNode(source, true))
                                  : layer.Own(ImageLib_Alpha::CreateDropAlphaNode(source, true)));
        SampleSelection selection{count, size, size, ImageLib_Alpha::FormatWithAlphaRemoved(access.format)};
        if (ReadInteger(ParamId::Estimator) == kEstimatorRefined)
            SelectSamplesRefined(selection, layer, samples);
        else
            SelectSamplesAutomatically(selection, layer, samples);
        return;
    }
    const int32_t n = std::clamp(count, 0, kSamplePointCount);
    for (int32_t i = 0; i < n; ++i) {
        const ParamPoint centre = ReadPoint(noise ? NoiseSamplePoint(i) : CompensationSamplePoint(i));
        samples.push_back(ManualSample(centre.x, centre.y, size, image.width, image.height));
    }
}

void DrawSamples(HostImage& image, const SampleSet& samples) {
    HostImage& output = *gCall.output;
    const HostRect whole{0, 0, output.width, output.height};
    if (const int32_t error = HostUtils().copyImage(HostRef(), &image, &output, &whole, &whole))
        throw VT_Exit_Exception(error);
    Vantor_ImageAccess source(&image, false);
    ImageLib_NodePipeline graph;
    ImageLib_ComputeNode* node = graph.Own(Basic::CreateImageNode(&source));
    const std::array<float, 4> colour = ReadColour(ParamId::SampleBoxColor);
    for (const SampleRect& sample : samples)
        node = graph.Own(ImageLib_Drawing::CreateThickBoxNode(colour.data(), 4, &sample, node));
    graph.SetOutputNode(graph.Own(Basic::CreateCropNode({0, 0, output.width, output.height, false}, node)));
    ImageLib_ProgressScope progress(static_cast<int32_t>(samples.size()) + 1);
    progress.Step();
    Vantor_ImageAccess target(&output, false);
    for (const SampleRect& sample : samples) {
        const ImageLib_Rect r = ImageLib_Rect::Intersect(sample, target.bounds);
        if (!r.IsEmpty()) graph.Compute(target, r);
        progress.Step();
    }
    output.extent = image.extent;
}

// Identity outside the Preview mode; in it, the grained image inside the
// preview rectangle, optionally outlined, and nothing elsewhere.
ImageLib_ComputeNode* PreviewOverlay(ImageLib_NodePipeline& graph, ImageLib_ComputeNode* input) {
    if (ReadInteger(ParamId::ViewingMode) != kViewPreview) return graph.Own(Basic::CreateIdentityNode(input));
    const HostImage& image = InputImage();
    const ParamPoint centre = ReadPoint(ParamId::PreviewCenter);
    const int32_t cx = std::clamp(centre.x, 0, image.width), cy = std::clamp(centre.y, 0, image.height);
    // Held to half the int32 range, so the rectangle's edges cannot overflow.
    constexpr int32_t kLimit = 1 << 30;
    const int32_t w =
        std::clamp(ImageLib_TruncateToInt32(static_cast<float>(ReadInteger(ParamId::PreviewWidth)) * gCall.DownsampleX),
                   -kLimit, kLimit);
    const int32_t h = std::clamp(
        ImageLib_TruncateToInt32(static_cast<float>(ReadInteger(ParamId::PreviewHeight)) * gCall.DownsampleY), -kLimit,
        kLimit);
    const int32_t left = cx - ImageLib_TruncateToInt32(static_cast<float>(w) * 0.5f);
    const int32_t top = cy - ImageLib_TruncateToInt32(static_cast<float>(h) * 0.5f);
    const ImageLib_Rect box{left, top, left + w, top + h, false};
    std::array<float, 4> colour = ReadColour(ParamId::BoxColor);
    colour[0] = 1.0f;
    auto* overlay = graph.Own(new ImageLib_NodePipeline(1));
    ImageLib_ComputeNode* framed =
        ReadFlag(ParamId::ShowBox)
            ? overlay->Own(ImageLib_Drawing::CreateThickBoxNode(colour.data(), 4, &box, overlay->GetInput(0)))
            : overlay->Own(Basic::CreateIdentityNode(overlay->GetInput(0)));
    overlay->SetOutputNode(overlay->Own(Basic::CreateCropNode(box, framed)));
    overlay->SetInput(0, input);
    return overlay;
}

void RenderFinal(HostImage& noiseImage, const SampleSet& noiseSamples, const SampleSet& targetSamples,
                 ImageLib_ProgressScope& progress) {
    Vantor_ImageAccess noiseLayer(&noiseImage, false);
    Vantor_ImageAccess input(&InputImage(), false);
    GrainModel model;
    BuildGrainModel(ReadGrainTweaks(), noiseLayer, noiseSamples, input, targetSamples, model);

    MatteSources sources;
    const MatteSettings matte = FillMatteSettings(sources);
    ImageLib_NodePipeline graph;
    ImageLib_ComputeNode* image = graph.Own(Basic::CreateImageNode(&input));
    ImageLib_ComputeNode* colour = graph.Own(ImageLib_Alpha::CreateDropAlphaNode(image, true));
    ImageLib_NodePipeline* grain = graph.Own(BuildGrainNode(model));
    grain->SetInput(0, colour);
    ImageLib_NodePipeline* applied = graph.Own(BuildApplicationNode(matte));
    applied->SetInput(0, grain);
    applied->SetInput(1, colour);
    ImageLib_ComputeNode* restored = graph.Own(ImageLib_Alpha::CreateAddAlphaNode(applied, image));
    graph.SetOutputNode(PreviewOverlay(graph, restored));
    progress.Step();
    EvaluateIntoOutput(graph);
    progress.Step();
}

void RenderMatte() {
    MatteSources sources;
    const MatteSettings settings = FillMatteSettings(sources);
    ImageLib_NodePipeline graph;
    ImageLib_ComputeNode* matte = graph.Own(BuildBlendingMatte(settings));
    graph.SetOutputNode(graph.Own(ImageLib_Alpha::CreateAddAlphaNode(matte, nullptr)));
    EvaluateIntoOutput(graph);
    gCall.output->extent = InputImage().extent;
}

void Render() {
    GlobalHostObjectsScope globals;
    const int32_t mode = ReadInteger(ParamId::ViewingMode);
    if (mode == kViewBlendingMatte) {
        RenderMatte();
        return;
    }
    HostImage& output = *gCall.output;
    HostImage& input = InputImage();
    if (mode == kViewPreview) {
        const HostRect rect{0, 0, std::min(input.width, output.width), std::min(input.height, output.height)};
        if (const int32_t error = HostUtils().copyImage(HostRef(), &input, &output, &rect, &rect))
            throw VT_Exit_Exception(error);
    }
    HostImage& noiseImage = NoiseSourceImage();
    SampleSet noiseSamples, targetSamples;
    ImageLib_ProgressScope progress(4);
    FillSamples(noiseImage, true, noiseSamples);
    progress.Step();
    FillSamples(input, false, targetSamples);
    progress.Step();
    switch (ReadInteger(ParamId::ViewingMode)) {
    case kViewNoiseSamples:
        progress.Step();
        DrawSamples(noiseImage, noiseSamples);
        progress.Step();
        break;
    case kViewCompensationSamples:
        progress.Step();
        DrawSamples(input, targetSamples);
        progress.Step();
        break;
    default:
        RenderFinal(noiseImage, noiseSamples, targetSamples, progress);
        break;
    }
}

} // namespace

int32_t SetupFrame() {
    const HostImage* sized = &InputImage();
    if (ReadInteger(ParamId::ViewingMode) == kViewNoiseSamples) sized = &NoiseSourceImage();
    gCall.out->width = sized->width;
    gCall.out->height = sized->height;
    gCall.out->originX = 0;
    gCall.out->originY = 0;
    return kErrorNone;
}

int32_t RenderFrame() {
    Render();
    return kErrorNone;
}
