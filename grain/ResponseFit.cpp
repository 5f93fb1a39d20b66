#include "ResponseFit.h"

#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Views.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kMidpointStep = 0.01f; // the midpoint search's step over the measured range
constexpr int32_t kLawsonRounds = 24;

double Median(ImageLib_Vector<double> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// The three hat functions of a curve with midpoint p at value v: the weights of shadows,
// midtones and highlights in it.
std::array<double, 3> Hats(double p, double v) {
    if (v < p) return {1.0 - v / p, v / p, 0.0};
    return {0.0, 1.0 - (v - p) / (1.0 - p), (v - p) / (1.0 - p)};
}

struct Point {
    double level, sigma;
};

// The least-squares curve with midpoint p through the points, each weighted by `weights`; false
// when the points do not determine it.
bool SolveWithMidpoint(const ImageLib_Vector<Point>& points, const ImageLib_Vector<double>& weights, double p,
                       std::array<double, 3>& curve) {
    double a[3][3] = {}, b[3] = {};
    for (size_t k = 0; k < points.size(); ++k) {
        const std::array<double, 3> h = Hats(p, points[k].level);
        for (int i = 0; i < 3; ++i) {
            b[i] += weights[k] * h[i] * points[k].sigma;
            for (int j = 0; j < 3; ++j) a[i][j] += weights[k] * h[i] * h[j];
        }
    }
    // Gaussian elimination with partial pivoting on the 3 x 3 normal equations.
    int order[3] = {0, 1, 2};
    for (int k = 0; k < 3; ++k) {
        int best = k;
        for (int r = k + 1; r < 3; ++r)
            if (std::fabs(a[order[r]][k]) > std::fabs(a[order[best]][k])) best = r;
        std::swap(order[k], order[best]);
        const double pivot = a[order[k]][k];
        if (!(std::fabs(pivot) > 1e-12)) return false;
        for (int r = k + 1; r < 3; ++r) {
            const double f = a[order[r]][k] / pivot;
            for (int c = k; c < 3; ++c) a[order[r]][c] -= f * a[order[k]][c];
            b[order[r]] -= f * b[order[k]];
        }
    }
    for (int k = 2; k >= 0; --k) {
        double v = b[order[k]];
        for (int c = k + 1; c < 3; ++c) v -= a[order[k]][c] * curve[static_cast<size_t>(c)];
        curve[static_cast<size_t>(k)] = v / a[order[k]][k];
    }
    return true;
}

// The curve with midpoint p whose largest relative miss over the points is least (what a
// compositor sees is the worst level, not the average): least squares reweighted by each
// point's miss, Lawson's way, from relative least squares. Returns that largest miss, or a
// negative number when the points do not determine the curve.
double FitWithMidpoint(const ImageLib_Vector<Point>& points, double p, std::array<double, 3>& curve) {
    ImageLib_Vector<double> share(points.size(), 1.0 / static_cast<double>(points.size())), weights(points.size());
    double worst = -1.0;
    std::array<double, 3> candidate{};
    for (int32_t round = 0; round < kLawsonRounds; ++round) {
        for (size_t k = 0; k < points.size(); ++k) weights[k] = share[k] / (points[k].sigma * points[k].sigma);
        if (!SolveWithMidpoint(points, weights, p, candidate)) return worst;
        double largest = 0.0, total = 0.0;
        ImageLib_Vector<double> misses(points.size());
        for (size_t k = 0; k < points.size(); ++k) {
            const std::array<double, 3> h = Hats(p, points[k].level);
            const double fitted = h[0] * candidate[0] + h[1] * candidate[1] + h[2] * candidate[2];
            misses[k] = std::fabs(fitted / points[k].sigma - 1.0);
            largest = std::max(largest, misses[k]);
        }
        if (worst < 0.0 || largest < worst) worst = largest, curve = candidate;
        for (size_t k = 0; k < points.size(); ++k) total += (share[k] *= misses[k]);
        if (!(total > 0.0)) break; // a perfect fit
        for (double& value : share) value /= total;
    }
    return worst;
}

} // namespace

float ResponseCurve::At(float value) const {
    if (midpoint > value) return shadows + (midtones - shadows) * value / midpoint;
    return midpoint < 1.0f ? midtones + (highlights - midtones) * (value - midpoint) / (1.0f - midpoint) : midtones;
}

void MeasureResponse(const ImageLib_Vector<GrainWindow>& windows, uint32_t channels, ResponseLevels& levels) {
    levels = {};
    levels.channels = std::min<uint32_t>(channels, 3);
    for (uint32_t c = 0; c < levels.channels; ++c) {
        for (int32_t k = 0; k < kResponseLevels; ++k) {
            ImageLib_Vector<double> variances;
            double sum = 0.0;
            for (const GrainWindow& w : windows) {
                const float level = w.level[c];
                const int32_t bin =
                    std::clamp(static_cast<int32_t>(std::floor(level * kResponseLevels)), 0, kResponseLevels - 1);
                if (bin != k || !(w.variance[c] > 0.0f)) continue;
                variances.push_back(w.variance[c]);
                sum += level;
            }
            levels.windows[c][k] = static_cast<int32_t>(variances.size());
            if (variances.empty()) continue;
            levels.level[c][k] = sum / static_cast<double>(variances.size());
            levels.sigma[c][k] = std::sqrt(Median(std::move(variances)));
        }
    }
}

ResponseCurve FitResponse(const ResponseLevels& levels, uint32_t channel, const ImageLib_Vector<float>& sampleLevels) {
    ResponseCurve flat;
    if (channel >= levels.channels) return flat;
    ImageLib_Vector<Point> points;
    double highest = 0.0;
    for (int32_t k = 0; k < kResponseLevels; ++k) {
        const int32_t n = levels.windows[channel][k];
        const double sigma = levels.sigma[channel][k];
        if (n < kLeastResponseWindows || !(sigma > 0.0)) continue;
        points.push_back({levels.level[channel][k], sigma});
        highest = std::max(highest, sigma);
    }
    if (points.size() < 2) return flat;
    std::array<double, 3> best{1.0, 1.0, 1.0};
    double bestMidpoint = 0.5;
    if (points.size() == 2) {
        // A straight line through both, its midpoint halfway.
        const Point &a = points[0], &b = points[1];
        const double slope = (b.sigma - a.sigma) / (b.level - a.level);
        best = {a.sigma - slope * a.level, a.sigma + slope * (0.5 - a.level), a.sigma + slope * (1.0 - a.level)};
    } else {
        // The midpoint between the second lowest and the second highest measured levels, so
        // that both sides of it hold a measured level besides the midpoint's own.
        const double from = points[1].level, to = points[points.size() - 2].level;
        double bestCost = 0.0;
        bool found = false;
        for (double p = from;; p += kMidpointStep) {
            const double midpoint = std::min(p, to);
            std::array<double, 3> curve{};
            const double cost = midpoint > 0.0 && midpoint < 1.0 ? FitWithMidpoint(points, midpoint, curve) : -1.0;
            if (cost >= 0.0 && (!found || cost < bestCost))
                best = curve, bestCost = cost, bestMidpoint = midpoint, found = true;
            if (midpoint >= to) break;
        }
        if (!found) return flat;
    }
    // Beyond the measured levels the nearest line goes on (a level without flat area takes its
    // neighbours' fit), but never below nothing nor above twice the strongest grain measured.
    for (double& value : best) value = std::clamp(value, 0.0, 2.0 * highest);
    ResponseCurve curve{static_cast<float>(best[0]), static_cast<float>(best[1]), static_cast<float>(best[2]),
                        static_cast<float>(bestMidpoint)};
    // The kernel holds the grain as measured at the samples, so the curve is divided by the
    // measured deviation there (between measured levels, interpolated), not by its own value:
    // the fit's misses stay as balanced over the levels as the fit made them.
    const auto measuredAt = [&points](double v) {
        if (v <= points.front().level) return points.front().sigma;
        for (size_t k = 1; k < points.size(); ++k)
            if (v <= points[k].level) {
                const double t = (v - points[k - 1].level) / (points[k].level - points[k - 1].level);
                return points[k - 1].sigma + t * (points[k].sigma - points[k - 1].sigma);
            }
        return points.back().sigma;
    };
    double squares = 0.0;
    for (float level : sampleLevels) squares += measuredAt(level) * measuredAt(level);
    const double norm = sampleLevels.empty() ? 0.0 : std::sqrt(squares / static_cast<double>(sampleLevels.size()));
    if (!(norm > 0.0)) return flat;
    curve.shadows = static_cast<float>(best[0] / norm);
    curve.midtones = static_cast<float>(best[1] / norm);
    curve.highlights = static_cast<float>(best[2] / norm);
    return curve;
}

void SampleLevels(ImageLib_ComputeNode& layer, const ImageLib_PixelFormat& format, const SampleSet& samples,
                  std::array<ImageLib_Vector<float>, 3>& levels) {
    for (ImageLib_Vector<float>& channel : levels) channel.clear();
    const uint32_t channels = format.channels;
    for (const SampleRect& sample : samples) {
        if (sample.IsEmpty()) continue;
        ImageLib_ImageBuffer buffer(ImageLib_FloatFormat(format), sample);
        layer.Compute(buffer, sample);
        ImageLib_MappedRegion mapped(buffer, sample, ImageLib_AccessMode::Read);
        for (uint32_t c = 0; c < channels; ++c) {
            double sum = 0.0;
            for (int32_t y = 0; y < sample.Height(); ++y) {
                const float* row = mapped.rows().Row(y).As<float>() + c;
                for (int32_t x = 0; x < sample.Width(); ++x) sum += row[static_cast<size_t>(x) * channels];
            }
            if (c < 3)
                levels[c].push_back(static_cast<float>(sum / (static_cast<double>(sample.Width()) * sample.Height())));
        }
    }
}

void FitLayerResponse(ImageLib_ComputeNode& layer, const ImageLib_PixelFormat& format, const SampleSet& samples,
                      ResponseLevels& levels, std::array<ResponseCurve, 3>& curves) {
    const int32_t size = samples.empty() ? kRefinedWindow : std::max(samples[0].Width(), 1);
    ImageLib_Vector<GrainWindow> windows;
    FindGrainWindows({1, size, size, format}, layer, windows);
    MeasureResponse(windows, format.channels, levels);
    std::array<ImageLib_Vector<float>, 3> sampleLevels;
    SampleLevels(layer, format, samples, sampleLevels);
    for (uint32_t c = 0; c < 3; ++c) {
        const uint32_t measured = c < levels.channels ? c : 0;
        curves[c] = FitResponse(levels, measured, sampleLevels[measured]);
    }
}
