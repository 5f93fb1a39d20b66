#include "cli/ColourSpaces.h"

#include "cli/CliError.h"

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace OCIO = OCIO_NAMESPACE;

namespace {

// Reference ACES2065-1, as the ACES configs have it, so that OpenColorIO's own
// ACES transforms anchor every space. Linear Rec.709 is the scene_linear role
// because an untagged linear EXR is most often Rec.709 linear; ACEScct is the
// working space for it: a log curve with a linear toe that reaches from below
// zero to 222 and holds real plates' range without clipping.
constexpr const char* kBuiltInConfig = R"(ocio_profile_version: 2.1
name: texturist-builtin
description: The colour spaces texturist knows when $OCIO is not set
search_path: ""
strictparsing: true
luma: [0.2126, 0.7152, 0.0722]
roles:
  aces_interchange: ACES2065-1
  cie_xyz_d65_interchange: CIE-XYZ-D65
  color_picking: sRGB - Texture
  color_timing: ACEScct
  compositing_log: ACEScct
  data: Raw
  default: Raw
  reference: ACES2065-1
  scene_linear: Linear Rec.709 (sRGB)
file_rules:
  - !<Rule> {name: Default, colorspace: default}
displays:
  sRGB:
    - !<View> {name: Standard, colorspace: sRGB - Texture}
    - !<View> {name: Raw, colorspace: Raw}
active_displays: []
active_views: []
colorspaces:
  - !<ColorSpace>
    name: ACES2065-1
    aliases: [aces2065_1, lin_ap0]
    family: Linear
    encoding: scene-linear
  - !<ColorSpace>
    name: ACEScg
    aliases: [acescg, lin_ap1]
    family: Linear
    encoding: scene-linear
    to_scene_reference: !<BuiltinTransform> {style: ACEScg_to_ACES2065-1}
  - !<ColorSpace>
    name: Linear Rec.709 (sRGB)
    aliases: [lin_rec709, linear, Linear]
    family: Linear
    encoding: scene-linear
    to_scene_reference: !<GroupTransform>
      children:
        - !<MatrixTransform> {matrix: [0.412390799265960, 0.357584339383878, 0.180480788401834, 0, 0.212639005871510, 0.715168678767756, 0.072192315360734, 0, 0.019330818715592, 0.119194779794626, 0.950532152249661, 0, 0, 0, 0, 1]}
        - !<BuiltinTransform> {style: UTILITY - ACES-AP0_to_CIE-XYZ-D65_BFD, direction: inverse}
  - !<ColorSpace>
    name: CIE-XYZ-D65
    aliases: [cie_xyz_d65]
    family: Linear
    encoding: scene-linear
    to_scene_reference: !<BuiltinTransform> {style: UTILITY - ACES-AP0_to_CIE-XYZ-D65_BFD, direction: inverse}
  - !<ColorSpace>
    name: ACEScct
    aliases: [acescct, acescct_ap1]
    family: Log
    encoding: log
    to_scene_reference: !<BuiltinTransform> {style: ACEScct_to_ACES2065-1}
  - !<ColorSpace>
    name: Cineon Log
    aliases: [cineon, Cineon, KodakLog]
    family: Log
    encoding: log
    description: Kodak Cineon printing density, black at code 95 and white at 685 of 1023, on Rec.709 primaries
    to_scene_reference: !<GroupTransform>
      children:
        - !<LogAffineTransform> {base: 10, log_side_slope: 0.293255131964809, log_side_offset: 0.669599217986315, lin_side_slope: 0.989202616162243, lin_side_offset: 0.010797383837757, direction: inverse}
        - !<ColorSpaceTransform> {src: Linear Rec.709 (sRGB), dst: ACES2065-1}
  - !<ColorSpace>
    name: sRGB - Texture
    aliases: [srgb_tx, sRGB, srgb]
    family: Display
    encoding: sdr-video
    to_scene_reference: !<GroupTransform>
      children:
        - !<ExponentWithLinearTransform> {gamma: 2.4, offset: 0.055}
        - !<ColorSpaceTransform> {src: Linear Rec.709 (sRGB), dst: ACES2065-1}
  - !<ColorSpace>
    name: Raw
    aliases: [raw]
    family: Data
    isdata: true
    encoding: data
)";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

} // namespace

struct ColourConfig::State {
    OCIO::ConstConfigRcPtr config;
};

ColourConfig::ColourConfig(std::unique_ptr<State> state, std::string description)
    : state_(std::move(state)), description_(std::move(description)) {}
ColourConfig::~ColourConfig() = default;
ColourConfig::ColourConfig(ColourConfig&&) noexcept = default;
ColourConfig& ColourConfig::operator=(ColourConfig&&) noexcept = default;

ColourConfig ColourConfig::BuiltIn() {
    std::istringstream text(kBuiltInConfig);
    auto state = std::make_unique<State>();
    state->config = OCIO::Config::CreateFromStream(text);
    return ColourConfig(std::move(state), "the built-in config");
}

const ColourConfig& ColourConfig::Current() {
    static const ColourConfig current = [] {
        // Our messages say what went wrong, once; OpenColorIO's own log lines would repeat it.
        OCIO::SetLoggingLevel(OCIO::LOGGING_LEVEL_NONE);
        const char* path = std::getenv("OCIO");
        if (path == nullptr || *path == '\0') return BuiltIn();
        const std::string description = "the OCIO config " + Quoted(path) + " ($OCIO)";
        try {
            auto state = std::make_unique<State>();
            state->config = OCIO::Config::CreateFromFile(path);
            state->config->validate();
            return ColourConfig(std::move(state), description);
        } catch (const OCIO::Exception& error) {
            throw CliError(ExitCode::InputOutput, "cannot use " + description + ": " + error.what());
        }
    }();
    return current;
}

std::string ColourConfig::Resolve(const std::string& name, const std::string& option) const {
    if (const OCIO::ConstColorSpaceRcPtr space = state_->config->getColorSpace(name.c_str())) return space->getName();
    throw CliError(ExitCode::Usage, option + " " + Quoted(name) + ": " + description_ +
                                        " has no such colour space (texturist colorspaces lists them)");
}

std::string ColourConfig::FirstKnown(const std::vector<std::string>& names, const char* role) const {
    for (const std::string& name : names) {
        if (const OCIO::ConstColorSpaceRcPtr space = state_->config->getColorSpace(name.c_str()))
            return space->getName();
    }
    if (role != nullptr && state_->config->hasRole(role)) {
        if (const OCIO::ConstColorSpaceRcPtr space = state_->config->getColorSpace(role)) return space->getName();
    }
    return "";
}

std::string ColourConfig::SpaceOfFile(const OIIO::ImageSpec& spec, const std::string& file) const {
    const std::string tag = spec.get_string_attribute("oiio:ColorSpace");
    const std::string lower = Lower(tag);
    std::string space;
    if (lower == "linear" || lower == "scene_linear") {
        space = FirstKnown({}, "scene_linear");
    } else if (lower == "srgb") {
        space = DisplaySpace("the file " + Quoted(file) + " is tagged sRGB");
    } else if (lower == "kodaklog" || lower == "cineon") {
        space = FirstKnown({"Cineon Log", "Cineon", "cineon", "KodakLog", "ADX10"}, "compositing_log");
    } else if (!tag.empty()) {
        space = FirstKnown({tag}, nullptr);
    }
    if (!space.empty()) return space;
    const bool floating = spec.format.basetype == OIIO::TypeDesc::HALF ||
                          spec.format.basetype == OIIO::TypeDesc::FLOAT ||
                          spec.format.basetype == OIIO::TypeDesc::DOUBLE;
    if (floating) {
        space = FirstKnown({}, "scene_linear");
        if (!space.empty()) return space;
        throw CliError(ExitCode::Usage, description_ + " has no scene_linear role for the float file " + Quoted(file) +
                                            ": name its space with --colorspace-in");
    }
    return DisplaySpace("the file " + Quoted(file) + " holds integer samples");
}

bool ColourConfig::IsSceneLinear(const std::string& space) const {
    const OCIO::ConstColorSpaceRcPtr found = state_->config->getColorSpace(space.c_str());
    if (!found || found->isData()) return false;
    if (Lower(found->getEncoding()) == "scene-linear") return true;
    return FirstKnown({}, "scene_linear") == found->getName();
}

std::string ColourConfig::LogWorkingSpace(const std::string& why) const {
    const std::string space = FirstKnown({}, "compositing_log");
    if (!space.empty()) return space;
    const std::string aces = FirstKnown({"ACEScct", "acescct", "ACES - ACEScct"}, nullptr);
    if (!aces.empty()) return aces;
    throw CliError(ExitCode::Usage, why + ", and " + description_ +
                                        " names no log space (role compositing_log): name the module's encoding "
                                        "with --working-space");
}

std::string ColourConfig::DisplaySpace(const std::string& why) const {
    const std::string space = FirstKnown({"sRGB - Texture", "sRGB", "srgb_tx", "srgb_texture",
                                          "Utility - sRGB - Texture", "sRGB Encoded Rec.709 (sRGB)", "srgb8"},
                                         "color_picking");
    if (!space.empty()) return space;
    throw CliError(ExitCode::Usage, why + ", and " + description_ +
                                        " has no sRGB space: name the files' spaces with --colorspace-in and "
                                        "--colorspace-out");
}

std::string ColourConfig::FileTag(const std::string& space) const {
    const OCIO::ConstColorSpaceRcPtr found = state_->config->getColorSpace(space.c_str());
    if (!found) return space;
    const std::string name = found->getName();
    if (IsSceneLinear(name) && name == FirstKnown({}, "scene_linear")) return "Linear";
    if (Lower(name).find("srgb") != std::string::npos && Lower(found->getEncoding()) != "scene-linear") {
        return name == FirstKnown({"sRGB - Texture", "sRGB", "srgb_tx"}, nullptr) ? "sRGB" : name;
    }
    if (Lower(name).find("cineon") != std::string::npos) return "KodakLog";
    return name;
}

std::vector<ColourConfig::Listed> ColourConfig::List() const {
    const OCIO::ConstConfigRcPtr& config = state_->config;
    std::vector<Listed> listed;
    for (int i = 0; i < config->getNumColorSpaces(); ++i) {
        const OCIO::ConstColorSpaceRcPtr space = config->getColorSpace(config->getColorSpaceNameByIndex(i));
        listed.push_back({space->getName(), space->getEncoding(), space->getFamily(), {}});
    }
    for (int r = 0; r < config->getNumRoles(); ++r) {
        const std::string role = config->getRoleName(r);
        const OCIO::ConstColorSpaceRcPtr space = config->getColorSpace(role.c_str());
        for (Listed& entry : listed)
            if (space && entry.name == space->getName()) entry.roles.push_back(role);
    }
    return listed;
}

ColourConversion ColourConfig::Conversion(const std::string& from, const std::string& to) const {
    ColourConversion conversion;
    try {
        const OCIO::ConstProcessorRcPtr processor = state_->config->getProcessor(from.c_str(), to.c_str());
        if (processor->isNoOp()) return conversion;
        conversion.processor_ =
            processor->getOptimizedCPUProcessor(OCIO::BIT_DEPTH_F32, OCIO::BIT_DEPTH_F32, OCIO::OPTIMIZATION_DEFAULT);
    } catch (const OCIO::Exception& error) {
        throw CliError(ExitCode::Usage, "cannot convert from " + Quoted(from) + " to " + Quoted(to) + " with " +
                                            description_ + ": " + error.what());
    }
    return conversion;
}

ColourConversion::ColourConversion() = default;

void ColourConversion::Apply(float* rgb, size_t pixels, size_t stride) const {
    if (!processor_ || pixels == 0) return;
    const auto processor = std::static_pointer_cast<const OCIO::CPUProcessor>(processor_);
    // In rows of a bounded length: the image description takes a long, and the
    // processor's scratch follows the row.
    constexpr size_t kRow = 4096;
    const ptrdiff_t step = static_cast<ptrdiff_t>(stride * sizeof(float));
    for (size_t start = 0; start < pixels; start += kRow) {
        const long count = static_cast<long>(std::min(kRow, pixels - start));
        OCIO::PackedImageDesc row(rgb + start * stride, count, 1, OCIO::CHANNEL_ORDERING_RGB, OCIO::BIT_DEPTH_F32,
                                  sizeof(float), step, step * count);
        processor->apply(row);
    }
}
