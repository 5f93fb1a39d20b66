// Feeds the CLI's preset reader arbitrary files against the module's real
// parameter set. A bad file must end in a CliError naming it; any other
// exception, a crash or a sanitizer report is a finding.
#include "cli/CliError.h"
#include "cli/ParamSetter.h"
#include "cli/Preset.h"
#include "host/HostModule.h"
#include "host/HostRuntime.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

const HostModule& Module() {
    static const HostModule module(TEXTURIST_MODULE_PATH);
    return module;
}

const std::string& ScratchFile() {
    static const std::string path = "/tmp/fuzz_preset_" + std::to_string(getpid()) + ".json";
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    {
        std::ofstream file(ScratchFile(), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    }
    HostRuntime host(Module());
    host.BindInputLayer(HostLayer::Still(HostImageBuffer(16, 16, false)));
    if (host.GlobalSetup() != 0 || host.ParamsSetup() != 0) std::abort();
    const ParamSetter setter(host.Params());
    try {
        LoadPreset(ScratchFile(), host.Params(), setter);
        // Whatever a preset sets must be a value the module can render with.
        if (host.FrameSetup() == 0) {
            const int32_t code = host.Render();
            if (code != 0 && code != 4 && code != 512) {
                std::fprintf(stderr, "fuzz_preset: render returned %d\n", code);
                std::abort();
            }
        }
    } catch (const CliError&) {}
    if (host.GlobalSetdown() != 0 || !host.Accounting().Clean()) std::abort();
    return 0;
}
