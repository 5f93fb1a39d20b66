#include "cli/FrameColour.h"

#include "host/HostImageBuffer.h"

#include <cmath>
#include <cstring>

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The input as three colour channels and, when it has one, alpha: a grey
// file's grey becomes all three, as the module saw it.
Plate ColourOnly(const Plate& input) {
    Plate out;
    const bool alpha = input.alpha >= 0;
    out.spec = input.spec;
    out.spec.nchannels = alpha ? 4 : 3;
    out.spec.channelnames =
        alpha ? std::vector<std::string>{"R", "G", "B", "A"} : std::vector<std::string>{"R", "G", "B"};
    out.spec.channelformats.clear();
    out.spec.alpha_channel = alpha ? 3 : -1;
    out.spec.z_channel = -1;
    out.format = input.format;
    out.colour = {0, 1, 2};
    out.alpha = alpha ? 3 : -1;
    out.premultiplied = input.premultiplied;
    out.samples.resize(static_cast<size_t>(input.spec.width) * static_cast<size_t>(input.spec.height) *
                       static_cast<size_t>(out.spec.nchannels));
    for (int32_t y = 0; y < input.spec.height; ++y)
        for (int32_t x = 0; x < input.spec.width; ++x) {
            const float* from = input.At(x, y);
            float* to = out.At(x, y);
            for (size_t c = 0; c < 3; ++c) to[c] = from[input.colour[c]];
            if (alpha) to[3] = from[input.alpha];
        }
    return out;
}

// One row of a host image as alpha, red, green, blue values in its own scale.
void ReadRow(const HostImage& image, int32_t y, std::vector<uint16_t>& argb) {
    argb.resize(static_cast<size_t>(image.width) * 4);
    const uint8_t* row = image.pixels + static_cast<ptrdiff_t>(y) * image.rowBytes;
    if (HostIsDeep(image)) {
        std::memcpy(argb.data(), row, argb.size() * sizeof(uint16_t));
    } else {
        for (size_t i = 0; i < argb.size(); ++i) argb[i] = row[i];
    }
}

} // namespace

ColourPlan PlanColour(const ColourConfig& config, const ColourOptions& options, const Plate& first,
                      const std::string& inputPath, const std::string& outputPath, SampleDepth depth) {
    ColourPlan plan;
    plan.input = options.input.empty() ? config.SpaceOfFile(first.spec, inputPath)
                                       : config.Resolve(options.input, "--colorspace-in");
    const bool linear = config.IsSceneLinear(plan.input);
    if (!options.working.empty()) {
        plan.working = config.Resolve(options.working, "--working-space");
    } else {
        plan.working =
            linear ? config.LogWorkingSpace("the input " + Quoted(inputPath) + " is scene-linear") : plan.input;
    }
    if (!options.output.empty()) {
        plan.output = config.Resolve(options.output, "--colorspace-out");
    } else if (linear && WritesIntegers(outputPath, depth, first.spec.format.basesize() > 1)) {
        // Integer files clip at 1 and band in the blacks: linear light does not belong in them.
        plan.output = config.DisplaySpace("the output " + Quoted(outputPath) + " holds integers");
    } else {
        plan.output = plan.input;
    }
    plan.toWorking = config.Conversion(plan.input, plan.working);
    plan.fromWorking = config.Conversion(plan.working, plan.input);
    plan.toOutput = config.Conversion(plan.input, plan.output);
    plan.outputTag = config.FileTag(plan.output);
    return plan;
}

ColourConversion NoiseToWorking(const ColourConfig& config, const ColourOptions& options, const ColourPlan& plan,
                                const Plate& noise, const std::string& path) {
    std::string space;
    if (!options.noiseSource.empty()) {
        space = config.Resolve(options.noiseSource, "--noise-colorspace");
    } else if (!options.input.empty()) {
        space = plan.input;
    } else {
        space = config.SpaceOfFile(noise.spec, path);
    }
    return config.Conversion(space, plan.working);
}

ColourConversion PlateToWorking(const ColourConfig& config, const ColourOptions& options, const Plate& plate,
                                const std::string& path) {
    const std::string& named = options.noiseSource.empty() ? options.input : options.noiseSource;
    const std::string space =
        named.empty() ? config.SpaceOfFile(plate.spec, path)
                      : config.Resolve(named, options.noiseSource.empty() ? "--colorspace-in" : "--noise-colorspace");
    std::string working = space;
    if (!options.working.empty()) {
        working = config.Resolve(options.working, "--working-space");
    } else if (config.IsSceneLinear(space)) {
        working = config.LogWorkingSpace("the plate " + Quoted(path) + " is scene-linear");
    }
    return config.Conversion(space, working);
}

Plate ApplyModuleResult(Plate input, const HostImage& before, const HostImage& after,
                        const ColourConversion& fromWorking) {
    Plate out = input.Channels() >= 3 ? std::move(input) : ColourOnly(input);
    const int32_t width = out.spec.width, height = out.spec.height;
    const float scale = 1.0f / static_cast<float>(HostMaxValue(before));
    // Row by row, the pixels the module changed, decoded before and after in one batch each.
    std::vector<int32_t> changed;
    std::vector<float> was, is;
    std::vector<uint16_t> a, b;
    for (int32_t y = 0; y < height; ++y) {
        ReadRow(before, y, a);
        ReadRow(after, y, b);
        changed.clear(), was.clear(), is.clear();
        for (int32_t x = 0; x < width; ++x) {
            const size_t at = static_cast<size_t>(x) * 4;
            if (a[at + 1] == b[at + 1] && a[at + 2] == b[at + 2] && a[at + 3] == b[at + 3]) continue;
            changed.push_back(x);
            for (size_t c = 1; c < 4; ++c) {
                was.push_back(static_cast<float>(a[at + c]) * scale);
                is.push_back(static_cast<float>(b[at + c]) * scale);
            }
        }
        fromWorking.Apply(was.data(), changed.size());
        fromWorking.Apply(is.data(), changed.size());
        for (size_t i = 0; i < changed.size(); ++i) {
            float* pixel = out.At(changed[i], y);
            const float alpha = out.alpha >= 0 && out.premultiplied ? pixel[out.alpha] : 1.0f;
            for (size_t c = 0; c < 3; ++c) {
                float& value = pixel[out.colour[c]];
                // What the module could not see, it cannot have changed: NaN and infinities stay.
                if (!std::isfinite(value)) continue;
                value += alpha * (is[i * 3 + c] - was[i * 3 + c]);
            }
        }
    }
    return out;
}

Plate PlateFromModule(const HostImage& image, const Plate& input, bool alpha, const ColourConversion& fromWorking) {
    Plate out;
    out.spec = OIIO::ImageSpec(image.width, image.height, alpha ? 4 : 3, input.spec.format);
    out.spec.extra_attribs = input.spec.extra_attribs;
    if (image.width == input.spec.width && image.height == input.spec.height) {
        out.spec.x = input.spec.x, out.spec.y = input.spec.y;
        out.spec.full_x = input.spec.full_x, out.spec.full_y = input.spec.full_y;
        out.spec.full_width = input.spec.full_width, out.spec.full_height = input.spec.full_height;
    }
    out.spec.channelnames =
        alpha ? std::vector<std::string>{"R", "G", "B", "A"} : std::vector<std::string>{"R", "G", "B"};
    out.spec.alpha_channel = alpha ? 3 : -1;
    out.format = input.format;
    out.colour = {0, 1, 2};
    out.alpha = alpha ? 3 : -1;
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    const float scale = 1.0f / static_cast<float>(HostMaxValue(image));
    std::vector<float> rgb(pixels * 3), opacity(pixels);
    std::vector<uint16_t> row;
    for (int32_t y = 0; y < image.height; ++y) {
        ReadRow(image, y, row);
        for (int32_t x = 0; x < image.width; ++x) {
            const size_t at = static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x);
            for (size_t c = 0; c < 3; ++c)
                rgb[at * 3 + c] = static_cast<float>(row[static_cast<size_t>(x) * 4 + 1 + c]) * scale;
            opacity[at] = static_cast<float>(row[static_cast<size_t>(x) * 4]) * scale;
        }
    }
    fromWorking.Apply(rgb.data(), pixels);
    out.samples.resize(pixels * (alpha ? 4 : 3));
    for (size_t i = 0; i < pixels; ++i) {
        float* to = out.samples.data() + i * (alpha ? 4 : 3);
        for (size_t c = 0; c < 3; ++c) to[c] = rgb[i * 3 + c];
        if (alpha) to[3] = opacity[i];
    }
    return out;
}

void ConvertColour(Plate& plate, const ColourConversion& conversion) {
    if (conversion.Identity()) return;
    const size_t pixels = static_cast<size_t>(plate.spec.width) * static_cast<size_t>(plate.spec.height);
    std::vector<float> rgb(pixels * 3);
    for (size_t i = 0; i < pixels; ++i) {
        const float* from = plate.samples.data() + i * static_cast<size_t>(plate.Channels());
        const float a = plate.alpha >= 0 && plate.premultiplied ? from[plate.alpha] : 1.0f;
        for (size_t c = 0; c < 3; ++c) {
            const float value = from[plate.colour[c]];
            rgb[i * 3 + c] = a != 0.0f && a != 1.0f ? value / a : value;
        }
    }
    conversion.Apply(rgb.data(), pixels);
    for (size_t i = 0; i < pixels; ++i) {
        float* to = plate.samples.data() + i * static_cast<size_t>(plate.Channels());
        const float a = plate.alpha >= 0 && plate.premultiplied ? to[plate.alpha] : 1.0f;
        for (size_t c = 0; c < 3; ++c)
            to[plate.colour[c]] = a != 0.0f && a != 1.0f ? rgb[i * 3 + c] * a : rgb[i * 3 + c];
    }
}
