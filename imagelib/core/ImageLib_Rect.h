// Integer rectangles of the image plane.
//
// Left and top edges are inclusive, right and bottom exclusive. A rectangle
// can stand for the whole plane (`infinite`), in which case its four numbers
// carry no meaning. Rectangles are never normalised: an intersection of two
// disjoint rectangles keeps x0 > x1 (or y0 > y1) and is simply empty.
#pragma once

#include <cstdint>

struct ImageLib_Rect {
    int32_t x0 = 0;
    int32_t y0 = 0;
    int32_t x1 = 0;
    int32_t y1 = 0;
    bool infinite = false;

    static constexpr ImageLib_Rect Everything() { return {0, 0, 0, 0, true}; }
    static constexpr ImageLib_Rect Nothing() { return {0, 0, 0, 0, false}; }

    constexpr bool IsEmpty() const { return !infinite && (x0 >= x1 || y0 >= y1); }
    constexpr int32_t Width() const { return x1 - x0; }
    constexpr int32_t Height() const { return y1 - y0; }
    constexpr bool Contains(int32_t x, int32_t y) const { return infinite || (x0 <= x && x < x1 && y0 <= y && y < y1); }

    // The only set operation the library needs; there is no union.
    static constexpr ImageLib_Rect Intersect(const ImageLib_Rect& a, const ImageLib_Rect& b) {
        if (a.infinite) return b;
        if (b.infinite) return a;
        return {a.x0 > b.x0 ? a.x0 : b.x0, a.y0 > b.y0 ? a.y0 : b.y0, a.x1 < b.x1 ? a.x1 : b.x1,
                a.y1 < b.y1 ? a.y1 : b.y1, false};
    }

    // The same rectangle moved by (dx, dy); the whole plane stays the whole plane.
    constexpr ImageLib_Rect Offset(int32_t dx, int32_t dy) const {
        if (infinite) return *this;
        return {x0 + dx, y0 + dy, x1 + dx, y1 + dy, false};
    }

    friend constexpr bool operator==(const ImageLib_Rect&, const ImageLib_Rect&) = default;
};
