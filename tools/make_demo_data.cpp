// Makes the demo's two pictures: a clean, noise-free landscape to be grained,
// and a grainy plate whose grain the effect measures and reproduces.
//
// The plate is a chart of flat grey patches, dark to bright, exposed on a
// modelled film emulsion (FilmGrain.h): silver-halide-like grain whose size,
// colour crosstalk and fall-off towards black and white come from the model,
// coarsest in the blue layer as film's is. Everything comes from a fixed seed,
// so the files are the same on every run.
//
// Usage: make-demo-data FOLDER   (writes FOLDER/clean.png and FOLDER/grain-plate.png)
#include "tools/FilmGrain.h"

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
constexpr int kPlateWidth = 640;
constexpr int kPlateHeight = 384;
constexpr float kPi = 3.14159265f;

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

// Eight flat patches from near black to near white, exposed on film.
std::vector<float> GrainPlate() {
    const int columns = 4, rows = 2;
    filmgrain::Emulsion emulsion;
    emulsion.seed = 20240611;
    return filmgrain::Expose(
        kPlateWidth, kPlateHeight,
        [&](int32_t x, int32_t y, int32_t) {
            const int patch = (y * rows / kPlateHeight) * columns + x * columns / kPlateWidth;
            return 0.08 + 0.84 * patch / (columns * rows - 1);
        },
        emulsion);
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
