// Views: accesses that present another access (the inner one, never owned,
// which must outlive the view) differently.
//
// - TranslationAccess shifts the plane: the view's point p is the inner
//   access's point p + offset.
// - PassthroughAccess is the same access again; it stands where a float view
//   is wanted and the inner access is float already.
// - ConverterAccess is a float view of an integer access. Mapping `Read` or
//   `ReadWrite` converts the inner rows into a float buffer whose rows are
//   padded to 16 bytes; releasing a `Write` or `ReadWrite` mapping converts
//   them back. A `Write` mapping does not read the inner access, so the caller
//   must write every sample of the region.
#pragma once

#include "ImageLib_Allocator.h"
#include "ImageLib_ImageAccess.h"

namespace ImageLibImplementation {

class TranslationAccess : public ImageLib_ImageAccess {
public:
    TranslationAccess(ImageLib_ImageAccess& inner, int32_t dx, int32_t dy);

protected:
    void MapRegion(const ImageLib_Rect& region, ImageLib_AccessMode mode) override;
    void CommitRegion() override;

private:
    ImageLib_ImageAccess& inner_;
    int32_t dx_;
    int32_t dy_;
};

class PassthroughAccess : public ImageLib_ImageAccess {
public:
    explicit PassthroughAccess(ImageLib_ImageAccess& inner);

protected:
    void MapRegion(const ImageLib_Rect& region, ImageLib_AccessMode mode) override;
    void CommitRegion() override;

private:
    ImageLib_ImageAccess& inner_;
};

class ConverterAccess : public ImageLib_ImageAccess {
public:
    explicit ConverterAccess(ImageLib_ImageAccess& inner);

protected:
    void MapRegion(const ImageLib_Rect& region, ImageLib_AccessMode mode) override;
    void CommitRegion() override;

private:
    ImageLib_ImageAccess& inner_;
    ImageLib_AccessMode mode_ = ImageLib_AccessMode::Read;
    // Kept from one mapping to the next and never shrunk, so that repeated
    // mappings of like regions allocate nothing.
    ImageLib_Vector<float> rowBuffer_;
};

} // namespace ImageLibImplementation

// A float view of `access`: a converter for integer samples, a pass-through for
// float ones. The caller releases and deletes the view before the access dies.
ImageLib_ImageAccess* ImageLib_MakeFloatView(ImageLib_ImageAccess& access);

// The conversions a ConverterAccess makes, for nodes that hold float rows of
// their own and would otherwise copy them through a view: the rows of the
// mapped integer access `integer` from or into `floats`, `width` pixels of
// each of `height` rows, with the integer format's converters.
void ImageLib_RowsToFloat(const ImageLib_ImageAccess& integer, const ImageLib_RowRange& floats, int32_t width,
                          int32_t height);
void ImageLib_RowsFromFloat(const ImageLib_ImageAccess& integer, const ImageLib_RowRange& floats, int32_t width,
                            int32_t height);
// The converter of one row, from or into float, of an integer format.
ImageLib_RowConverter ImageLib_ToFloatConverter(const ImageLib_PixelFormat& format);
ImageLib_RowConverter ImageLib_FromFloatConverter(const ImageLib_PixelFormat& format);
