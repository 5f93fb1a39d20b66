#include "BlendingMatte.h"

#include "imagelib/core/ImageLib_Kernel.h"
#include "imagelib/core/ImageLib_Matrix.h"
#include "imagelib/core/ImageLib_Numeric.h"
#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"
#include "imagelib/nodes/ImageLib_Blend.h"
#include "imagelib/nodes/ImageLib_ColourTransforms.h"
#include "imagelib/nodes/ImageLib_Convolution.h"
#include "imagelib/nodes/ImageLib_Drawing.h"
#include "imagelib/nodes/ImageLib_Mirroring.h"

#include <algorithm>
#include <memory>

namespace {

// The colour transform of a match mode, row-major here for readability.
bool MatchMatrix(MatchMode mode, ImageLib_Matrix& matrix) {
    float rows[3][3] = {};
    if (mode == MatchMode::Luminance) {
        for (auto& row : rows) std::fill(std::begin(row), std::end(row), 0.33333334f);
    } else if (mode == MatchMode::Chroma) {
        const float chroma[3][3] = {{0, 0, 0}, {0.596f, -0.275f, -0.321f}, {0.212f, -0.523f, 0.311f}};
        std::copy(&chroma[0][0], &chroma[0][0] + 9, &rows[0][0]);
    } else if (mode >= MatchMode::RedChannel && mode <= MatchMode::BlueChannel) {
        const int32_t channel = static_cast<int32_t>(mode) - static_cast<int32_t>(MatchMode::RedChannel);
        for (auto& row : rows) row[channel] = 1.0f;
    } else {
        return false;
    }
    matrix = ImageLib_Matrix(3, 3);
    for (uint32_t r = 0; r < 3; ++r)
        for (uint32_t c = 0; c < 3; ++c) matrix.Element(r, c) = rows[r][c];
    return true;
}

ImageLib_PixelFormat WithoutAlpha(const ImageLib_PixelFormat& format) {
    return format.alphaChannel == -1 ? format : ImageLib_Alpha::FormatWithAlphaRemoved(format);
}

// Colour matching inside `p`: the match image, transformed, compared with the reference.
ImageLib_ComputeNode* MatchMatte(ImageLib_NodePipeline& p, const MatteSettings& s) {
    ImageLib_ComputeNode* image = p.Own(ImageLib_BasicNodes::CreateImageNode(s.matchSource));
    if (s.matchSource->format.alphaChannel != -1)
        image = p.Own(ImageLib_Alpha::CreateDropAlphaNode(image, s.matchSource->format.alphaChannel == 0));
    auto* match = p.Own(new ImageLib_NodePipeline(1));
    match->SetInput(0, image);
    ImageLib_ComputeNode* transformed = match->GetInput(0);
    ImageLib_Vector<float> reference(s.matchColour.begin(), s.matchColour.end());
    ImageLib_Matrix matrix;
    if (s.matchMode == MatchMode::Hue) {
        transformed = match->Own(ImageLib_Resampling::CreateRGB2HSVNode(transformed));
        const std::array<float, 3> hsv = MatchColorToHsv(s.matchColour);
        reference.assign(hsv.begin(), hsv.end());
    } else if (MatchMatrix(s.matchMode, matrix)) {
        transformed = match->Own(ImageLib_Resampling::CreateColorspaceNode(matrix, transformed));
        for (uint32_t r = 0; r < 3; ++r) {
            float sum = 0.0f;
            for (uint32_t c = 0; c < 3; ++c) sum += matrix.Element(r, c) * s.matchColour[c];
            reference[r] = sum;
        }
    }
    // RGB compares the layer's own samples; every transform compares in float.
    const ImageLib_Blend::MatchSpace space = s.matchMode == MatchMode::Hue       ? ImageLib_Blend::MatchSpace::FloatHue
                                             : transformed != match->GetInput(0) ? ImageLib_Blend::MatchSpace::Float
                                                                                 : ImageLib_Blend::MatchSpace::Output;
    ImageLib_ComputeNode* matte =
        match->Own(ImageLib_Blend::CreateMatchNode(s.tolerance, s.softness, std::move(reference), space));
    matte->SetInput(0, transformed);
    if (s.invert) matte = match->Own(ImageLib_Drawing::CreateInvertNode(matte));
    match->SetOutputNode(matte);
    return match;
}

ImageLib_ComputeNode* MaskMatte(ImageLib_NodePipeline& p, const MatteSettings& s) {
    const ImageLib_PixelFormat& format = s.mask->format;
    ImageLib_ComputeNode* node = p.Own(ImageLib_BasicNodes::CreateImageNode(s.mask));
    const bool byAlpha = s.maskingMode == MaskingMode::Alpha || s.maskingMode == MaskingMode::InvertedAlpha;
    if (byAlpha) {
        // The host's alpha is channel 0.
        node = p.Own(ImageLib_Blend::CreateSelectChannelNode(format, 0, node));
    } else {
        if (format.alphaChannel != -1)
            node = p.Own(ImageLib_Alpha::CreateDropAlphaNode(node, format.alphaChannel == 0));
        node = p.Own(ImageLib_Blend::CreateLuminanceChannelNode(WithoutAlpha(format), node));
    }
    if (s.maskingMode == MaskingMode::InvertedIntensity || s.maskingMode == MaskingMode::InvertedAlpha)
        node = p.Own(ImageLib_Drawing::CreateInvertNode(node));
    return node;
}

} // namespace

std::array<float, 3> MatchColorToHsv(const std::array<float, 3>& rgb) {
    const float r = rgb[0], g = rgb[1], b = rgb[2];
    const float mx = std::max({0.0f, r, g, b});
    const float mn = std::min({1.0f, r, g, b});
    const float v = mx;
    const float s = mx == 0.0f ? 0.0f : (mx - mn) / mx;
    float h = 0.0f;
    if (s != 0.0f) {
        const float d = mx - mn;
        if (r == mx)
            h = (g - b) / d;
        else if (g == mx)
            h = (b - r) / d + 2.0f;
        else
            h = (r - g) / d + 4.0f;
        h *= 60.0f;
        if (h < 0.0f) h += 360.0f;
        // Just below a full turn the division can round up to 1, which is red again
        // for the image's hue; keep the reference on the same side.
        h = std::min(h / 360.0f, 0.99999994f);
    }
    return {h, s, v};
}

ImageLib_Kernel MatteBlurKernel(float blur) {
    const int32_t n = std::max(ImageLib_TruncateToInt32(blur * 3.0f), 9);
    ImageLib_Kernel kernel(static_cast<uint32_t>(n), 1);
    kernel.MakeGaussian(blur, 1.0f);
    return kernel;
}

ImageLib_NodePipeline* BuildBlendingMatte(const MatteSettings& s) {
    auto pipeline = std::make_unique<ImageLib_NodePipeline>(0);
    ImageLib_NodePipeline& p = *pipeline;
    ImageLib_ComputeNode* match = s.matchSource ? MatchMatte(p, s) : nullptr;
    ImageLib_ComputeNode* mask = s.mask ? MaskMatte(p, s) : nullptr;
    ImageLib_ComputeNode* matte;
    if (match && mask) {
        const ImageLib_Blend::BlendMode combine = s.combineMode == CombineMode::Screen
                                                      ? ImageLib_Blend::BlendMode::Screen
                                                      : ImageLib_Blend::BlendMode::Multiply;
        matte = p.Own(ImageLib_Blend::CreateBlendNode(2, static_cast<uint32_t>(combine)));
        matte->SetInput(0, match);
        matte->SetInput(1, mask);
        if (s.blur == 0.0f) matte = p.Own(ImageLib_BasicNodes::CreateFloatClippingNode(matte));
    } else if (match || mask) {
        matte = match ? match : mask;
    } else {
        const float none[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        matte = p.Own(ImageLib_Drawing::CreateSolidNode(none, 4));
    }
    if (s.blur != 0.0f) {
        const ImageLib_Kernel kernel = MatteBlurKernel(s.blur);
        const float* taps[1] = {kernel.values.data()};
        auto* mirrored = p.Own(ImageLib_Resampling::CreateReflectionNode(matte));
        auto* across = p.Own(ImageLib_Convolution::CreateConvolutionNode(taps, 1, kernel.width, 1, mirrored));
        auto* down = p.Own(ImageLib_Convolution::CreateConvolutionNode(taps, 1, 1, kernel.width, across));
        matte = p.Own(ImageLib_BasicNodes::CreateFloatClippingNode(down));
    }
    p.SetOutputNode(matte);
    return pipeline.release();
}

ImageLib_NodePipeline* BuildApplicationNode(const MatteSettings& s) {
    auto pipeline = std::make_unique<ImageLib_NodePipeline>(2);
    ImageLib_NodePipeline& p = *pipeline;
    // With nothing of the unprocessed image mixed back, the mix is the image
    // with grain itself (it is clipped, so never -0, and x + 0 is x): the matte
    // need not be computed at all.
    if (s.amount == 0.0f) {
        p.SetOutputNode(p.Own(ImageLib_BasicNodes::CreateIdentityNode(p.GetInput(0))));
        return pipeline.release();
    }
    ImageLib_ComputeNode* matte = p.Own(BuildBlendingMatte(s));
    auto* mix = p.Own(ImageLib_Blend::CreateMatteNode(s.amount));
    mix->SetInput(0, p.GetInput(0));
    mix->SetInput(1, p.GetInput(1));
    mix->SetInput(2, matte);
    p.SetOutputNode(mix);
    return pipeline.release();
}
