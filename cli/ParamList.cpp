#include "cli/ParamList.h"

#include "cli/CliError.h"
#include "cli/ModuleSession.h"
#include "cli/ParamSetter.h"
#include "effect/ParamId.h"

#include <cstdio>

namespace {

void ListParameters(const HostParamStore& store, const ParamSetter& setter) {
    std::printf("Texturist parameters, in the host's order. Set them with --set NAME=VALUE, NAME as in the first\n"
                "column (a display name, or the end of its group path where names repeat). The catalogue names\n"
                "the compensation sample points' group \"Intensity\": \"Compensation Sample Points/N\" works as\n"
                "well as \"Intensity/N\". The layers come from --noise-source and --mask.\n\n");
    int32_t depth = 0;
    for (int32_t index = 1; index < store.Count(); ++index) {
        const HostParam& param = store.At(index);
        if (param.Type() == kHostParamGroupEnd) {
            depth = std::max(depth - 1, 0);
            continue;
        }
        const std::string indent(static_cast<size_t>(depth) * 2, ' ');
        const std::string disabled = param.Enabled() ? "" : "  (disabled)";
        if (param.Type() == kHostParamGroupStart) {
            const bool compensation = param.Id() == static_cast<int32_t>(ParamId::CompensationSamplePointsGroup);
            std::printf("%s%s/%s%s\n", indent.c_str(), param.Name().c_str(),
                        compensation ? "  (the compensation sample points; also Compensation Sample Points/)" : "",
                        disabled.c_str());
            ++depth;
            continue;
        }
        const std::string name = indent + setter.ShortName(param);
        std::printf("%-44s %-9s %s; default %s; value %s%s\n", name.c_str(), ParamTypeName(param).c_str(),
                    ParamRangeText(param).c_str(), ParamDefaultText(param).c_str(), ParamValueText(param).c_str(),
                    disabled.c_str());
    }
}

} // namespace

void RunParams(const ParamsSettings& settings) {
    ModuleSession session(settings.module);
    HostRuntime& host = session.Host();
    {
        ParamSetter setter(host.Params());
        ApplyParamOptions(host.Params(), setter, settings.params);
        if (const int32_t code = host.UpdateParamsUi()) {
            throw CliError(ExitCode::RenderFailed,
                           "the module's UI update failed: " + DescribeModuleFailure(host, code));
        }
        ListParameters(host.Params(), setter);
    }
    session.Finish();
}
