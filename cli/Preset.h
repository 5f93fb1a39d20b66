// Presets: the effect's settings in a JSON file, keyed by the parameters'
// stable identifiers (ParamId numbers), so a preset survives a host that
// orders or names the parameters differently.
//
//   {
//     "format": "texturist-preset",
//     "version": 1,
//     "parameters": {
//       "119": { "name": "Tweaking/Size", "value": 1.5 },
//       ...
//     }
//   }
//
// "name" is for people and ignored on loading. Values: numbers for sliders
// and popups (the entry's number; its text is accepted too), true/false for
// checkboxes, "#rrggbb" (or "#rrggbbaa") for colours, [x, y] in pixels for
// points. Saving writes every parameter with a value except points still at
// their default, which follow the input's size; loading sets the parameters
// it names and leaves the others alone. Layers and groups are never stored.
//
// A file that cannot be read or is not a preset is CliError(InputOutput); an
// unknown identifier or a bad value is CliError(Usage), naming the file.
#pragma once

#include "cli/ParamSetter.h"
#include "host/HostParamStore.h"

#include <string>

// Version 2: popups by their text, percentages with '%', keys in the host's
// order, no viewing mode. Version 3: "Estimator" exists (Refined by default).
// Older presets load as they were written and saved: with the Classic estimator.
constexpr int kPresetVersion = 3;

void LoadPreset(const std::string& path, HostParamStore& store, const ParamSetter& setter);
void SavePreset(const std::string& path, const HostParamStore& store);
