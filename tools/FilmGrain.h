// Film grain made the way film makes it: each dye layer a Boolean model of
// grains (discs of log-normal radius dropped at random, as a Poisson process)
// whose covered fraction is the layer's density, several thin sub-layers
// averaged as an emulsion's depth averages them, blurred a little as a
// scanner's optics blur, with some crosstalk between the layers.
//
// The mean of a layer is the density asked for, and its grain is strongest in
// the midtones and fades towards black and white, as p (1 - p) does, because
// physics says so, not because a formula was applied. Everything comes from a
// seed through generators whose sequences the C++ standard fixes, so a plate
// is the same on every machine.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace filmgrain {

struct Emulsion {
    std::array<double, 3> meanRadius{0.6, 0.5, 0.8}; // pixels, per dye layer (red, green, blue)
    double radiusSpread = 0.35;                      // deviation of log radius
    int32_t subLayers = 12;                          // averaged; more layers, finer-looking grain
    double blur = 0.45;                              // scanner blur, pixels (Gaussian deviation)
    double crosstalk = 0.2;                          // share of each layer seen in the others
    int32_t supersampling = 4;                       // coverage sampled on an n x n grid per pixel
    uint64_t seed = 1;
};

// A width x height RGB picture (interleaved, 0..1) whose channel c averages
// density(x, y, c) under grain of the emulsion.
std::vector<float> Expose(int32_t width, int32_t height,
                          const std::function<double(int32_t x, int32_t y, int32_t c)>& density,
                          const Emulsion& emulsion);

} // namespace filmgrain
