// The library allocator and the containers built on it.
//
// Every container of ImageLib and of the grain engine takes its storage from
// `Allocate`/`Free` of the current callbacks, so that a host sees (and can
// refuse) all memory the library uses. A request whose byte count does not fit
// the 32 bits of `Allocate` is a length error carrying the container's message,
// raised before anything is allocated.
#pragma once

#include "ImageLib_Context.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <list>
#include <stdexcept>
#include <vector>

struct ImageLib_VectorTag {
    static constexpr const char* kTooLong = "vector<T> too long";
};
struct ImageLib_ListTag {
    static constexpr const char* kTooLong = "list<T> too long";
};

template <class T, class Tag = ImageLib_VectorTag> class ImageLib_Allocator {
public:
    using value_type = T;

    ImageLib_Allocator() noexcept = default;
    template <class U> ImageLib_Allocator(const ImageLib_Allocator<U, Tag>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<uint32_t>::max() / sizeof(T)) throw std::length_error(Tag::kTooLong);
        return static_cast<T*>(ImageLib_Context::CurrentCallbacks().Allocate(static_cast<uint32_t>(n * sizeof(T))));
    }
    void deallocate(T* p, std::size_t) noexcept { ImageLib_Context::CurrentCallbacks().Free(p); }

    template <class U> bool operator==(const ImageLib_Allocator<U, Tag>&) const noexcept { return true; }
};

template <class T> using ImageLib_Vector = std::vector<T, ImageLib_Allocator<T, ImageLib_VectorTag>>;

template <class T> using ImageLib_List = std::list<T, ImageLib_Allocator<T, ImageLib_ListTag>>;
