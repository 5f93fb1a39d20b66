#include "cli/Preset.h"

#include "cli/CliError.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kFormat = "texturist-preset";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

bool Stored(const HostParam& param) {
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

json ValueOf(const HostParam& param) {
    switch (param.Type()) {
    case kHostParamSlider:
        return param.Integer();
    case kHostParamFixedSlider:
        return param.Number(); // a 16.16 value is exact in a double, and JSON keeps it exact
    case kHostParamCheckbox:
        return param.Checkbox();
    case kHostParamPopup:
        return param.Popup();
    case kHostParamColor:
        return ParamValueText(param);
    default: {
        const HostPointPixels p = param.Point();
        return json::array({p.x, p.y});
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
        HostParam* param = store.FindById(id);
        if (!param || !(Stored(*param) || param->Type() == kHostParamPoint)) {
            throw CliError(ExitCode::Usage, where + "no parameter with a value has identifier " + key);
        }
        const json value = entry.is_object() ? entry.value("value", json()) : entry;
        try {
            setter.Apply(*param, AsText(value));
        } catch (const CliError& error) {
            throw CliError(error.Code(), where + error.what());
        } catch (const std::invalid_argument& error) {
            throw CliError(ExitCode::Usage, where + "parameter " + Quoted(param->Path()) + ": " + error.what());
        }
    }
}

void SavePreset(const std::string& path, const HostParamStore& store) {
    json parameters = json::object();
    for (int32_t index = 1; index < store.Count(); ++index) {
        const HostParam& param = store.At(index);
        if (!Stored(param)) continue;
        parameters[std::to_string(param.Id())] = {{"name", param.Path()}, {"value", ValueOf(param)}};
    }
    const json preset = {{"format", kFormat}, {"version", kPresetVersion}, {"parameters", parameters}};

    const fs::path final(path);
    const fs::path temporary =
        final.parent_path() / ("." + final.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
    {
        std::ofstream file(temporary);
        file << preset.dump(2) << '\n';
        file.close();
        if (!file) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw CliError(ExitCode::InputOutput, "cannot write preset " + Quoted(path));
        }
    }
    std::error_code error;
    fs::rename(temporary, final, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw CliError(ExitCode::InputOutput, "cannot write preset " + Quoted(path) + ": " + error.message());
    }
}
