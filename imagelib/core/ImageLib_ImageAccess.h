// Pixel memory over a rectangle of the plane, mapped one region at a time.
//
// An access covers `bounds` (never infinite) in one `format`. To touch pixels a
// caller maps a region inside the bounds, walks `rows`, and releases the
// mapping; only one region is mapped at a time. `Release` always reaches the
// implementation's `CommitRegion`, which is where converting views write back.
// Callers release on every path: `ImageLib_MappedRegion` does it in its
// destructor. While a region is mapped, `Iterate` workers may touch disjoint
// rows of it.
#pragma once

#include "ImageLib_PixelFormat.h"
#include "ImageLib_Rect.h"

#include <cstdint>

enum class ImageLib_AccessMode : uint32_t { Read = 1, Write = 2, ReadWrite = 3 };

// One row of a mapped region. Advancing moves both pointers by `stride`.
struct ImageLib_RowIterator {
    uint8_t* rowBegin = nullptr;
    uint8_t* rowEnd = nullptr;
    uint32_t rowBytes = 0;
    int32_t stride = 0;

    template <class T> T* As() const { return reinterpret_cast<T*>(rowBegin); }

    const ImageLib_RowIterator& operator*() const { return *this; }
    ImageLib_RowIterator& operator++() {
        rowBegin += stride;
        rowEnd += stride;
        return *this;
    }
    friend bool operator==(const ImageLib_RowIterator& a, const ImageLib_RowIterator& b) {
        return a.rowBegin == b.rowBegin;
    }
};

struct ImageLib_RowRange {
    ImageLib_RowIterator first;
    ImageLib_RowIterator last; // one past the final row

    ImageLib_RowIterator begin() const { return first; }
    ImageLib_RowIterator end() const { return last; }
    // Row `i` of the range, counted from the top of the mapped region.
    ImageLib_RowIterator Row(int32_t i) const {
        ImageLib_RowIterator row = first;
        row.rowBegin += static_cast<intptr_t>(i) * row.stride;
        row.rowEnd += static_cast<intptr_t>(i) * row.stride;
        return row;
    }
};

class ImageLib_ImageAccess {
public:
    ImageLib_ImageAccess(const ImageLib_PixelFormat& format, const ImageLib_Rect& bounds);
    virtual ~ImageLib_ImageAccess() = default;
    ImageLib_ImageAccess(const ImageLib_ImageAccess&) = delete;
    ImageLib_ImageAccess& operator=(const ImageLib_ImageAccess&) = delete;

    // Makes `region` addressable; when the implementation throws, the access
    // is left unmapped.
    void Map(const ImageLib_Rect& region, ImageLib_AccessMode mode);
    void Release();
    bool IsMapped() const { return region.infinite || !region.IsEmpty(); }

    // A rotating 32-bit hash of every byte of the bounds, read row by row;
    // 0xFFFFFFFF for an empty access or a zero hash.
    virtual uint32_t Checksum();

    ImageLib_Rect region = ImageLib_Rect::Nothing();
    const ImageLib_PixelFormat format;
    const ImageLib_Rect bounds;
    uint8_t* base = nullptr;
    int32_t stride = 0;
    ImageLib_RowRange rows;

protected:
    virtual void MapRegion(const ImageLib_Rect& region, ImageLib_AccessMode mode) = 0;
    virtual void CommitRegion() = 0;

    // Fills `base`, `stride` and `rows` for the mapped `region`.
    void SetMapping(uint8_t* first, int32_t rowStride, uint32_t rowBytes);
};

// Maps a region for the lifetime of the object.
class ImageLib_MappedRegion {
public:
    ImageLib_MappedRegion(ImageLib_ImageAccess& access, const ImageLib_Rect& region, ImageLib_AccessMode mode)
        : access_(access) {
        access_.Map(region, mode);
    }
    ~ImageLib_MappedRegion() { access_.Release(); }
    ImageLib_MappedRegion(const ImageLib_MappedRegion&) = delete;
    ImageLib_MappedRegion& operator=(const ImageLib_MappedRegion&) = delete;

    const ImageLib_RowRange& rows() const { return access_.rows; }

private:
    ImageLib_ImageAccess& access_;
};

// Copies `sourceRegion` of `source` into `destinationRegion` of `destination`.
// Both accesses have equal formats and the regions equal sizes.
void ImageLib_CopyRegion(ImageLib_ImageAccess& destination, const ImageLib_Rect& destinationRegion,
                         ImageLib_ImageAccess& source, const ImageLib_Rect& sourceRegion);
