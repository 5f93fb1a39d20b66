#include "ImageLib_Mirroring.h"

#include "ImageLib_BasicNodes.h"
#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_Views.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

namespace ImageLib_Resampling {

namespace {

constexpr int64_t kMinCoordinate = std::numeric_limits<int32_t>::min();
constexpr int64_t kMaxCoordinate = std::numeric_limits<int32_t>::max();

bool FitsPlane(int64_t value) { return value >= kMinCoordinate && value <= kMaxCoordinate; }

} // namespace

ImageLib_Rect ReflectionNode::ComputeBounds() {
    const ImageLib_Rect bounds = input->GetBounds();
    return !bounds.infinite && bounds.IsEmpty() ? ImageLib_Rect::Nothing() : ImageLib_Rect::Everything();
}

void ReflectionNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& request) {
    // Clipping to the output also keeps an infinite request from visiting
    // tiles without end.
    const ImageLib_Rect region = ImageLib_Rect::Intersect(request, output.bounds);
    if (region.IsEmpty()) return;
    const ImageLib_Rect bounds = input->GetBounds();
    if (bounds.infinite) {
        input->Compute(output, region);
        return;
    }
    if (bounds.IsEmpty()) return;

    const int64_t w = static_cast<int64_t>(bounds.x1) - bounds.x0;
    const int64_t h = static_cast<int64_t>(bounds.y1) - bounds.y0;
    // Tiles and the views placing them reach up to two tiles beyond the
    // output, in coordinates relative to the input's corner; an image so large
    // that those leave the 32-bit plane cannot be represented.
    const int64_t cornerX = bounds.x0, cornerY = bounds.y0;
    const ImageLib_Rect& out = output.bounds;
    if (!FitsPlane(w) || !FitsPlane(h) || !FitsPlane(-cornerX) || !FitsPlane(-cornerY) ||
        !FitsPlane(out.x0 - cornerX - 2 * w) || !FitsPlane(out.x1 - cornerX + 2 * w) ||
        !FitsPlane(out.y0 - cornerY - 2 * h) || !FitsPlane(out.y1 - cornerY + 2 * h))
        throw ImageLib_MemoryError();

    ImageLib_BasicNodes::TranslateNode translated(bounds.x0, bounds.y0, input);
    ImageLibImplementation::TranslationAccess translatedOutput(output, bounds.x0, bounds.y0);
    const ImageLib_Rect inputBounds{0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h), false};
    const ImageLib_Rect q = region.Offset(-bounds.x0, -bounds.y0);
    const int64_t firstColumn = (q.x0 - w + 1) / w, lastColumn = q.x1 / w;
    const int64_t firstRow = (q.y0 - h + 1) / h, lastRow = q.y1 / h;
    for (int64_t j = firstRow; j <= lastRow; ++j)
        for (int64_t i = firstColumn; i <= lastColumn; ++i)
            ComputeTile(translated, translatedOutput, inputBounds, q, static_cast<int32_t>(i), static_cast<int32_t>(j));
}

void ReflectionNode::ComputeTile(ImageLib_ComputeNode& translatedInput, ImageLib_ImageAccess& translatedOutput,
                                 const ImageLib_Rect& inputBounds, const ImageLib_Rect& request, int32_t column,
                                 int32_t row) {
    const int64_t w = inputBounds.Width(), h = inputBounds.Height();
    const int64_t left = column * w, top = row * h, right = left + w, bottom = top + h;
    const int64_t x0 = std::max<int64_t>(left, request.x0), x1 = std::min<int64_t>(right, request.x1);
    const int64_t y0 = std::max<int64_t>(top, request.y0), y1 = std::min<int64_t>(bottom, request.y1);
    if (x0 >= x1 || y0 >= y1) return;

    const bool mirrorX = column % 2 != 0, mirrorY = row % 2 != 0;
    const int64_t sourceX = mirrorX ? right - x1 : x0 - left;
    const int64_t sourceY = mirrorY ? bottom - y1 : y0 - top;
    const ImageLib_Rect source{static_cast<int32_t>(sourceX), static_cast<int32_t>(sourceY),
                               static_cast<int32_t>(sourceX + (x1 - x0)), static_cast<int32_t>(sourceY + (y1 - y0)),
                               false};
    const int64_t offsetX = mirrorX ? x0 + x1 - right : left;
    const int64_t offsetY = mirrorY ? y0 + y1 - bottom : top;
    ImageLibImplementation::TranslationAccess tile(translatedOutput, static_cast<int32_t>(offsetX),
                                                   static_cast<int32_t>(offsetY));
    translatedInput.Compute(tile, source);

    const uint32_t pixelBytes = tile.format.bytesPerPixel;
    if (mirrorX) {
        const int32_t width = source.Width();
        ImageLib_MappedRegion mapped(tile, source, ImageLib_AccessMode::ReadWrite);
        for (const ImageLib_RowIterator& line : mapped.rows())
            for (int32_t k = 0; k < width / 2; ++k)
                std::swap_ranges(line.rowBegin + static_cast<size_t>(k) * pixelBytes,
                                 line.rowBegin + static_cast<size_t>(k + 1) * pixelBytes,
                                 line.rowBegin + static_cast<size_t>(width - 1 - k) * pixelBytes);
    }
    if (mirrorY) {
        const int32_t height = source.Height();
        ImageLib_MappedRegion mapped(tile, source, ImageLib_AccessMode::ReadWrite);
        for (int32_t k = 0; k < height / 2; ++k) {
            const ImageLib_RowIterator upper = mapped.rows().Row(k), lower = mapped.rows().Row(height - 1 - k);
            std::swap_ranges(upper.rowBegin, upper.rowEnd, lower.rowBegin);
        }
    }
}

ImageLib_ComputeNode* CreateReflectionNode(ImageLib_ComputeNode* input) { return new ReflectionNode(input); }

} // namespace ImageLib_Resampling
