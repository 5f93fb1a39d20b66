#include "cli/Preset.h"

#include "cli/CliError.h"
#include "cli/SafeFiles.h"
#include "effect/ParamId.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

using nlohmann::json;
using nlohmann::ordered_json;
namespace fs = std::filesystem;

constexpr const char* kFormat = "texturist-preset";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The viewing mode is how a render is looked at, not how the grain looks:
// --view decides it, and presets leave it out.
bool Stored(const HostParam& param) {
    if (param.Id() == static_cast<int32_t>(ParamId::ViewingMode)) return false;
    switch (param.Type()) {
    case kHostParamSlider:
    case kHostParamFixedSlider:
    case kHostParamCheckbox:
    case kHostParamColor:
    case kHostParamPopup:
        return true;
    case kHostParamPoint:
        return !param.PointFollowsDefault();
    default:
        return false;
    }
}

// The shortest decimal, at the control's precision or finer, that gives back
// the same 16.16 value: 0.7, not 0.6999969482421875.
std::string FixedText(const HostParam& param) {
    const int32_t fixed = param.Record().u.slider.value;
    for (int precision = std::max<int>(param.Record().u.slider.precision, 0); precision <= 10; ++precision) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", precision, fixed / 65536.0);
        if (std::lround(std::strtod(text, nullptr) * 65536.0) == fixed) {
            std::string shown = text;
            if (shown.find('.') != std::string::npos) {
                shown.erase(shown.find_last_not_of('0') + 1);
                if (shown.back() == '.') shown.pop_back();
            }
            return shown == "-0" ? "0" : shown;
        }
    }
    char exact[64];
    std::snprintf(exact, sizeof exact, "%.17g", fixed / 65536.0);
    return exact;
}

ordered_json ValueOf(const HostParam& param) {
    switch (param.Type()) {
    case kHostParamSlider:
        return param.Integer();
    case kHostParamFixedSlider: {
        const std::string text = FixedText(param);
        if (ParamIsPercent(param)) return text + "%";
        return ordered_json::parse(text);
    }
    case kHostParamCheckbox:
        return param.Checkbox();
    case kHostParamPopup:
    case kHostParamColor:
        return ParamValueText(param);
    default: {
        if (const auto percent = param.PointPercent()) return ParamValueText(param);
        const HostPointPixels p = param.Point();
        return ordered_json::array({p.x, p.y});
    }
    }
}

// The preset's value as the text --set would take, so both go through the same checks.

std::string AsText(const json& value) {
    if (value.is_boolean()) return value.get<bool>() ? "on" : "off";
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number()) return value.dump();
    if (value.is_array() && value.size() == 2 && value[0].is_number() && value[1].is_number()) {
        return value[0].dump() + "," + value[1].dump();
    }
    throw std::invalid_argument("a value of this shape is not understood: " + value.dump());
}

} // namespace

void LoadPreset(const std::string& path, HostParamStore& store, const ParamSetter& setter) {
    std::ifstream file(path);
    if (!file) throw CliError(ExitCode::InputOutput, "cannot read preset " + Quoted(path));
    json preset;
    try {
        preset = json::parse(file);
    } catch (const json::exception& error) {
        throw CliError(ExitCode::InputOutput, "preset " + Quoted(path) + " is not valid JSON: " + error.what());
    }
    // Every member is checked for its type before it is read: json's typed
    // accessors throw on a mismatch, and a preset is whatever a file holds.
    const bool ours = preset.is_object() && preset.contains("format") && preset["format"].is_string() &&
                      preset["format"].get<std::string>() == kFormat;
    if (!ours || !preset.contains("parameters") || !preset["parameters"].is_object()) {
        throw CliError(ExitCode::InputOutput, Quoted(path) + " is not a texturist preset");
    }
    const json version = preset.value("version", json());
    if (!version.is_number_integer() || version.get<int>() < 1) {
        throw CliError(ExitCode::InputOutput, "preset " + Quoted(path) + " has no valid format version");
    }
    if (version.get<int>() > kPresetVersion) {
        throw CliError(ExitCode::InputOutput, "preset " + Quoted(path) + " has format version " + version.dump() +
                                                  "; this texturist reads version " + std::to_string(kPresetVersion));
    }
    // Presets from before "Estimator" existed were made with the classic estimate.
    if (version.get<int>() < 3) {
        if (HostParam* estimator = store.FindById(static_cast<int>(ParamId::Estimator)))
            estimator->SetPopup(kEstimatorClassic);
    }
    for (const auto& [key, entry] : preset["parameters"].items()) {
        const std::string where = "preset " + Quoted(path) + ": ";
        size_t used = 0;
        int id = -1;
        try {
            id = std::stoi(key, &used);
        } catch (const std::exception&) {}
        if (used != key.size() || id < 1 || id > 254) {
            throw CliError(ExitCode::Usage, where + Quoted(key) + " is not a parameter identifier");
        }
        // Presets of version 1 stored the viewing mode; --view decides it now.
        if (id == static_cast<int>(ParamId::ViewingMode)) continue;
        HostParam* param = store.FindById(id);
        if (!param || !(Stored(*param) || param->Type() == kHostParamPoint)) {
            throw CliError(ExitCode::Usage, where + "no parameter with a value has identifier " + key);
        }
        const json value = entry.is_object() ? entry.value("value", json()) : entry;
        try {
            setter.Apply(*param, AsText(value),
                         version.get<int>() == 1 ? ParamSetter::Syntax::PresetVersion1 : ParamSetter::Syntax::Current);
        } catch (const CliError& error) {
            throw CliError(error.Code(), where + error.what());
        } catch (const std::invalid_argument& error) {
            throw CliError(ExitCode::Usage, where + "parameter " + Quoted(param->Path()) + ": " + error.what());
        }
    }
}

void SavePreset(const std::string& path, const HostParamStore& store) {
    ordered_json parameters = ordered_json::object(); // in the host's order
    for (int32_t index = 1; index < store.Count(); ++index) {
        const HostParam& param = store.At(index);
        if (!Stored(param)) continue;
        parameters[std::to_string(param.Id())] = {{"name", param.Path()}, {"value", ValueOf(param)}};
    }
    ordered_json preset = ordered_json::object();
    preset["format"] = kFormat;
    preset["version"] = kPresetVersion;
    preset["parameters"] = parameters;

    const std::string text = preset.dump(2) + "\n";
    try {
        WriteFileAtomically(path, text.data(), text.size());
    } catch (const CliError& error) {
        throw CliError(error.Code(), std::string("preset: ") + error.what());
    }
}
