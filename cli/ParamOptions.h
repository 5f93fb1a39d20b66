// The parameter options shared by every command: the batch default view,
// --preset, --set, --view and --save-preset, applied in that order, so a --set
// overrides the preset and --view overrides both.
//
// A batch render shows "Final Output" unless told otherwise, where the
// effect's own default is "Preview". The two layers can be named with --set
// too ("Noise Source Layer=plate.exr"); their files are handed back to the
// caller, which binds them.
#pragma once

#include "cli/ParamSetter.h"
#include "host/HostParamStore.h"

#include <string>
#include <vector>

struct ParamOptions {
    std::vector<std::string> sets;
    std::string preset;
    std::string savePreset;
    std::string view; // preview, noise-samples, compensation-samples, matte or final; empty: final
};

struct LayerFiles {
    std::string noiseSource;
    std::string mask;
    std::vector<const HostParam*> set; // the parameters --set named, in order
};

// The "Viewing Mode" value of a --view name; CliError(Usage) for others.
int32_t ParseView(const std::string& name);

LayerFiles ApplyParamOptions(HostParamStore& store, const ParamSetter& setter, const ParamOptions& options);
