// Parameters by name, their values and ranges, the params listing and presets.
#include "tests/cli/CliTestSupport.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace clitest {
namespace {

using OIIO::TypeDesc;

class Params : public CliTest {
protected:
    RunResult List(std::vector<std::string> options = {}) const {
        std::vector<std::string> args{"params", "--module", TEXTURIST_MODULE};
        args.insert(args.end(), options.begin(), options.end());
        return Run(args);
    }
};

// The listing's line of a parameter, by the name in its first column.
std::string LineOf(const std::string& listing, const std::string& name) {
    for (const std::string& line : Lines(listing)) {
        const size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, name.size() + 1, name + " ") == 0) return line;
    }
    return {};
}

std::string ValueOf(const std::string& listing, const std::string& name) {
    const std::string line = LineOf(listing, name);
    const size_t at = line.find("; value ");
    if (at == std::string::npos) return {};
    const std::string value = line.substr(at + 8);
    return value.substr(0, value.find("  (disabled)"));
}

TEST_F(Params, TheListingShowsEveryParameterWithItsRangeAndDefault) {
    const RunResult run = List();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    struct Case {
        const char* name;
        const char* type;
        const char* range;
        const char* byDefault;
    } cases[] = {
        {"Viewing Mode", "popup",
         "1 Preview, 2 Noise Samples, 3 Compensation Samples, 4 Blending Matte, 5 Final Output", "Preview"},
        {"Number of Samples", "integer", "1 to 10", "8"},
        {"Sample Size", "integer", "16 to 256 (slider 16 to 64)", "24"},
        {"Intensity", "number", "0 to 100 (slider 0 to 5)", "1"},
        {"Midpoint", "number", "0 to 1", "0.5"},
        {"Compensate for Existing Noise", "percent", "0 to 100 %", "0"},
        {"Matching Color", "colour", "#rrggbb", "#7f7f7f"},
        {"Show Box", "checkbox", "on or off", "on"},
        {"Blending Mode", "popup", "1 Film, 2 Multiply, 3 Add, 4 Screen, 5 Overlay", "Add"},
        {"Match Color Using", "popup", "1 Off, 2 RGB, 3 Hue", "RGB"},
        {"Width", "integer", "50 to 200", "200"},
        {"Noise Sample Points/3", "point", "x,y in pixels", "50%,50% of the input"},
        {"Intensity/10", "point", "x,y in pixels", "50%,50% of the input"},
        {"Random Seed", "integer", "0 to 10000 (slider 0 to 100)", "0"},
        {"Estimator", "popup", "1 Classic, 2 Refined", "Refined"},
        {"Fit Response to Source", "checkbox", "on or off", "off"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = LineOf(run.out, c.name);
        ASSERT_FALSE(line.empty()) << run.out;
        EXPECT_NE(line.find(std::string(" ") + c.type + " "), std::string::npos) << line;
        EXPECT_NE(line.find(c.range), std::string::npos) << line;
        EXPECT_NE(line.find(std::string("default ") + c.byDefault + ";"), std::string::npos) << line;
    }
    // 75 parameters with values, 2 layers and 14 groups: the 105 the module declares, less the 14 group ends.
    int listed = 0;
    for (const std::string& line : Lines(run.out)) listed += line.find("; value ") != std::string::npos;
    EXPECT_EQ(listed, 77);
    EXPECT_EQ(ValueOf(run.out, "Viewing Mode"), "Final Output") << "a batch render shows the final output";
    EXPECT_NE(run.out.find("Compensation Sample Points"), std::string::npos) << "the alias is explained";
}

// The listing shows what the module's own UI update disables (here: a fitted
// response takes over the response sliders); the rules themselves are the
// module's, checked on every host with the module.
TEST_F(Params, TheModulesUiUpdateDecidesWhatIsDisabled) {
    const RunResult run = List({"--set", "Fit Response to Source=on"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const char* name : {"Size", "Saturation"})
        EXPECT_EQ(LineOf(run.out, name).find("(disabled)"), std::string::npos) << name;
    for (const char* name : {"Shadows", "Midpoint", "Red Midtones", "Blue Highlights"})
        EXPECT_NE(LineOf(run.out, name).find("(disabled)"), std::string::npos) << name;
}

TEST_F(Params, SetTakesEveryNameAndValueForm) {
    struct Case {
        const char* assignment;
        const char* listed; // the parameter's name in the listing
        const char* value;  // as the listing shows it
    } cases[] = {
        {"Preview Region/Width=120", "Width", "120"},
        {"preview region / height = 80", "Height", "80"},
        {"Sampling/Noise Sample Points/3=12,34", "Noise Sample Points/3", "12,34"},
        {"Compensation Sample Points/2=10.5,20", "Intensity/2", "10.5,20"},
        {"Intensity/4=7,8", "Intensity/4", "7,8"},
        {"Blending Mode=screen", "Blending Mode", "Screen"},
        {"Blending Mode=2", "Blending Mode", "Multiply"},
        {"Match Color Using=Luminance", "Match Color Using", "Luminance"},
        {"Box Color=#ff8000", "Box Color", "#ff8000"},
        {"Box Color=1,0.5,0", "Box Color", "#ff8000"},
        {"Sample Box Color=0,0,1,0.5", "Sample Box Color", "#0000ff80"},
        {"Tint Color=0,0,1,0.5", "Tint Color", "#0000ff"},   // its alpha has no use
        {"Match Color Using=2", "Match Color Using", "RGB"}, // counted over the choices
        {"Noise Sample Points/5=25%,50%", "Noise Sample Points/5", "25%,50%"},
        {"Blend with Original/Amount=40", "Amount", "40"},
        {"Tint Amount=0.5%", "Tint Amount", "0.5"},
        {"Show Box=off", "Show Box", "off"},
        {"Invert Match=yes", "Invert Match", "on"},
        {"Compensate for Existing Noise=50%", "Compensate for Existing Noise", "50"},
        {"Size=2.25", "Size", "2.25"},
        {"Intensity=0", "Intensity", "0"},
        {"Number of Samples=10", "Number of Samples", "10"},
        {"Viewing Mode=Blending Matte", "Viewing Mode", "Blending Matte"},
    };
    // One listing per round, each parameter at most once a round: later sets would hide earlier ones.
    std::vector<std::vector<const Case*>> rounds;
    for (const Case& c : cases) {
        auto round = std::find_if(rounds.begin(), rounds.end(), [&](const std::vector<const Case*>& r) {
            return std::none_of(r.begin(), r.end(),
                                [&](const Case* other) { return std::string(other->listed) == c.listed; });
        });
        if (round == rounds.end()) round = rounds.insert(rounds.end(), std::vector<const Case*>());
        round->push_back(&c);
    }
    for (const std::vector<const Case*>& round : rounds) {
        std::vector<std::string> options;
        for (const Case* c : round) options.insert(options.end(), {"--set", c->assignment});
        const RunResult run = List(options);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        for (const Case* c : round) EXPECT_EQ(ValueOf(run.out, c->listed), c->value) << c->assignment;
    }
}

TEST_F(Params, BadNamesAndValuesAreRefusedWithTheirRange) {
    WriteClean("clean.png", {64, 48, 3, TypeDesc::UINT8});
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 2});
    struct Case {
        const char* assignment;
        std::vector<std::string> mentions;
    } cases[] = {
        {"Intensity=101", {"Intensity", "101", "0 to 100"}},
        {"Number of Samples=11", {"Number of Samples", "11", "1 to 10"}},
        {"Midpoint=1.5", {"Midpoint", "1.5", "0 to 1"}},
        {"Compensate for Existing Noise=120", {"Compensate for Existing Noise", "120", "0 to 100"}},
        {"Blending Mode=Burn", {"Blending Mode", "Burn", "Film"}},
        {"Match Color Using=9", {"Match Color Using", "9", "8 Blue Channel"}},
        {"Amount=0.5", {"Amount", "ambiguous", "0.5%", "50%"}},
        {"Center=50%,5", {"Center", "x%,y%"}},
        {"Box Color=1.5,0,0", {"Box Color", "1.5", "0 to 1"}},
        {"Show Box=maybe", {"Show Box", "maybe"}},
        {"Preview Region/Center=5", {"Center", "x,y"}},
        {"Sise=2", {"unknown parameter", "Sise", "Size"}},
        {"1=3,4", {"ambiguous", "Noise Sample Points/1", "Intensity/1"}},
        {"Size", {"NAME=VALUE"}},
    };
    // Both commands check the same way; they take turns so each case runs once.
    bool listing = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.assignment);
        listing = !listing;
        const RunResult run = listing ? List({"--set", c.assignment})
                                      : Render("clean.png", "plate.png", "out.png", {"--quiet", "--set", c.assignment});
        EXPECT_EQ(run.exitCode, 2);
        ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("texturist: error: ", 0), 0u) << run.err;
        for (const std::string& mention : c.mentions) EXPECT_NE(run.err.find(mention), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Path("out.png")));
    }
}

TEST_F(Params, PresetsRoundTripByIdentifier) {
    const std::vector<std::string> sets{"--set", "Size=2.5",
                                        "--set", "Blending Mode=Overlay",
                                        "--set", "Box Color=#102030",
                                        "--set", "Monochromatic=on",
                                        "--set", "Noise Sample Points/2=5,6",
                                        "--set", "Random Seed=42",
                                        "--set", "Compensate for Existing Noise=12.5",
                                        "--set", "Midpoint=0.7",
                                        "--set", "Intensity/3=20%,30%"};
    std::vector<std::string> saving = sets;
    saving.insert(saving.end(), {"--view", "matte", "--save-preset", "look.json"});
    const RunResult saved = List(saving);
    ASSERT_EQ(saved.exitCode, 0) << saved.err;

    nlohmann::ordered_json preset;
    std::ifstream(Path("look.json")) >> preset;
    EXPECT_EQ(preset["format"], "texturist-preset");
    EXPECT_EQ(preset["version"], 3);
    const nlohmann::ordered_json& values = preset["parameters"];
    EXPECT_EQ(values["119"]["value"], 2.5) << "Size is ParamId 119";
    EXPECT_EQ(values["131"]["value"], 0.7) << "the 16.16 value written as the control shows it";
    EXPECT_EQ(values["29"]["value"], "Overlay") << "Blending Mode is ParamId 29";
    EXPECT_EQ(values["118"]["value"], "12.5%");
    EXPECT_EQ(values["51"]["value"], nlohmann::json::array({5.0, 6.0}));
    EXPECT_EQ(values["72"]["value"], "20%,30%");
    EXPECT_FALSE(values.contains("50")) << "a point at its default follows the input's size";
    EXPECT_FALSE(values.contains("2")) << "the viewing mode is --view's to decide";
    std::vector<std::string> keys;
    for (const auto& item : values.items()) keys.push_back(item.key());
    ASSERT_GE(keys.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 3), (std::vector<std::string>{"15", "16", "117"}))
        << "in the host's order";

    const RunResult loaded = List({"--preset", "look.json", "--view", "matte"});
    ASSERT_EQ(loaded.exitCode, 0) << loaded.err;
    EXPECT_EQ(loaded.out, saved.out);
    EXPECT_EQ(ValueOf(List({"--preset", "look.json"}).out, "Viewing Mode"), "Final Output");

    // Version 1 presets load as written: popups by the host's value, bare percentages, their viewing mode ignored.
    std::ofstream(Path("old.json")) << R"({"format": "texturist-preset", "version": 1, "parameters": {)"
                                       R"("2": {"value": 4}, "147": {"value": 3}, "143": {"value": 0.5}}})";
    const RunResult old = List({"--preset", "old.json"});
    ASSERT_EQ(old.exitCode, 0) << old.err;
    EXPECT_EQ(ValueOf(old.out, "Match Color Using"), "RGB");
    EXPECT_EQ(ValueOf(old.out, "Amount"), "0.5");
    EXPECT_EQ(ValueOf(old.out, "Viewing Mode"), "Final Output");
    EXPECT_EQ(ValueOf(old.out, "Estimator"), "Classic") << "made before the refined estimate existed";
    EXPECT_EQ(ValueOf(loaded.out, "Estimator"), "Refined");
    std::ofstream(Path("v2.json")) << R"({"format": "texturist-preset", "version": 2, "parameters": {}})";
    EXPECT_EQ(ValueOf(List({"--preset", "v2.json"}).out, "Estimator"), "Classic");
    // A version-3 preset from before the response fit existed has no entry for it: off, as made.
    std::ofstream(Path("v3.json")) << R"({"format": "texturist-preset", "version": 3, "parameters": {}})";
    EXPECT_EQ(ValueOf(List({"--preset", "v3.json"}).out, "Fit Response to Source"), "off");

    // A --set after the preset wins; the rest of the preset stays.
    const RunResult overridden = List({"--preset", "look.json", "--set", "Size=3"});
    EXPECT_EQ(ValueOf(overridden.out, "Size"), "3");
    EXPECT_EQ(ValueOf(overridden.out, "Blending Mode"), "Overlay");

    // A render with the preset is the render with the settings.
    WriteClean("clean.png", {64, 48, 3, TypeDesc::UINT8});
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 9});
    std::vector<std::string> direct{"--quiet", "--print-hash"};
    direct.insert(direct.end(), sets.begin(), sets.end());
    const RunResult a = Render("clean.png", "plate.png", "a.png", direct);
    const RunResult b = Render("clean.png", "plate.png", "b.png", {"--quiet", "--print-hash", "--preset", "look.json"});
    ASSERT_EQ(a.exitCode, 0) << a.err;
    ASSERT_EQ(b.exitCode, 0) << b.err;
    ASSERT_EQ(HashLines(a.out).size(), 1u);
    ASSERT_EQ(HashLines(b.out).size(), 1u);
    EXPECT_EQ(HashLines(a.out)[0].second, HashLines(b.out)[0].second);
}

TEST_F(Params, BadPresetsAreRefused) {
    struct Case {
        const char* text;
        int exitCode;
        const char* mention;
    } cases[] = {
        {"{ not json", 3, "not valid JSON"},
        {R"({"format": "something-else", "version": 1, "parameters": {}})", 3, "not a texturist preset"},
        // Found by the preset fuzzer: a format that is not text.
        {R"({"format": 2, "parameters": {}})", 3, "not a texturist preset"},
        {R"({"format": "texturist-preset", "version": 4, "parameters": {}})", 3, "version 4"},
        {R"({"format": "texturist-preset", "version": 1, "parameters": {"999": {"value": 1}}})", 2, "999"},
        {R"({"format": "texturist-preset", "version": 1, "parameters": {"119": {"value": 101}}})", 2, "0 to 100"},
        {R"({"format": "texturist-preset", "version": 1, "parameters": {"10": {"value": "many"}}})", 2, "many"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::ofstream(Path("bad.json")) << c.text;
        const RunResult run = List({"--preset", "bad.json"});
        EXPECT_EQ(run.exitCode, c.exitCode);
        ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find("bad.json"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.mention), std::string::npos) << run.err;
    }
    const RunResult missing = List({"--preset", "absent.json"});
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_NE(missing.err.find("absent.json"), std::string::npos);
}

} // namespace
} // namespace clitest
