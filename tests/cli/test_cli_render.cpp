// Rendering as a user sees it: views, layers, reproducibility, progress, cancellation, the demo.
#include "tests/cli/CliTestSupport.h"

#include "cli/FrameHash.h"
#include "cli/ImageIO.h"

#include <gtest/gtest.h>

#include <fstream>

namespace clitest {
namespace {

using OIIO::TypeDesc;

class Rendering : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        WriteClean("clean.png", {64, 48, 3, TypeDesc::UINT8});
        WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 17});
    }

    std::string HashOf(const RunResult& run) {
        const auto lines = HashLines(run.out);
        EXPECT_EQ(lines.size(), 1u) << run.out << run.err;
        return lines.empty() ? "" : lines.front().second;
    }
};

TEST_F(Rendering, ThreadCountsGiveTheSameHashAndVerifyChecksIt) {
    const std::vector<std::string> look{"--quiet", "--print-hash", "--set", "Random Seed=11", "--set", "Size=1.5"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), look.begin(), look.end());
        return more;
    };
    const RunResult one = Render("clean.png", "plate.png", "one.png", with({"--threads", "1"}));
    const RunResult two = Render("clean.png", "plate.png", "two.png", with({"--threads", "2"}));
    const RunResult other = Render("clean.png", "plate.png", "other.png", with({"--set", "Random Seed=12"}));
    ASSERT_EQ(one.exitCode, 0) << one.err;
    ASSERT_EQ(two.exitCode, 0) << two.err;
    ASSERT_EQ(other.exitCode, 0) << other.err;
    const std::string hash = HashOf(one);
    EXPECT_EQ(hash.size(), 16u);
    EXPECT_EQ(HashOf(two), hash);
    EXPECT_NE(HashOf(other), hash) << "another seed gives other grain, which the hash must see";

    // The files themselves agree as well.
    EXPECT_EQ(MeanColourDifference(ReadPicture(Path("one.png")), ReadPicture(Path("two.png"))), 0.0);

    std::ofstream(Path("sums.txt")) << one.out;
    fs::create_directories(Path("elsewhere"));
    struct Case {
        std::string verify;
        int exitCode;
        std::string output = "one.png";
    } cases[] = {
        {hash, 0},
        {"sums.txt", 0},
        {"sums.txt", 0, "elsewhere/one.png"}, // a list checks a render into another folder by file name
        {HashOf(other), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verify + " " + c.output);
        const RunResult run =
            Render("clean.png", "plate.png", c.output, with({"--threads", "2", "--verify", c.verify}));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        if (c.exitCode == 1) {
            EXPECT_NE(run.err.find(hash), std::string::npos) << "the actual hash is reported";
        }
    }
}

// A mask larger than the input reaches the matte, given by --mask or by name.
TEST_F(Rendering, AMaskReachesTheMatteByEitherName) {
    WriteClean("mask-large.png", {100, 90, 1, TypeDesc::UINT8});
    // The matte follows the mask: inverting the masking mode changes the matte view.
    const RunResult plain = Render("clean.png", "plate.png", "m1.png",
                                   {"--quiet", "--print-hash", "--view", "matte", "--mask", "mask-large.png"});
    const RunResult inverted = Render("clean.png", "plate.png", "m2.png",
                                      {"--quiet", "--print-hash", "--view", "matte", "--mask", "mask-large.png",
                                       "--set", "Masking Mode=Inverted Intensity"});
    EXPECT_NE(HashOf(plain), HashOf(inverted));
    // The layer parameters can be named with --set too.
    const RunResult named =
        Render("clean.png", "plate.png", "m3.png",
               {"--quiet", "--print-hash", "--view", "matte", "--set", "Mask Layer=mask-large.png"});
    EXPECT_EQ(HashOf(named), HashOf(plain));
}

TEST_F(Rendering, ProgressGoesToStderrUnlessQuiet) {
    const RunResult loud = Render("clean.png", "plate.png", "loud.png", {});
    ASSERT_EQ(loud.exitCode, 0) << loud.err;
    std::vector<std::string> lines = Lines(loud.err);
    ASSERT_GE(lines.size(), 2u);
    // The closing summary, for farm logs, then nothing but progress before it.
    EXPECT_EQ(lines.back().rfind("texturist: done: 1 frame written, 0 skipped, ", 0), 0u) << lines.back();
    lines.pop_back();
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("Progress: ", 0), 0u) << line;
    EXPECT_EQ(lines.back().rfind("Progress: 100% frame 1 (1 of 1) written, ", 0), 0u) << lines.back();
    EXPECT_EQ(loud.out, "");

    const RunResult quiet = Render("clean.png", "plate.png", "quiet.png", {"--quiet"});
    ASSERT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out, "");
}

// A signal in the middle of a long render cancels it through the host's abort
// service: exit 130, no output and no temporary file. A tall picture renders
// in many bands and a large grain Size makes each band slow; the signal goes
// once the evaluation has begun (progress past the sampling and analysis).
TEST_F(Rendering, SignalsCancelWithoutLeavingAFile) {
    WriteClean("tall.png", {128, 8000, 3, TypeDesc::UINT8});
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        RunningCli cli(Folder(), {"render", "--module", TEXTURIST_MODULE, "--input", "tall.png", "--noise-source",
                                  "plate.png", "--output", "long.exr", "--set", "Size=25"});
        ASSERT_TRUE(cli.WaitForStderr("Progress: 80%", std::chrono::seconds(120))) << cli.Stderr();
        cli.Signal(signal);
        EXPECT_EQ(cli.Wait(std::chrono::seconds(120)), 130) << cli.Stderr();
        EXPECT_NE(cli.Stderr().find("texturist: cancelled"), std::string::npos) << cli.Stderr();
        EXPECT_EQ(cli.Stderr().find("Progress: 100%"), std::string::npos) << "the render finished before the signal";
        EXPECT_FALSE(fs::exists(Path("long.exr")));
        EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
    }
}

// The demo's look is pinned by tests/data/golden-demo.txt; a deliberate change updates it.
TEST_F(Rendering, DemoWritesItsPicturesIntoOut) {
    const RunResult quiet =
        Run({"demo", "--module", TEXTURIST_MODULE, "--quiet", "--verify", TEXTURIST_TEST_DATA "/golden-demo.txt"});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.out + quiet.err, "") << "--quiet prints nothing";
    std::ofstream(Path("wrong.txt")) << "0000000000000000  demo-final.png\n";
    const RunResult wrong = Run({"demo", "--module", TEXTURIST_MODULE, "--quiet", "--verify", "wrong.txt"});
    EXPECT_EQ(wrong.exitCode, 1) << wrong.err;
    EXPECT_NE(wrong.err.find("differs from the expected 0000000000000000"), std::string::npos) << wrong.err;
    const RunResult run = Run({"demo", "--module", TEXTURIST_MODULE});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Picture final = ReadPicture(Path("out/demo-final.png"));
    const Picture samples = ReadPicture(Path("out/demo-noise-samples.png"));
    const Picture clean = ReadPicture(TEXTURIST_DEMO_DATA "/clean.png");
    const Picture plate = ReadPicture(TEXTURIST_DEMO_DATA "/grain-plate.png");
    EXPECT_EQ(final.header.width, clean.header.width);
    EXPECT_EQ(samples.header.width, plate.header.width);
    EXPECT_GT(MeanColourDifference(final, clean), 0.004) << "the demo shows grain";
    EXPECT_NE(run.out.find("out/demo-final.png"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("out/demo-noise-samples.png"), std::string::npos) << run.out;
}

// Each estimator's look is pinned: every viewing mode at 8 and 16 bits and two looks with other
// settings give the hashes in tests/data/golden-classic.txt (taken before the refined estimator
// existed) and golden-refined.txt (taken before the response fit did). A change that alters
// them on purpose updates the file in the same commit.
TEST_F(Rendering, EachEstimatorKeepsItsGoldenHashes) {
    fs::copy_file(TEXTURIST_DEMO_DATA "/clean.png", Path("demo-clean.png"));
    fs::copy_file(TEXTURIST_DEMO_DATA "/grain-plate.png", Path("demo-plate.png"));
    for (const auto& [from, to] :
         {std::pair{"demo-clean.png", "clean16.png"}, std::pair{"demo-plate.png", "plate16.png"}}) {
        OIIO::ImageBuf in(Path(from).string());
        ASSERT_TRUE(in.read(0, 0, true, TypeDesc::FLOAT));
        ASSERT_TRUE(in.write(Path(to).string(), TypeDesc::UINT16));
    }
    for (const auto& [estimator, file] :
         {std::pair{"Classic", "golden-classic.txt"}, {"Refined", "golden-refined.txt"}}) {
        SCOPED_TRACE(estimator);
        const std::string golden = std::string(TEXTURIST_TEST_DATA "/") + file;
        const auto render = [&](const std::string& input, const std::string& plate, const std::string& output,
                                std::vector<std::string> more) {
            more.insert(more.end(), {"--quiet", "--set", std::string("Estimator=") + estimator, "--verify", golden});
            const RunResult run = Render(input, plate, output, more);
            EXPECT_EQ(run.exitCode, 0) << output << ": " << run.err;
            // 8-bit files hold exactly what the module rendered: its output, not a conversion of it.
            if (output.find("-8.png") != std::string::npos) {
                EXPECT_EQ(HashFrame(ReadImage(Path(output).string()).pixels.Image()),
                          HashExpectations(golden).For(output))
                    << output;
            }
        };
        for (const int depth : {8, 16}) {
            const std::string input = depth == 8 ? "demo-clean.png" : "clean16.png";
            const std::string plate = depth == 8 ? "demo-plate.png" : "plate16.png";
            for (const char* view : {"final", "noise-samples", "compensation-samples", "matte", "preview"})
                render(input, plate, "golden-" + std::string(view) + "-" + std::to_string(depth) + ".png",
                       {"--view", view});
        }
        render("demo-clean.png", "demo-plate.png", "golden-look1-8.png",
               {"--set", "Size=1.6", "--set", "Blending Mode=Film", "--set", "Compensate for Existing Noise=30"});
        render("clean16.png", "plate16.png", "golden-look2-16.png",
               {"--set", "Amount=60", "--set", "Matching Tolerance=0.3", "--set", "Monochromatic=on", "--set",
                "Random Seed=7"});
    }
}

TEST_F(Rendering, VersionNamesTheCommandAndTheModule) {
    const RunResult run = Run({"--version"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind(std::string("texturist ") + TEXTURIST_VERSION + "\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("Texturist"), std::string::npos) << run.out;
}

} // namespace
} // namespace clitest
