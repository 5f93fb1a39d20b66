// The params command: every parameter the module declares, in the host's
// order and group structure, with the name --set takes, its type, valid range,
// default, popup entries and current value (after --preset and --set), and
// whether the module's UI update leaves it disabled for those values.
#pragma once

#include "cli/ParamOptions.h"

#include <string>

struct ParamsSettings {
    ParamOptions params;
    std::string module;
};

void RunParams(const ParamsSettings& settings);
