#include "ImageLib_BasicNodes.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_FloatRows.h"
#include "imagelib/core/ImageLib_Views.h"

#include <cstring>
#include <memory>

namespace ImageLib_BasicNodes {

namespace {

void CopyRows(const ImageLib_RowRange& from, const ImageLib_RowRange& to, int32_t height, int64_t rowPixels) {
    ImageLib_ParallelFor(
        height,
        [&from, &to](int32_t y) {
            const ImageLib_RowIterator source = from.Row(y);
            std::memcpy(to.Row(y).rowBegin, source.rowBegin, source.rowBytes);
        },
        rowPixels);
}

} // namespace

// An owned source is held before the view is made, so that it is deleted if the view cannot be.
ImageNode::ImageNode(ImageLib_ImageAccess* source, bool owns)
    : ownedImage(owns ? source : nullptr), image(source), floatView(ImageLib_MakeFloatView(*source)) {}

ImageLib_Rect ImageNode::ComputeBounds() { return image->bounds; }

void ImageNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    if (ImageLib_FormatsEqual(output.format, image->format)) {
        ImageLib_MappedRegion in(*image, region, ImageLib_AccessMode::Read);
        ImageLib_MappedRegion out(output, region, ImageLib_AccessMode::Write);
        CopyRows(image->rows, output.rows, region.Height(), region.Width());
        return;
    }
    if (!SimdReference() && output.format.sampleType == ImageLib_SampleFloat &&
        ImageLib_FormatsEqual(output.format, floatView->format)) {
        // Straight into the float output, without the float view's rows in between.
        ImageLib_MappedRegion in(*image, region, ImageLib_AccessMode::Read);
        ImageLib_MappedRegion out(output, region, ImageLib_AccessMode::Write);
        ImageLib_RowsToFloat(*image, output.rows, region.Width(), region.Height());
        return;
    }
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    ImageLib_MappedRegion in(*floatView, region, ImageLib_AccessMode::Read);
    ImageLib_MappedRegion out(*view, region, ImageLib_AccessMode::Write);
    CopyRows(floatView->rows, view->rows, region.Height(), region.Width());
}

void CropNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    const ImageLib_Rect r = ImageLib_Rect::Intersect(region, cropRect);
    if (!r.IsEmpty()) input->Compute(output, r);
}

ImageLib_Rect CropNode::ComputeBounds() { return ImageLib_Rect::Intersect(input->GetBounds(), cropRect); }

void TranslateNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    ImageLibImplementation::TranslationAccess view(output, -offsetX, -offsetY);
    input->Compute(view, region.Offset(offsetX, offsetY));
}

ImageLib_Rect TranslateNode::ComputeBounds() { return input->GetBounds().Offset(-offsetX, -offsetY); }

namespace {

inline void ClipSamples(const float* from, float* to, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const float v = from[i];
        to[i] = v >= 1.0f ? 1.0f : (0.0f >= v ? 0.0f : v);
    }
}

} // namespace

void FloatClippingNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    if (!SimdReference() && output.format.sampleType != ImageLib_SampleFloat) {
        // Clipped in place and converted row by row into the integer output:
        // one pass, where a float view would take a pass of its own and a
        // buffer to fill.
        ImageLib_ImageBuffer buffer(ImageLib_FloatFormat(output.format), region);
        input->Compute(buffer, region);
        ImageLib_MappedRegion in(buffer, region, ImageLib_AccessMode::ReadWrite);
        ImageLib_MappedRegion out(output, region, ImageLib_AccessMode::Write);
        const ImageLib_RowRange& floats = buffer.rows;
        const ImageLib_RowRange& targets = output.rows;
        const ImageLib_PixelFormat& format = output.format;
        const ImageLib_RowConverter convert = ImageLib_FromFloatConverter(format);
        const uint32_t width = static_cast<uint32_t>(region.Width());
        const uint32_t samples = width * format.channels;
        ImageLib_ParallelFor(
            region.Height(),
            [&](int32_t y) {
                float* row = floats.Row(y).As<float>();
                ClipSamples(row, row, samples);
                convert(format, row, targets.Row(y).rowBegin, width);
            },
            region.Width());
        return;
    }
    ImageLib_ImageBuffer buffer(ImageLib_FloatFormat(output.format), region);
    input->Compute(buffer, region);
    const ImageLib_FloatRows in(buffer, region, ImageLib_AccessMode::Read);
    const ImageLib_FloatRows out(output, region, ImageLib_AccessMode::Write);
    const uint32_t samples = out.RowFloats();
    ImageLib_ForEachRow(region, [&in, &out, samples](int32_t y) { ClipSamples(in.Row(y), out.Row(y), samples); });
}

ImageLib_Rect FloatClippingNode::ComputeBounds() { return input->GetBounds(); }

ImageLib_Rect BufferNode::ComputeBounds() { return input->GetBounds(); }

void BufferNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    if (cache && !ImageLib_FormatsEqual(cache->format, output.format)) cache.reset();
    const bool covered =
        cache && cache->bounds.Contains(region.x0, region.y0) && cache->bounds.Contains(region.x1 - 1, region.y1 - 1);
    // A cache is kept only once it is filled: one whose filling was interrupted
    // would hold garbage that a later request took for finished pixels.
    if (cache && !covered) {
        const ImageLib_Rect kept = ImageLib_Rect::Intersect(cache->bounds, region);
        std::unique_ptr<ImageLib_ImageBuffer> old = std::move(cache);
        if (!kept.IsEmpty()) {
            auto fresh = std::make_unique<ImageLib_ImageBuffer>(output.format, region);
            ImageLib_CopyRegion(*fresh, kept, *old, kept);
            old.reset();
            const ImageLib_Rect strips[] = {
                {region.x0, region.y0, region.x1, kept.y0, false},
                {region.x0, kept.y1, region.x1, region.y1, false},
                {region.x0, kept.y0, kept.x0, kept.y1, false},
                {kept.x1, kept.y0, region.x1, kept.y1, false},
            };
            for (const ImageLib_Rect& strip : strips)
                if (!strip.IsEmpty()) input->Compute(*fresh, strip);
            cache = std::move(fresh);
        }
    }
    if (!cache) {
        auto fresh = std::make_unique<ImageLib_ImageBuffer>(output.format, region);
        input->Compute(*fresh, region);
        cache = std::move(fresh);
    }
    ImageLib_CopyRegion(output, region, *cache, region);
}

ImageLib_ComputeNode* CreateImageNode(ImageLib_ImageAccess* image) { return new ImageNode(image, false); }
ImageLib_ComputeNode* CreateOwningImageNode(ImageLib_ImageAccess* image) { return new ImageNode(image, true); }
ImageLib_ComputeNode* CreateCropNode(const ImageLib_Rect& rect, ImageLib_ComputeNode* input) {
    return new CropNode(rect, input);
}
ImageLib_ComputeNode* CreateTranslateNode(int32_t dx, int32_t dy, ImageLib_ComputeNode* input) {
    return new TranslateNode(dx, dy, input);
}
ImageLib_ComputeNode* CreateFloatClippingNode(ImageLib_ComputeNode* input) { return new FloatClippingNode(input); }
ImageLib_ComputeNode* CreateBufferNode(ImageLib_ComputeNode* input) { return new BufferNode(input); }

} // namespace ImageLib_BasicNodes
