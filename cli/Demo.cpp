#include "cli/Demo.h"

#include "cli/GrainReport.h"
#include "cli/RenderJob.h"

#include <cstdio>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

constexpr const char* kClean = "clean.png";
constexpr const char* kPlate = "grain-plate.png";

fs::path DemoFolder(const std::string& requested) {
    std::vector<fs::path> candidates;
    if (!requested.empty()) {
        candidates.push_back(requested);
    } else {
        candidates.push_back(TEXTURIST_DEMO_DATA);
        std::error_code error;
        const fs::path self = fs::read_symlink("/proc/self/exe", error);
        if (!error) candidates.push_back(self.parent_path() / "demo");
    }
    std::string looked;
    for (const fs::path& folder : candidates) {
        std::error_code error;
        if (fs::exists(folder / kClean, error) && fs::exists(folder / kPlate, error)) return folder;
        looked += (looked.empty() ? "" : ", ") + folder.string();
    }
    throw CliError(ExitCode::InputOutput, "cannot find the demo files " + std::string(kClean) + " and " + kPlate +
                                              " (looked in " + looked + ")");
}

} // namespace

ExitCode RunDemo(const DemoSettings& settings) {
    const fs::path data = DemoFolder(settings.dataFolder);
    std::error_code error;
    fs::create_directories(settings.outputFolder, error);
    if (error) {
        throw CliError(ExitCode::InputOutput,
                       "cannot make the folder \"" + settings.outputFolder + "\": " + error.message());
    }
    struct View {
        const char* view;
        const char* file;
        const char* what;
    };
    const View views[] = {
        {"final", "demo-final.png", "the clean picture with the plate's grain"},
        {"noise-samples", "demo-noise-samples.png", "the plate with the samples its grain was measured in"},
    };
    for (const View& view : views) {
        RenderSettings render;
        render.input = (data / kClean).string();
        render.noiseSource = (data / kPlate).string();
        render.output = (fs::path(settings.outputFolder) / view.file).string();
        render.params.view = view.view;
        render.module = settings.module;
        render.verify = settings.verify;
        render.threads = settings.threads;
        render.quiet = settings.quiet;
        const ExitCode code = RunRender(render);
        if (code != ExitCode::Ok) return code;
        if (!settings.quiet) std::printf("wrote %s: %s\n", render.output.c_str(), view.what);
    }
    AnalyseSettings analyse;
    analyse.noiseSource = (data / kPlate).string();
    analyse.report = (fs::path(settings.outputFolder) / "demo-report").string();
    analyse.module = settings.module;
    analyse.quiet = true;
    RunAnalyse(analyse);
    if (!settings.quiet) {
        std::printf("wrote %s/index.html: what was measured on the plate, with figures\n", analyse.report.c_str());
    }
    return ExitCode::Ok;
}
