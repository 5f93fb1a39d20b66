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
    const ImageLib_PixelFormat& innerFormat = inner_.format;
    const ImageLib_RowConverter convert = innerFormat.toFloat ? innerFormat.toFloat : ImageLib_DefaultToFloat;
    const uint32_t width = static_cast<uint32_t>(mapped.Width());
    const ImageLib_RowRange& from = inner_.rows;
    const ImageLib_RowRange& to = rows;
    ImageLib_ParallelFor(
        mapped.Height(), [&](int32_t y) { convert(innerFormat, from.Row(y).rowBegin, to.Row(y).rowBegin, width); },
        width);
}

void ConverterAccess::CommitRegion() {
    if (mode_ != ImageLib_AccessMode::Read) {
        const ImageLib_PixelFormat& innerFormat = inner_.format;
        const ImageLib_RowConverter convert = innerFormat.fromFloat ? innerFormat.fromFloat : ImageLib_DefaultFromFloat;
        const uint32_t width = static_cast<uint32_t>(region.Width());
        const ImageLib_RowRange& from = rows;
        const ImageLib_RowRange& to = inner_.rows;
        ImageLib_ParallelFor(
            region.Height(), [&](int32_t y) { convert(innerFormat, from.Row(y).rowBegin, to.Row(y).rowBegin, width); },
            width);
    }
    inner_.Release();
}

} // namespace ImageLibImplementation

ImageLib_ImageAccess* ImageLib_MakeFloatView(ImageLib_ImageAccess& access) {
    if (access.format.sampleType != ImageLib_SampleFloat) return new ImageLibImplementation::ConverterAccess(access);
    return new ImageLibImplementation::PassthroughAccess(access);
}
