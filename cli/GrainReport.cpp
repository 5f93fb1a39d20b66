#include "cli/GrainReport.h"

#include "cli/EngineContext.h"
#include "cli/Figures.h"
#include "cli/Footage.h"
#include "cli/FrameList.h"
#include "cli/ImageIO.h"
#include "cli/ModuleSession.h"
#include "cli/ParamSetter.h"
#include "cli/SafeFiles.h"
#include "effect/ParamId.h"
#include "grain/GrainAnalysis.h"
#include "grain/NoiseSampling.h"
#include "grain/ResponseFit.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Pipeline.h"
#include "imagelib/nodes/ImageLib_Alpha.h"
#include "imagelib/nodes/ImageLib_BasicNodes.h"

#include <OpenImageIO/imagebufalgo.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::ordered_json;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

const char* const kChannelNames[] = {"red", "green", "blue"};
std::string ChannelName(size_t c, int32_t channels) { return channels == 1 ? "grey" : kChannelNames[c]; }

std::string Fixed(double value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

// A report folder is made beside its final place and renamed over it when
// complete; an earlier report there is replaced, anything else is left alone.
class ReportFolder {
public:
    explicit ReportFolder(const std::string& path) : final_(path) {
        std::error_code error;
        if (fs::exists(final_, error) && !fs::is_empty(final_, error) && !fs::exists(final_ / "report.json", error)) {
            throw CliError(ExitCode::InputOutput,
                           "the report folder " + Quoted(path) + " holds other files; give a new or empty folder");
        }
        const fs::path parent = final_.parent_path().empty() ? fs::path(".") : final_.parent_path();
        if (!fs::is_directory(parent, error)) {
            throw CliError(ExitCode::InputOutput, "cannot write the report " + Quoted(path) + ": the folder " +
                                                      Quoted(parent.string()) + " does not exist");
        }
        temporary_ = parent / ("." + final_.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
        fs::remove_all(temporary_, error);
        fs::create_directory(temporary_, error);
        if (error)
            throw CliError(ExitCode::InputOutput, "cannot write the report " + Quoted(path) + ": " + error.message());
    }
    ~ReportFolder() {
        std::error_code ignored;
        if (!done_) fs::remove_all(temporary_, ignored);
    }
    std::string File(const std::string& name) const { return (temporary_ / name).string(); }
    void Commit() {
        std::error_code error;
        if (fs::exists(final_, error)) fs::remove_all(final_, error);
        fs::rename(temporary_, final_, error);
        if (error)
            throw CliError(ExitCode::InputOutput,
                           "cannot write the report " + Quoted(final_.string()) + ": " + error.message());
        done_ = true;
    }

private:
    fs::path final_;
    fs::path temporary_;
    bool done_ = false;
};

// Colour channels of a host image, 0..1 as the engine reads them.
FloatPicture PictureOf(const HostImage& image) {
    FloatPicture picture;
    picture.width = image.width;
    picture.height = image.height;
    picture.channels = 3;
    picture.samples.reserve(static_cast<size_t>(image.width) * image.height * 3);
    const float full = (image.flags & kHostImageDeep) ? 32768.0f : 255.0f;
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            const HostPixelValue p = HostReadPixel(image, x, y);
            picture.samples.insert(picture.samples.end(), {p.red / full, p.green / full, p.blue / full});
        }
    return picture;
}

OIIO::ImageBuf BufferOf(const FloatPicture& picture) {
    OIIO::ImageBuf image(OIIO::ImageSpec(picture.width, picture.height, 3, OIIO::TypeDesc::FLOAT));
    std::vector<float> rgb(static_cast<size_t>(picture.width) * picture.height * 3);
    for (size_t p = 0; p < static_cast<size_t>(picture.width) * picture.height; ++p)
        for (size_t c = 0; c < 3; ++c)
            rgb[p * 3 + c] = picture.samples[p * static_cast<size_t>(picture.channels) +
                                             std::min<size_t>(c, static_cast<size_t>(picture.channels) - 1)];
    image.set_pixels(OIIO::ROI(0, picture.width, 0, picture.height, 0, 1, 0, 3), OIIO::TypeDesc::FLOAT, rgb.data());
    return image;
}

// The frame of the plate a report measures: the one asked for, or the first there is.
int32_t PlateFrame(const Footage& footage, const AnalyseSettings& settings) {
    if (!footage.HasFrames()) return 0;
    if (!settings.frames.empty()) {
        const int32_t frame = ParseFrameList(settings.frames).front();
        const std::string missing = footage.DescribeMissing({frame});
        if (!missing.empty()) throw CliError(ExitCode::InputOutput, missing);
        return frame;
    }
    const std::vector<int32_t> onDisk = footage.FramesOnDisk();
    if (onDisk.empty()) throw CliError(ExitCode::InputOutput, "no files match " + Quoted(settings.noiseSource));
    return onDisk.front();
}

// What the engine made of the plate.
struct EngineMeasurement {
    std::vector<SampleRect> samples;
    SampleSelectionCounts counts;
    bool automatic = true;
    std::vector<std::vector<float>> kernels; // per channel, row-major, kernelSide x kernelSide
    int32_t kernelWidth = 0, kernelHeight = 0;
    std::vector<std::vector<double>> transform; // rows feed output channels
    ResponseLevels levels;                      // the grain's strength by level on the flat windows
    std::array<ResponseCurve, 3> curves;        // fitted to it, as "Fit Response to Source" would
};

EngineMeasurement MeasureWithEngine(const HostImage& plate, HostParamStore& params) {
    const auto integer = [&](ParamId id) { return params.ById(static_cast<int32_t>(id)).Integer(); };
    const int32_t count = integer(ParamId::NumberOfSamples), size = integer(ParamId::SampleSize);
    EngineMeasurement result;
    EngineCallbacks callbacks;
    ImageLib_Context context(&callbacks);
    const bool deep = (plate.flags & kHostImageDeep) != 0;
    ImageLib_ImageBuffer layer(deep ? ImageLib_HostFormat16() : ImageLib_HostFormat8(),
                               {0, 0, plate.width, plate.height, false});
    {
        ImageLib_MappedRegion rows(layer, layer.bounds, ImageLib_AccessMode::Write);
        int32_t y = 0;
        for (const ImageLib_RowIterator& row : rows.rows()) {
            std::memcpy(row.rowBegin, plate.pixels + static_cast<ptrdiff_t>(y++) * plate.rowBytes, row.rowBytes);
        }
    }
    SampleSet samples;
    const bool refined = params.ById(static_cast<int32_t>(ParamId::Estimator)).Popup() == kEstimatorRefined;
    result.automatic = params.ById(static_cast<int32_t>(ParamId::SampleSelection)).Popup() != kSelectManual;
    if (result.automatic) {
        // As a render samples its noise source: colour multiplied by alpha.
        ImageLib_NodePipeline source;
        ImageLib_ComputeNode* image = source.Own(ImageLib_BasicNodes::CreateImageNode(&layer));
        source.SetOutputNode(source.Own(ImageLib_Alpha::CreateMultiplyAlphaNode(image, true)));
        const SampleSelection selection{count, size, size, ImageLib_Alpha::FormatWithAlphaRemoved(layer.format)};
        if (refined)
            SelectSamplesRefined(selection, source, samples, &result.counts);
        else
            SelectSamplesAutomatically(selection, source, samples, &result.counts);
    } else {
        for (int32_t i = 0; i < std::clamp(count, 0, kSamplePointCount); ++i) {
            const HostPointValue& p = params.ById(static_cast<int32_t>(NoiseSamplePoint(i))).Record().u.point;
            samples.push_back(ManualSample(p.x >> 16, p.y >> 16, size, plate.width, plate.height));
        }
        result.counts.chosen = static_cast<int32_t>(samples.size());
    }
    GrainModel model;
    AnalyseGrainLayer(layer, samples, model, GrainEstimation{refined});
    {
        ImageLib_NodePipeline colour;
        ImageLib_ComputeNode* image = colour.Own(ImageLib_BasicNodes::CreateImageNode(&layer));
        colour.SetOutputNode(colour.Own(ImageLib_Alpha::CreateDropAlphaNode(image, true)));
        FitLayerResponse(colour, ImageLib_Alpha::FormatWithAlphaRemoved(layer.format), samples, result.levels,
                         result.curves);
    }
    result.samples.assign(samples.begin(), samples.end());
    for (const ImageLib_Kernel& kernel : model.kernels)
        result.kernels.emplace_back(kernel.values.begin(), kernel.values.end());
    if (!model.kernels.empty())
        result.kernelWidth = static_cast<int32_t>(model.kernels[0].width),
        result.kernelHeight = static_cast<int32_t>(model.kernels[0].height);
    const ImageLib_Matrix& m = model.colourTransform;
    for (uint32_t r = 0; r < m.rows; ++r) {
        std::vector<double> row;
        for (uint32_t c = 0; c < m.columns; ++c) row.push_back(m.values[static_cast<size_t>(c) * m.rows + r]);
        result.transform.push_back(row);
    }
    return result;
}

// The module's own picture of the samples: the Noise Samples view of the plate.
OIIO::ImageBuf SamplesView(HostRuntime& host, const LoadedImage& plate) {
    host.BindInputLayer(HostLayer::Still(plate.pixels.Clone()));
    host.Params()
        .ById(static_cast<int32_t>(ParamId::NoiseSourceLayer))
        .BindLayer(HostLayer::Still(plate.pixels.Clone()));
    host.Params().ById(static_cast<int32_t>(ParamId::ViewingMode)).SetPopup(kViewNoiseSamples);
    if (const int32_t code = host.FrameSetup()) {
        throw CliError(ExitCode::RenderFailed, "frame setup failed: " + DescribeModuleFailure(host, code));
    }
    if (const int32_t code = host.Render()) {
        throw CliError(ExitCode::RenderFailed, "the Noise Samples view failed: " + DescribeModuleFailure(host, code));
    }
    return BufferOf(PictureOf(host.Output().Image()));
}

std::vector<double> Frequencies(size_t bins, int32_t side) {
    std::vector<double> f;
    for (size_t b = 0; b < bins; ++b) f.push_back(static_cast<double>(b) / side);
    return f;
}

ordered_json ToJson(const std::vector<double>& values) {
    ordered_json array = ordered_json::array();
    for (double v : values) array.push_back(std::isfinite(v) ? v : 0.0);
    return array;
}

void WriteHtml(const std::string& path, const ordered_json& report, const std::string& plate) {
    std::string rows;
    const ordered_json& model = report["model"];
    for (size_t c = 0; c < model["sigma"].size(); ++c) {
        rows += "<tr><td>" + model["channels"][c].get<std::string>() + "</td><td>" +
                Fixed(model["sigma"][c].get<double>(), 5) + "</td><td>" +
                Fixed(model["half_energy_frequency"][c].get<double>(), 4) + "</td></tr>\n";
    }
    const ordered_json& counts = report["selection"]["counts"];
    std::string html = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Grain report</title>
<style>body{font-family:sans-serif;max-width:1100px;margin:2em auto;color:#222}img{max-width:100%;border:1px solid #ccc}
table{border-collapse:collapse}td,th{padding:.2em .8em;border-bottom:1px solid #ddd;text-align:left}</style></head><body>
<h1>Grain report</h1>
<p>Plate: <code>)" + plate +
                       R"(</code>, measured with the grain engine exactly as a render measures its noise source
()" + report["selection"]["mode"].get<std::string>() +
                       " selection of " + std::to_string(report["selection"]["samples"].size()) + " samples of " +
                       std::to_string(report["selection"]["sample_size"].get<int>()) +
                       R"( pixels). All values are on the 0 to 1 scale of the picture.</p>
<h2>Where the grain was measured</h2>
<p>The module's Noise Samples view: each box is one sample patch.</p><img src="samples.png" alt="samples">
<table><tr><th>candidates</th><th>rejected as clipped</th><th>rejected as textured</th><th>rejected by brightness</th><th>chosen</th></tr>
<tr><td>)" + std::to_string(counts["candidates"].get<int>()) +
                       "</td><td>" + std::to_string(counts["clipped"].get<int>()) + "</td><td>" +
                       std::to_string(counts["textured"].get<int>()) + "</td><td>" +
                       std::to_string(counts["brightness"].get<int>()) + "</td><td>" +
                       std::to_string(counts["chosen"].get<int>()) + R"(</td></tr></table>
<h2>Strength and colour</h2>
<p>σ is the grain's standard deviation per channel; the correlation matrix says how much the channels' grain moves together (1: the same grain, 0: independent).</p>
<table><tr><th>channel</th><th>σ</th><th>half-energy frequency (cycles/pixel)</th></tr>
)" + rows + R"(</table><img src="sigma_correlation.png" alt="sigma and correlation">
<h2>Coarseness: the power spectrum</h2>
<p>How the grain's energy spreads over spatial frequency, averaged over rings of equal frequency. Solid: measured on the samples; dashed: the model's kernels, which synthesis reproduces. Coarse grain holds its energy at low frequencies; the half-energy frequency is where half of it lies below.</p>
<img src="spectrum.png" alt="spectrum">
<h2>The kernels</h2><p>Each channel's spatial kernel (grey is 0, white positive, black negative), enlarged.</p><img src="kernels.png" alt="kernels">
<h2>Grain by brightness</h2><p>σ over the plate's flat windows, by brightness level (solid), and the response curve fitted to it times the model's σ (dashed): what "Fit Response to Source" lays at each level of the target.</p><img src="sigma_by_level.png" alt="sigma by level">
<p>Numbers: <a href="report.json">report.json</a>.</p></body></html>
)";
    WriteTextFile(path, html);
}

} // namespace

void WriteTextFile(const std::string& path, const std::string& text) {
    WriteFileAtomically(path, text.data(), text.size());
}

ExitCode RunAnalyse(const AnalyseSettings& settings) {
    if (settings.noiseSource.empty()) throw CliError(ExitCode::Usage, "analyse needs --noise-source");
    ModuleSession session(settings.module);
    HostRuntime& host = session.Host();
    {
        ParamSetter setter(host.Params());
        ApplyParamOptions(host.Params(), setter, settings.params);
        const Footage footage(settings.noiseSource);
        const int32_t frame = PlateFrame(footage, settings);
        const std::string file = footage.FileFor(frame);
        // The plate as a render's module would see it: in the working space.
        const Plate read = footage.Read(frame);
        LoadedImage plate;
        plate.pixels = ToHostImage(read, read.DisplayWindow(),
                                   PlateToWorking(ColourConfig::Current(), settings.colour, read, file));
        plate.hasAlpha = read.alpha >= 0;
        ReportFolder folder(settings.report);

        const EngineMeasurement engine = MeasureWithEngine(plate.pixels.Image(), host.Params());
        SaveFigure(SamplesView(host, plate), folder.File("samples.png"));
        const FloatPicture picture = PictureOf(plate.pixels.Image());
        const int32_t channels = static_cast<int32_t>(engine.kernels.size());

        // Spectra of the sample patches (each channel's mean removed, as the engine drops it) and of the kernels.
        const int32_t side = engine.kernelWidth;
        std::vector<std::vector<double>> sampleSpectra, modelSpectra;
        std::vector<double> sigma, halfEnergy;
        for (int32_t c = 0; c < channels; ++c) {
            std::vector<std::vector<float>> patches;
            for (const SampleRect& rect : engine.samples) {
                if (rect.x0 + side > picture.width || rect.y0 + side > picture.height) continue;
                std::vector<float> patch;
                double mean = 0.0;
                for (int32_t y = 0; y < side; ++y)
                    for (int32_t x = 0; x < side; ++x) patch.push_back(picture.At(rect.x0 + x, rect.y0 + y, c));
                for (float v : patch) mean += v;
                mean /= static_cast<double>(patch.size());
                for (float& v : patch) v = static_cast<float>(v - mean);
                patches.push_back(std::move(patch));
            }
            sampleSpectra.push_back(RadialSpectrum(patches, side));
            std::vector<double> model = engine.kernelWidth == engine.kernelHeight && side > 1
                                            ? RadialSpectrum({engine.kernels[static_cast<size_t>(c)]}, side)
                                            : std::vector<double>{};
            for (double& v : model) v *= static_cast<double>(side) * side;
            modelSpectra.push_back(model);
            double squares = 0.0;
            for (float v : engine.kernels[static_cast<size_t>(c)]) squares += static_cast<double>(v) * v;
            sigma.push_back(std::sqrt(squares));
            const double half = HalfEnergyFrequencyOf(model, side);
            halfEnergy.push_back(half);
        }
        std::vector<std::vector<double>> correlation(static_cast<size_t>(channels),
                                                     std::vector<double>(static_cast<size_t>(channels)));
        for (size_t i = 0; i < static_cast<size_t>(channels); ++i)
            for (size_t j = 0; j < static_cast<size_t>(channels); ++j) {
                double dot = 0.0;
                for (size_t k = 0; k < engine.transform[i].size(); ++k)
                    dot += engine.transform[i][k] * engine.transform[j][k];
                correlation[i][j] = dot;
            }

        // Figures.
        {
            std::vector<std::vector<std::string>> table{{"", "sigma"}};
            for (int32_t c = 0; c < channels; ++c) table[0].push_back(ChannelName(static_cast<size_t>(c), channels));
            for (size_t i = 0; i < static_cast<size_t>(channels); ++i) {
                std::vector<std::string> row{ChannelName(i, channels), Fixed(sigma[i], 5)};
                for (size_t j = 0; j < static_cast<size_t>(channels); ++j) row.push_back(Fixed(correlation[i][j], 3));
                table.push_back(row);
            }
            SaveTable(table, "Grain sigma per channel (0..1 scale) and correlation between channels",
                      folder.File("sigma_correlation.png"));
        }
        LineChart spectrum(900, 460, "Radially averaged power spectrum", "spatial frequency (cycles per pixel)",
                           "power (variance per unit frequency area)", true);
        for (int32_t c = 0; c < channels; ++c) {
            const size_t bins = sampleSpectra[static_cast<size_t>(c)].size();
            std::vector<double> f = Frequencies(bins, side), s = sampleSpectra[static_cast<size_t>(c)],
                                m = modelSpectra[static_cast<size_t>(c)];
            f.erase(f.begin()), s.erase(s.begin());
            if (!m.empty()) m.erase(m.begin());
            spectrum.Add(f, s, ChannelColour(c, channels), false,
                         ChannelName(static_cast<size_t>(c), channels) + " samples");
            spectrum.Add(f, m, ChannelColour(c, channels), true,
                         ChannelName(static_cast<size_t>(c), channels) + " model");
        }
        spectrum.Save(folder.File("spectrum.png"));
        {
            std::vector<FigurePanel> panels;
            const int32_t scale = std::max(1, 192 / std::max(1, side));
            for (int32_t c = 0; c < channels; ++c) {
                const std::vector<float>& k = engine.kernels[static_cast<size_t>(c)];
                float peak = 0.0f;
                for (float v : k) peak = std::max(peak, std::fabs(v));
                OIIO::ImageBuf image(
                    OIIO::ImageSpec(engine.kernelWidth * scale, engine.kernelHeight * scale, 3, OIIO::TypeDesc::FLOAT));
                for (int32_t y = 0; y < engine.kernelHeight * scale; ++y)
                    for (int32_t x = 0; x < engine.kernelWidth * scale; ++x) {
                        const float v = k[static_cast<size_t>(y / scale) * engine.kernelWidth + x / scale];
                        const float g = peak > 0.0f ? 0.5f + 0.5f * v / peak : 0.5f;
                        const float rgb[3] = {g, g, g};
                        image.setpixel(x, y, rgb);
                    }
                panels.push_back({std::move(image),
                                  ChannelName(static_cast<size_t>(c), channels) + " kernel, peak " + Fixed(peak, 4)});
            }
            SavePanels(panels,
                       "Grain kernels (" + std::to_string(engine.kernelWidth) + " x " +
                           std::to_string(engine.kernelHeight) + " taps)",
                       folder.File("kernels.png"));
        }
        ordered_json flat = nullptr;
        try {
            const GrainStatistics stats = MeasureGrain(picture, nullptr);
            flat = {{"tiles", stats.tiles}, {"tiles_total", stats.tilesTotal}, {"sigma", ToJson(stats.sigma)}};
            ordered_json perLevel = ordered_json::array();
            for (int32_t c = 0; c < stats.channels; ++c)
                perLevel.push_back(ToJson(std::vector<double>(stats.sigmaByLevel[static_cast<size_t>(c)].begin(),
                                                              stats.sigmaByLevel[static_cast<size_t>(c)].end())));
            flat["sigma_by_level"] = perLevel;
            flat["tiles_by_level"] = stats.tilesByLevel;
        } catch (const CliError&) {
            flat = {{"tiles", 0}, {"note", "the plate has no flat area to measure by level"}};
        }
        // The engine's own measurement by level (solid, levels with enough flat windows) and the
        // fitted response times the model's strength (dashed): what "Fit Response to Source" lays.
        LineChart byLevel(900, 420, "Grain sigma by brightness: measured (solid) and fitted response (dashed)",
                          "brightness level (0 black to 1 white)", "sigma (0..1 scale)", false);
        ordered_json response = ordered_json::array();
        for (int32_t c = 0; c < channels && c < 3; ++c) {
            const size_t ch = static_cast<size_t>(c);
            std::vector<double> x, y, fx, fy, windows, sigmas;
            for (int32_t l = 0; l < kResponseLevels; ++l) {
                windows.push_back(engine.levels.windows[ch][static_cast<size_t>(l)]);
                sigmas.push_back(engine.levels.sigma[ch][static_cast<size_t>(l)]);
                if (engine.levels.windows[ch][static_cast<size_t>(l)] >= kLeastResponseWindows)
                    x.push_back(engine.levels.level[ch][static_cast<size_t>(l)]),
                        y.push_back(engine.levels.sigma[ch][static_cast<size_t>(l)]);
            }
            const ResponseCurve& curve = engine.curves[ch];
            for (int32_t i = 0; i <= 50; ++i) {
                fx.push_back(i / 50.0);
                fy.push_back(sigma[ch] * curve.At(static_cast<float>(i / 50.0)));
            }
            const std::string name = ChannelName(ch, channels);
            byLevel.Add(x, y, ChannelColour(c, channels), false, name + " measured");
            byLevel.Add(fx, fy, ChannelColour(c, channels), true, name + " fitted");
            response.push_back({{"channel", name},
                                {"windows_by_level", ToJson(windows)},
                                {"sigma_by_level", ToJson(sigmas)},
                                {"curve",
                                 {{"shadows", curve.shadows},
                                  {"midtones", curve.midtones},
                                  {"highlights", curve.highlights},
                                  {"midpoint", curve.midpoint}}}});
        }
        byLevel.Save(folder.File("sigma_by_level.png"));

        ordered_json report;
        report["plate"] = file;
        report["width"] = plate.pixels.Width();
        report["height"] = plate.pixels.Height();
        ordered_json samples = ordered_json::array();
        for (const SampleRect& r : engine.samples)
            samples.push_back({{"x0", r.x0}, {"y0", r.y0}, {"x1", r.x1}, {"y1", r.y1}});
        report["response"] = response;
        report["selection"] = {{"mode", engine.automatic ? "automatic" : "manual"},
                               {"sample_size", host.Params().ById(static_cast<int32_t>(ParamId::SampleSize)).Integer()},
                               {"samples", samples},
                               {"counts",
                                {{"candidates", engine.counts.candidates},
                                 {"clipped", engine.counts.clipped},
                                 {"textured", engine.counts.textured},
                                 {"brightness", engine.counts.brightness},
                                 {"chosen", engine.counts.chosen}}}};
        ordered_json names = ordered_json::array(), corr = ordered_json::array(), sampleJson = ordered_json::array(),
                     modelJson = ordered_json::array();
        for (int32_t c = 0; c < channels; ++c) {
            names.push_back(ChannelName(static_cast<size_t>(c), channels));
            corr.push_back(ToJson(correlation[static_cast<size_t>(c)]));
            sampleJson.push_back(ToJson(sampleSpectra[static_cast<size_t>(c)]));
            modelJson.push_back(ToJson(modelSpectra[static_cast<size_t>(c)]));
        }
        report["model"] = {{"channels", names},
                           {"sigma", ToJson(sigma)},
                           {"correlation", corr},
                           {"half_energy_frequency", ToJson(halfEnergy)},
                           {"kernel_size", {engine.kernelWidth, engine.kernelHeight}}};
        report["spectrum"] = {
            {"frequency", ToJson(Frequencies(sampleSpectra.empty() ? 0 : sampleSpectra[0].size(), side))},
            {"samples", sampleJson},
            {"model", modelJson}};
        report["flat_area"] = flat;
        report["figures"] = {"samples.png", "sigma_correlation.png", "spectrum.png", "kernels.png",
                             "sigma_by_level.png"};
        WriteTextFile(folder.File("report.json"), report.dump(2) + "\n");
        WriteHtml(folder.File("index.html"), report, file);
        folder.Commit();
        if (!settings.quiet)
            std::printf("wrote %s/index.html: the grain of %s\n", settings.report.c_str(), file.c_str());
    }
    session.Finish();
    return ExitCode::Ok;
}

namespace {

ordered_json StatsJson(const GrainStatistics& s) {
    ordered_json corr = ordered_json::array(), spectrum = ordered_json::array(), levels = ordered_json::array();
    for (int32_t c = 0; c < s.channels; ++c) {
        corr.push_back(ToJson(s.correlation[static_cast<size_t>(c)]));
        spectrum.push_back(ToJson(s.spectrum[static_cast<size_t>(c)]));
        levels.push_back(ToJson(std::vector<double>(s.sigmaByLevel[static_cast<size_t>(c)].begin(),
                                                    s.sigmaByLevel[static_cast<size_t>(c)].end())));
    }
    return {{"tiles", s.tiles},
            {"tiles_total", s.tilesTotal},
            {"sigma", ToJson(s.sigma)},
            {"correlation", corr},
            {"half_energy_frequency", ToJson(s.halfEnergyFrequency)},
            {"spectrum", spectrum},
            {"sigma_by_level", levels},
            {"tiles_by_level", s.tilesByLevel}};
}

GrainStatistics Measure(const std::string& path, const std::string& cleanPath, int32_t tile, const char* role) {
    const FloatPicture picture = ReadFloatPicture(path);
    std::optional<FloatPicture> clean;
    if (!cleanPath.empty()) {
        clean = ReadFloatPicture(cleanPath);
        if (clean->width != picture.width || clean->height != picture.height || clean->channels != picture.channels) {
            throw CliError(ExitCode::InputOutput, Quoted(cleanPath) + " (" + std::to_string(clean->width) + " x " +
                                                      std::to_string(clean->height) + ") does not match " +
                                                      Quoted(path) + " (" + std::to_string(picture.width) + " x " +
                                                      std::to_string(picture.height) + ")");
        }
    }
    if (picture.width < tile || picture.height < tile) {
        throw CliError(ExitCode::InputOutput, "the " + std::string(role) + " " + Quoted(path) +
                                                  " is smaller than one " + std::to_string(tile) + "-pixel tile");
    }
    try {
        return MeasureGrain(picture, clean ? &*clean : nullptr, tile);
    } catch (const CliError& error) {
        throw CliError(error.Code(), "the " + std::string(role) + " " + Quoted(path) + " has " + error.what());
    }
}

} // namespace

ExitCode RunCompare(const CompareSettings& settings) {
    GrainStatistics source = Measure(settings.source, settings.sourceClean, settings.tile, "source");
    const GrainStatistics render = Measure(settings.render, settings.clean, settings.tile, "render");
    if (source.channels == 1 && render.channels == 3) source = AsColour(source);
    const GrainComparison comparison = CompareGrain(source, render, settings.limits);

    ordered_json channels = ordered_json::array();
    for (size_t c = 0; c < static_cast<size_t>(source.channels); ++c) {
        channels.push_back({{"channel", ChannelName(c, source.channels)},
                            {"sigma_source", source.sigma[c]},
                            {"sigma_render", render.sigma[c]},
                            {"sigma_ratio", comparison.sigmaRatio[c]},
                            {"half_energy_frequency_source", source.halfEnergyFrequency[c]},
                            {"half_energy_frequency_render", render.halfEnergyFrequency[c]},
                            {"frequency_ratio", comparison.frequencyRatio[c]},
                            {"spectrum_error_db", comparison.spectrumErrorDb[c]}});
    }
    const MatchLimits& l = settings.limits;
    ordered_json result = {{"source", settings.source},
                           {"render", settings.render},
                           {"matches", comparison.Matches()},
                           {"channels", channels},
                           {"correlation_difference", comparison.correlationDifference},
                           {"failures", comparison.failures},
                           {"limits",
                            {{"sigma_ratio", {l.sigmaLow, l.sigmaHigh}},
                             {"frequency_ratio", {l.frequencyLow, l.frequencyHigh}},
                             {"correlation", l.correlation},
                             {"spectrum_db", l.spectrumDb}}},
                           {"source_grain", StatsJson(source)},
                           {"render_grain", StatsJson(render)}};
    if (!settings.quiet) {
        std::printf("%-7s %9s %9s %7s %10s %10s %7s %9s\n", "channel", "sigma src", "sigma out", "ratio", "f50 src",
                    "f50 out", "ratio", "spectrum");
        for (size_t c = 0; c < static_cast<size_t>(source.channels); ++c) {
            std::printf("%-7s %9.5f %9.5f %7.3f %10.4f %10.4f %7.3f %6.2f dB\n",
                        ChannelName(c, source.channels).c_str(), source.sigma[c], render.sigma[c],
                        comparison.sigmaRatio[c], source.halfEnergyFrequency[c], render.halfEnergyFrequency[c],
                        comparison.frequencyRatio[c], comparison.spectrumErrorDb[c]);
        }
        std::printf("largest correlation difference %.3f; tiles measured: source %d of %d, render %d of %d\n",
                    comparison.correlationDifference, source.tiles, source.tilesTotal, render.tiles, render.tilesTotal);
        std::printf("sigma by level (source / render):");
        for (size_t lvl = 0; lvl < static_cast<size_t>(kBrightnessLevels); ++lvl) {
            if (source.tilesByLevel[lvl] == 0 && render.tilesByLevel[lvl] == 0) continue;
            std::printf(" [%.2f-%.2f]", static_cast<double>(lvl) / kBrightnessLevels, (lvl + 1.0) / kBrightnessLevels);
            for (size_t c = 0; c < static_cast<size_t>(source.channels); ++c)
                std::printf(" %.4f/%.4f", source.sigmaByLevel[c][lvl], render.sigmaByLevel[c][lvl]);
        }
        std::printf("\n%s\n",
                    comparison.Matches() ? "verdict: the grain matches" : "verdict: the grain does not match");
        for (const std::string& failure : comparison.failures) std::printf("  %s\n", failure.c_str());
    }
    if (!settings.json.empty()) WriteTextFile(settings.json, result.dump(2) + "\n");
    if (!settings.report.empty()) {
        ReportFolder folder(settings.report);
        LineChart spectrum(900, 460, "Radially averaged power spectrum: source (solid) and render (dashed)",
                           "spatial frequency (cycles per pixel)", "power (variance per unit frequency area)", true);
        LineChart levels(900, 420, "Grain sigma by brightness: source (solid) and render (dashed)",
                         "brightness level (0 black to 1 white)", "sigma (0..1 scale)", false);
        for (int32_t c = 0; c < source.channels; ++c) {
            const std::string name = ChannelName(static_cast<size_t>(c), source.channels);
            for (const GrainStatistics* stats : {static_cast<const GrainStatistics*>(&source), &render}) {
                std::vector<double> f = Frequencies(stats->spectrum[static_cast<size_t>(c)].size(), stats->tileSize),
                                    s = stats->spectrum[static_cast<size_t>(c)];
                f.erase(f.begin()), s.erase(s.begin());
                spectrum.Add(f, s, ChannelColour(c, source.channels), stats == &render,
                             name + (stats == &render ? " render" : " source"));
                std::vector<double> x, y;
                for (size_t lvl = 0; lvl < static_cast<size_t>(kBrightnessLevels); ++lvl)
                    if (stats->tilesByLevel[lvl] > 0)
                        x.push_back((lvl + 0.5) / kBrightnessLevels),
                            y.push_back(stats->sigmaByLevel[static_cast<size_t>(c)][lvl]);
                levels.Add(x, y, ChannelColour(c, source.channels), stats == &render,
                           name + (stats == &render ? " render" : " source"));
            }
        }
        spectrum.Save(folder.File("spectrum.png"));
        levels.Save(folder.File("sigma_by_level.png"));
        WriteTextFile(folder.File("report.json"), result.dump(2) + "\n");
        std::string html =
            "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Grain comparison</title></head>"
            "<body style=\"font-family:sans-serif;max-width:1000px;margin:2em auto\"><h1>Grain "
            "comparison</h1><p>Source <code>" +
            settings.source + "</code>, render <code>" + settings.render + "</code>: <b>" +
            (comparison.Matches() ? "the grain matches" : "the grain does not match") + "</b>.</p><ul>";
        for (const std::string& failure : comparison.failures) html += "<li>" + failure + "</li>";
        html +=
            "</ul><img src=\"spectrum.png\" alt=\"spectrum\"><img src=\"sigma_by_level.png\" alt=\"sigma by level\">"
            "<p>Numbers: <a href=\"report.json\">report.json</a>.</p></body></html>\n";
        WriteTextFile(folder.File("index.html"), html);
        folder.Commit();
    }
    return comparison.Matches() ? ExitCode::Ok : ExitCode::VerifyFailed;
}
