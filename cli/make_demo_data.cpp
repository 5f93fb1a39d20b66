// Makes the demo's two pictures: a clean, noise-free landscape to be grained,
// and a grainy plate whose grain the effect measures and reproduces.
//
// The plate is a chart of flat grey patches, dark to bright, under film-like
// grain: spatially correlated (white noise blurred, a little coarser in blue,
// as film's blue layer is), correlated between the channels (a shared
// component mixed into each), and strongest in the midtones, fading towards
// black and white as a film's grain does. Everything comes from a fixed seed,
// so the files are the same on every run.
//
// Usage: make-demo-data FOLDER   (writes FOLDER/clean.png and FOLDER/grain-plate.png)
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kCleanWidth = 480;
constexpr int kCleanHeight = 270;
constexpr int kPlateWidth = 320;
constexpr int kPlateHeight = 240;
constexpr float kPi = 3.14159265f;

struct Plane {
    int width = 0;
    int height = 0;
    std::vector<float> values;
    Plane(int w, int h) : width(w), height(h), values(static_cast<size_t>(w) * static_cast<size_t>(h)) {}
    float& at(int x, int y) { return values[static_cast<size_t>(y) * static_cast<size_t>(width) + x]; }
};

// Box-Muller over mt19937_64, whose sequence the standard fixes: the same
// numbers with every standard library.
class Gaussian {
public:
    explicit Gaussian(uint64_t seed) : engine_(seed) {}
    float operator()() {
        const double scale = 1.0 / 18446744073709551616.0;
        const double u1 = (static_cast<double>(engine_()) + 1.0) * scale;
        const double u2 = static_cast<double>(engine_()) * scale;
        return static_cast<float>(std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2));
    }

private:
    std::mt19937_64 engine_;
};

Plane WhiteNoise(int width, int height, Gaussian& gaussian) {
    Plane plane(width, height);
    for (float& value : plane.values) value = gaussian();
    return plane;
}

// Separable Gaussian blur with edge clamping, rescaled back to unit variance
// so that the blur changes the grain's size but not its strength.
Plane Blur(Plane& in, float sigma) {
    const int radius = static_cast<int>(std::ceil(sigma * 3.0f));
    std::vector<float> kernel(static_cast<size_t>(2 * radius + 1));
    float sum = 0, squares = 0;
    for (int i = -radius; i <= radius; ++i) {
        kernel[static_cast<size_t>(i + radius)] = std::exp(-0.5f * static_cast<float>(i * i) / (sigma * sigma));
        sum += kernel[static_cast<size_t>(i + radius)];
    }
    for (float& k : kernel) {
        k /= sum;
        squares += k * k;
    }
    Plane across(in.width, in.height), out(in.width, in.height);
    for (int y = 0; y < in.height; ++y) {
        for (int x = 0; x < in.width; ++x) {
            float value = 0;
            for (int i = -radius; i <= radius; ++i) {
                value += kernel[static_cast<size_t>(i + radius)] * in.at(std::clamp(x + i, 0, in.width - 1), y);
            }
            across.at(x, y) = value;
        }
    }
    const float gain = 1.0f / squares; // the variance of white noise after both passes is squares^2
    for (int y = 0; y < in.height; ++y) {
        for (int x = 0; x < in.width; ++x) {
            float value = 0;
            for (int i = -radius; i <= radius; ++i) {
                value += kernel[static_cast<size_t>(i + radius)] * across.at(x, std::clamp(y + i, 0, in.height - 1));
            }
            out.at(x, y) = value * gain;
        }
    }
    return out;
}

float Smooth(float edge0, float edge1, float x) {
    const float t = std::clamp((x - edge0) / (edge1 - edge0), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

bool Write(const std::string& path, int width, int height, const std::vector<float>& rgb) {
    OIIO::ImageSpec header(width, height, 3, OIIO::TypeDesc::UINT8);
    header.attribute("oiio:ColorSpace", "sRGB");
    header.attribute("png:compressionLevel", 9);
    const std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(path);
    if (!out || !out->open(path, header) || !out->write_image(OIIO::TypeDesc::FLOAT, rgb.data()) || !out->close()) {
        std::fprintf(stderr, "make-demo-data: cannot write %s: %s\n", path.c_str(),
                     out ? out->geterror().c_str() : OIIO::geterror().c_str());
        return false;
    }
    return true;
}

// A landscape at dusk: a sky gradient, a low sun with a glow, two hills and a
// lake that mirrors the sky. Smooth everywhere, so any grain seen later is the effect's.
std::vector<float> CleanPicture() {
    std::vector<float> rgb(static_cast<size_t>(kCleanWidth) * kCleanHeight * 3);
    const float sunX = 0.68f, sunY = 0.42f;
    for (int y = 0; y < kCleanHeight; ++y) {
        for (int x = 0; x < kCleanWidth; ++x) {
            const float u = (static_cast<float>(x) + 0.5f) / kCleanWidth;
            const float v = (static_cast<float>(y) + 0.5f) / kCleanHeight;
            const float horizon = 0.62f;
            const float skyV = v < horizon ? v : 2.0f * horizon - v; // the lake mirrors the sky
            float r = 0.18f + 0.70f * skyV, g = 0.22f + 0.38f * skyV, b = 0.45f - 0.10f * skyV;
            const float dx = (u - sunX) * 1.78f, dy = skyV - sunY;
            const float distance = std::sqrt(dx * dx + dy * dy);
            const float glow = std::exp(-distance * 6.0f) * 0.5f + (1.0f - Smooth(0.045f, 0.06f, distance));
            r += glow;
            g += glow * 0.8f;
            b += glow * 0.45f;
            if (v >= horizon) { // water is darker and bluer than the sky it reflects
                r *= 0.55f;
                g *= 0.62f;
                b = b * 0.75f + 0.06f;
            }
            const float far = 0.50f + 0.05f * std::sin(u * 2.0f * kPi * 1.3f + 0.4f);
            const float near = 0.56f + 0.07f * std::sin(u * 2.0f * kPi * 0.7f + 2.1f);
            const float farHill = 1.0f - Smooth(far - 0.004f, far + 0.004f, v);
            const float nearHill = 1.0f - Smooth(near - 0.004f, near + 0.004f, v);
            if (v < horizon) {
                const float shade = 0.5f + 0.5f * u;
                r = r * farHill + (1.0f - farHill) * (0.30f * shade);
                g = g * farHill + (1.0f - farHill) * (0.26f * shade);
                b = b * farHill + (1.0f - farHill) * (0.36f * shade);
                r = r * nearHill + (1.0f - nearHill) * (0.10f + 0.08f * (v - near) * 10.0f);
                g = g * nearHill + (1.0f - nearHill) * (0.16f + 0.05f * (v - near) * 10.0f);
                b = b * nearHill + (1.0f - nearHill) * 0.10f;
            }
            float* out = &rgb[(static_cast<size_t>(y) * kCleanWidth + x) * 3];
            out[0] = std::clamp(r, 0.0f, 1.0f);
            out[1] = std::clamp(g, 0.0f, 1.0f);
            out[2] = std::clamp(b, 0.0f, 1.0f);
        }
    }
    return rgb;
}

// Twelve flat patches from near black to near white under film-like grain.
std::vector<float> GrainPlate() {
    Gaussian gaussian(20240611);
    Plane shared = WhiteNoise(kPlateWidth, kPlateHeight, gaussian);
    Plane shared_grain = Blur(shared, 1.1f);
    const float sizes[3] = {1.0f, 1.1f, 1.5f}; // film's blue layer has the coarsest grain
    const float strengths[3] = {0.9f, 0.8f, 1.1f};
    const float correlation = 0.65f;
    std::vector<Plane> channels;
    for (float size : sizes) {
        Plane own = WhiteNoise(kPlateWidth, kPlateHeight, gaussian);
        channels.push_back(Blur(own, size));
    }
    const int columns = 4, rows = 3;
    std::vector<float> rgb(static_cast<size_t>(kPlateWidth) * kPlateHeight * 3);
    for (int y = 0; y < kPlateHeight; ++y) {
        for (int x = 0; x < kPlateWidth; ++x) {
            const int patch = (y * rows / kPlateHeight) * columns + x * columns / kPlateWidth;
            const float level = 0.06f + 0.88f * static_cast<float>(patch) / (columns * rows - 1);
            // Grain is strongest in the midtones and fades towards black and white.
            const float amplitude = 0.075f * (4.0f * level * (1.0f - level)) + 0.006f;
            float* out = &rgb[(static_cast<size_t>(y) * kPlateWidth + x) * 3];
            for (int c = 0; c < 3; ++c) {
                const float grain = correlation * shared_grain.at(x, y) + std::sqrt(1.0f - correlation * correlation) *
                                                                              channels[static_cast<size_t>(c)].at(x, y);
                out[c] = std::clamp(level + amplitude * strengths[c] * grain, 0.0f, 1.0f);
            }
        }
    }
    return rgb;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-demo-data FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool ok = Write(folder + "/clean.png", kCleanWidth, kCleanHeight, CleanPicture()) &&
                    Write(folder + "/grain-plate.png", kPlateWidth, kPlateHeight, GrainPlate());
    if (!ok) return 1;
    std::printf("wrote %s/clean.png and %s/grain-plate.png\n", folder.c_str(), folder.c_str());
    return 0;
}
