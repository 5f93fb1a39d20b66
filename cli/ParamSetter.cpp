#include "cli/ParamSetter.h"

#include "cli/CliError.h"
#include "effect/ParamId.h"

#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

namespace Strutil = OIIO::Strutil;

// Points are 16.16 fixed point in the host's records.
constexpr double kLargestCoordinate = 32767.0;

std::string Lower(std::string_view text) { return Strutil::lower(Strutil::strip(text)); }

std::vector<std::string> SplitName(std::string_view name) {
    std::vector<std::string> parts;
    for (const std::string& part : Strutil::splits(name, "/")) parts.push_back(Lower(part));
    return parts;
}

bool EndsWith(const std::vector<std::string>& path, const std::vector<std::string>& tail) {
    return tail.size() <= path.size() && std::equal(tail.rbegin(), tail.rend(), path.rbegin());
}

std::string Join(const std::vector<std::string>& parts, size_t from = 0) {
    std::string joined;
    for (size_t i = from; i < parts.size(); ++i) joined += (joined.empty() ? "" : "/") + parts[i];
    return joined;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

[[noreturn]] void Refuse(const HostParam& param, const std::string& why) {
    throw CliError(ExitCode::Usage, "parameter " + Quoted(param.Path()) + ": " + why);
}

// Fixed-point values shown at the precision the host's control shows them.
std::string FormatFixed(int32_t fixed, int32_t precision) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::clamp(precision, 0, 6), fixed / 65536.0);
    std::string shown = text;
    if (shown.find('.') != std::string::npos) {
        shown.erase(shown.find_last_not_of('0') + 1);
        if (shown.back() == '.') shown.pop_back();
    }
    return shown == "-0" ? "0" : shown;
}

std::string FormatNumber(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

bool ParseInteger(std::string_view text, int64_t& value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool ParseNumber(std::string_view text, double& value) {
    const std::string copy(Strutil::strip(text));
    if (copy.empty()) return false;
    char* end = nullptr;
    value = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && std::isfinite(value);
}

int32_t SliderDefaultPrecision(const HostParam& param) {
    return param.Type() == kHostParamFixedSlider ? param.Record().u.slider.precision : 0;
}

std::string ColourText(HostPixel8 color, bool alphaMatters = true) {
    char text[16];
    if (color.alpha == 255 || !alphaMatters) {
        std::snprintf(text, sizeof text, "#%02x%02x%02x", color.red, color.green, color.blue);
    } else {
        std::snprintf(text, sizeof text, "#%02x%02x%02x%02x", color.red, color.green, color.blue, color.alpha);
    }
    return text;
}

HostPixel8 ParseColour(const HostParam& param, std::string_view text) {
    const std::string value(Strutil::strip(text));
    const auto bad = [&](const std::string& why) {
        Refuse(param, Quoted(value) + " is not a colour: " + why +
                          " (use #rrggbb, #rrggbbaa or r,g,b[,a] with each in 0 to 1)");
    };
    if (!value.empty() && value.front() == '#') {
        const std::string hex = value.substr(1);
        if ((hex.size() != 6 && hex.size() != 8) ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            bad("expected six or eight hex digits");
        }
        const auto byte = [&](size_t at) { return static_cast<uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16)); };
        return {hex.size() == 8 ? byte(6) : uint8_t{255}, byte(0), byte(2), byte(4)};
    }
    const std::vector<std::string> parts = Strutil::splits(value, ",");
    if (parts.size() != 3 && parts.size() != 4) bad("expected three or four numbers");
    uint8_t bytes[4] = {255, 0, 0, 0};
    for (size_t i = 0; i < parts.size(); ++i) {
        double level = 0;
        if (!ParseNumber(parts[i], level)) bad(Quoted(parts[i]) + " is not a number");
        if (level < 0.0 || level > 1.0) {
            Refuse(param,
                   "colour component " + Quoted(Strutil::strip(parts[i])) + " is outside its valid range 0 to 1");
        }
        bytes[i == 3 ? 0 : i + 1] = static_cast<uint8_t>(std::lround(level * 255.0));
    }
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

bool ParseFlag(std::string_view text, bool& flag) {
    const std::string value = Lower(text);
    for (const char* yes : {"on", "true", "yes", "1"}) {
        if (value == yes) return flag = true;
    }
    for (const char* no : {"off", "false", "no", "0"}) {
        if (value == no) {
            flag = false;
            return true;
        }
    }
    return false;
}

bool IsSeparator(const std::string& entry) { return entry.rfind("(-", 0) == 0; }

// The effect reads the alpha of the sample box colour (its boxes draw into
// the alpha of the sample views); the other colours are colours only.
bool ColourAlphaMatters(const HostParam& param) { return param.Id() == static_cast<int32_t>(ParamId::SampleBoxColor); }

} // namespace

ParamSetter::ParamSetter(HostParamStore& store) : store_(store) {
    struct Open {
        int32_t id;
        std::string name;
    };
    std::vector<Open> groups;
    for (int32_t index = 1; index < store.Count(); ++index) {
        HostParam& param = store.At(index);
        if (param.Type() == kHostParamGroupEnd) {
            if (!groups.empty()) groups.pop_back();
            continue;
        }
        std::vector<Open> chain = groups;
        chain.push_back({param.Id(), param.Name()});
        Entry entry{&param, {}};
        std::vector<std::string> real, alias;
        bool aliased = false;
        for (const Open& link : chain) {
            real.push_back(Lower(link.name));
            const bool compensation = link.id == static_cast<int32_t>(ParamId::CompensationSamplePointsGroup);
            aliased = aliased || compensation;
            alias.push_back(compensation ? "compensation sample points" : Lower(link.name));
        }
        entry.paths.push_back(real);
        if (aliased) entry.paths.push_back(alias);
        entries_.push_back(std::move(entry));
        if (param.Type() == kHostParamGroupStart) groups.push_back({param.Id(), param.Name()});
    }
}

std::vector<const ParamSetter::Entry*> ParamSetter::Matches(const std::vector<std::string>& wanted) const {
    std::vector<const Entry*> values, groups;
    for (const Entry& entry : entries_) {
        const bool hit = std::any_of(entry.paths.begin(), entry.paths.end(),
                                     [&](const std::vector<std::string>& path) { return EndsWith(path, wanted); });
        if (hit) (entry.param->Type() == kHostParamGroupStart ? groups : values).push_back(&entry);
    }
    // A group and a parameter may share a name ("Intensity"): the one with a value is meant.
    return values.empty() ? groups : values;
}

HostParam& ParamSetter::Find(std::string_view name) const {
    const std::vector<std::string> wanted = SplitName(name);
    const bool blank = wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [](auto& s) { return s.empty(); });
    if (blank) throw CliError(ExitCode::Usage, "unknown parameter " + Quoted(name));
    const std::vector<const Entry*> found = Matches(wanted);
    if (found.size() == 1) return *found.front()->param;
    if (found.empty()) {
        std::string message = "unknown parameter " + Quoted(Strutil::strip(name));
        const std::string typed = Join(wanted);
        const Entry* closest = nullptr;
        size_t best = std::max<size_t>(2, typed.size() / 3); // further than this is no longer a typo
        for (const Entry& entry : entries_) {
            const std::vector<std::string>& path = entry.paths.front();
            for (size_t from = 0; from < path.size(); ++from) {
                const size_t distance = EditDistance(typed, Join(path, from));
                if (distance < best) best = distance, closest = &entry;
            }
        }
        if (closest) message += "; did you mean " + Quoted(ShortName(*closest->param)) + "?";
        throw CliError(ExitCode::Usage, message + " (texturist params lists them all)");
    }
    std::string choices;
    for (const Entry* entry : found) choices += (choices.empty() ? "" : ", ") + Quoted(ShortName(*entry->param));
    throw CliError(ExitCode::Usage, "parameter name " + Quoted(Strutil::strip(name)) + " is ambiguous: use " + choices);
}

std::string ParamSetter::ShortName(const HostParam& param) const {
    const std::vector<std::string> parts = Strutil::splits(param.Path(), "/");
    for (size_t take = 1; take <= parts.size(); ++take) {
        const std::vector<std::string> tail(parts.end() - static_cast<ptrdiff_t>(take), parts.end());
        std::vector<std::string> lowered;
        for (const std::string& part : tail) lowered.push_back(Lower(part));
        const std::vector<const Entry*> found = Matches(lowered);
        if (found.size() == 1 && found.front()->param == &param) return Join(tail);
    }
    return param.Path();
}

HostParam& ParamSetter::Parse(std::string_view assignment, std::string& value) const {
    const size_t equals = assignment.find('=');
    if (equals == std::string_view::npos) {
        throw CliError(ExitCode::Usage, "bad --set " + Quoted(assignment) + ": expected NAME=VALUE");
    }
    value = Strutil::strip(assignment.substr(equals + 1));
    return Find(assignment.substr(0, equals));
}

void ParamSetter::Apply(HostParam& param, std::string_view text, Syntax syntax) const {
    const std::string value(Strutil::strip(text));
    switch (param.Type()) {
    case kHostParamSlider: {
        const HostSliderValue& s = param.Record().u.slider;
        int64_t number = 0;
        if (!ParseInteger(value, number)) Refuse(param, Quoted(value) + " is not a whole number");
        if (number < s.validMin || number > s.validMax) {
            Refuse(param, value + " is outside its valid range " + ParamRangeText(param));
        }
        param.SetInteger(static_cast<int32_t>(number));
        return;
    }
    case kHostParamFixedSlider: {
        const HostSliderValue& s = param.Record().u.slider;
        std::string digits = value;
        const bool percent = ParamIsPercent(param);
        const bool marked = percent && !digits.empty() && digits.back() == '%';
        if (marked) digits.pop_back();
        double number = 0;
        if (!ParseNumber(digits, number)) Refuse(param, Quoted(value) + " is not a number");
        if (percent && !marked && syntax == Syntax::Current && number > 0.0 && number < 1.0) {
            Refuse(param, Quoted(value) + " is ambiguous for a percentage: write " + digits + "% or " +
                              FormatNumber(number * 100.0) + "%");
        }
        const double fixed = std::round(number * 65536.0);
        if (fixed < s.validMin || fixed > s.validMax) {
            Refuse(param, value + " is outside its valid range " + ParamRangeText(param));
        }
        param.SetNumber(number);
        return;
    }
    case kHostParamCheckbox: {
        bool flag = false;
        if (!ParseFlag(value, flag)) Refuse(param, Quoted(value) + " is not on or off");
        param.SetCheckbox(flag);
        return;
    }
    case kHostParamPopup: {
        const std::vector<std::string>& entries = param.PopupEntries();
        const std::vector<std::pair<int32_t, std::string>> choices = PopupChoices(param);
        int64_t number = 0;
        if (ParseInteger(value, number)) {
            if (syntax == Syntax::PresetVersion1) {
                if (number < 1 || number > static_cast<int64_t>(entries.size()) ||
                    IsSeparator(entries[static_cast<size_t>(number - 1)])) {
                    Refuse(param, value + " is not one of its choices");
                }
            } else {
                if (number < 1 || number > static_cast<int64_t>(choices.size())) {
                    Refuse(param, value + " is not one of " + ParamRangeText(param));
                }
                number = choices[static_cast<size_t>(number - 1)].first;
            }
        } else {
            const auto named = std::find_if(choices.begin(), choices.end(),
                                            [&](const auto& choice) { return Lower(choice.second) == Lower(value); });
            if (named == choices.end()) Refuse(param, Quoted(value) + " is not one of " + ParamRangeText(param));
            number = named->first;
        }
        param.SetPopup(static_cast<int32_t>(number));
        return;
    }
    case kHostParamColor:
        param.SetColor(ParseColour(param, value));
        return;
    case kHostParamPoint: {
        std::vector<std::string> parts = Strutil::splits(value, ",");
        int32_t percentages = 0;
        for (std::string& part : parts) {
            part = Strutil::strip(part);
            if (!part.empty() && part.back() == '%') {
                part.pop_back();
                ++percentages;
            }
        }
        double x = 0, y = 0;
        if (parts.size() != 2 || !ParseNumber(parts[0], x) || !ParseNumber(parts[1], y) || percentages == 1) {
            Refuse(param, Quoted(value) + " is not a point: expected x,y in pixels or x%,y% of the input");
        }
        if (percentages == 2) {
            if (std::fabs(x) > 1000.0 || std::fabs(y) > 1000.0) {
                Refuse(param, value + " is outside its valid range -1000% to 1000% of the input");
            }
            param.SetPointPercent(x, y);
            return;
        }
        if (std::fabs(x) > kLargestCoordinate || std::fabs(y) > kLargestCoordinate) {
            Refuse(param, value + " is outside its valid range " + ParamRangeText(param));
        }
        param.SetPoint(x, y);
        return;
    }
    case kHostParamLayer:
        throw CliError(ExitCode::Usage, "parameter " + Quoted(param.Path()) +
                                            " is a layer: give its file with --noise-source or --mask");
    default:
        throw CliError(ExitCode::Usage,
                       "parameter " + Quoted(param.Path()) + " is a group of parameters and has no value of its own");
    }
}

std::vector<std::pair<int32_t, std::string>> PopupChoices(const HostParam& param) {
    std::vector<std::pair<int32_t, std::string>> choices;
    int32_t value = 0;
    for (const std::string& entry : param.PopupEntries()) {
        ++value;
        if (!IsSeparator(entry)) choices.emplace_back(value, entry);
    }
    return choices;
}

bool ParamIsPercent(const HostParam& param) {
    return param.Type() == kHostParamFixedSlider && (param.Record().u.slider.displayFlags & 1) != 0;
}

std::string ParamTypeName(const HostParam& param) {
    switch (param.Type()) {
    case kHostParamLayer:
        return "layer";
    case kHostParamSlider:
        return "integer";
    case kHostParamFixedSlider:
        return ParamIsPercent(param) ? "percent" : "number";
    case kHostParamCheckbox:
        return "checkbox";
    case kHostParamColor:
        return "colour";
    case kHostParamPoint:
        return "point";
    case kHostParamPopup:
        return "popup";
    case kHostParamGroupStart:
        return "group";
    default:
        return "other";
    }
}

std::string ParamRangeText(const HostParam& param) {
    const HostSliderValue& s = param.Record().u.slider;
    switch (param.Type()) {
    case kHostParamSlider: {
        std::string text = std::to_string(s.validMin) + " to " + std::to_string(s.validMax);
        if (s.sliderMin != s.validMin || s.sliderMax != s.validMax) {
            text += " (slider " + std::to_string(s.sliderMin) + " to " + std::to_string(s.sliderMax) + ")";
        }
        return text;
    }
    case kHostParamFixedSlider: {
        const int32_t precision = std::max(SliderDefaultPrecision(param), 3);
        std::string text = FormatFixed(s.validMin, precision) + " to " + FormatFixed(s.validMax, precision);
        if (ParamIsPercent(param)) text += " %";
        if (s.sliderMin != s.validMin || s.sliderMax != s.validMax) {
            text +=
                " (slider " + FormatFixed(s.sliderMin, precision) + " to " + FormatFixed(s.sliderMax, precision) + ")";
        }
        return text;
    }
    case kHostParamCheckbox:
        return "on or off";
    case kHostParamPopup: {
        std::string text;
        int32_t number = 0;
        for (const auto& choice : PopupChoices(param))
            text += (text.empty() ? "" : ", ") + std::to_string(++number) + " " + choice.second;
        return text;
    }
    case kHostParamColor:
        return "#rrggbb or r,g,b in 0 to 1";
    case kHostParamPoint:
        return "x,y in pixels, -32767 to 32767";
    case kHostParamLayer:
        return "an image file or sequence";
    default:
        return "";
    }
}

std::string ParamDefaultText(const HostParam& param) {
    const HostParamRecord& record = param.Record();
    switch (param.Type()) {
    case kHostParamSlider:
        return std::to_string(record.u.slider.defaultValue);
    case kHostParamFixedSlider:
        return FormatFixed(record.u.slider.defaultValue, std::max(SliderDefaultPrecision(param), 3));
    case kHostParamCheckbox:
        return record.u.checkbox.defaultValue ? "on" : "off";
    case kHostParamPopup: {
        const int32_t choice = record.u.popup.defaultValue;
        const std::vector<std::string>& entries = param.PopupEntries();
        return choice >= 1 && choice <= static_cast<int32_t>(entries.size()) ? entries[static_cast<size_t>(choice - 1)]
                                                                             : std::to_string(choice);
    }
    case kHostParamColor:
        return ColourText(record.u.color.defaultValue, ColourAlphaMatters(param));
    case kHostParamPoint:
        return std::to_string(record.u.point.defaultX >> 16) + "%," + std::to_string(record.u.point.defaultY >> 16) +
               "% of the input";
    case kHostParamLayer:
        return "none";
    default:
        return "";
    }
}

std::string ParamValueText(const HostParam& param) {
    switch (param.Type()) {
    case kHostParamSlider:
        return std::to_string(param.Integer());
    case kHostParamFixedSlider:
        return FormatFixed(param.Record().u.slider.value, std::max(SliderDefaultPrecision(param), 3));
    case kHostParamCheckbox:
        return param.Checkbox() ? "on" : "off";
    case kHostParamPopup: {
        const int32_t choice = param.Popup();
        const std::vector<std::string>& entries = param.PopupEntries();
        return choice >= 1 && choice <= static_cast<int32_t>(entries.size()) ? entries[static_cast<size_t>(choice - 1)]
                                                                             : std::to_string(choice);
    }
    case kHostParamColor:
        return ColourText(param.Color(), ColourAlphaMatters(param));
    case kHostParamPoint: {
        if (param.PointFollowsDefault()) return ParamDefaultText(param);
        if (const auto percent = param.PointPercent())
            return FormatNumber((*percent)[0]) + "%," + FormatNumber((*percent)[1]) + "%";
        const HostPointPixels p = param.Point();
        return FormatNumber(p.x) + "," + FormatNumber(p.y);
    }
    case kHostParamLayer:
        return param.Layer() ? "bound" : "none";
    default:
        return "";
    }
}
