// The host's image copy and fill, on any `HostImage` (8 or 16 bits).
//
// Copy maps the source rectangle onto the destination rectangle. A null
// rectangle stands for the whole image, (0, 0, width, height). When the two
// rectangles have the same size the copy is exact (and converts between 8 and
// 16 bits when the depths differ); otherwise each axis is resampled on its
// own: area averaging where it shrinks, bilinear interpolation with pixel
// centres aligned where it enlarges. Results are rounded to the nearest value
// (halves up) of the destination's scale.
//
// Clipping: destination pixels outside the destination image are skipped.
// Source pixels outside the source rectangle or the source image contribute
// nothing; the remaining weights of a destination pixel are renormalised, and
// a destination pixel left without any source pixel keeps its old value. So an
// equal-size copy whose rectangles hang over an edge copies exactly the
// overlapping pixels, one to one. Source and destination may be the same image.
//
// Fill writes a colour given as four 8-bit values (alpha, red, green, blue)
// into a rectangle clipped to the image; 16-bit images receive each byte
// scaled to 0..32768 (v * 32768 / 255, rounded). A null colour is
// transparent black, a null rectangle the whole image.
//
// Both return kHostOk, or kHostErrBadArgument for an image without pixels or
// a rectangle whose right or bottom lies before its left or top. Empty
// rectangles do nothing.
#pragma once

#include "interface/HostInterface.h"

#include <cstdint>

int32_t HostCopyImage(const HostImage& source, HostImage& destination, const HostRect* sourceRect,
                      const HostRect* destinationRect);

int32_t HostFillImage(HostImage& image, const HostPixel8* color, const HostRect* rect);

// A 64-bit FNV-1a fingerprint of an image: its size, its depth and every
// pixel's alpha, red, green and blue as little-endian 16-bit numbers, so that
// it depends neither on row padding nor on the file format a frame is kept in.
uint64_t HostHashImage(const HostImage& image);
