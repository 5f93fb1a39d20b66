// Finding the module's parameters by the names people type, and setting them
// from text, with the checks the host's controls would make.
//
// Names: a parameter's display name where no other parameter has it ("Size"),
// otherwise the end of its group path, as much of it as makes it unique
// ("Preview Region/Width", "Noise Sample Points/3"); the whole path works too.
// The catalogue names the compensation sample points' group "Intensity";
// "Compensation Sample Points/N" is accepted as well as "Intensity/N". Case
// and spaces around names do not matter.
//
// Values, by the parameter's type:
//   integer    a whole number within the valid range
//   number     a decimal number within the valid range (stored as 16.16)
//   percent    0 to 100, with or without a trailing '%'; a bare number between
//              0 and 1 is refused as ambiguous (0.5% or 50%?)
//   checkbox   on/off, true/false, yes/no, 1/0
//   popup      the entry's text or its number, counted from 1 over the
//              choices (separator lines are not counted)
//   colour     #rrggbb, #rrggbbaa, or r,g,b[,a] with each in 0..1
//   point      x,y in pixels, or x%,y% of the input's size
// Layers take a file name and groups take nothing; Apply refuses both, and the
// render binds layers itself. Errors are CliError(Usage) naming the parameter,
// its valid range and the value given.
#pragma once

#include "host/HostParamStore.h"

#include <string>
#include <string_view>
#include <vector>

class ParamSetter {
public:
    explicit ParamSetter(HostParamStore& store);

    // The parameter a name stands for.
    HostParam& Find(std::string_view name) const;
    // Splits "NAME=VALUE" and finds the parameter; the value is returned trimmed.
    HostParam& Parse(std::string_view assignment, std::string& value) const;
    // How a value was written: on the command line and in current presets, or
    // in a version-1 preset (popups by the host's value, separators counted;
    // percentages as bare numbers).
    enum class Syntax { Current, PresetVersion1 };
    void Apply(HostParam& param, std::string_view value, Syntax syntax = Syntax::Current) const;

    // The shortest name that reaches the parameter.
    std::string ShortName(const HostParam& param) const;

private:
    struct Entry {
        HostParam* param;
        std::vector<std::vector<std::string>> paths; // lowercase components; the first is the real path
    };
    std::vector<const Entry*> Matches(const std::vector<std::string>& wanted) const;

    HostParamStore& store_;
    std::vector<Entry> entries_;
};

// Descriptions for listings and messages.
std::string ParamTypeName(const HostParam& param);
std::string ParamRangeText(const HostParam& param);
std::string ParamDefaultText(const HostParam& param);
std::string ParamValueText(const HostParam& param);
bool ParamIsPercent(const HostParam& param);
// The popup's choices without separator lines, as (host value, text).
std::vector<std::pair<int32_t, std::string>> PopupChoices(const HostParam& param);
