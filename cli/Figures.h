// Figures for the grain reports: line charts with axes, ticks, units and a
// legend, and labelled image panels, drawn with OpenImageIO's drawing and text
// functions (text in DejaVu Sans) and written as PNG.
#pragma once

#include <OpenImageIO/imagebuf.h>

#include <array>
#include <string>
#include <vector>

using FigureColour = std::array<float, 3>;

// The colours of red, green and blue channels in figures, and of a grey channel.
FigureColour ChannelColour(int channel, int channels);

class LineChart {
public:
    LineChart(int width, int height, std::string title, std::string xLabel, std::string yLabel, bool logY);

    // A named series; points with a non-positive y are left out on a log axis.
    void Add(const std::vector<double>& x, const std::vector<double>& y, FigureColour colour, bool dashed,
             std::string name);
    // Writes the chart; CliError naming the file when it cannot.
    void Save(const std::string& path) const;

private:
    struct Series {
        std::vector<double> x, y;
        FigureColour colour;
        bool dashed;
        std::string name;
    };
    int width_, height_;
    std::string title_, xLabel_, yLabel_;
    bool logY_;
    std::vector<Series> series_;
};

// Pictures side by side under a title, each with its caption; written as PNG.
struct FigurePanel {
    OIIO::ImageBuf image; // RGB float
    std::string caption;
};
void SavePanels(const std::vector<FigurePanel>& panels, const std::string& title, const std::string& path);

// A table of text (first row the header) drawn as a figure.
void SaveTable(const std::vector<std::vector<std::string>>& rows, const std::string& title, const std::string& path);

// Writes any image as PNG (8 bit); CliError naming the file when it cannot.
void SaveFigure(const OIIO::ImageBuf& image, const std::string& path);
