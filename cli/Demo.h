// The demo command: grains the bundled clean picture with the grain of the
// bundled plate and writes the final output and the noise-samples view into
// out/ under the current folder, then says what it wrote. It needs no
// arguments; the demo files are found in the source tree this program was
// built from, or in demo/ next to the executable. With --verify the pictures
// must hash as the list says (the look of the demo is pinned by the tests).
#pragma once

#include "cli/CliError.h"

#include <cstdint>
#include <string>

struct DemoSettings {
    std::string dataFolder; // empty: find the bundled files
    std::string outputFolder = "out";
    std::string module;
    std::string verify; // --verify: a hash list naming demo-final.png and demo-noise-samples.png
    int32_t threads = 0;
    bool quiet = false;
};

ExitCode RunDemo(const DemoSettings& settings);
