#include "ResponseFit.h"

#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Views.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kMidpointStep = 0.01f; // the midpoint search's step over the measured range

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
    double level, sigma, weight;
};

// The least-squares curve with midpoint p through the points, weighted; false when the points
// do not determine it.
bool FitWithMidpoint(const ImageLib_Vector<Point>& points, double p, std::array<double, 3>& curve, double& cost) {
    double a[3][3] = {}, b[3] = {};
    for (const Point& point : points) {
        const std::array<double, 3> h = Hats(p, point.level);
        for (int i = 0; i < 3; ++i) {
            b[i] += point.weight * h[i] * point.sigma;
            for (int j = 0; j < 3; ++j) a[i][j] += point.weight * h[i] * h[j];
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
    cost = 0.0;
    for (const Point& point : points) {
        const std::array<double, 3> h = Hats(p, point.level);
        const double fitted = h[0] * curve[0] + h[1] * curve[1] + h[2] * curve[2];
        cost += point.weight * (fitted - point.sigma) * (fitted - point.sigma);
    }
    return true;
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
    double lowest = 0.0, highest = 0.0;
    for (int32_t k = 0; k < kResponseLevels; ++k) {
        const int32_t n = levels.windows[channel][k];
        const double sigma = levels.sigma[channel][k];
        if (n < kLeastResponseWindows || !(sigma > 0.0)) continue;
        // Relative errors: every level should come within the same share of its deviation.
        points.push_back({levels.level[channel][k], sigma, n / (sigma * sigma)});
        lowest = points.size() == 1 ? sigma : std::min(lowest, sigma);
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
            double cost = 0.0;
            if (midpoint > 0.0 && midpoint < 1.0 && FitWithMidpoint(points, midpoint, curve, cost) &&
                (!found || cost < bestCost)) {
                best = curve, bestCost = cost, bestMidpoint = midpoint, found = true;
            }
            if (midpoint >= to) break;
        }
        if (!found) return flat;
    }
    // Beyond the measured levels the lines go on, but no further than the deviations measured.
    for (double& value : best) value = std::clamp(value, lowest, highest);
    ResponseCurve curve{static_cast<float>(best[0]), static_cast<float>(best[1]), static_cast<float>(best[2]),
                        static_cast<float>(bestMidpoint)};
    double squares = 0.0;
    for (float level : sampleLevels) squares += static_cast<double>(curve.At(level)) * curve.At(level);
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
