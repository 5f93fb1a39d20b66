#include "cli/ParamOptions.h"

#include "cli/CliError.h"
#include "cli/Preset.h"
#include "effect/ParamId.h"

namespace {

struct ViewName {
    const char* name;
    int32_t value;
};

constexpr ViewName kViews[] = {
    {"preview", kViewPreview},
    {"noise-samples", kViewNoiseSamples},
    {"compensation-samples", kViewCompensationSamples},
    {"matte", kViewBlendingMatte},
    {"final", kViewFinalOutput},
};

void TakeLayer(std::string& slot, const HostParam& param, const std::string& file) {
    if (file.empty()) throw CliError(ExitCode::Usage, "parameter \"" + param.Path() + "\" needs a file name");
    slot = file;
}

} // namespace

int32_t ParseView(const std::string& name) {
    for (const ViewName& view : kViews) {
        if (name == view.name) return view.value;
    }
    throw CliError(ExitCode::Usage,
                   "bad --view \"" + name + "\": use preview, noise-samples, compensation-samples, matte or final");
}

LayerFiles ApplyParamOptions(HostParamStore& store, const ParamSetter& setter, const ParamOptions& options) {
    HostParam& viewingMode = store.ById(static_cast<int32_t>(ParamId::ViewingMode));
    viewingMode.SetPopup(kViewFinalOutput);
    if (!options.preset.empty()) LoadPreset(options.preset, store, setter);

    LayerFiles layers;
    for (const std::string& assignment : options.sets) {
        std::string value;
        HostParam& param = setter.Parse(assignment, value);
        if (param.Id() == static_cast<int32_t>(ParamId::NoiseSourceLayer)) {
            TakeLayer(layers.noiseSource, param, value);
        } else if (param.Id() == static_cast<int32_t>(ParamId::MaskLayer)) {
            TakeLayer(layers.mask, param, value);
        } else {
            setter.Apply(param, value);
            layers.set.push_back(&param);
        }
    }
    if (!options.view.empty()) viewingMode.SetPopup(ParseView(options.view));
    if (!options.savePreset.empty()) SavePreset(options.savePreset, store);
    return layers;
}
