// Layers for render tests: grainy plates with known grain and clean targets.
#pragma once

#include "host/HostImageBuffer.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

struct GrainyPlate {
    HostImageBuffer image;
    std::array<double, 3> sigma{}; // of the grain actually written, per channel, 0..1 scale
};

// A flat colour plus grain that is spatially correlated (a 3 x 3 blur of white
// noise) and colour correlated (blue mixes in red and is twice as strong).
inline GrainyPlate MakeGrainyPlate(int32_t width, int32_t height, bool deep, double strength, uint32_t seed,
                                   std::array<double, 3> base = {0.5, 0.5, 0.5}) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const int32_t w = width + 2, h = height + 2;
    std::vector<std::array<double, 3>> white(static_cast<size_t>(w) * h);
    for (auto& p : white)
        for (double& v : p) v = normal(random);
    GrainyPlate plate{HostImageBuffer(width, height, deep), {}};
    const double full = deep ? 32768.0 : 255.0;
    std::array<double, 3> sum{}, squares{};
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            std::array<double, 3> blurred{};
            for (int32_t dy = 0; dy < 3; ++dy)
                for (int32_t dx = 0; dx < 3; ++dx)
                    for (int c = 0; c < 3; ++c) blurred[c] += white[(y + dy) * w + x + dx][c] / 3.0;
            const std::array<double, 3> grain{strength * blurred[0], strength * (0.6 * blurred[0] + 0.8 * blurred[1]),
                                              strength * 2.0 * (0.5 * blurred[0] + 0.866 * blurred[2])};
            HostPixelValue p;
            p.alpha = static_cast<uint16_t>(full);
            uint16_t* channels[3] = {&p.red, &p.green, &p.blue};
            for (int c = 0; c < 3; ++c) {
                const double v = std::clamp(base[c] + grain[c], 0.0, 1.0);
                *channels[c] = static_cast<uint16_t>(std::lround(v * full));
                sum[c] += v;
                squares[c] += v * v;
            }
            plate.image.Set(x, y, p);
        }
    const double n = static_cast<double>(width) * height;
    for (int c = 0; c < 3; ++c) plate.sigma[c] = std::sqrt(squares[c] / n - (sum[c] / n) * (sum[c] / n));
    return plate;
}

inline HostImageBuffer FlatImage(int32_t width, int32_t height, bool deep, std::array<double, 4> argb) {
    HostImageBuffer image(width, height, deep);
    const double full = deep ? 32768.0 : 255.0;
    auto q = [&](double v) { return static_cast<uint16_t>(std::lround(v * full)); };
    image.Fill({q(argb[0]), q(argb[1]), q(argb[2]), q(argb[3])});
    return image;
}

// Per-channel standard deviation of (output - reference) over the image, 0..1 scale.
inline std::array<double, 3> DifferenceSigma(const HostImageBuffer& output, const HostImageBuffer& reference) {
    std::array<double, 3> sum{}, squares{};
    const double full = output.MaxValue();
    for (int32_t y = 0; y < output.Height(); ++y)
        for (int32_t x = 0; x < output.Width(); ++x) {
            const HostPixelValue a = output.Get(x, y), b = reference.Get(x, y);
            const double d[3] = {(a.red - b.red) / full, (a.green - b.green) / full, (a.blue - b.blue) / full};
            for (int c = 0; c < 3; ++c) {
                sum[c] += d[c];
                squares[c] += d[c] * d[c];
            }
        }
    const double n = static_cast<double>(output.Width()) * output.Height();
    std::array<double, 3> sigma{};
    for (int c = 0; c < 3; ++c) sigma[c] = std::sqrt(squares[c] / n - (sum[c] / n) * (sum[c] / n));
    return sigma;
}
