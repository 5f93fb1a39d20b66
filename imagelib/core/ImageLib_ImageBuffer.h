// Pixel memory that the library owns: one host handle holding the bounds'
// rows back to back, locked only while a region is mapped so the host may move
// it between requests. Contents are undefined at creation.
//
// The byte count is computed in 64 bits; a buffer of 2 GiB or more is refused
// with `ImageLib_MemoryError` before anything is allocated.
#pragma once

#include "ImageLib_Callbacks.h"
#include "ImageLib_ImageAccess.h"

#include <cstdint>

class ImageLib_ImageBuffer : public ImageLib_ImageAccess {
public:
    static constexpr uint64_t kMaxBytes = 0x7FFFFFFFu;

    ImageLib_ImageBuffer(const ImageLib_PixelFormat& format, const ImageLib_Rect& bounds);
    ~ImageLib_ImageBuffer() override;

    // Bytes that a buffer of this format and bounds needs, or throws
    // `ImageLib_MemoryError` when that is kMaxBytes or more.
    static uint32_t ByteCount(const ImageLib_PixelFormat& format, const ImageLib_Rect& bounds);

protected:
    void MapRegion(const ImageLib_Rect& region, ImageLib_AccessMode mode) override;
    void CommitRegion() override;

private:
    ImageLib_Handle handle_ = nullptr;
    int32_t rowStride_ = 0;
};
