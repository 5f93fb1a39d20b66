// Makes the plates that grain fidelity is measured on, each with the clean
// picture under its grain so that the grain itself can be measured exactly:
//
//   gauss-fine, gauss-coarse   Gaussian grain shaped by a non-separable
//                              autoregressive filter (lags up to 2), correlated
//                              between channels, unequal strengths, on grey
//   film-20, film-45, film-70  modelled film emulsion (FilmGrain.h) at three
//                              densities
//   *-scene                    the same grains over a picture whose only flat
//                              area is a bright graded sky; the rest is foliage
//                              and hard-edged stripes
//   response-ramp,             Gaussian grain scaled per channel by a known
//   response-scene             function of the clean value, over ramps and over
//                              a picture of wide tonal range
//   film-ramp                  modelled film over the same ramps
//
// and flat targets to render onto. Every plate comes from fixed seeds through
// mt19937_64, whose sequence the standard fixes, so the files are the same on
// every machine.
//
// Usage: make-grain-plates FOLDER [SIZE]   (EXR, float, tagged sRGB; SIZE pixels square, 768 by default)
#include "tools/FilmGrain.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Picture = std::function<double(int32_t x, int32_t y, int32_t c)>;

class Normal {
public:
    explicit Normal(uint64_t seed) : engine_(seed) {}
    double operator()() {
        if (spare_) {
            spare_ = false;
            return second_;
        }
        const double u1 = (static_cast<double>(engine_() >> 11) + 1.0) * 0x1.0p-53;
        const double u2 = static_cast<double>(engine_() >> 11) * 0x1.0p-53;
        const double radius = std::sqrt(-2.0 * std::log(u1));
        second_ = radius * std::sin(2.0 * M_PI * u2);
        spare_ = true;
        return radius * std::cos(2.0 * M_PI * u2);
    }

private:
    std::mt19937_64 engine_;
    double second_ = 0.0;
    bool spare_ = false;
};

bool Write(const std::string& path, int32_t size, const std::vector<float>& rgb) {
    OIIO::ImageSpec header(size, size, 3, OIIO::TypeDesc::FLOAT);
    header.attribute("compression", "zip");
    // The grain statistics are those of the code values as stored, which are
    // display-referred: so tagged, texturist hands them to the module unconverted.
    header.attribute("oiio:ColorSpace", "sRGB");
    const std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(path);
    if (!out || !out->open(path, header) || !out->write_image(OIIO::TypeDesc::FLOAT, rgb.data()) || !out->close()) {
        std::fprintf(stderr, "make-grain-plates: cannot write %s: %s\n", path.c_str(),
                     out ? out->geterror().c_str() : OIIO::geterror().c_str());
        return false;
    }
    return true;
}

std::vector<float> Render(int32_t size, const Picture& picture) {
    std::vector<float> rgb(static_cast<size_t>(size) * size * 3);
    for (int32_t y = 0; y < size; ++y)
        for (int32_t x = 0; x < size; ++x)
            for (int32_t c = 0; c < 3; ++c)
                rgb[(static_cast<size_t>(y) * size + x) * 3 + c] = static_cast<float>(picture(x, y, c));
    return rgb;
}

// Smooth value noise, for foliage: bilinear between hashed lattice values.
double Lattice(int32_t x, int32_t y, uint32_t salt) {
    uint64_t h = (static_cast<uint64_t>(static_cast<uint32_t>(x)) << 32 | static_cast<uint32_t>(y)) ^
                 (static_cast<uint64_t>(salt) * 0x9e3779b97f4a7c15ULL);
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<double>((h ^ (h >> 31)) >> 11) * 0x1.0p-53;
}

double ValueNoise(double x, double y, uint32_t salt) {
    const double fx = std::floor(x), fy = std::floor(y);
    const double tx = x - fx, ty = y - fy;
    const auto ix = static_cast<int32_t>(fx), iy = static_cast<int32_t>(fy);
    const double top = Lattice(ix, iy, salt) * (1 - tx) + Lattice(ix + 1, iy, salt) * tx;
    const double bottom = Lattice(ix, iy + 1, salt) * (1 - tx) + Lattice(ix + 1, iy + 1, salt) * tx;
    return top * (1 - ty) + bottom * ty;
}

// A picture whose flat areas are a minority and bright: a graded sky over the
// top 35 %, below it foliage on the left and hard-edged stripes on the right.
// Values stay within `low` .. `high`.
Picture ScenePicture(int32_t size, double low, double high) {
    return [size, low, high](int32_t x, int32_t y, int32_t c) {
        const double u = (x + 0.5) / size, v = (y + 0.5) / size;
        double value;
        if (v < 0.35) {
            value = 0.92 - 0.3 * v / 0.35 - 0.04 * c + 0.03 * std::sin(6.0 * u);
        } else if (u < 0.5) {
            value = 0.2 + 0.45 * ValueNoise(x / 3.0, y / 3.0, 1) + 0.25 * ValueNoise(x / 11.0, y / 11.0, 2) - 0.05 * c;
        } else {
            const int32_t stripe = static_cast<int32_t>(std::floor(x / 9.0 + 3.0 * std::sin(y / 40.0)));
            value = 0.15 + 0.7 * Lattice(stripe, c, 3) + 0.1 * v;
        }
        return low + (high - low) * std::clamp(value, 0.0, 1.0);
    };
}

// Unit-variance Gaussian grain per channel through a non-separable
// autoregressive filter, mixed between channels and scaled to `strengths`.
std::vector<double> AutoregressiveGrain(int32_t size, bool coarse, const std::array<double, 3>& strengths,
                                        uint64_t seed) {
    const int32_t margin = 64, wide = size + margin;
    const double a = coarse ? 0.62 : 0.42, diagonal = coarse ? -0.3 : -0.12, lag2 = -0.1;
    std::array<std::vector<double>, 3> fields;
    Normal normal(seed);
    for (auto& field : fields) {
        field.assign(static_cast<size_t>(wide) * wide, 0.0);
        for (int32_t y = 0; y < wide; ++y) {
            for (int32_t x = 0; x < wide; ++x) {
                const auto at = [&](int32_t dx, int32_t dy) {
                    return x >= dx && y >= dy ? field[static_cast<size_t>(y - dy) * wide + x - dx] : 0.0;
                };
                field[static_cast<size_t>(y) * wide + x] =
                    normal() + a * (at(1, 0) + at(0, 1)) + diagonal * at(1, 1) + lag2 * at(2, 0);
            }
        }
    }
    double variance = 0.0;
    for (int32_t y = margin; y < wide; ++y)
        for (int32_t x = margin; x < wide; ++x) variance += std::pow(fields[0][static_cast<size_t>(y) * wide + x], 2);
    const double scale = 1.0 / std::sqrt(variance / (static_cast<double>(size) * size));
    // Rows of unit length: red alone, green 0.7 red, blue mostly its own.
    const std::array<double, 9> mix{1.0, 0.0, 0.0, 0.7, 0.714, 0.0, 0.4, 0.3, 0.866};
    std::vector<double> grain(static_cast<size_t>(size) * size * 3);
    for (int32_t y = 0; y < size; ++y) {
        for (int32_t x = 0; x < size; ++x) {
            const size_t from = static_cast<size_t>(y + margin) * wide + x + margin;
            for (int32_t c = 0; c < 3; ++c) {
                double value = 0.0;
                for (int32_t i = 0; i < 3; ++i) value += mix[c * 3 + i] * fields[i][from];
                grain[(static_cast<size_t>(y) * size + x) * 3 + c] = strengths[c] * scale * value;
            }
        }
    }
    return grain;
}

// The strength of response-plate grain at clean value v in channel c: film-like,
// strongest in the midtones and at a different level per channel.
double Response(double v, int32_t c) {
    const std::array<double, 3> peak{0.45, 0.5, 0.6}, strength{0.035, 0.028, 0.05};
    const double t = (v - peak[c]) / 0.35;
    return strength[c] * (0.3 + 0.7 * std::exp(-t * t));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: make-grain-plates FOLDER [SIZE]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int32_t size = argc == 3 ? std::atoi(argv[2]) : 768;
    if (size < 128 || size > 8192) {
        std::fprintf(stderr, "make-grain-plates: SIZE must be 128 to 8192\n");
        return 2;
    }
    bool ok = true;
    const auto write = [&](const std::string& name, const std::vector<float>& rgb) {
        ok = ok && Write(folder + "/" + name + ".exr", size, rgb);
    };
    const auto flat = [](double grey) { return [grey](int32_t, int32_t, int32_t) { return grey; }; };

    write("target-grey", Render(size, flat(0.5)));

    const Picture scene = ScenePicture(size, 0.08, 0.82);
    write("scene-clean", Render(size, scene));
    for (const bool coarse : {false, true}) {
        const std::string name = coarse ? "gauss-coarse" : "gauss-fine";
        const std::vector<double> grain = AutoregressiveGrain(size, coarse, {0.03, 0.02, 0.045}, coarse ? 6 : 5);
        std::vector<float> plain = Render(size, flat(0.45)), over = Render(size, scene);
        for (size_t i = 0; i < grain.size(); ++i) {
            plain[i] += static_cast<float>(grain[i]);
            over[i] += static_cast<float>(grain[i]);
        }
        write(name, plain);
        write(name + "-scene", over);
    }

    filmgrain::Emulsion emulsion;
    emulsion.seed = 11;
    for (const double density : {0.2, 0.45, 0.7}) {
        write("film-" + std::to_string(static_cast<int>(density * 100)),
              filmgrain::Expose(size, size, flat(density), emulsion));
    }
    // The film's mean in a layer is its own density mixed with the others' by
    // the crosstalk, so that mix of the picture is the clean plate.
    const Picture filmScene = ScenePicture(size, 0.1, 0.85);
    emulsion.seed = 21;
    write("film-scene", filmgrain::Expose(size, size, filmScene, emulsion));
    write("film-scene-clean", Render(size, [&](int32_t x, int32_t y, int32_t c) {
              const double own = 1.0 - 2.0 * emulsion.crosstalk;
              return own * filmScene(x, y, c) +
                     emulsion.crosstalk * (filmScene(x, y, (c + 1) % 3) + filmScene(x, y, (c + 2) % 3));
          }));

    // Response plates: unit grain scaled by a known function of the clean value.
    const std::vector<double> unit = AutoregressiveGrain(size, false, {1.0, 1.0, 1.0}, 7);
    const Picture ramps = [size](int32_t x, int32_t y, int32_t) {
        // Eight horizontal bands, each a gentle ramp, together spanning 0.05 .. 0.95.
        const int32_t band = std::min(7, y * 8 / size);
        return 0.05 + 0.9 * (band + (x + 0.5) / size) / 8.0;
    };
    const Picture wide = ScenePicture(size, 0.03, 0.97);
    for (const auto& [name, picture] : {std::pair{std::string("response-ramp"), ramps}, {"response-scene", wide}}) {
        std::vector<float> clean = Render(size, picture), plate = clean;
        for (size_t i = 0; i < plate.size(); ++i)
            plate[i] += static_cast<float>(unit[i] * Response(clean[i], static_cast<int32_t>(i % 3)));
        write(name, plate);
        write(name + "-clean", clean);
    }
    write("target-ramp", Render(size, ramps));
    // Film over the ramps: its strength follows the density by physics, not by a formula.
    emulsion.seed = 31;
    write("film-ramp", filmgrain::Expose(size, size, ramps, emulsion));
    write("film-ramp-clean", Render(size, [&](int32_t x, int32_t y, int32_t c) {
              const double own = 1.0 - 2.0 * emulsion.crosstalk;
              return own * ramps(x, y, c) + emulsion.crosstalk * (ramps(x, y, (c + 1) % 3) + ramps(x, y, (c + 2) % 3));
          }));
    return ok ? 0 : 3;
}
