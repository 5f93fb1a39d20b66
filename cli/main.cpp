// texturist: renders the Texturist film-grain effect on image files and
// sequences, loading the module and driving it as the compositing host does.
#include "cli/CliError.h"
#include "cli/ColourSpaces.h"
#include "cli/Demo.h"
#include "cli/GrainReport.h"
#include "cli/ModuleSession.h"
#include "cli/ParamList.h"
#include "cli/RenderJob.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <new>

namespace {

constexpr const char* kExitCodes =
    "Exit codes: 0 done; 1 a frame's hash differs from --verify; 2 bad usage, unknown "
    "parameter or value out of range; 3 a file missing, unreadable, unwritable or "
    "not usable, or another render writes the same outputs; 4 the render failed (the module's message and code "
    "are shown), or a warning under --strict; "
    "5 out of memory; 130 cancelled by Ctrl-C or SIGTERM.";

constexpr const char* kSetHelp =
    "Set a parameter: NAME=VALUE, repeatable. NAME is a display name (\"Size\") or, where names repeat, the end "
    "of its group path (\"Preview Region/Width\", \"Noise Sample Points/3\"); the compensation sample points' "
    "group is named \"Intensity\" by the effect, and \"Compensation Sample Points/3\" works too. VALUE: numbers "
    "within the valid range, percentages as 50% or 50 (0.5 is ambiguous: write 0.5% or 50%), popups by entry text "
    "or number, colours as #rrggbb or r,g,b in 0..1, points as x,y in pixels or x%,y% of the input, checkboxes "
    "on/off. `texturist params` lists them all.";

void AddParamOptions(CLI::App& command, ParamOptions& params, std::string& module) {
    command.add_option("--set", params.sets, kSetHelp)->allow_extra_args(false);
    command.add_option("--preset", params.preset, "Load parameters from a preset (JSON) before the --set options");
    command.add_option("--save-preset", params.savePreset, "Write the parameters, after all options, as a preset");
    command.add_option("--view", params.view,
                       "Viewing mode: preview, noise-samples, compensation-samples, matte or final (the default)");
    command.add_option("--module", module, "The Texturist module to load (default: the one built with this program)");
}

void PrintVersion() {
    std::printf("texturist %s\n", TEXTURIST_VERSION);
    try {
        const HostModule module(LocateModule(""));
        HostRuntime host(module);
        if (host.GlobalSetup() == 0) {
            std::printf("module %s, version 0x%08x, %s\n", module.Name().c_str(), host.Out().version,
                        module.Path().c_str());
        }
        host.GlobalSetdown();
    } catch (const std::exception& error) {
        std::printf("module not found: %s\n", error.what());
    }
}

void PrintColourSpaces(const ColourConfig& config) {
    std::printf("Colour spaces of %s:\n", config.Description().c_str());
    for (const ColourConfig::Listed& space : config.List()) {
        std::string roles;
        for (const std::string& role : space.roles) roles += (roles.empty() ? "" : ", ") + role;
        std::printf("  %-28s %-13s%s%s\n", space.name.c_str(), space.encoding.empty() ? "-" : space.encoding.c_str(),
                    roles.empty() ? "" : "roles: ", roles.c_str());
    }
}

int Fail(ExitCode code, const std::string& message) {
    if (code == ExitCode::Cancelled) {
        std::fprintf(stderr, "texturist: %s\n", message.c_str());
    } else {
        std::fprintf(stderr, "texturist: error: %s\n", message.c_str());
    }
    return static_cast<int>(code);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"texturist: matches film grain from a grainy plate onto clean images, through the Texturist "
                 "effect module.",
                 "texturist"};
    app.footer(kExitCodes);
    app.require_subcommand(0, 1);
    bool version = false;
    app.add_flag("--version", version, "Print the versions of texturist and of the module, then exit");

    RenderSettings render;
    CLI::App* renderCommand = app.add_subcommand("render", "Grain images, sequences or movies");
    renderCommand
        ->add_option("--input", render.input,
                     "The clean image, sequence (name.####.exr, name.%04d.png) or movie (.mov, .mp4, .mkv, .mxf)")
        ->required();
    renderCommand->add_option("--noise-source", render.noiseSource,
                              "The grainy plate: an image, a sequence or a movie; \"Source Frame\" picks its frame");
    renderCommand
        ->add_option("--output", render.output,
                     "The output image or sequence (PNG, TIFF, EXR, DPX or JPEG) or movie (.mov, .mxf, .mkv, .mp4)")
        ->required();
    renderCommand->add_option("--mask", render.mask, "The mask layer: an image, a sequence or a movie");
    renderCommand->add_option("--colorspace-in", render.colour.input,
                              "Colour space of the input and noise source files (default: from each file's tags; "
                              "untagged float files are scene-linear, integer ones sRGB)");
    renderCommand->add_option("--noise-colorspace", render.colour.noiseSource,
                              "Colour space of the noise source when it differs from the input's");
    renderCommand->add_option("--working-space", render.colour.working,
                              "The encoding the module works in (default: the input's own space; for scene-linear "
                              "input the config's compositing_log, ACEScct in the built-in config)");
    renderCommand->add_option("--colorspace-out", render.colour.output,
                              "Colour space of the output (default: the input's; sRGB for integer files made from "
                              "scene-linear input)");
    renderCommand->add_option("--frames", render.frames,
                              "Frames to render: 1001-1100, 1001-1100x2, 1,5,10-20; a movie's from 1 (default: all "
                              "of the input)");
    renderCommand->add_option("--chunk", render.chunk,
                              "Render the K-th of N contiguous slices of the frames, as K/N (a render-farm task)");
    renderCommand->add_flag("--skip-existing", render.skipExisting,
                            "Leave frames whose output file exists (written whole, so finished) as they are: a "
                            "requeued farm task goes on where it stopped");
    renderCommand->add_option("--fps", render.fps,
                              "Frame rate of the host's timeline: 24, 23.976, 24000/1001 (default: a movie input's "
                              "own, else 24)");
    renderCommand
        ->add_option("--threads", render.threads, "Threads of the host's iteration service (default: all CPUs)")
        ->check(CLI::Range(1, 1024));
    renderCommand->add_option("--depth", render.depth,
                              "Output samples: 8, 10 (DPX), 16, half or float (default: PNG 8 or 16 as the input, "
                              "TIFF 16, EXR half, DPX 10, JPEG 8; movies the input's as far as the codec holds it)");
    renderCommand->add_option("--codec", render.codec,
                              "Movie codec: prores (422 HQ), prores4444, dnxhr (HQX), ffv1, h264, h265 (default: "
                              ".mov prores, .mxf dnxhr, .mkv ffv1, .mp4 h264)");
    renderCommand->add_option("--crf", render.crf, "H.264 and H.265 quality, 0 (best) to 51 (default 18 and 20)")
        ->check(CLI::Range(0, 51));
    renderCommand->add_option("--bitrate", render.bitrate, "H.264 and H.265 bitrate instead of --crf: 20M, 8000k");
    renderCommand->add_flag("--no-audio", render.noAudio, "Do not copy a movie input's audio to a movie output");
    renderCommand->add_option("--compression", render.compression,
                              "Output compression: EXR none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa, dwab "
                              "(zip:1-9, dwaa:45); TIFF none, lzw, zip; PNG a level 0-9 (default: EXR zip, TIFF none)");
    renderCommand
        ->add_option("--memory-limit", render.memoryLimit,
                     "Memory the module may allocate through the host, as 512M or 2G (the module's own working "
                     "memory; the files read and written take more)")
        ->transform(CLI::AsSizeValue(false));
    renderCommand->add_flag("--print-hash", render.printHash, "Print a 64-bit hash of each written frame's pixels");
    renderCommand->add_option("--verify", render.verify,
                              "Check each frame's hash: one hash, or a file of lines printed by --print-hash");
    renderCommand->add_flag("--quiet", render.quiet, "No progress and no messages but errors");
    renderCommand->add_flag("--strict", render.strict,
                            "Treat warnings (a mask that cannot act, a plate without grain, a setting the effect "
                            "ignores) as errors: exit 4 before anything is written");
    AddParamOptions(*renderCommand, render.params, render.module);

    ParamsSettings params;
    CLI::App* paramsCommand =
        app.add_subcommand("params", "List the parameters: names, types, ranges, defaults, values, disabled ones");
    AddParamOptions(*paramsCommand, params.params, params.module);

    AnalyseSettings analyse;
    CLI::App* analyseCommand = app.add_subcommand(
        "analyse", "Measure a plate's grain as a render would and write a report (report.json, index.html, figures)");
    analyseCommand->add_option("--noise-source", analyse.noiseSource, "The grainy plate: an image or a sequence")
        ->required();
    analyseCommand->add_option("--frames", analyse.frames,
                               "The frame of a plate sequence to measure (default: its first)");
    analyseCommand->add_option("--colorspace-in", analyse.colour.input,
                               "Colour space of the plate (default: from its tags, as render takes it)");
    analyseCommand->add_option("--working-space", analyse.colour.working,
                               "The encoding to measure in (default: as render chooses it for this plate)");
    analyseCommand->add_option("--report", analyse.report, "The folder to write the report into")->required();
    analyseCommand->add_flag("--quiet", analyse.quiet, "Print nothing but errors");
    AddParamOptions(*analyseCommand, analyse.params, analyse.module);

    CompareSettings compare;
    CLI::App* compareCommand = app.add_subcommand(
        "compare", "Measure the grain of a render and of its source plate and judge whether they match (exit 0 "
                   "when they do, 1 when they do not)");
    compareCommand->add_option("--source", compare.source, "The plate whose grain the render should carry")->required();
    compareCommand->add_option("--render", compare.render, "The grained render")->required();
    compareCommand->add_option("--clean", compare.clean, "The render's clean target: grain = render - clean");
    compareCommand->add_option("--source-clean", compare.sourceClean, "The plate without its grain, when known");
    compareCommand->add_option("--json", compare.json, "Write the measurements and the verdict as JSON");
    compareCommand->add_option("--report", compare.report, "Write figures and an index.html into this folder");
    compareCommand->add_option("--tile", compare.tile, "Tile size of the measurement in pixels")
        ->check(CLI::Range(16, 512));
    std::vector<double> sigmaRange, frequencyRange;
    compareCommand->add_option("--sigma-range", sigmaRange, "Accepted sigma ratio, render / source (default 0.9 1.1)")
        ->expected(2);
    compareCommand
        ->add_option("--frequency-range", frequencyRange,
                     "Accepted ratio of the half-energy frequencies (default 0.9 1.1)")
        ->expected(2);
    compareCommand->add_option("--correlation-limit", compare.limits.correlation,
                               "Largest accepted difference of a channel correlation (default 0.1)");
    compareCommand->add_option("--spectrum-limit", compare.limits.spectrumDb,
                               "Largest accepted spectrum shape error in dB (default 1.5)");
    compareCommand->add_flag("--quiet", compare.quiet, "Print nothing but errors");

    CLI::App* colourCommand = app.add_subcommand(
        "colorspaces", "List the colour spaces of the OCIO config in use ($OCIO, or the built-in one)");

    DemoSettings demo;
    CLI::App* demoCommand = app.add_subcommand("demo", "Render the bundled demo into out/");
    demoCommand->add_option("--module", demo.module, "The Texturist module to load");
    demoCommand->add_option("--data", demo.dataFolder, "Folder of the demo files (default: the bundled ones)");
    demoCommand->add_option("--verify", demo.verify, "A file of hashes (from --print-hash) the two pictures must have");
    demoCommand->add_option("--threads", demo.threads, "Threads of the host's iteration service")
        ->check(CLI::Range(1, 1024));
    demoCommand->add_flag("--quiet", demo.quiet, "No progress");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error);
        std::string help = "texturist --help";
        for (const CLI::App* command :
             {renderCommand, paramsCommand, analyseCommand, compareCommand, colourCommand, demoCommand}) {
            if (command->parsed()) help = "texturist " + command->get_name() + " --help";
        }
        std::fprintf(stderr, "texturist: error: %s\nRun %s for more information.\n", error.what(), help.c_str());
        return static_cast<int>(ExitCode::Usage);
    }

    try {
        if (version) {
            PrintVersion();
            return 0;
        }
        if (renderCommand->parsed()) {
            // An empty --frames (a script's unset variable) must not mean "every frame".
            if (renderCommand->count("--frames") > 0 && render.frames.empty()) {
                throw CliError(ExitCode::Usage, "bad frame list \"\": it is empty");
            }
            return static_cast<int>(RunRender(render));
        }
        if (analyseCommand->parsed()) return static_cast<int>(RunAnalyse(analyse));
        if (compareCommand->parsed()) {
            if (sigmaRange.size() == 2)
                compare.limits.sigmaLow = sigmaRange[0], compare.limits.sigmaHigh = sigmaRange[1];
            if (frequencyRange.size() == 2)
                compare.limits.frequencyLow = frequencyRange[0], compare.limits.frequencyHigh = frequencyRange[1];
            return static_cast<int>(RunCompare(compare));
        }
        if (paramsCommand->parsed()) {
            RunParams(params);
            return 0;
        }
        if (demoCommand->parsed()) return static_cast<int>(RunDemo(demo));
        if (colourCommand->parsed()) {
            PrintColourSpaces(ColourConfig::Current());
            return 0;
        }
        std::fprintf(
            stderr,
            "%s\ntexturist: error: no command given: use render, params, analyse, compare, colorspaces or demo\n",
            app.help().c_str());
        return static_cast<int>(ExitCode::Usage);
    } catch (const CliError& error) {
        return Fail(error.Code(), error.what());
    } catch (const std::bad_alloc&) {
        return Fail(ExitCode::OutOfMemory, "out of memory");
    } catch (const std::exception& error) {
        return Fail(ExitCode::RenderFailed, std::string("internal error: ") + error.what());
    }
}
