#include "ImageLib_Alpha.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_FloatRows.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Views.h"

#include <cstring>
#include <memory>

namespace ImageLib_Alpha {

namespace {

bool HasAlpha(const ImageLib_PixelFormat& format) { return format.alphaChannel != -1; }

// Byte offset of the first colour sample within a pixel.
uint32_t ColourOffset(const ImageLib_PixelFormat& format) {
    return format.alphaChannel == 0 ? format.bytesPerChannel : 0;
}

// Byte offset of the alpha sample within a pixel of a format with alpha.
uint32_t AlphaOffset(const ImageLib_PixelFormat& format) {
    return format.alphaChannel == 0 ? 0 : format.bytesPerPixel - format.bytesPerChannel;
}

// Copies `colorBytes` of every pixel of the mapped `from` into the mapped `to`,
// each side at its own colour offset.
// The sizes of the colour of three- and four-channel pixels get copies of a
// fixed size, which compile to plain moves instead of calls.
template <uint32_t Bytes>
void CopyPixels(const uint8_t* in, uint32_t inStep, uint8_t* out, uint32_t outStep, int32_t width) {
    for (int32_t x = 0; x < width; ++x, in += inStep, out += outStep) std::memcpy(out, in, Bytes);
}

void CopyColour(const ImageLib_ImageAccess& from, const ImageLib_ImageAccess& to, uint32_t colorBytes) {
    const uint32_t fromPixel = from.format.bytesPerPixel, toPixel = to.format.bytesPerPixel;
    const uint32_t fromOffset = ColourOffset(from.format), toOffset = ColourOffset(to.format);
    const int32_t width = to.region.Width();
    const ImageLib_RowRange& sources = from.rows;
    const ImageLib_RowRange& targets = to.rows;
    ImageLib_ParallelFor(
        to.region.Height(),
        [&, width](int32_t y) {
            const uint8_t* in = sources.Row(y).rowBegin + fromOffset;
            uint8_t* out = targets.Row(y).rowBegin + toOffset;
            switch (colorBytes) {
            case 3:
                return CopyPixels<3>(in, fromPixel, out, toPixel, width);
            case 4:
                return CopyPixels<4>(in, fromPixel, out, toPixel, width);
            case 6:
                return CopyPixels<6>(in, fromPixel, out, toPixel, width);
            case 8:
                return CopyPixels<8>(in, fromPixel, out, toPixel, width);
            case 12:
                return CopyPixels<12>(in, fromPixel, out, toPixel, width);
            case 16:
                return CopyPixels<16>(in, fromPixel, out, toPixel, width);
            default:
                for (int32_t x = 0; x < width; ++x, in += fromPixel, out += toPixel) std::memcpy(out, in, colorBytes);
            }
        },
        width);
}

// Stores the format's full intensity in every alpha sample of the mapped access.
void FillAlpha(const ImageLib_ImageAccess& access) {
    const ImageLib_PixelFormat& format = access.format;
    const uint32_t offset = AlphaOffset(format);
    const int32_t width = access.region.Width();
    const ImageLib_RowRange& rows = access.rows;
    ImageLib_ParallelFor(
        access.region.Height(),
        [&rows, &format, offset, width](int32_t y) {
            uint8_t* alpha = rows.Row(y).rowBegin + offset;
            const uint32_t step = format.bytesPerPixel;
            if (format.sampleType == ImageLib_Sample8) {
                const uint8_t value = static_cast<uint8_t>(format.maxValue);
                for (int32_t x = 0; x < width; ++x, alpha += step) *alpha = value;
            } else if (format.sampleType == ImageLib_Sample16) {
                const uint16_t value = static_cast<uint16_t>(format.maxValue);
                for (int32_t x = 0; x < width; ++x, alpha += step) std::memcpy(alpha, &value, sizeof value);
            } else {
                for (int32_t x = 0; x < width; ++x, alpha += step) std::memcpy(alpha, &format.maxValue, sizeof(float));
            }
        },
        width);
}

} // namespace

ImageLib_PixelFormat FormatWithAlphaAdded(const ImageLib_PixelFormat& format, bool alphaFirst) {
    ImageLib_PixelFormat result = format;
    result.channels = format.channels + 1;
    result.alphaChannel = alphaFirst ? 0 : static_cast<int32_t>(format.channels);
    result.bytesPerPixel = format.bytesPerChannel * result.channels;
    return result;
}

ImageLib_PixelFormat FormatWithAlphaRemoved(const ImageLib_PixelFormat& format) {
    ImageLib_PixelFormat result = format;
    result.channels = format.colorChannels;
    result.alphaChannel = -1;
    result.bytesPerPixel = format.bytesPerChannel * format.colorChannels;
    return result;
}

void DropAlphaNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    if (!HasAlpha(output.format)) {
        ImageLib_ImageBuffer buffer(FormatWithAlphaAdded(output.format, alphaFirst), region);
        input->Compute(buffer, region);
        ImageLib_MappedRegion in(buffer, region, ImageLib_AccessMode::Read);
        ImageLib_MappedRegion out(output, region, ImageLib_AccessMode::Write);
        CopyColour(buffer, output, output.format.bytesPerPixel);
        return;
    }
    input->Compute(output, region);
    const ImageLib_FloatRows rows(output, region, ImageLib_AccessMode::ReadWrite);
    const uint32_t channels = rows.Channels();
    const uint32_t alpha = static_cast<uint32_t>(rows.Format().alphaChannel);
    const int32_t width = region.Width();
    ImageLib_ForEachRow(region, [&rows, channels, alpha, width](int32_t y) {
        float* pixel = rows.Row(y);
        for (int32_t x = 0; x < width; ++x, pixel += channels) pixel[alpha] = 1.0f;
    });
}

ImageLib_Rect DropAlphaNode::ComputeBounds() { return input->GetBounds(); }

void MultiplyAlphaNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    ImageLib_ImageBuffer buffer(FormatWithAlphaAdded(ImageLib_FloatFormat(output.format), alphaFirst), region);
    input->Compute(buffer, region);
    const ImageLib_FloatRows in(buffer, region, ImageLib_AccessMode::Read);
    const ImageLib_FloatRows out(output, region, ImageLib_AccessMode::Write);
    const uint32_t channels = out.Channels();
    const uint32_t inChannels = in.Channels();
    const uint32_t alpha = static_cast<uint32_t>(buffer.format.alphaChannel);
    const uint32_t first = alphaFirst ? 1 : 0;
    const int32_t width = region.Width();
    ImageLib_ForEachRow(region, [&, width](int32_t y) {
        const float* from = in.Row(y);
        float* to = out.Row(y);
        for (int32_t x = 0; x < width; ++x, from += inChannels, to += channels)
            for (uint32_t k = 0; k < channels; ++k) to[k] = from[alpha] * from[first + k];
    });
}

ImageLib_Rect MultiplyAlphaNode::ComputeBounds() { return input->GetBounds(); }

AddAlphaNode::AddAlphaNode(ImageLib_ComputeNode* color, ImageLib_ComputeNode* alpha) : ImageLib_NodeWithManyInputs(2) {
    SetInput(0, color);
    SetInput(1, alpha);
}

void AddAlphaNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    if (!HasAlpha(output.format)) {
        inputs[0]->Compute(output, region);
        return;
    }
    ImageLib_ImageBuffer buffer(FormatWithAlphaRemoved(output.format), region);
    inputs[0]->Compute(buffer, region);
    const bool hasAlphaSource = inputs[1] != nullptr;
    if (hasAlphaSource) inputs[1]->Compute(output, region);
    ImageLib_MappedRegion in(buffer, region, ImageLib_AccessMode::Read);
    ImageLib_MappedRegion out(output, region,
                              hasAlphaSource ? ImageLib_AccessMode::ReadWrite : ImageLib_AccessMode::Write);
    CopyColour(buffer, output, buffer.format.bytesPerPixel);
    if (!hasAlphaSource) FillAlpha(output);
}

ImageLib_Rect AddAlphaNode::ComputeBounds() { return inputs[0]->GetBounds(); }

ImageLib_ComputeNode* CreateDropAlphaNode(ImageLib_ComputeNode* input, bool alphaFirst) {
    return new DropAlphaNode(input, alphaFirst);
}
ImageLib_ComputeNode* CreateMultiplyAlphaNode(ImageLib_ComputeNode* input, bool alphaFirst) {
    return new MultiplyAlphaNode(input, alphaFirst);
}
ImageLib_ComputeNode* CreateAddAlphaNode(ImageLib_ComputeNode* color, ImageLib_ComputeNode* alpha) {
    return new AddAlphaNode(color, alpha);
}

} // namespace ImageLib_Alpha
