#include "cli/GrainMeasure.h"

#include "cli/CliError.h"
#include "cli/Movie.h"

#include <OpenImageIO/imagebuf.h>

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <memory>
#include <numeric>

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Samples this close to black or white have had grain clipped away.
constexpr float kClipLow = 0.002f;
constexpr float kClipHigh = 0.998f;
constexpr int32_t kBlock = 8;            // side of the blocks whose means reveal picture structure
constexpr double kStructureFactor = 2.0; // how far above the grain's block-mean ratio a flat tile may go
constexpr double kTextureFactor = 1.5;   // how far the neighbour-difference ratio may stray either way
constexpr double kQuietFactor = 4.0;     // how far above the grain's variance (grain follows the level)

// A square 2-D transform of a fixed size, planned once.
class SquareTransform {
public:
    explicit SquareTransform(int32_t side) : side_(side) {
        const size_t n = static_cast<size_t>(side) * static_cast<size_t>(side);
        data_ = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * n));
        if (!data_) throw std::bad_alloc();
        plan_ = fftw_plan_dft_2d(side, side, data_, data_, FFTW_FORWARD, FFTW_ESTIMATE);
    }
    ~SquareTransform() {
        fftw_destroy_plan(plan_);
        fftw_free(data_);
    }
    SquareTransform(const SquareTransform&) = delete;
    SquareTransform& operator=(const SquareTransform&) = delete;

    // |F(k)|^2 / n for a side x side row-major patch, so that the values sum to n x the mean square.
    void Power(const double* patch, std::vector<double>& power) {
        const size_t n = static_cast<size_t>(side_) * static_cast<size_t>(side_);
        for (size_t i = 0; i < n; ++i) {
            data_[i][0] = patch[i];
            data_[i][1] = 0.0;
        }
        fftw_execute(plan_);
        power.resize(n);
        for (size_t i = 0; i < n; ++i) power[i] = (data_[i][0] * data_[i][0] + data_[i][1] * data_[i][1]) / n;
    }

private:
    int32_t side_;
    fftw_complex* data_ = nullptr;
    fftw_plan plan_ = nullptr;
};

// The radial bin of every frequency sample of a side x side transform; 0 is the zero frequency.
std::vector<int32_t> RadialBins(int32_t side, int32_t& binCount) {
    std::vector<int32_t> bins(static_cast<size_t>(side) * static_cast<size_t>(side));
    binCount = 0;
    for (int32_t v = 0; v < side; ++v) {
        const int32_t fy = v <= side / 2 ? v : v - side;
        for (int32_t u = 0; u < side; ++u) {
            const int32_t fx = u <= side / 2 ? u : u - side;
            const int32_t bin = static_cast<int32_t>(std::lround(std::sqrt(static_cast<double>(fx * fx + fy * fy))));
            bins[static_cast<size_t>(v) * static_cast<size_t>(side) + static_cast<size_t>(u)] = bin;
            binCount = std::max(binCount, bin + 1);
        }
    }
    return bins;
}

// Removes the least-squares plane a + b x + c y from a side x side patch (coordinates centred, so
// the three fits are independent).
void RemovePlane(double* patch, int32_t side) {
    const double centre = (side - 1) / 2.0;
    double sum = 0.0, sx = 0.0, sy = 0.0, xx = 0.0;
    for (int32_t y = 0; y < side; ++y)
        for (int32_t x = 0; x < side; ++x) {
            const double v = patch[y * side + x];
            sum += v;
            sx += v * (x - centre);
            sy += v * (y - centre);
        }
    for (int32_t x = 0; x < side; ++x) xx += (x - centre) * (x - centre);
    const double n = static_cast<double>(side) * side;
    const double a = sum / n, b = sx / (xx * side), c = sy / (xx * side);
    for (int32_t y = 0; y < side; ++y)
        for (int32_t x = 0; x < side; ++x) patch[y * side + x] -= a + b * (x - centre) + c * (y - centre);
}

// The frequency below which half of the energy per bin lies, interpolated within its bin.
double HalfEnergyOf(const std::vector<double>& energy, int32_t side) {
    const double total = std::accumulate(energy.begin() + (energy.empty() ? 0 : 1), energy.end(), 0.0);
    double below = 0.0;
    for (size_t b = 1; b < energy.size(); ++b) {
        if (below + energy[b] >= total / 2 && energy[b] > 0.0)
            return (static_cast<double>(b) - 0.5 + (total / 2 - below) / energy[b]) / side;
        below += energy[b];
    }
    return 0.0;
}

struct Tile {
    int32_t x0, y0;
    double level = 0.0;
    double structure = 0.0; // block-mean variance over pixel variance, averaged over channels
    double quiet = 0.0;     // mean pixel variance over channels
    double texture = 0.0;   // variance of neighbour differences over twice the pixel variance, averaged
};

double MedianOf(const std::vector<Tile>& tiles, double Tile::*field) {
    std::vector<double> values;
    for (const Tile& t : tiles) values.push_back(t.*field);
    std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// The tiles that hold grain alone. Grain keeps its block-mean share and its neighbour-
// difference ratio at any strength, and picture detail moves one or both (and adds variance),
// so the tiles whose three measures lie near the grain's are flat. The grain's measures come
// from the quietest tenth of the tiles, then again from the tiles kept, until that settles:
// however much of the plate is picture, the grain's cluster is found.
std::vector<Tile> FlatTiles(std::vector<Tile> tiles) {
    std::sort(tiles.begin(), tiles.end(), [](const Tile& a, const Tile& b) { return a.quiet < b.quiet; });
    std::vector<Tile> kept(tiles.begin(), tiles.begin() + static_cast<ptrdiff_t>((tiles.size() + 9) / 10));
    for (int32_t round = 0; round < 32; ++round) {
        const double quiet = MedianOf(kept, &Tile::quiet), structure = MedianOf(kept, &Tile::structure),
                     texture = MedianOf(kept, &Tile::texture);
        std::vector<Tile> next;
        std::copy_if(tiles.begin(), tiles.end(), std::back_inserter(next), [&](const Tile& t) {
            return t.quiet <= kQuietFactor * quiet && t.structure <= kStructureFactor * structure &&
                   t.texture <= kTextureFactor * texture && t.texture * kTextureFactor >= texture;
        });
        const bool same = next.size() == kept.size() &&
                          std::equal(next.begin(), next.end(), kept.begin(),
                                     [](const Tile& a, const Tile& b) { return a.x0 == b.x0 && a.y0 == b.y0; });
        if (next.empty() || same) break;
        kept = std::move(next);
    }
    return kept;
}

} // namespace

FloatPicture ReadFloatPicture(const std::string& path) {
    if (IsMovieFile(path)) {
        // A movie's first frame: its grain is the movie's.
        MovieReader movie(path);
        const Plate frame = movie.Read(0);
        FloatPicture picture;
        picture.width = frame.spec.width, picture.height = frame.spec.height, picture.channels = 3;
        picture.samples.resize(static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 3);
        for (size_t p = 0; p < picture.samples.size() / 3; ++p)
            for (size_t c = 0; c < 3; ++c)
                picture.samples[p * 3 + c] = frame.samples[p * static_cast<size_t>(frame.Channels()) + c];
        return picture;
    }
    OIIO::ImageBuf file(path);
    if (!file.read(0, 0, true, OIIO::TypeDesc::FLOAT)) {
        std::string why = file.geterror();
        while (!why.empty() && why.back() == '\n') why.pop_back();
        const size_t newline = why.find('\n');
        if (newline != std::string::npos) why = why.substr(0, newline);
        throw CliError(ExitCode::InputOutput, "cannot read " + Quoted(path) + ": " + why);
    }
    const OIIO::ImageSpec& spec = file.spec();
    std::vector<int32_t> colour;
    const int32_t r = spec.channelindex("R"), g = spec.channelindex("G"), b = spec.channelindex("B");
    if (r >= 0 && g >= 0 && b >= 0) {
        colour = {r, g, b};
    } else if (spec.nchannels <= 2) {
        colour = {0};
    } else {
        for (int32_t c = 0; c < spec.nchannels && colour.size() < 3; ++c)
            if (c != spec.alpha_channel) colour.push_back(c);
    }
    FloatPicture picture;
    picture.width = spec.width;
    picture.height = spec.height;
    picture.channels = static_cast<int32_t>(colour.size());
    std::vector<float> all(static_cast<size_t>(spec.width) * spec.height * spec.nchannels);
    file.get_pixels(OIIO::ROI(spec.x, spec.x + spec.width, spec.y, spec.y + spec.height, 0, 1, 0, spec.nchannels),
                    OIIO::TypeDesc::FLOAT, all.data());
    picture.samples.resize(static_cast<size_t>(spec.width) * spec.height * colour.size());
    for (size_t p = 0; p < static_cast<size_t>(spec.width) * spec.height; ++p)
        for (size_t c = 0; c < colour.size(); ++c)
            picture.samples[p * colour.size() + c] = all[p * spec.nchannels + static_cast<size_t>(colour[c])];
    return picture;
}

GrainStatistics MeasureGrain(const FloatPicture& grainy, const FloatPicture* clean, int32_t tileSize) {
    const int32_t T = tileSize, C = grainy.channels;
    const size_t n = static_cast<size_t>(T) * static_cast<size_t>(T);
    GrainStatistics stats;
    stats.channels = C;
    stats.tileSize = T;
    stats.tilesTotal = (grainy.width / T) * (grainy.height / T);

    // The grain of one tile and channel, plane removed.
    std::vector<double> patch(n);
    const auto extract = [&](const Tile& tile, int32_t c) {
        for (int32_t y = 0; y < T; ++y)
            for (int32_t x = 0; x < T; ++x) {
                double v = grainy.At(tile.x0 + x, tile.y0 + y, c);
                if (clean) v -= clean->At(tile.x0 + x, tile.y0 + y, c);
                patch[static_cast<size_t>(y) * T + x] = v;
            }
        RemovePlane(patch.data(), T);
    };
    const double dof = static_cast<double>(n) - 3.0;

    // First pass: which tiles count, their levels and how much structure they hold.
    std::vector<Tile> tiles;
    for (int32_t ty = 0; ty + T <= grainy.height; ty += T) {
        for (int32_t tx = 0; tx + T <= grainy.width; tx += T) {
            Tile tile{tx, ty};
            const FloatPicture& judged = clean ? *clean : grainy;
            bool clipped = false;
            double sum = 0.0;
            for (int32_t y = 0; y < T && !clipped; ++y)
                for (int32_t x = 0; x < T; ++x)
                    for (int32_t c = 0; c < C; ++c) {
                        const float v = judged.At(tx + x, ty + y, c);
                        if (!(v > kClipLow && v < kClipHigh)) clipped = true; // NaN too
                        sum += v;
                    }
            if (clipped) continue;
            tile.level = sum / (static_cast<double>(n) * C);
            for (int32_t c = 0; c < C; ++c) {
                extract(tile, c);
                double squares = 0.0;
                for (double v : patch) squares += v * v;
                const double variance = squares / dof;
                double blockVariance = 0.0;
                for (int32_t by = 0; by < T; by += kBlock)
                    for (int32_t bx = 0; bx < T; bx += kBlock) {
                        double mean = 0.0;
                        for (int32_t y = 0; y < kBlock; ++y)
                            for (int32_t x = 0; x < kBlock; ++x)
                                mean += patch[static_cast<size_t>(by + y) * T + bx + x];
                        mean /= kBlock * kBlock;
                        blockVariance += mean * mean;
                    }
                blockVariance /= static_cast<double>(T / kBlock) * (T / kBlock);
                double across = 0.0, acrossSquares = 0.0, down = 0.0, downSquares = 0.0;
                for (int32_t y = 0; y < T; ++y)
                    for (int32_t x = 0; x < T; ++x) {
                        const double v = patch[static_cast<size_t>(y) * T + x];
                        if (x > 0) {
                            const double d = v - patch[static_cast<size_t>(y) * T + x - 1];
                            across += d, acrossSquares += d * d;
                        }
                        if (y > 0) {
                            const double d = v - patch[static_cast<size_t>(y - 1) * T + x];
                            down += d, downSquares += d * d;
                        }
                    }
                const double pairs = static_cast<double>(T - 1) * T;
                const double differences =
                    (acrossSquares - across * across / pairs) / pairs + (downSquares - down * down / pairs) / pairs;
                tile.texture += (variance > 0.0 ? differences / (4.0 * variance) : 0.0) / C;
                tile.quiet += variance / C;
                tile.structure += (variance > 0.0 ? blockVariance / variance : 0.0) / C;
            }
            tiles.push_back(tile);
        }
    }
    std::erase_if(tiles, [](const Tile& t) { return t.quiet <= 0.0; });
    if (!clean && !tiles.empty()) tiles = FlatTiles(std::move(tiles));
    std::erase_if(tiles, [](const Tile& t) { return t.quiet <= 0.0; });
    if (tiles.empty()) throw CliError(ExitCode::InputOutput, "no flat area with grain to measure");
    stats.tiles = static_cast<int32_t>(tiles.size());

    // Second pass: spectra, covariance and levels over the tiles that count.
    int32_t binCount = 0;
    const std::vector<int32_t> bins = RadialBins(T, binCount);
    std::vector<double> binSamples(static_cast<size_t>(binCount), 0.0);
    for (int32_t b : bins) binSamples[static_cast<size_t>(b)] += 1.0;
    stats.binEnergy.assign(static_cast<size_t>(C), std::vector<double>(static_cast<size_t>(binCount), 0.0));
    std::vector<std::vector<double>> covariance(static_cast<size_t>(C), std::vector<double>(static_cast<size_t>(C)));
    std::vector<std::array<double, kBrightnessLevels>> levelSums(static_cast<size_t>(C));
    SquareTransform transform(T);
    std::vector<std::vector<double>> residual(static_cast<size_t>(C));
    std::vector<double> power;
    for (const Tile& tile : tiles) {
        const size_t level = static_cast<size_t>(
            std::clamp(static_cast<int32_t>(tile.level * kBrightnessLevels), 0, kBrightnessLevels - 1));
        ++stats.tilesByLevel[level];
        for (int32_t c = 0; c < C; ++c) {
            extract(tile, c);
            residual[static_cast<size_t>(c)] = patch;
            double squares = 0.0;
            for (double v : patch) squares += v * v;
            levelSums[static_cast<size_t>(c)][level] += squares / dof;
            transform.Power(patch.data(), power);
            for (size_t k = 1; k < n; ++k)
                stats.binEnergy[static_cast<size_t>(c)][static_cast<size_t>(bins[k])] += power[k] / dof;
        }
        for (int32_t i = 0; i < C; ++i)
            for (int32_t j = 0; j < C; ++j) {
                double sum = 0.0;
                for (size_t k = 0; k < n; ++k)
                    sum += residual[static_cast<size_t>(i)][k] * residual[static_cast<size_t>(j)][k];
                covariance[static_cast<size_t>(i)][static_cast<size_t>(j)] += sum / dof;
            }
    }
    const double count = static_cast<double>(tiles.size());
    stats.sigma.resize(static_cast<size_t>(C));
    stats.correlation.assign(static_cast<size_t>(C), std::vector<double>(static_cast<size_t>(C), 0.0));
    stats.spectrum.assign(static_cast<size_t>(C), std::vector<double>(static_cast<size_t>(binCount), 0.0));
    stats.halfEnergyFrequency.resize(static_cast<size_t>(C));
    stats.sigmaByLevel.resize(static_cast<size_t>(C));
    for (size_t c = 0; c < static_cast<size_t>(C); ++c) {
        stats.sigma[c] = std::sqrt(covariance[c][c] / count);
        for (size_t j = 0; j < static_cast<size_t>(C); ++j) {
            const double norm = std::sqrt(covariance[c][c] * covariance[j][j]);
            stats.correlation[c][j] = norm > 0.0 ? covariance[c][j] / norm : 0.0;
        }
        std::vector<double>& energy = stats.binEnergy[c];
        for (size_t b = 0; b < energy.size(); ++b) {
            energy[b] /= count;
            // Mean power per frequency sample, in the units of a variance per unit bandwidth.
            stats.spectrum[c][b] = b == 0 ? 0.0 : energy[b] * static_cast<double>(n) / binSamples[b];
        }
        stats.halfEnergyFrequency[c] = HalfEnergyOf(energy, T);
        for (size_t l = 0; l < static_cast<size_t>(kBrightnessLevels); ++l)
            stats.sigmaByLevel[c][l] =
                stats.tilesByLevel[l] > 0 ? std::sqrt(levelSums[c][l] / stats.tilesByLevel[l]) : 0.0;
    }
    return stats;
}

std::vector<double> RadialSpectrum(const std::vector<std::vector<float>>& patches, int32_t side) {
    int32_t binCount = 0;
    const std::vector<int32_t> bins = RadialBins(side, binCount);
    std::vector<double> samples(static_cast<size_t>(binCount), 0.0), spectrum(static_cast<size_t>(binCount), 0.0);
    for (int32_t b : bins) samples[static_cast<size_t>(b)] += 1.0;
    SquareTransform transform(side);
    std::vector<double> patch, power;
    for (const std::vector<float>& values : patches) {
        patch.assign(values.begin(), values.end());
        transform.Power(patch.data(), power);
        for (size_t k = 1; k < power.size(); ++k) spectrum[static_cast<size_t>(bins[k])] += power[k];
    }
    for (size_t b = 1; b < spectrum.size(); ++b)
        spectrum[b] /= samples[b] * static_cast<double>(std::max<size_t>(patches.size(), 1));
    return spectrum;
}

double HalfEnergyFrequencyOf(const std::vector<double>& radialSpectrum, int32_t side) {
    int32_t binCount = 0;
    const std::vector<int32_t> bins = RadialBins(side, binCount);
    std::vector<double> energy(radialSpectrum.size(), 0.0);
    for (int32_t b : bins)
        if (b > 0 && static_cast<size_t>(b) < energy.size())
            energy[static_cast<size_t>(b)] += radialSpectrum[static_cast<size_t>(b)];
    return HalfEnergyOf(energy, side);
}

std::pair<size_t, size_t> NinetyPercentBand(const std::vector<double>& energy) {
    const double total = std::accumulate(energy.begin(), energy.end(), 0.0);
    double below = 0.0;
    for (size_t b = 1; b < energy.size(); ++b) {
        below += energy[b];
        if (below >= 0.9 * total) return {std::min<size_t>(2, b), b};
    }
    return {std::min<size_t>(2, energy.size() - 1), energy.size() - 1};
}

double SpectrumShapeErrorDb(const std::vector<double>& spectrum, const std::vector<double>& energy,
                            const std::vector<double>& reference, const std::vector<double>& referenceEnergy,
                            std::pair<size_t, size_t> band) {
    const double total = std::accumulate(energy.begin(), energy.end(), 0.0);
    const double referenceTotal = std::accumulate(referenceEnergy.begin(), referenceEnergy.end(), 0.0);
    double squares = 0.0;
    int32_t count = 0;
    for (size_t b = band.first; b <= band.second && b < spectrum.size() && b < reference.size(); ++b) {
        if (spectrum[b] <= 0.0 || reference[b] <= 0.0) continue;
        const double db = 10.0 * std::log10((spectrum[b] / total) / (reference[b] / referenceTotal));
        squares += db * db;
        ++count;
    }
    return count > 0 ? std::sqrt(squares / count) : 0.0;
}

GrainStatistics AsColour(const GrainStatistics& grey) {
    GrainStatistics colour = grey;
    colour.channels = 3;
    colour.sigma.assign(3, grey.sigma[0]);
    colour.correlation.assign(3, std::vector<double>(3, 1.0));
    colour.spectrum.assign(3, grey.spectrum[0]);
    colour.binEnergy.assign(3, grey.binEnergy[0]);
    colour.halfEnergyFrequency.assign(3, grey.halfEnergyFrequency[0]);
    colour.sigmaByLevel.assign(3, grey.sigmaByLevel[0]);
    return colour;
}

GrainComparison CompareGrain(const GrainStatistics& source, const GrainStatistics& render, const MatchLimits& limits) {
    if (source.channels != render.channels) {
        throw CliError(ExitCode::InputOutput,
                       "the source has " + std::to_string(source.channels) + " colour channel" +
                           (source.channels == 1 ? "" : "s") + " and the render " + std::to_string(render.channels) +
                           ": grain of a grey picture cannot be compared with grain of a colour one");
    }
    static const char* const kNames[] = {"red", "green", "blue"};
    const auto name = [&](size_t c) { return source.channels == 1 ? std::string("grey") : std::string(kNames[c]); };
    const auto format = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3g", v);
        return std::string(text);
    };
    GrainComparison result;
    for (size_t c = 0; c < static_cast<size_t>(source.channels); ++c) {
        const double sigma = source.sigma[c] > 0.0 ? render.sigma[c] / source.sigma[c] : 0.0;
        const double frequency =
            source.halfEnergyFrequency[c] > 0.0 ? render.halfEnergyFrequency[c] / source.halfEnergyFrequency[c] : 0.0;
        const double error = SpectrumShapeErrorDb(render.spectrum[c], render.binEnergy[c], source.spectrum[c],
                                                  source.binEnergy[c], NinetyPercentBand(source.binEnergy[c]));
        result.sigmaRatio.push_back(sigma);
        result.frequencyRatio.push_back(frequency);
        result.spectrumErrorDb.push_back(error);
        if (sigma < limits.sigmaLow || sigma > limits.sigmaHigh)
            result.failures.push_back(name(c) + " sigma ratio " + format(sigma) + " is outside " +
                                      format(limits.sigmaLow) + " to " + format(limits.sigmaHigh));
        if (frequency < limits.frequencyLow || frequency > limits.frequencyHigh)
            result.failures.push_back(name(c) + " half-energy frequency ratio " + format(frequency) + " is outside " +
                                      format(limits.frequencyLow) + " to " + format(limits.frequencyHigh));
        if (error > limits.spectrumDb)
            result.failures.push_back(name(c) + " spectrum shape is " + format(error) + " dB off (limit " +
                                      format(limits.spectrumDb) + " dB)");
    }
    for (size_t i = 0; i < static_cast<size_t>(source.channels); ++i)
        for (size_t j = i + 1; j < static_cast<size_t>(source.channels); ++j) {
            const double difference = std::fabs(render.correlation[i][j] - source.correlation[i][j]);
            result.correlationDifference = std::max(result.correlationDifference, difference);
            if (difference > limits.correlation)
                result.failures.push_back(name(i) + "-" + name(j) + " correlation differs by " + format(difference) +
                                          " (limit " + format(limits.correlation) + ")");
        }
    return result;
}
