#include "host/HostImageBuffer.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

bool HostIsDeep(const HostImage& image) { return (image.flags & kHostImageDeep) != 0; }

int32_t HostBytesPerPixel(const HostImage& image) { return HostIsDeep(image) ? 8 : 4; }

int32_t HostMaxValue(const HostImage& image) { return HostIsDeep(image) ? 32768 : 255; }

int32_t HostDefaultRowBytes(int32_t width, bool deep) {
    const int64_t packed = static_cast<int64_t>(width) * (deep ? 8 : 4);
    const int64_t padded = (packed + 16 + 15) / 16 * 16;
    if (padded > INT32_MAX) throw std::length_error("image row too long");
    return static_cast<int32_t>(padded);
}

namespace {

uint8_t* PixelAddress(const HostImage& image, int32_t x, int32_t y) {
    if (image.pixels == nullptr || x < 0 || y < 0 || x >= image.width || y >= image.height) {
        throw std::out_of_range("pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") outside a " +
                                std::to_string(image.width) + " x " + std::to_string(image.height) + " image");
    }
    return image.pixels + static_cast<ptrdiff_t>(y) * image.rowBytes +
           static_cast<ptrdiff_t>(x) * HostBytesPerPixel(image);
}

} // namespace

HostPixelValue HostReadPixel(const HostImage& image, int32_t x, int32_t y) {
    const uint8_t* p = PixelAddress(image, x, y);
    if (HostIsDeep(image)) {
        uint16_t c[4];
        std::memcpy(c, p, sizeof c);
        return {c[0], c[1], c[2], c[3]};
    }
    return {p[0], p[1], p[2], p[3]};
}

void HostWritePixel(HostImage& image, int32_t x, int32_t y, const HostPixelValue& value) {
    uint8_t* p = PixelAddress(image, x, y);
    if (HostIsDeep(image)) {
        const uint16_t c[4] = {value.alpha, value.red, value.green, value.blue};
        std::memcpy(p, c, sizeof c);
        return;
    }
    const uint16_t channels[4] = {value.alpha, value.red, value.green, value.blue};
    for (int i = 0; i < 4; ++i) {
        if (channels[i] > 255) throw std::out_of_range("8-bit channel value above 255");
        p[i] = static_cast<uint8_t>(channels[i]);
    }
}

HostImageBuffer::HostImageBuffer() = default;

HostImageBuffer::HostImageBuffer(int32_t width, int32_t height, bool deep, int32_t rowBytes, uint8_t fill) {
    if (width < 0 || height < 0) throw std::invalid_argument("negative image size");
    const int32_t packed = width * (deep ? 8 : 4);
    if (rowBytes == 0) rowBytes = HostDefaultRowBytes(width, deep);
    if (rowBytes < packed) throw std::invalid_argument("row bytes smaller than a row of pixels");
    // A zero-sized image still gets storage: a null pixel pointer means "no layer" to the module.
    bytes_ = static_cast<size_t>(rowBytes) * static_cast<size_t>(height);
    storage_ = std::make_unique<uint8_t[]>(bytes_ > 0 ? bytes_ : 1);
    std::memset(storage_.get(), fill, bytes_ > 0 ? bytes_ : 1);
    image_.flags = deep ? kHostImageDeep : 0u;
    image_.pixels = storage_.get();
    image_.rowBytes = rowBytes;
    image_.width = width;
    image_.height = height;
    image_.extent = {0, 0, width, height};
}

HostImageBuffer::HostImageBuffer(HostImageBuffer&& other) noexcept
    : storage_(std::move(other.storage_)), bytes_(std::exchange(other.bytes_, 0)),
      image_(std::exchange(other.image_, HostImage{})) {}

HostImageBuffer& HostImageBuffer::operator=(HostImageBuffer&& other) noexcept {
    if (this != &other) {
        storage_ = std::move(other.storage_);
        bytes_ = std::exchange(other.bytes_, 0);
        image_ = std::exchange(other.image_, HostImage{});
    }
    return *this;
}

HostImageBuffer::~HostImageBuffer() = default;

HostImageBuffer HostImageBuffer::Clone() const {
    if (Empty()) return HostImageBuffer();
    HostImageBuffer copy(Width(), Height(), Deep(), RowBytes());
    std::memcpy(copy.storage_.get(), storage_.get(), bytes_);
    copy.image_.extent = image_.extent;
    return copy;
}

void HostImageBuffer::Fill(const HostPixelValue& value) {
    for (int32_t y = 0; y < Height(); ++y) {
        for (int32_t x = 0; x < Width(); ++x) Set(x, y, value);
    }
}
