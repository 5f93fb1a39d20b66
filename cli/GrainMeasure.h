// Measuring grain on whole pictures, independently of the engine: the
// instrument `texturist compare` and `texturist analyse` judge with.
//
// The grain of a picture is measured in square tiles (64 pixels by default)
// laid edge to edge. With a clean version of the picture, the grain is the
// difference of the two and every tile whose clean pixels stay clear of black
// and white counts. Without one, each tile's own least-squares plane (per
// channel) is taken as the picture and the remainder as the grain, and only
// flat tiles count: tiles with no clipped pixel whose 8 x 8 block means vary
// no more than grain alone makes them vary (twice the typical ratio of block
// mean variance to pixel variance among the quieter tiles), so that edges and
// texture stay out whatever the grain's strength.
//
// Over the tiles that count: per channel σ (plane-detrended variance corrected
// for the three degrees of freedom the plane takes), the correlation between
// channels, the radially averaged power spectrum (bins 1/T cycles per pixel
// wide, the zero frequency left out), the frequency below which half the
// grain's energy lies, and σ by brightness level (eight levels of the clean
// picture, or of each tile's mean without one).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A picture as float samples, interleaved, channels 1 to 4 (alpha, if any, is not grain).
struct FloatPicture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;       // colour channels measured (1 or 3)
    std::vector<float> samples; // width * height * channels

    float At(int32_t x, int32_t y, int32_t c) const {
        return samples[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) *
                           static_cast<size_t>(channels) +
                       static_cast<size_t>(c)];
    }
};

// The colour channels of an image file (grey files give one channel), or of a
// movie's first frame; CliError naming the file otherwise.
FloatPicture ReadFloatPicture(const std::string& path);

constexpr int32_t kBrightnessLevels = 8;

struct GrainStatistics {
    int32_t channels = 0;
    int32_t tileSize = 0;
    int32_t tiles = 0;                            // tiles measured
    int32_t tilesTotal = 0;                       // tiles of the picture
    std::vector<double> sigma;                    // per channel
    std::vector<std::vector<double>> correlation; // channels x channels
    std::vector<std::vector<double>> spectrum;    // per channel: mean power per frequency sample, per bin
    std::vector<std::vector<double>> binEnergy;   // per channel: energy per bin (sums to the variance)
    std::vector<double> halfEnergyFrequency;      // per channel, cycles per pixel
    std::vector<std::array<double, kBrightnessLevels>> sigmaByLevel; // per channel; 0 where no tile
    std::array<int32_t, kBrightnessLevels> tilesByLevel{};

    double BinFrequency(size_t bin) const { return static_cast<double>(bin) / tileSize; }
};

// `clean` may be null; otherwise it must have the picture's size and channels.
// Throws CliError (InputOutput) when no tile counts.
GrainStatistics MeasureGrain(const FloatPicture& grainy, const FloatPicture* clean, int32_t tileSize = 64);

// A grey plate's statistics as those of the grain it gives a colour picture: the same grain
// in every channel.
GrainStatistics AsColour(const GrainStatistics& grey);

// The radially averaged power spectrum of one square patch set (each patch
// side x side, row-major, mean removed by the caller), with the bins of
// MeasureGrain; for the analysis report.
std::vector<double> RadialSpectrum(const std::vector<std::vector<float>>& patches, int32_t side);
// The frequency below which half the energy of such a spectrum lies.
double HalfEnergyFrequencyOf(const std::vector<double>& radialSpectrum, int32_t side);

struct MatchLimits {
    double sigmaLow = 0.9, sigmaHigh = 1.1;
    double frequencyLow = 0.9, frequencyHigh = 1.1;
    double correlation = 0.1;
    double spectrumDb = 1.5;
};

struct GrainComparison {
    std::vector<double> sigmaRatio;      // render / source, per channel
    std::vector<double> frequencyRatio;  // half-energy frequencies, render / source
    std::vector<double> spectrumErrorDb; // RMS over the source's 90 % band, shapes normalised
    double correlationDifference = 0.0;  // largest, over channel pairs
    std::vector<std::string> failures;   // what is outside the limits, in words
    bool Matches() const { return failures.empty(); }
};

GrainComparison CompareGrain(const GrainStatistics& source, const GrainStatistics& render, const MatchLimits& limits);

// The bins 2 .. b of `energy` where b is the first bin by which 90 % of the energy lies below.
std::pair<size_t, size_t> NinetyPercentBand(const std::vector<double>& energy);
// RMS of 10 log10 of the ratio of the two spectra, each normalised to unit energy, over `band`.
double SpectrumShapeErrorDb(const std::vector<double>& spectrum, const std::vector<double>& energy,
                            const std::vector<double>& reference, const std::vector<double>& referenceEnergy,
                            std::pair<size_t, size_t> band);
