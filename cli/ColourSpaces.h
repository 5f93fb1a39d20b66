// Colour spaces through OpenColorIO: the config named by $OCIO, or a small
// built-in one (ACES2065-1 reference; Linear Rec.709 (sRGB) as scene_linear,
// ACEScct as compositing_log, sRGB - Texture, Cineon Log, ACEScg, Raw).
//
// Film grain lives in an encoding close to how film and eyes see: log or
// display-referred. Scene-linear plates are therefore handed to the module in
// a log working space, and everything else in its own encoding, which keeps
// 8-bit, 16-bit and log DPX renders exactly as they were.
#pragma once

#include <OpenImageIO/imageio.h>

#include <memory>
#include <string>
#include <vector>

class ColourConversion;

class ColourConfig {
public:
    // The config of this process: $OCIO when set, else the built-in one.
    // CliError (InputOutput) naming the file when $OCIO cannot be loaded.
    static const ColourConfig& Current();
    static ColourConfig BuiltIn();

    // "the built-in config" or "the OCIO config \"path\"".
    const std::string& Description() const { return description_; }

    // The config's own name of a colour space, alias or role; CliError (Usage)
    // naming `option` when the config has no such space.
    std::string Resolve(const std::string& name, const std::string& option) const;

    // The space a file's pixels are in, from its tags ("oiio:ColorSpace",
    // DPX's transfer) and, untagged, its samples: float and half are scene-linear,
    // integers sRGB. `file` names the file in errors.
    std::string SpaceOfFile(const OIIO::ImageSpec& spec, const std::string& file) const;
    bool IsSceneLinear(const std::string& space) const;
    // The module's encoding for scene-linear footage (the compositing_log role).
    std::string LogWorkingSpace(const std::string& why) const;
    // The display-referred space integer files from scene-linear footage default to.
    std::string DisplaySpace(const std::string& why) const;
    // What "oiio:ColorSpace" should say of a file in `space`, in the names file readers know.
    std::string FileTag(const std::string& space) const;

    // Every colour space: name, encoding and the roles naming it.
    struct Listed {
        std::string name;
        std::string encoding;
        std::string family;
        std::vector<std::string> roles;
    };
    std::vector<Listed> List() const;

    ColourConversion Conversion(const std::string& from, const std::string& to) const;

    ~ColourConfig();
    ColourConfig(ColourConfig&&) noexcept;
    ColourConfig& operator=(ColourConfig&&) noexcept;

private:
    struct State;
    explicit ColourConfig(std::unique_ptr<State> state, std::string description);
    std::string FirstKnown(const std::vector<std::string>& names, const char* role) const;

    std::unique_ptr<State> state_;
    std::string description_;
};

// One colour conversion, applied in place to RGB triplets of float.
class ColourConversion {
public:
    ColourConversion(); // the identity
    bool Identity() const { return processor_ == nullptr; }
    // `pixels` triplets, each `stride` floats after the one before.
    void Apply(float* rgb, size_t pixels, size_t stride = 3) const;

private:
    friend class ColourConfig;
    std::shared_ptr<const void> processor_;
};
