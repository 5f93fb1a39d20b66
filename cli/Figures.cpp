#include "cli/Figures.h"

#include "cli/CliError.h"

#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

namespace IBA = OIIO::ImageBufAlgo;

constexpr const char* kFont = "DejaVuSans";
constexpr int kText = 14;
const std::vector<float> kBlack{0.1f, 0.1f, 0.1f};
const std::vector<float> kGrid{0.85f, 0.85f, 0.85f};

void Text(OIIO::ImageBuf& image, int x, int y, const std::string& text, int size = kText,
          const std::vector<float>& colour = kBlack, IBA::TextAlignX align = IBA::TextAlignX::Left) {
    IBA::render_text(image, x, y, text, size, kFont, colour, align);
}

OIIO::ImageBuf Canvas(int width, int height) {
    OIIO::ImageBuf image(OIIO::ImageSpec(width, height, 3, OIIO::TypeDesc::FLOAT));
    IBA::fill(image, {1.0f, 1.0f, 1.0f});
    return image;
}

std::string Number(double value) {
    char text[32];
    const double magnitude = std::fabs(value);
    if (value == 0.0) return "0";
    if (magnitude >= 1e4 || magnitude < 1e-3) {
        std::snprintf(text, sizeof text, "%.0e", value);
    } else {
        std::snprintf(text, sizeof text, "%.3g", value);
    }
    return text;
}

// Round tick positions covering [low, high].
std::vector<double> Ticks(double low, double high) {
    const double span = high - low;
    if (!(span > 0.0)) return {low};
    const double raw = span / 5.0;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (double factor : {1.0, 2.0, 5.0, 10.0})
        if (raw <= factor * power) {
            step = factor * power;
            break;
        }
    std::vector<double> ticks;
    for (double t = std::ceil(low / step) * step; t <= high + step * 1e-9; t += step) ticks.push_back(t);
    return ticks;
}

} // namespace

FigureColour ChannelColour(int channel, int channels) {
    if (channels == 1) return {0.2f, 0.2f, 0.2f};
    static const FigureColour kColours[] = {{0.85f, 0.15f, 0.15f}, {0.1f, 0.6f, 0.15f}, {0.15f, 0.3f, 0.9f}};
    return kColours[std::clamp(channel, 0, 2)];
}

LineChart::LineChart(int width, int height, std::string title, std::string xLabel, std::string yLabel, bool logY)
    : width_(width), height_(height), title_(std::move(title)), xLabel_(std::move(xLabel)), yLabel_(std::move(yLabel)),
      logY_(logY) {}

void LineChart::Add(const std::vector<double>& x, const std::vector<double>& y, FigureColour colour, bool dashed,
                    std::string name) {
    Series series{{}, {}, colour, dashed, std::move(name)};
    for (size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
        if (!std::isfinite(x[i]) || !std::isfinite(y[i]) || (logY_ && y[i] <= 0.0)) continue;
        series.x.push_back(x[i]);
        series.y.push_back(logY_ ? std::log10(y[i]) : y[i]);
    }
    series_.push_back(std::move(series));
}

void LineChart::Save(const std::string& path) const {
    OIIO::ImageBuf image = Canvas(width_, height_);
    const int left = 80, right = width_ - 190, top = 58, bottom = height_ - 55;
    double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
    for (const Series& s : series_)
        for (size_t i = 0; i < s.x.size(); ++i) {
            x0 = std::min(x0, s.x[i]), x1 = std::max(x1, s.x[i]);
            y0 = std::min(y0, s.y[i]), y1 = std::max(y1, s.y[i]);
        }
    if (x0 > x1) x0 = 0, x1 = 1, y0 = 0, y1 = 1;
    if (!logY_) y0 = std::min(y0, 0.0);
    if (logY_) y0 = std::floor(y0), y1 = std::ceil(y1);
    if (y1 <= y0) y1 = y0 + 1;
    if (x1 <= x0) x1 = x0 + 1;
    if (!logY_) y1 += (y1 - y0) * 0.05;
    const auto px = [&](double x) {
        return left + static_cast<int>(std::lround((x - x0) / (x1 - x0) * (right - left)));
    };
    const auto py = [&](double y) {
        return bottom - static_cast<int>(std::lround((y - y0) / (y1 - y0) * (bottom - top)));
    };

    // Grid, ticks and their labels.
    for (double t : Ticks(x0, x1)) {
        IBA::render_line(image, px(t), top, px(t), bottom, kGrid);
        Text(image, px(t), bottom + 18, Number(t), 12, kBlack, IBA::TextAlignX::Center);
    }
    const std::vector<double> yTicks = logY_ ? [&] {
        std::vector<double> decades;
        for (double d = y0; d <= y1 + 1e-9; d += 1.0) decades.push_back(d);
        return decades;
    }()
                                             : Ticks(y0, y1);
    for (double t : yTicks) {
        IBA::render_line(image, left, py(t), right, py(t), kGrid);
        Text(image, left - 6, py(t) + 4, logY_ ? Number(std::pow(10.0, t)) : Number(t), 12, kBlack,
             IBA::TextAlignX::Right);
    }
    IBA::render_box(image, left, top, right, bottom, kBlack);
    Text(image, (left + right) / 2, 24, title_, 16, kBlack, IBA::TextAlignX::Center);
    Text(image, (left + right) / 2, height_ - 12, xLabel_, kText, kBlack, IBA::TextAlignX::Center);
    Text(image, 8, top - 12, yLabel_ + (logY_ ? " (log scale)" : ""), 12);

    // The series, dashed ones drawn every other segment.
    for (const Series& s : series_) {
        const std::vector<float> colour(s.colour.begin(), s.colour.end());
        for (size_t i = 1; i < s.x.size(); ++i) {
            if (s.dashed && i % 2 == 0) continue;
            IBA::render_line(image, px(s.x[i - 1]), py(s.y[i - 1]), px(s.x[i]), py(s.y[i]), colour);
            IBA::render_line(image, px(s.x[i - 1]), py(s.y[i - 1]) + 1, px(s.x[i]), py(s.y[i]) + 1, colour);
        }
        if (s.x.size() == 1)
            IBA::render_box(image, px(s.x[0]) - 2, py(s.y[0]) - 2, px(s.x[0]) + 2, py(s.y[0]) + 2, colour, true);
    }
    // Legend.
    int y = top + 10;
    for (const Series& s : series_) {
        const std::vector<float> colour(s.colour.begin(), s.colour.end());
        for (int x = right + 12; x < right + 42; x += s.dashed ? 8 : 30) {
            IBA::render_line(image, x, y, std::min(x + (s.dashed ? 4 : 30), right + 42), y, colour);
            IBA::render_line(image, x, y + 1, std::min(x + (s.dashed ? 4 : 30), right + 42), y + 1, colour);
        }
        Text(image, right + 48, y + 5, s.name, 12);
        y += 20;
    }
    SaveFigure(image, path);
}

void SavePanels(const std::vector<FigurePanel>& panels, const std::string& title, const std::string& path) {
    int width = 20, height = 0;
    for (const FigurePanel& panel : panels) {
        width += panel.image.spec().width + 20;
        height = std::max(height, panel.image.spec().height);
    }
    OIIO::ImageBuf image = Canvas(std::max(width, 320), height + 90);
    Text(image, 10, 24, title, 16);
    int x = 20;
    for (const FigurePanel& panel : panels) {
        const OIIO::ROI& roi = panel.image.roi();
        IBA::paste(image, x, 40, 0, 0, panel.image, OIIO::ROI(roi.xbegin, roi.xend, roi.ybegin, roi.yend, 0, 1, 0, 3));
        Text(image, x + panel.image.spec().width / 2, 40 + height + 24, panel.caption, 13, kBlack,
             IBA::TextAlignX::Center);
        x += panel.image.spec().width + 20;
    }
    SaveFigure(image, path);
}

void SaveTable(const std::vector<std::vector<std::string>>& rows, const std::string& title, const std::string& path) {
    size_t columns = 0;
    for (const auto& row : rows) columns = std::max(columns, row.size());
    const int cell = 150, line = 24;
    OIIO::ImageBuf image = Canvas(static_cast<int>(columns) * cell + 20, static_cast<int>(rows.size()) * line + 60);
    Text(image, 10, 24, title, 16);
    for (size_t r = 0; r < rows.size(); ++r) {
        const int y = 56 + static_cast<int>(r) * line;
        if (r == 1) IBA::render_line(image, 10, y - 17, static_cast<int>(columns) * cell + 10, y - 17, kBlack);
        for (size_t c = 0; c < rows[r].size(); ++c) Text(image, 14 + static_cast<int>(c) * cell, y, rows[r][c], 13);
    }
    SaveFigure(image, path);
}

void SaveFigure(const OIIO::ImageBuf& image, const std::string& path) {
    if (!image.write(path, OIIO::TypeDesc::UINT8)) {
        throw CliError(ExitCode::InputOutput, "cannot write \"" + path + "\": " + image.geterror());
    }
}
