// The plumbing of point operations, so that a node writes only its per-row
// body: an access seen as float rows over a region (through a float view, a
// pass-through for float accesses; mapped for the object's lifetime), and a
// loop over the region's rows on the host's workers.
//
//     ImageLib_FloatRows out(output, region, ImageLib_AccessMode::ReadWrite);
//     ImageLib_FloatRows in(other, region, ImageLib_AccessMode::Read);
//     ImageLib_ForEachRow(region, [&](int32_t y) { ... out.Row(y), in.Row(y) ... });
//
// Rows are numbered from 0 at the region's top; a row holds Width() pixels of
// Channels() floats. Rows of different accesses may have different strides
// (converting views pad theirs), so each is addressed through its own object.
#pragma once

#include "ImageLib_Context.h"
#include "ImageLib_ImageAccess.h"
#include "ImageLib_Views.h"

#include <cstdint>
#include <memory>
#include <utility>

class ImageLib_FloatRows {
public:
    ImageLib_FloatRows(ImageLib_ImageAccess& access, const ImageLib_Rect& region, ImageLib_AccessMode mode)
        : view_(ImageLib_MakeFloatView(access)), mapped_(*view_, region, mode), width_(region.Width()) {}

    float* Row(int32_t y) const { return mapped_.rows().Row(y).As<float>(); }
    uint32_t Channels() const { return view_->format.channels; }
    const ImageLib_PixelFormat& Format() const { return view_->format; }
    int32_t Width() const { return width_; }
    // Floats of one row's pixels.
    uint32_t RowFloats() const { return static_cast<uint32_t>(width_) * view_->format.channels; }

private:
    std::unique_ptr<ImageLib_ImageAccess> view_;
    ImageLib_MappedRegion mapped_;
    int32_t width_;
};

// body(y) for every row of the region, spread over the workers.
template <class Body> void ImageLib_ForEachRow(const ImageLib_Rect& region, Body&& body) {
    ImageLib_ParallelFor(region.Height(), std::forward<Body>(body), region.Width());
}
