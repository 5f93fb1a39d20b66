#include "ImageLib_Views.h"

#include "ImageLib_Context.h"

#include <cstdint>

namespace ImageLibImplementation {

TranslationAccess::TranslationAccess(ImageLib_ImageAccess& inner, int32_t dx, int32_t dy)
    : ImageLib_ImageAccess(inner.format, inner.bounds.Offset(-dx, -dy)), inner_(inner), dx_(dx), dy_(dy) {}

void TranslationAccess::MapRegion(const ImageLib_Rect& mapped, ImageLib_AccessMode mode) {
    inner_.Map(mapped.Offset(dx_, dy_), mode);
    base = inner_.base;
    stride = inner_.stride;
    rows = inner_.rows;
}

void TranslationAccess::CommitRegion() { inner_.Release(); }

PassthroughAccess::PassthroughAccess(ImageLib_ImageAccess& inner)
    : ImageLib_ImageAccess(inner.format, inner.bounds), inner_(inner) {}

void PassthroughAccess::MapRegion(const ImageLib_Rect& mapped, ImageLib_AccessMode mode) {
    inner_.Map(mapped, mode);
    base = inner_.base;
    stride = inner_.stride;
    rows = inner_.rows;
}

void PassthroughAccess::CommitRegion() { inner_.Release(); }

ConverterAccess::ConverterAccess(ImageLib_ImageAccess& inner)
    : ImageLib_ImageAccess(ImageLib_FloatFormat(inner.format), inner.bounds), inner_(inner) {}

void ConverterAccess::MapRegion(const ImageLib_Rect& mapped, ImageLib_AccessMode mode) {
    inner_.Map(mapped, mode);
    try {
        const uint64_t width = static_cast<uint64_t>(mapped.Width());
        const uint64_t height = static_cast<uint64_t>(mapped.Height());
        // Samples rounded up to four floats, so pixel loops may run four at a time.
        const uint64_t rowFloats = (width * format.channels + 3) & ~uint64_t{3};
        rowBuffer_.resize(height * rowFloats);
        mode_ = mode;
        SetMapping(reinterpret_cast<uint8_t*>(rowBuffer_.data()), static_cast<int32_t>(rowFloats * 4),
                   static_cast<uint32_t>(width * 4 * format.channels));
    } catch (...) {
        inner_.Release();
        throw;
    }
    if (mode == ImageLib_AccessMode::Write) return;
    ImageLib_RowsToFloat(inner_, rows, mapped.Width(), mapped.Height());
}

void ConverterAccess::CommitRegion() {
    if (mode_ != ImageLib_AccessMode::Read) ImageLib_RowsFromFloat(inner_, rows, region.Width(), region.Height());
    inner_.Release();
}

} // namespace ImageLibImplementation

ImageLib_RowConverter ImageLib_ToFloatConverter(const ImageLib_PixelFormat& format) {
    return format.toFloat ? format.toFloat : ImageLib_DefaultToFloat;
}

ImageLib_RowConverter ImageLib_FromFloatConverter(const ImageLib_PixelFormat& format) {
    return format.fromFloat ? format.fromFloat : ImageLib_DefaultFromFloat;
}

void ImageLib_RowsToFloat(const ImageLib_ImageAccess& integer, const ImageLib_RowRange& floats, int32_t width,
                          int32_t height) {
    const ImageLib_PixelFormat& format = integer.format;
    const ImageLib_RowConverter convert = ImageLib_ToFloatConverter(format);
    const ImageLib_RowRange& from = integer.rows;
    const uint32_t pixels = static_cast<uint32_t>(width);
    ImageLib_ParallelFor(
        height, [&](int32_t y) { convert(format, from.Row(y).rowBegin, floats.Row(y).rowBegin, pixels); }, width);
}

void ImageLib_RowsFromFloat(const ImageLib_ImageAccess& integer, const ImageLib_RowRange& floats, int32_t width,
                            int32_t height) {
    const ImageLib_PixelFormat& format = integer.format;
    const ImageLib_RowConverter convert = ImageLib_FromFloatConverter(format);
    const ImageLib_RowRange& to = integer.rows;
    const uint32_t pixels = static_cast<uint32_t>(width);
    ImageLib_ParallelFor(
        height, [&](int32_t y) { convert(format, floats.Row(y).rowBegin, to.Row(y).rowBegin, pixels); }, width);
}

ImageLib_ImageAccess* ImageLib_MakeFloatView(ImageLib_ImageAccess& access) {
    if (access.format.sampleType != ImageLib_SampleFloat) return new ImageLibImplementation::ConverterAccess(access);
    return new ImageLibImplementation::PassthroughAccess(access);
}
