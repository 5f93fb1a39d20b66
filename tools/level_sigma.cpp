// Grain strength by brightness, in linear light: how much a render adds in the
// blacks against what a plate holds there.
//
//   level-sigma linearise IN.png OUT.exr       an sRGB file's pixels as linear light (float EXR)
//   level-sigma ramp OUT.exr                   a clean linear ramp, 1e-4 to 1 across, grey
//   level-sigma plate FILE.exr                 the plate's grain by level: each pixel less the
//                                              mean of its 5 x 5 neighbourhood, binned by that mean
//   level-sigma added RENDER.exr CLEAN.exr     the grain a render added: render less clean, binned
//                                              by the clean value
//
// Bins are octaves of linear level; sigma is 1.4826 x the median absolute
// deviation, so that picture edges in a real plate barely move it; mean is the
// plain mean (for a render, how far the grain lifts or lowers the level). Green channel.
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Image {
    int width = 0, height = 0, channels = 0;
    std::vector<float> pixels;
    float At(int x, int y) const { return pixels[(static_cast<size_t>(y) * width + x) * channels + (channels > 1)]; }
};

Image Read(const std::string& path) {
    Image image;
    const auto in = OIIO::ImageInput::open(path);
    if (!in) {
        std::fprintf(stderr, "level-sigma: cannot read %s\n", path.c_str());
        std::exit(1);
    }
    image.width = in->spec().width, image.height = in->spec().height, image.channels = in->spec().nchannels;
    image.pixels.resize(static_cast<size_t>(image.width) * image.height * image.channels);
    in->read_image(0, 0, 0, image.channels, OIIO::TypeDesc::FLOAT, image.pixels.data());
    return image;
}

void Write(const std::string& path, const Image& image) {
    OIIO::ImageSpec header(image.width, image.height, image.channels, OIIO::TypeDesc::FLOAT);
    header.attribute("oiio:ColorSpace", "Linear");
    const auto out = OIIO::ImageOutput::create(path);
    if (!out || !out->open(path, header) || !out->write_image(OIIO::TypeDesc::FLOAT, image.pixels.data()) ||
        !out->close()) {
        std::fprintf(stderr, "level-sigma: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

constexpr int kBins = 14; // octaves down from 1

int BinOf(double level) {
    if (!(level > 0.0)) return -1;
    const int bin = static_cast<int>(std::floor(-std::log2(level)));
    return bin >= 0 && bin < kBins ? bin : -1;
}

void Print(std::vector<std::vector<float>>& bins) {
    std::printf("%-22s %8s %12s %12s\n", "level", "pixels", "sigma", "mean");
    for (int b = kBins - 1; b >= 0; --b) {
        std::vector<float>& values = bins[static_cast<size_t>(b)];
        if (values.size() < 200) continue;
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        const float median = values[values.size() / 2];
        std::vector<float> deviations;
        for (float v : values) deviations.push_back(std::fabs(v - median));
        std::nth_element(deviations.begin(), deviations.begin() + deviations.size() / 2, deviations.end());
        double sum = 0.0;
        for (float v : values) sum += v;
        std::printf("%9.6f - %-10.6f %8zu %12.7f %12.7f\n", std::exp2(-b - 1), std::exp2(-b), values.size(),
                    1.4826 * deviations[deviations.size() / 2], sum / static_cast<double>(values.size()));
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "linearise" && argc == 4) {
        Image image = Read(argv[2]);
        for (float& v : image.pixels) v = v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
        Write(argv[3], image);
    } else if (command == "ramp" && argc == 3) {
        Image image{1024, 256, 3, {}};
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
                for (int c = 0; c < 3; ++c)
                    image.pixels.push_back(static_cast<float>(std::pow(10.0, -4.0 + 4.0 * x / (image.width - 1.0))));
        Write(argv[2], image);
    } else if (command == "plate" && argc == 3) {
        const Image image = Read(argv[2]);
        std::vector<std::vector<float>> bins(kBins);
        for (int y = 2; y + 2 < image.height; ++y)
            for (int x = 2; x + 2 < image.width; ++x) {
                double mean = 0.0;
                for (int dy = -2; dy <= 2; ++dy)
                    for (int dx = -2; dx <= 2; ++dx) mean += image.At(x + dx, y + dy);
                mean /= 25.0;
                // A pixel less its neighbourhood's mean keeps 24/25 of white grain's variance.
                const int bin = BinOf(mean);
                if (bin >= 0)
                    bins[static_cast<size_t>(bin)].push_back(
                        static_cast<float>((image.At(x, y) - mean) / std::sqrt(24.0 / 25.0)));
            }
        Print(bins);
    } else if (command == "added" && argc == 4) {
        const Image render = Read(argv[2]), clean = Read(argv[3]);
        std::vector<std::vector<float>> bins(kBins);
        for (int y = 0; y < clean.height; ++y)
            for (int x = 0; x < clean.width; ++x) {
                const int bin = BinOf(clean.At(x, y));
                if (bin >= 0) bins[static_cast<size_t>(bin)].push_back(render.At(x, y) - clean.At(x, y));
            }
        Print(bins);
    } else {
        std::fprintf(stderr,
                     "usage: level-sigma linearise IN OUT.exr | ramp OUT.exr | plate FILE | added RENDER CLEAN\n");
        return 2;
    }
    return 0;
}
