// Every failure ends with one clear line, its documented exit code and no file left behind.
#include "tests/cli/CliTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace clitest {
namespace {

using OIIO::TypeDesc;

class Errors : public CliTest {};

TEST_F(Errors, EachFailureHasItsExitCodeAndOneLine) {
    WriteClean("clean.png", {64, 48, 3, TypeDesc::UINT8});
    WriteClean("wide.png", {40000, 1, 3, TypeDesc::UINT8});
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 4});
    WriteClean("clean.0001.png", {64, 48, 3, TypeDesc::UINT8});
    WriteClean("clean.0002.png", {64, 48, 3, TypeDesc::UINT8});
    std::ofstream(Path("text.png")) << "this is not a picture";

    // A render that works, with some of its options replaced or added.
    auto render = [](std::vector<std::pair<std::string, std::string>> changes) {
        std::vector<std::pair<std::string, std::string>> options{{"--module", TEXTURIST_MODULE},
                                                                 {"--input", "clean.png"},
                                                                 {"--noise-source", "plate.png"},
                                                                 {"--output", "out.png"},
                                                                 {"--quiet", ""}};
        for (const auto& change : changes) {
            auto same = std::find_if(options.begin(), options.end(), [&](auto& o) { return o.first == change.first; });
            if (same == options.end()) {
                options.push_back(change);
            } else if (change.second.empty()) {
                options.erase(same); // an option left out
            } else {
                same->second = change.second;
            }
        }
        std::vector<std::string> args{"render"};
        for (const auto& [option, value] : options) {
            args.push_back(option);
            if (!value.empty()) args.push_back(value);
        }
        return args;
    };
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::vector<std::string> mentions;
    } cases[] = {
        // files
        {render({{"--input", "absent.png"}}), 3, {"absent.png", "no such file"}},
        {render({{"--input", "text.png"}}), 3, {"text.png"}},
        {render({{"--input", "wide.png"}}), 3, {"wide.png", "40000"}},
        {render({{"--input", "none.####.png"}}), 3, {"none.####.png"}},
        {render({{"--output", "nowhere/out.png"}}), 3, {"nowhere"}},
        {render({{"--module", "absent.so"}}), 3, {"absent.so", "module"}},
        // usage
        {render({{"--noise-source", ""}}), 2, {"--noise-source"}},
        {render({{"--input", ""}}), 2, {"--input"}},
        {{"frobnicate"}, 2, {"frobnicate"}},
        {render({{"--output", "out.bmp"}}), 2, {"out.bmp", "PNG, TIFF, EXR, DPX and JPEG"}},
        {render({{"--output", "out.jpg"}, {"--depth", "16"}}), 2, {"JPEG", "16-bit"}},
        {render({{"--view", "sideways"}}), 2, {"--view", "sideways"}},
        {render({{"--fps", "fast"}}), 2, {"--fps", "fast"}},
        {render({{"--threads", "0"}}), 2, {"--threads"}},
        {render({{"--frames", "5-x"}}), 2, {"frame list", "5-x"}},
        {render({{"--chunk", "3/2"}}), 2, {"--chunk", "3/2"}},
        {render({{"--frames", "1-3"}}), 2, {"--output", "out.png", "frame number"}},
        {render({{"--output", "clean.png"}}), 2, {"overwrite"}},
        {render({{"--noise-source", "absent-plate.png"}}), 3, {"absent-plate.png", "no such file"}},
        {render({{"--fps", "0"}}), 2, {"--fps", "above 0"}},
        {{"render", "-i", "x"}, 2, {"texturist render --help"}},
        {render({{"--set", "Noise Source Layer=other.png"}}), 2, {"--noise-source", "--set"}},
        {render({{"--verify", "nonsense"}}), 2, {"--verify", "nonsense"}},
        // the module's own failure: memory refused by the host
        {render({{"--memory-limit", "64K"}}), 5, {"render failed: Out of memory. (code 4)"}},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) shown += arg + " ";
        SCOPED_TRACE(shown);
        const RunResult run = Run(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        const std::vector<std::string> lines = Lines(run.err);
        ASSERT_GE(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("texturist: error: ", 0), 0u) << run.err;
        // CLI11's own usage errors add a pointer to --help; ours are one line.
        EXPECT_LE(lines.size(), c.exitCode == 2 ? 2u : 1u) << run.err;
        for (const std::string& mention : c.mentions) EXPECT_NE(run.err.find(mention), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(Path("out.png")));
        EXPECT_FALSE(fs::exists(Path("out.jpg")));
        EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
    }
    const RunResult bare = Run({});
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_NE(bare.err.find("Usage:"), std::string::npos) << bare.err;
    EXPECT_EQ(Lines(bare.err).back(),
              "texturist: error: no command given: use render, params, analyse, compare, colorspaces or demo");
}

// Files as they turn up on a farm: cut short, misnamed, empty, lying about
// their size, with unusual channel counts. Each is either rendered or refused
// with exit code 3 and one line naming it; no output is left behind.
TEST_F(Errors, HostileImageFilesAreRenderedOrRefusedInOneLine) {
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 4});
    WriteClean("grey.png", {40, 30, 1, TypeDesc::UINT16});
    WriteClean("grey-alpha.png", {40, 30, 2, TypeDesc::UINT8});
    WriteClean("five.tif", {40, 30, 5, TypeDesc::UINT8});
    WriteClean("whole.png", {40, 30, 3, TypeDesc::UINT8});
    WriteClean("whole.exr", {40, 30, 4, TypeDesc::HALF});
    auto bytesOf = [&](const std::string& name) {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    };
    const std::string png = bytesOf("whole.png"), exr = bytesOf("whole.exr");
    write("cut.png", png.substr(0, png.size() / 2));
    write("cut.exr", exr.substr(0, exr.size() / 2));
    write("empty.png", "");
    write("png-named.exr", png);
    write("huge.ppm", "P6\n30000 30000\n255\n\x01\x02\x03");
    write("flat.ppm", "P6\n0 5\n255\n");
    // Found by the image fuzzer: a 95 x 255 picture whose data window is
    // 95 x 1313163520 pixels; the decoder allocates for the data window.
    fs::copy_file(TEXTURIST_TEST_DATA "/tall-data-window.dpx", Path("tall.dpx"));
    // Also the image fuzzer's: a DPX header declaring 4 GB of user data, which
    // the decoder would allocate before reading a pixel.
    fs::copy_file(TEXTURIST_TEST_DATA "/huge-user-data.dpx", Path("user-data.dpx"));

    struct Case {
        const char* file;
        int exitCode; // 0: rendered
    } cases[] = {
        {"grey.png", 0}, {"grey-alpha.png", 0}, {"five.tif", 0},      {"cut.png", 3},
        {"cut.exr", 3},  {"empty.png", 3},      {"png-named.exr", 0}, {"huge.ppm", 3},
        {"flat.ppm", 3}, {"tall.dpx", 3},       {"user-data.dpx", 3},
    };
    for (const Case& c : cases) {
        for (const char* role : {"--input", "--noise-source"}) {
            SCOPED_TRACE(std::string(role) + " " + c.file);
            const std::string input = std::string(role) == "--input" ? c.file : "whole.png";
            const std::string plate = std::string(role) == "--input" ? "plate.png" : c.file;
            const RunResult run = Run({"render", "--module", TEXTURIST_MODULE, "--input", input, "--noise-source",
                                       plate, "--output", "out.png", "--quiet"});
            EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
            if (c.exitCode == 0) {
                EXPECT_TRUE(fs::exists(Path("out.png")));
                fs::remove(Path("out.png"));
                continue;
            }
            const std::vector<std::string> lines = Lines(run.err);
            ASSERT_EQ(lines.size(), 1u) << run.err;
            EXPECT_EQ(lines[0].rfind("texturist: error: ", 0), 0u) << run.err;
            EXPECT_NE(run.err.find(c.file), std::string::npos) << run.err;
            EXPECT_FALSE(fs::exists(Path("out.png")));
            EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
        }
    }
}

} // namespace
} // namespace clitest
