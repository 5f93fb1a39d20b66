// Owning pixel storage for host images, and pixel access on any `HostImage`.
//
// A `HostImageBuffer` owns its pixels and exposes them as a `HostImage` view
// laid out as the host lays out its own images: four interleaved channels,
// alpha first, 8 bits or 16 bits (full scale 32768) per channel, extent
// (0, 0, width, height). Rows are padded by default so that code which
// assumes rowBytes == width * bytes per pixel goes wrong visibly.
//
// Pixel values are exchanged as `HostPixelValue` in the image's own scale
// (0..255 or 0..32768). Reads and writes outside the image throw
// std::out_of_range; they are meant for tests and tools, not inner loops.
#pragma once

#include "interface/HostInterface.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct HostPixelValue {
    uint16_t alpha = 0;
    uint16_t red = 0;
    uint16_t green = 0;
    uint16_t blue = 0;
    friend bool operator==(const HostPixelValue&, const HostPixelValue&) = default;
};

// Bytes per pixel and full-scale value of an image, from its deep flag.
int32_t HostBytesPerPixel(const HostImage& image);
int32_t HostMaxValue(const HostImage& image);
bool HostIsDeep(const HostImage& image);

// The padded row length the host gives new images: at least 16 spare bytes,
// rounded up to a multiple of 16.
int32_t HostDefaultRowBytes(int32_t width, bool deep);

HostPixelValue HostReadPixel(const HostImage& image, int32_t x, int32_t y);
void HostWritePixel(HostImage& image, int32_t x, int32_t y, const HostPixelValue& value);

class HostImageBuffer {
public:
    HostImageBuffer(); // empty: no pixels, size 0 x 0
    // rowBytes 0 picks HostDefaultRowBytes; a smaller row than the pixels need
    // is a std::invalid_argument. New pixels are filled with `fill`.
    HostImageBuffer(int32_t width, int32_t height, bool deep, int32_t rowBytes = 0, uint8_t fill = 0);

    HostImageBuffer(HostImageBuffer&&) noexcept;
    HostImageBuffer& operator=(HostImageBuffer&&) noexcept;
    HostImageBuffer(const HostImageBuffer&) = delete;
    HostImageBuffer& operator=(const HostImageBuffer&) = delete;
    ~HostImageBuffer();

    HostImageBuffer Clone() const;

    HostImage& Image() { return image_; }
    const HostImage& Image() const { return image_; }
    int32_t Width() const { return image_.width; }
    int32_t Height() const { return image_.height; }
    int32_t RowBytes() const { return image_.rowBytes; }
    bool Deep() const { return (image_.flags & kHostImageDeep) != 0; }
    int32_t MaxValue() const { return Deep() ? 32768 : 255; }
    size_t Bytes() const { return bytes_; }
    bool Empty() const { return image_.pixels == nullptr; }

    HostPixelValue Get(int32_t x, int32_t y) const { return HostReadPixel(image_, x, y); }
    void Set(int32_t x, int32_t y, const HostPixelValue& value) { HostWritePixel(image_, x, y, value); }
    void Fill(const HostPixelValue& value); // every pixel; the row padding is left alone

private:
    std::unique_ptr<uint8_t[]> storage_;
    size_t bytes_ = 0;
    HostImage image_{};
};
