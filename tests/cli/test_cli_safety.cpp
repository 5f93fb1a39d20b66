// Nothing lost, nothing overwritten, nothing silent: full disks, outputs that
// would land on the files a render reads, signals in quick succession, two
// renders into the same outputs, and the warnings a render gives (or, under
// --strict, the errors) when it would not do what was probably meant.
#include "tests/cli/CliTestSupport.h"

#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sys/mount.h>
#include <thread>

namespace clitest {
namespace {

using OIIO::TypeDesc;

class Safety : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        WriteClean("clean.png", {64, 48, 3, TypeDesc::UINT8});
        WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 4});
    }
};

// A small file system of its own, unmounted however the test ends.
class SmallDisk {
public:
    SmallDisk(const fs::path& at, uint64_t bytes) : at_(at) {
        fs::create_directories(at);
        const std::string size = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, size.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }

private:
    fs::path at_;
    bool mounted_ = false;
};

TEST_F(Safety, AFullDiskStopsWithExitThreeAndKeepsTheFramesBeforeIt) {
    for (int i = 1; i <= 3; ++i) WriteClean("clean." + std::to_string(i) + ".png", {256, 256, 3, TypeDesc::UINT8, 7});
    for (const char* extension : {"png", "jpg", "exr", "tif", "dpx"}) {
        SCOPED_TRACE(extension);
        const std::string ext = extension;
        // The frames' sizes on a disk with room, and their hashes.
        const RunResult roomy = Render("clean.#.png", "plate.png", "roomy.#." + ext, {"--quiet", "--print-hash"});
        ASSERT_EQ(roomy.exitCode, 0) << roomy.err;
        const uint64_t frameBytes = fs::file_size(Path("roomy.1." + ext));
        // Room for the first frame and half of the second.
        const std::string disk = std::string("disk-") + extension;
        const SmallDisk small(Path(disk), (frameBytes * 3 / 2 + 4095) / 4096 * 4096 + 4096);
        if (!small.Mounted()) GTEST_SKIP() << "this machine refuses to mount a small file system here";
        const RunResult full = Render("clean.#.png", "plate.png", disk + "/out.#." + ext, {"--quiet", "--print-hash"});
        EXPECT_EQ(full.exitCode, 3) << full.err;
        ASSERT_EQ(Lines(full.err).size(), 1u) << full.err;
        EXPECT_NE(full.err.find(disk + "/out.2." + ext), std::string::npos) << full.err;
        EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(Path(disk))) left.push_back(entry.path().filename());
        EXPECT_EQ(left, std::vector<std::string>{"out.1." + ext}) << "no partial, empty or temporary file";
        ASSERT_GE(HashLines(full.out).size(), 1u);
        EXPECT_EQ(HashLines(full.out)[0].second, HashLines(roomy.out)[0].second);
        EXPECT_EQ(fs::file_size(Path(disk + "/out.1." + ext)), frameBytes) << "the finished frame is whole";
    }
}

TEST_F(Safety, NoOutputLandsOnAFileTheRenderReads) {
    WriteClean("mask.png", {64, 48, 3, TypeDesc::UINT8, 3});
    fs::create_directories(Path("sub"));
    fs::create_symlink("clean.png", Path("link-to-clean.png"));
    fs::create_symlink("plate.png", Path("link-to-plate.png"));
    ASSERT_EQ(Run({"params", "--module", TEXTURIST_MODULE, "--save-preset", "look.png"}).exitCode, 0);
    const std::string absolute = Path("clean.png").string();
    struct Case {
        std::string output;
        std::vector<std::string> more;
        std::string names; // the file the refusal names
    } cases[] = {
        {"./sub/../clean.png", {}, "the input"},
        {absolute, {}, "the input"},
        {"link-to-clean.png", {}, "the input"},
        {"sub/../plate.png", {}, "the noise source"},
        {"link-to-plate.png", {}, "the noise source"},
        {"./mask.png", {"--mask", "mask.png"}, "the mask"},
        {"look.png", {"--preset", "look.png"}, "the preset"},
    };
    const auto before = [&](const std::string& name) { return fs::last_write_time(Path(name)); };
    const auto cleanTime = before("clean.png"), plateTime = before("plate.png"), maskTime = before("mask.png");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        std::vector<std::string> more{"--quiet"};
        more.insert(more.end(), c.more.begin(), c.more.end());
        const RunResult run = Render("clean.png", "plate.png", c.output, more);
        EXPECT_EQ(run.exitCode, 2) << run.err;
        ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find("would overwrite " + c.names), std::string::npos) << run.err;
    }
    EXPECT_EQ(before("clean.png"), cleanTime);
    EXPECT_EQ(before("plate.png"), plateTime);
    EXPECT_EQ(before("mask.png"), maskTime);
    EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
}

TEST_F(Safety, TwoSignalsInQuickSuccessionLeaveNoTemporaryFile) {
    // Frames large enough that writing them takes a while: the signals land
    // while a frame is rendered or while one is written.
    for (int i = 1; i <= 4; ++i) WriteClean("big." + std::to_string(i) + ".png", {1500, 1200, 3, TypeDesc::UINT8, 5});
    for (int delayMs : {0, 150, 400}) {
        SCOPED_TRACE(delayMs);
        RunningCli cli(Folder(),
                       {"render", "--module", TEXTURIST_MODULE, "--input", "big.#.png", "--noise-source", "plate.png",
                        "--output", "out.#.exr", "--depth", "float", "--set", "Size=3", "--threads", "1"});
        ASSERT_TRUE(cli.WaitForStderr("Progress:", std::chrono::seconds(120))) << cli.Stderr();
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        cli.Signal(SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        cli.Signal(SIGINT);
        const int code = cli.Wait(std::chrono::seconds(120));
        EXPECT_TRUE(code == 130 || code == 128 + SIGINT) << code << " " << cli.Stderr();
        EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
        for (int i = 1; i <= 4; ++i) {
            const fs::path frame = Path("out." + std::to_string(i) + ".exr");
            if (fs::exists(frame)) {
                EXPECT_NO_THROW(ReadPicture(frame)) << "a written frame is whole";
            }
        }
    }
}

TEST_F(Safety, ASecondRenderIntoTheSameOutputsIsRefusedWhileTheFirstRuns) {
    // A long sequence of small frames (links to one picture): the first render
    // is still busy with it when the others start, and is cancelled at the end.
    for (int i = 1; i <= 3000; ++i) fs::create_symlink("clean.png", Path("f." + std::to_string(i) + ".png"));
    fs::create_directories(Path("sub"));
    RunningCli first(Folder(), {"render", "--module", TEXTURIST_MODULE, "--input", "f.#.png", "--noise-source",
                                "plate.png", "--output", "out.#.png", "--frames", "1-2999", "--threads", "1"});
    ASSERT_TRUE(first.WaitForStderr("Progress:", std::chrono::seconds(120))) << first.Stderr();
    // The same frames under other spellings of the sequence.
    for (const std::string& output : {std::string("out.#.png"), std::string("./sub/../out.%d.png")}) {
        const RunResult second = Render("f.#.png", "plate.png", output, {"--quiet", "--frames", "2990-3000"});
        EXPECT_EQ(second.exitCode, 3) << second.err;
        ASSERT_EQ(Lines(second.err).size(), 1u) << second.err;
        EXPECT_NE(second.err.find("another texturist render is writing frame 2990"), std::string::npos) << second.err;
    }
    // Other frames of the sequence (a farm's other chunk) and other outputs go ahead meanwhile.
    EXPECT_EQ(Render("f.#.png", "plate.png", "out.#.png", {"--quiet", "--frames", "3000"}).exitCode, 0);
    EXPECT_EQ(Render("clean.png", "plate.png", "other.png", {"--quiet"}).exitCode, 0);
    first.Signal(SIGINT);
    EXPECT_EQ(first.Wait(std::chrono::seconds(120)), 130) << "the first render was still running throughout";
    // Once it is gone, its frames are free again.
    EXPECT_EQ(Render("f.#.png", "plate.png", "out.#.png", {"--quiet", "--frames", "2990"}).exitCode, 0);
}

// Each warning lets the render go on; --strict makes it an error before anything is written.
TEST_F(Safety, WarningsSayWhatWillNotActAndStrictMakesThemErrors) {
    WriteClean("mask.png", {64, 48, 3, TypeDesc::UINT8, 3});
    WriteFloatImage(Path("flat.exr"), 96, 72, 3, std::vector<float>(96 * 72 * 3, 0.5f));
    WriteFloatImage(Path("nan.exr"), 96, 72, 3, std::vector<float>(96 * 72 * 3, std::nanf("")));
    WritePlate("small.png", {12, 10, 3, TypeDesc::UINT8, 4});
    struct Case {
        std::string plate;
        std::vector<std::string> more;
        std::vector<std::string> mentions;
    } cases[] = {
        {"plate.png", {"--mask", "mask.png"}, {"--mask has no effect", "Amount", "0%"}},
        {"flat.exr", {}, {"flat.exr", "no measurable grain"}},
        {"nan.exr", {}, {"nan.exr", "no finite pixels"}},
        {"small.png", {}, {"small.png", "12 x 10", "smaller than \"Sample Size\" 24"}},
        {"plate.png", {"--set", "Noise Sample Points/1=3,4"}, {"Noise Sample Points/1", "Manual"}},
        {"plate.png", {"--set", "Monochromatic=on", "--set", "Saturation=2"}, {"Saturation", "Monochromatic"}},
        {"plate.png",
         {"--set", "Sample Selection=Manual", "--set", "Number of Samples=2", "--set", "Noise Sample Points/5=3,4"},
         {"Noise Sample Points/5", "\"Number of Samples\" (2)"}},
        {"plate.png", {"--frames", "5-3", "--output", "out.#.png"}, {"5-3", "backwards"}},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& more : c.more) shown += more + " ";
        SCOPED_TRACE(c.plate + " " + shown);
        for (bool strict : {false, true}) {
            std::vector<std::string> args{"render",    "--module",       TEXTURIST_MODULE, "--input",
                                          "clean.png", "--noise-source", c.plate};
            if (std::find(c.more.begin(), c.more.end(), "--output") == c.more.end())
                args.insert(args.end(), {"--output", "out.png"});
            args.insert(args.end(), c.more.begin(), c.more.end());
            if (strict) args.push_back("--strict");
            args.push_back("--quiet");
            const RunResult run = Run(args);
            ASSERT_EQ(Lines(run.err).size(), strict ? 1u : 0u) << run.err << "--quiet silences warnings";
            if (strict) {
                EXPECT_EQ(run.exitCode, 4);
                EXPECT_EQ(run.err.rfind("texturist: error: ", 0), 0u) << run.err;
                for (const std::string& m : c.mentions) EXPECT_NE(run.err.find(m), std::string::npos) << run.err;
                EXPECT_EQ(Files(), (std::vector<std::string>{"clean.png", "flat.exr", "mask.png", "nan.exr",
                                                             "plate.png", "small.png"}));
                continue;
            }
            EXPECT_EQ(run.exitCode, 0);
            args.pop_back(); // loud: the warning on its own line, the render done
            const RunResult loud = Run(args);
            EXPECT_EQ(loud.exitCode, 0) << loud.err;
            bool warned = false;
            for (const std::string& line : Lines(loud.err)) {
                if (line.rfind("texturist: warning: ", 0) != 0) continue;
                warned = true;
                for (const std::string& m : c.mentions) EXPECT_NE(line.find(m), std::string::npos) << line;
            }
            EXPECT_TRUE(warned) << loud.err;
            for (const std::string& name : Files())
                if (name.rfind("out.", 0) == 0) fs::remove(Path(name));
        }
    }
    // A plate with grain, as set up, warns about nothing.
    const RunResult plain = Render("clean.png", "plate.png", "out.png", {"--strict"});
    EXPECT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.err.find("warning"), std::string::npos) << plain.err;
}

} // namespace
} // namespace clitest
