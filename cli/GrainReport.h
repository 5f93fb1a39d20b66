// `texturist analyse` and `texturist compare`: what the engine measures on a
// plate, shown as a report, and whether a render carries a plate's grain.
//
// analyse: the plate is measured with the grain engine exactly as a render
// measures its noise source (the same parameters, the same samples, the same
// model); the picture of the samples is the module's own Noise Samples view.
// The report folder gets report.json, index.html and PNG figures beside it.
// It is written under a temporary name and renamed when complete; an existing
// folder is replaced only when it holds an earlier report.
//
// compare: both pictures are measured by GrainMeasure (the render less its
// clean target when given, likewise the source) and judged against limits;
// exit code 0 when the grain matches, 1 when it does not.
#pragma once

#include "cli/FrameColour.h"

#include "cli/CliError.h"
#include "cli/GrainMeasure.h"
#include "cli/ParamOptions.h"

#include <string>

struct AnalyseSettings {
    std::string noiseSource;
    std::string frames; // the plate frame of a sequence; default its first on disk
    std::string report;
    std::string module;
    ParamOptions params;
    ColourOptions colour; // the plate's space and the working space, as a render would take them
    bool quiet = false;
};

ExitCode RunAnalyse(const AnalyseSettings& settings);

struct CompareSettings {
    std::string source;
    std::string render;
    std::string clean;       // the render's clean target
    std::string sourceClean; // the source without grain
    std::string json;
    std::string report;
    MatchLimits limits;
    int32_t tile = 64;
    bool quiet = false;
};

ExitCode RunCompare(const CompareSettings& settings);

// Writes `text` to `path` whole or not at all.
void WriteTextFile(const std::string& path, const std::string& text);
