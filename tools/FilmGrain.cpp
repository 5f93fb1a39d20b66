#include "tools/FilmGrain.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace filmgrain {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Uniform, Gaussian and Poisson draws over mt19937_64, whose sequence the standard fixes
// (the standard's distributions are not the same in every library).
class Draws {
public:
    explicit Draws(uint64_t seed) : engine_(seed) {}
    double Uniform() { return (static_cast<double>(engine_() >> 11) + 0.5) / 9007199254740992.0; }
    double Gaussian() { return std::sqrt(-2.0 * std::log(Uniform())) * std::cos(2.0 * kPi * Uniform()); }
    int32_t Poisson(double mean) {
        const double limit = std::exp(-mean);
        int32_t k = 0;
        for (double product = Uniform(); product > limit; product *= Uniform()) ++k;
        return k;
    }

private:
    std::mt19937_64 engine_;
};

// One sub-layer of one dye layer: the fraction of each pixel's sample points inside some grain.
void AddSubLayer(int32_t width, int32_t height, const std::vector<double>& density, double meanRadius,
                 const Emulsion& emulsion, Draws& draws, std::vector<double>& sum) {
    const int32_t n = emulsion.supersampling;
    const double logMean = std::log(meanRadius) - 0.5 * emulsion.radiusSpread * emulsion.radiusSpread;
    // E[r^2] of the log-normal radius.
    const double meanSquare = std::exp(2.0 * logMean + 2.0 * emulsion.radiusSpread * emulsion.radiusSpread);
    std::vector<uint8_t> covered(static_cast<size_t>(width) * height * n * n, 0);
    const int32_t W = width * n, H = height * n;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const double d = std::clamp(density[static_cast<size_t>(y) * width + x], 0.0, 0.999);
            // Coverage 1 - exp(-lambda pi E[r^2]) = d.
            const double lambda = -std::log(1.0 - d) / (kPi * meanSquare);
            for (int32_t g = draws.Poisson(lambda); g > 0; --g) {
                const double cx = (x + draws.Uniform()) * n, cy = (y + draws.Uniform()) * n;
                const double r = std::exp(logMean + emulsion.radiusSpread * draws.Gaussian()) * n;
                const int32_t x0 = std::max(0, static_cast<int32_t>(std::floor(cx - r)));
                const int32_t x1 = std::min(W - 1, static_cast<int32_t>(std::ceil(cx + r)));
                const int32_t y0 = std::max(0, static_cast<int32_t>(std::floor(cy - r)));
                const int32_t y1 = std::min(H - 1, static_cast<int32_t>(std::ceil(cy + r)));
                for (int32_t sy = y0; sy <= y1; ++sy)
                    for (int32_t sx = x0; sx <= x1; ++sx) {
                        const double dx = sx + 0.5 - cx, dy = sy + 0.5 - cy;
                        if (dx * dx + dy * dy <= r * r) covered[static_cast<size_t>(sy) * W + sx] = 1;
                    }
            }
        }
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            int32_t count = 0;
            for (int32_t sy = 0; sy < n; ++sy)
                for (int32_t sx = 0; sx < n; ++sx) count += covered[static_cast<size_t>(y * n + sy) * W + x * n + sx];
            sum[static_cast<size_t>(y) * width + x] += static_cast<double>(count) / (n * n);
        }
}

std::vector<double> Blur(const std::vector<double>& in, int32_t width, int32_t height, double sigma) {
    if (sigma <= 0.0) return in;
    const int32_t radius = static_cast<int32_t>(std::ceil(3.0 * sigma));
    std::vector<double> taps(static_cast<size_t>(2 * radius + 1));
    double total = 0.0;
    for (int32_t i = -radius; i <= radius; ++i)
        total += taps[static_cast<size_t>(i + radius)] = std::exp(-0.5 * i * i / (sigma * sigma));
    for (double& t : taps) t /= total;
    std::vector<double> across(in.size()), out(in.size());
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            double v = 0.0;
            for (int32_t i = -radius; i <= radius; ++i)
                v += taps[static_cast<size_t>(i + radius)] *
                     in[static_cast<size_t>(y) * width + std::clamp(x + i, 0, width - 1)];
            across[static_cast<size_t>(y) * width + x] = v;
        }
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            double v = 0.0;
            for (int32_t i = -radius; i <= radius; ++i)
                v += taps[static_cast<size_t>(i + radius)] *
                     across[static_cast<size_t>(std::clamp(y + i, 0, height - 1)) * width + x];
            out[static_cast<size_t>(y) * width + x] = v;
        }
    return out;
}

} // namespace

std::vector<float> Expose(int32_t width, int32_t height,
                          const std::function<double(int32_t x, int32_t y, int32_t c)>& density,
                          const Emulsion& emulsion) {
    Draws draws(emulsion.seed);
    std::array<std::vector<double>, 3> layers;
    for (int32_t c = 0; c < 3; ++c) {
        std::vector<double> wanted(static_cast<size_t>(width) * height);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) wanted[static_cast<size_t>(y) * width + x] = density(x, y, c);
        std::vector<double> sum(wanted.size(), 0.0);
        for (int32_t l = 0; l < emulsion.subLayers; ++l)
            AddSubLayer(width, height, wanted, emulsion.meanRadius[static_cast<size_t>(c)], emulsion, draws, sum);
        for (double& v : sum) v /= emulsion.subLayers;
        layers[static_cast<size_t>(c)] = Blur(sum, width, height, emulsion.blur);
    }
    std::vector<float> rgb(static_cast<size_t>(width) * height * 3);
    const double own = 1.0 - 2.0 * emulsion.crosstalk;
    for (size_t p = 0; p < static_cast<size_t>(width) * height; ++p)
        for (size_t c = 0; c < 3; ++c) {
            const double v =
                own * layers[c][p] + emulsion.crosstalk * (layers[(c + 1) % 3][p] + layers[(c + 2) % 3][p]);
            rgb[p * 3 + c] = static_cast<float>(std::clamp(v, 0.0, 1.0));
        }
    return rgb;
}

} // namespace filmgrain
