#include "host/HostImageOps.h"

#include "host/HostErrors.h"
#include "host/HostImageBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

bool Inverted(const HostRect& r) { return r.right < r.left || r.bottom < r.top; }

HostRect Whole(const HostImage& image) { return {0, 0, image.width, image.height}; }

// Weights are kept as integer numerators (exact in double up to 2^53) and
// divided once per pixel, so averages and interpolations of integers that
// come out exact in rational arithmetic also come out exact here.
struct Tap {
    int32_t index;
    double weight;
};

// For every destination position along one axis, the source positions that
// feed it and their weights, restricted to the usable source range [lo, hi).
struct AxisTaps {
    std::vector<size_t> first; // taps of position d are taps[first[d]] .. taps[first[d + 1]]
    std::vector<Tap> taps;
    std::vector<double> sum; // sum of the kept weights of position d; 0 = no source
};

AxisTaps BuildAxis(int32_t sourceStart, int32_t sourceLength, int32_t destinationLength, int32_t lo, int32_t hi) {
    AxisTaps axis;
    axis.first.reserve(static_cast<size_t>(destinationLength) + 1);
    axis.sum.reserve(static_cast<size_t>(destinationLength));
    const int64_t s = sourceLength;
    const int64_t d = destinationLength;
    auto keep = [&](int64_t relative, int64_t weight) {
        const int64_t index = sourceStart + relative;
        if (weight <= 0 || relative < 0 || relative >= s || index < lo || index >= hi) return;
        axis.taps.push_back({static_cast<int32_t>(index), static_cast<double>(weight)});
    };
    for (int64_t i = 0; i < d; ++i) {
        axis.first.push_back(axis.taps.size());
        if (s == d) {
            keep(i, 1);
        } else if (s > d) {
            // Area average: destination pixel i covers [i*s, (i+1)*s) in units
            // of 1/d source pixel; source pixel k covers [k*d, (k+1)*d).
            const int64_t begin = i * s;
            const int64_t end = (i + 1) * s;
            for (int64_t k = begin / d; k * d < end; ++k) {
                keep(k, std::min(end, (k + 1) * d) - std::max(begin, k * d));
            }
        } else {
            // Bilinear with pixel centres aligned: x = ((2i+1)s - d) / 2d.
            const int64_t numerator = (2 * i + 1) * s - d;
            const int64_t k = numerator >= 0 ? numerator / (2 * d) : -((-numerator + 2 * d - 1) / (2 * d));
            const int64_t fraction = numerator - k * 2 * d;
            keep(k, 2 * d - fraction);
            keep(k + 1, fraction);
        }
        double sum = 0;
        for (size_t t = axis.first.back(); t < axis.taps.size(); ++t) sum += axis.taps[t].weight;
        axis.sum.push_back(sum);
    }
    axis.first.push_back(axis.taps.size());
    return axis;
}

void ReadChannels(const HostImage& image, int32_t x, int32_t y, double (&out)[4]) {
    const uint8_t* p = image.pixels + static_cast<ptrdiff_t>(y) * image.rowBytes +
                       static_cast<ptrdiff_t>(x) * HostBytesPerPixel(image);
    if (HostIsDeep(image)) {
        uint16_t c[4];
        std::memcpy(c, p, sizeof c);
        for (int i = 0; i < 4; ++i) out[i] = c[i];
    } else {
        for (int i = 0; i < 4; ++i) out[i] = p[i];
    }
}

void WriteChannels(HostImage& image, int32_t x, int32_t y, const double (&value)[4]) {
    uint8_t* p = image.pixels + static_cast<ptrdiff_t>(y) * image.rowBytes +
                 static_cast<ptrdiff_t>(x) * HostBytesPerPixel(image);
    const double max = HostMaxValue(image);
    if (HostIsDeep(image)) {
        uint16_t c[4];
        for (int i = 0; i < 4; ++i) c[i] = static_cast<uint16_t>(std::clamp(std::floor(value[i] + 0.5), 0.0, max));
        std::memcpy(p, c, sizeof c);
    } else {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(std::clamp(std::floor(value[i] + 0.5), 0.0, max));
    }
}

bool Overlaps(const HostImage& a, const HostImage& b) {
    const uint8_t* aBegin = a.pixels;
    const uint8_t* aEnd = a.pixels + static_cast<ptrdiff_t>(a.rowBytes) * a.height;
    const uint8_t* bBegin = b.pixels;
    const uint8_t* bEnd = b.pixels + static_cast<ptrdiff_t>(b.rowBytes) * b.height;
    return aBegin < bEnd && bBegin < aEnd;
}

} // namespace

int32_t HostCopyImage(const HostImage& sourceImage, HostImage& destination, const HostRect* sourceRect,
                      const HostRect* destinationRect) {
    if (sourceImage.pixels == nullptr || destination.pixels == nullptr) return kHostErrBadArgument;
    const HostRect from = sourceRect ? *sourceRect : Whole(sourceImage);
    const HostRect to = destinationRect ? *destinationRect : Whole(destination);
    if (Inverted(from) || Inverted(to)) return kHostErrBadArgument;
    if (from.right == from.left || from.bottom == from.top || to.right == to.left || to.bottom == to.top) {
        return kHostOk;
    }

    // Reading and writing the same pixels would feed written results back in.
    HostImageBuffer snapshot;
    const HostImage* source = &sourceImage;
    if (Overlaps(sourceImage, destination)) {
        snapshot = HostImageBuffer(sourceImage.width, sourceImage.height, HostIsDeep(sourceImage));
        const size_t row = static_cast<size_t>(sourceImage.width) * HostBytesPerPixel(sourceImage);
        for (int32_t y = 0; y < sourceImage.height; ++y) {
            std::memcpy(snapshot.Image().pixels + static_cast<ptrdiff_t>(y) * snapshot.RowBytes(),
                        sourceImage.pixels + static_cast<ptrdiff_t>(y) * sourceImage.rowBytes, row);
        }
        source = &snapshot.Image();
    }

    const AxisTaps xs = BuildAxis(from.left, from.right - from.left, to.right - to.left, std::max(from.left, 0),
                                  std::min(from.right, source->width));
    const AxisTaps ys = BuildAxis(from.top, from.bottom - from.top, to.bottom - to.top, std::max(from.top, 0),
                                  std::min(from.bottom, source->height));
    const double scale = static_cast<double>(HostMaxValue(destination));
    const double sourceMax = static_cast<double>(HostMaxValue(*source));

    const int32_t dx0 = std::max(0, -to.left);
    const int32_t dx1 = std::min(to.right - to.left, destination.width - to.left);
    const int32_t dy0 = std::max(0, -to.top);
    const int32_t dy1 = std::min(to.bottom - to.top, destination.height - to.top);
    for (int32_t dy = dy0; dy < dy1; ++dy) {
        if (ys.sum[dy] == 0) continue;
        for (int32_t dx = dx0; dx < dx1; ++dx) {
            if (xs.sum[dx] == 0) continue;
            double accumulated[4] = {0, 0, 0, 0};
            for (size_t ty = ys.first[dy]; ty < ys.first[dy + 1]; ++ty) {
                for (size_t tx = xs.first[dx]; tx < xs.first[dx + 1]; ++tx) {
                    double channels[4];
                    ReadChannels(*source, xs.taps[tx].index, ys.taps[ty].index, channels);
                    const double weight = xs.taps[tx].weight * ys.taps[ty].weight;
                    for (int c = 0; c < 4; ++c) accumulated[c] += weight * channels[c];
                }
            }
            const double denominator = xs.sum[dx] * ys.sum[dy] * sourceMax;
            double value[4];
            for (int c = 0; c < 4; ++c) value[c] = accumulated[c] * scale / denominator;
            WriteChannels(destination, to.left + dx, to.top + dy, value);
        }
    }
    return kHostOk;
}

int32_t HostFillImage(HostImage& image, const HostPixel8* color, const HostRect* rect) {
    if (image.pixels == nullptr) return kHostErrBadArgument;
    const HostRect area = rect ? *rect : Whole(image);
    if (Inverted(area)) return kHostErrBadArgument;
    const HostPixel8 c = color ? *color : HostPixel8{0, 0, 0, 0};
    const uint8_t bytes[4] = {c.alpha, c.red, c.green, c.blue};
    uint8_t pixel[8];
    if (HostIsDeep(image)) {
        uint16_t deep[4];
        for (int i = 0; i < 4; ++i) deep[i] = static_cast<uint16_t>((bytes[i] * 32768 + 127) / 255);
        std::memcpy(pixel, deep, sizeof deep);
    } else {
        std::memcpy(pixel, bytes, sizeof bytes);
    }
    const int32_t bpp = HostBytesPerPixel(image);
    const int32_t left = std::max(area.left, 0);
    const int32_t right = std::min(area.right, image.width);
    const int32_t top = std::max(area.top, 0);
    const int32_t bottom = std::min(area.bottom, image.height);
    for (int32_t y = top; y < bottom; ++y) {
        uint8_t* row = image.pixels + static_cast<ptrdiff_t>(y) * image.rowBytes;
        for (int32_t x = left; x < right; ++x) std::memcpy(row + static_cast<ptrdiff_t>(x) * bpp, pixel, bpp);
    }
    return kHostOk;
}

uint64_t HostHashImage(const HostImage& image) {
    uint64_t hash = 0xcbf29ce484222325ull;
    const auto mix = [&hash](uint16_t value) {
        for (int shift = 0; shift < 16; shift += 8) {
            hash ^= static_cast<uint8_t>(value >> shift);
            hash *= 0x100000001b3ull;
        }
    };
    mix(static_cast<uint16_t>(image.width));
    mix(static_cast<uint16_t>(image.height));
    mix(static_cast<uint16_t>(HostMaxValue(image)));
    for (int32_t y = 0; y < image.height; ++y) {
        for (int32_t x = 0; x < image.width; ++x) {
            const HostPixelValue p = HostReadPixel(image, x, y);
            mix(p.alpha);
            mix(p.red);
            mix(p.green);
            mix(p.blue);
        }
    }
    return hash;
}
