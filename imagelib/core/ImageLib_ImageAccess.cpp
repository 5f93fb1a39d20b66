#include "ImageLib_ImageAccess.h"

#include "ImageLib_Context.h"
#include "ImageLib_OnFailure.h"

#include <cstring>

ImageLib_ImageAccess::ImageLib_ImageAccess(const ImageLib_PixelFormat& pixelFormat, const ImageLib_Rect& extent)
    : format(pixelFormat), bounds{extent.x0, extent.y0, extent.x1, extent.y1, false} {}

void ImageLib_ImageAccess::Map(const ImageLib_Rect& newRegion, ImageLib_AccessMode mode) {
    region = newRegion;
    ImageLib_OnFailure unmapped([this]() noexcept {
        region = ImageLib_Rect::Nothing();
        base = nullptr;
        stride = 0;
        rows = {};
    });
    MapRegion(newRegion, mode);
}

void ImageLib_ImageAccess::Release() {
    CommitRegion();
    region = ImageLib_Rect::Nothing();
    base = nullptr;
    stride = 0;
    rows = {};
}

void ImageLib_ImageAccess::SetMapping(uint8_t* first, int32_t rowStride, uint32_t rowBytes) {
    base = first;
    stride = rowStride;
    rows.first = {first, first + rowBytes, rowBytes, rowStride};
    rows.last = rows.Row(region.Height() > 0 ? region.Height() : 0);
}

uint32_t ImageLib_ImageAccess::Checksum() {
    uint32_t h = 0;
    if (!bounds.IsEmpty()) {
        for (int32_t y = bounds.y0; y < bounds.y1; ++y) {
            ImageLib_MappedRegion row(*this, {bounds.x0, y, bounds.x1, y + 1}, ImageLib_AccessMode::Read);
            for (const uint8_t* b = rows.first.rowBegin; b != rows.first.rowEnd; ++b) h = ((h << 1) ^ *b) | (h >> 31);
        }
    }
    return h == 0 ? 0xFFFFFFFFu : h;
}

void ImageLib_CopyRegion(ImageLib_ImageAccess& destination, const ImageLib_Rect& destinationRegion,
                         ImageLib_ImageAccess& source, const ImageLib_Rect& sourceRegion) {
    ImageLib_MappedRegion in(source, sourceRegion, ImageLib_AccessMode::Read);
    ImageLib_MappedRegion out(destination, destinationRegion, ImageLib_AccessMode::Write);
    const ImageLib_RowRange& from = source.rows;
    const ImageLib_RowRange& to = destination.rows;
    ImageLib_ParallelFor(
        destinationRegion.Height(),
        [&from, &to](int32_t y) {
            const ImageLib_RowIterator row = to.Row(y);
            std::memcpy(row.rowBegin, from.Row(y).rowBegin, row.rowBytes);
        },
        destinationRegion.Width());
}
