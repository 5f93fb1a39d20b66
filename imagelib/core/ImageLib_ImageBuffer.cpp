#include "ImageLib_ImageBuffer.h"

#include "ImageLib_Context.h"

uint32_t ImageLib_ImageBuffer::ByteCount(const ImageLib_PixelFormat& format, const ImageLib_Rect& bounds) {
    if (bounds.IsEmpty()) return 0;
    const uint64_t bytes = static_cast<uint64_t>(static_cast<int64_t>(bounds.x1) - bounds.x0) *
                           static_cast<uint64_t>(static_cast<int64_t>(bounds.y1) - bounds.y0) * format.bytesPerPixel;
    if (bytes > kMaxBytes) throw ImageLib_MemoryError();
    return static_cast<uint32_t>(bytes);
}

ImageLib_ImageBuffer::ImageLib_ImageBuffer(const ImageLib_PixelFormat& pixelFormat, const ImageLib_Rect& extent)
    : ImageLib_ImageAccess(pixelFormat, extent) {
    const uint32_t bytes = ByteCount(format, bounds);
    rowStride_ = bounds.IsEmpty() ? 0 : static_cast<int32_t>(bounds.Width() * format.bytesPerPixel);
    // Some hosts answer a request for zero bytes with a null handle.
    handle_ = ImageLib_Context::CurrentCallbacks().AllocateHandle(bytes > 0 ? bytes : 1);
}

ImageLib_ImageBuffer::~ImageLib_ImageBuffer() {
    if (IsMapped()) Release();
    ImageLib_Context::CurrentCallbacks().FreeHandle(handle_);
}

void ImageLib_ImageBuffer::MapRegion(const ImageLib_Rect& mapped, ImageLib_AccessMode) {
    uint8_t* memory = static_cast<uint8_t*>(ImageLib_Context::CurrentCallbacks().LockHandle(handle_));
    uint8_t* first = memory + static_cast<intptr_t>(mapped.x0 - bounds.x0) * format.bytesPerPixel +
                     static_cast<intptr_t>(mapped.y0 - bounds.y0) * rowStride_;
    SetMapping(first, rowStride_, static_cast<uint32_t>(mapped.Width()) * format.bytesPerPixel);
}

void ImageLib_ImageBuffer::CommitRegion() { ImageLib_Context::CurrentCallbacks().UnlockHandle(handle_); }
