// Sequences, frame lists, chunks and the noise source's frames through the texturist command.
#include "tests/cli/CliTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

namespace clitest {
namespace {

using OIIO::TypeDesc;

constexpr int kFirst = 1001;
constexpr int kFrames = 5;

std::string Numbered(const std::string& stem, int frame, const std::string& extension) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", frame);
    return stem + "." + digits + extension;
}

class Sequences : public CliTest {
protected:
    // A 5-frame clean sequence, each frame a little different, and a still plate.
    void SetUp() override {
        CliTest::SetUp();
        for (int i = 0; i < kFrames; ++i) {
            WriteClean(Numbered("clean", kFirst + i, ".png"), {48, 32, 3, TypeDesc::UINT8, static_cast<uint64_t>(i)});
        }
        WritePlate("plate.png", {80, 64, 3, TypeDesc::UINT8, 21});
    }

    // file -> hash of every frame, rendered in one go.
    std::map<std::string, std::string> RenderAll(const std::string& output) {
        const RunResult run =
            Render("clean.####.png", "plate.png", output, {"--quiet", "--print-hash", "--set", "Random Seed=7"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::map<std::string, std::string> hashes;
        for (const auto& [file, hash] : HashLines(run.out)) hashes[file] = hash;
        return hashes;
    }
};

// Any frame renders the same whether alone, in a stepped range, in a list or in any chunk.
TEST_F(Sequences, RangesStepsListsAndChunksRenderTheSameFrames) {
    const std::map<std::string, std::string> whole = RenderAll("all.####.png");
    ASSERT_EQ(whole.size(), static_cast<size_t>(kFrames));
    std::set<std::string> distinct;
    for (const auto& entry : whole) distinct.insert(entry.second);
    EXPECT_EQ(distinct.size(), whole.size()) << "the frames differ, so their hashes must";

    struct Case {
        std::vector<std::string> options;
        std::vector<int> frames;
    } cases[] = {
        {{"--frames", "1002-1004"}, {1002, 1003, 1004}},
        {{"--frames", "1001-1005x2"}, {1001, 1003, 1005}},
        {{"--frames", "1005,1002,1003-1004"}, {1005, 1002, 1003, 1004}},
        {{"--chunk", "2/2"}, {1003, 1004, 1005}},
        {{"--frames", "1001-1005x2", "--chunk", "2/3"}, {1003}},
    };
    int run = 0;
    for (const Case& c : cases) {
        const std::string stem = "part" + std::to_string(++run);
        SCOPED_TRACE(stem);
        std::vector<std::string> options{"--quiet", "--print-hash", "--set", "Random Seed=7"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        const RunResult result = Render("clean.%04d.png", "plate.png", stem + ".@@@@.png", options);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const auto lines = HashLines(result.out);
        ASSERT_EQ(lines.size(), c.frames.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].first, Numbered(stem, c.frames[i], ".png"));
            EXPECT_EQ(lines[i].second, whole.at(Numbered("all", c.frames[i], ".png"))) << c.frames[i];
            EXPECT_TRUE(fs::exists(Path(lines[i].first)));
        }
        for (int frame = kFirst; frame < kFirst + kFrames; ++frame) {
            const bool listed = std::find(c.frames.begin(), c.frames.end(), frame) != c.frames.end();
            EXPECT_EQ(fs::exists(Path(Numbered(stem, frame, ".png"))), listed) << frame;
        }
    }
}

TEST_F(Sequences, ChunksCoverTheFrameListOnce) {
    // Three slices of five frames, and a list of two frames in three slices, whose first
    // slice is empty, which is not an error.
    struct Run {
        const char* frames;
        const char* chunk;
    } runs[] = {{"1001-1005", "1/3"}, {"1001-1005", "2/3"}, {"1001-1005", "3/3"}, {"1001-1002", "1/3"}};
    std::multiset<std::string> written;
    int empty = 0;
    for (const Run& r : runs) {
        const RunResult run = Render("clean.####.png", "plate.png", "c.####.png",
                                     {"--print-hash", "--frames", r.frames, "--chunk", r.chunk});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto lines = HashLines(run.out);
        for (const auto& line : lines) written.insert(line.first);
        if (lines.empty()) {
            ++empty;
            EXPECT_NE(run.err.find("no frames"), std::string::npos) << run.err;
        }
    }
    EXPECT_EQ(empty, 1);
    EXPECT_EQ(written.size(), static_cast<size_t>(kFrames));
    EXPECT_EQ(std::set<std::string>(written.begin(), written.end()).size(), static_cast<size_t>(kFrames));
    for (const std::string& file : written) EXPECT_TRUE(fs::exists(Path(file))) << file;
}

// A requeued farm task: with --skip-existing the frames already written stay as they are and
// only the missing ones are rendered, to the same bytes; the log says how many were skipped.
TEST_F(Sequences, SkipExistingRendersOnlyTheMissingFrames) {
    const std::map<std::string, std::string> whole = RenderAll("s.####.png");
    ASSERT_EQ(whole.size(), static_cast<size_t>(kFrames));
    fs::remove(Path(Numbered("s", 1002, ".png")));
    fs::remove(Path(Numbered("s", 1005, ".png")));
    const auto kept = fs::last_write_time(Path(Numbered("s", 1003, ".png")));
    const RunResult run = Render("clean.####.png", "plate.png", "s.####.png",
                                 {"--print-hash", "--set", "Random Seed=7", "--skip-existing"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = HashLines(run.out);
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& [file, hash] : lines) EXPECT_EQ(hash, whole.at(file)) << file;
    EXPECT_EQ(lines[0].first, Numbered("s", 1002, ".png"));
    EXPECT_EQ(lines[1].first, Numbered("s", 1005, ".png"));
    EXPECT_EQ(fs::last_write_time(Path(Numbered("s", 1003, ".png"))), kept);
    EXPECT_NE(run.err.find("skipping 3 of 5 frames"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("done: 2 frames written, 3 skipped"), std::string::npos) << run.err;
}

// The noise source's frames sit at the composition's frames; "Source Frame" picks one
// as the host's check-out would, and a frame past the end reads the last. Each plate
// frame has its own width, and the noise-samples view is as large as the frame it shows.
TEST_F(Sequences, SourceFramePicksTheNoiseSourceFrame) {
    const int plateWidth[kFrames] = {64, 72, 80, 88, 96};
    for (int i = 0; i < kFrames; ++i) {
        WritePlate(Numbered("plate", kFirst + i, ".png"), {plateWidth[i], 56, 3, TypeDesc::UINT8, 30u + i});
        WritePlate(Numbered("film", 1 + i, ".png"), {plateWidth[i], 56, 3, TypeDesc::UINT8, 40u + i});
    }
    struct Case {
        const char* input;
        const char* noise;
        std::vector<std::string> frames;
        int sourceFrame;
        int plateIndex;
    } cases[] = {
        {"clean.####.png", "plate.####.png", {}, 3, 3},
        {"clean.####.png", "plate.####.png", {}, 99, kFrames - 1},
        {"clean.####.png", "film.####.png", {}, 2, 2}, // numbered apart: both start the composition
        {"clean.####.png", "plate.####.png", {"--frames", "1004-1005"}, 1, 1}, // the composition is the whole sequence
        {"clean.1001.png", "plate.####.png", {"--frames", "1-3"}, 2, 2},       // a still over frames 1 to 3
        {"clean.1001.png", "plate.####.png", {"--frames", "1-3"}, 4, 2},       // past the composition's end
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.noise) + " source frame " + std::to_string(c.sourceFrame));
        const std::string stem = "view" + std::to_string(++run);
        std::vector<std::string> options{"--quiet", "--print-hash",
                                         "--view",  "noise-samples",
                                         "--set",   "Source Frame=" + std::to_string(c.sourceFrame)};
        options.insert(options.end(), c.frames.begin(), c.frames.end());
        const RunResult result = Render(c.input, c.noise, stem + ".####.png", options);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const auto lines = HashLines(result.out);
        ASSERT_FALSE(lines.empty());
        for (const auto& line : lines) {
            EXPECT_EQ(ReadPicture(Path(line.first)).header.width, plateWidth[c.plateIndex]) << line.first;
        }
    }
}

// Only the noise-source frames a render asks for are read: a long plate costs
// a frame or two, and a broken frame fails the render only when it is asked
// for, naming its file. Here the render's one frame asks for the plate's 4th.
TEST_F(Sequences, OnlyTheNoiseSourceFramesAskedForAreRead) {
    for (int i = 0; i < kFrames; ++i) {
        const std::string name = Numbered("long", 1 + i, ".png");
        if (i == 0 || i == 3) {
            WritePlate(name, {80, 64, 3, TypeDesc::UINT8, 60u + i});
        } else {
            std::ofstream(Path(name)) << "not a picture";
        }
    }
    const RunResult fourth = Render("clean.####.png", "long.####.png", "good.####.png",
                                    {"--quiet", "--frames", "1003", "--set", "Source Frame=3"});
    EXPECT_EQ(fourth.exitCode, 0) << fourth.err;
    const RunResult third =
        Render("clean.####.png", "long.####.png", "bad.####.png", {"--quiet", "--set", "Source Frame=2"});
    EXPECT_EQ(third.exitCode, 3);
    EXPECT_EQ(Lines(third.err).size(), 1u) << third.err;
    EXPECT_NE(third.err.find("texturist: error: cannot read \"long.0003.png\""), std::string::npos) << third.err;
    EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
}

TEST_F(Sequences, AMissingFrameIsNamedAndNothingIsWritten) {
    WritePlate(Numbered("plate", kFirst, ".png"), {80, 64, 3, TypeDesc::UINT8, 50});
    WritePlate(Numbered("plate", kFirst + 2, ".png"), {80, 64, 3, TypeDesc::UINT8, 52});
    WriteClean("mask.png", {48, 32, 1, TypeDesc::UINT8});
    fs::remove(Path(Numbered("clean", 1003, ".png")));
    struct Case {
        std::vector<std::string> options;
        const char* noise;
        const char* named;
    } cases[] = {
        {{}, "plate.png", "clean.1003.png"},
        {{"--frames", "1001-1002"}, "plate.####.png", "plate.1002.png"},
        {{"--frames", "1001-1002", "--mask", "masks.####.png"}, "plate.png", "masks.####.png"},
        {{"--frames", "1000-1002"}, "plate.png", "clean.1000.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        const RunResult run = Render("clean.####.png", c.noise, "out.####.png", c.options);
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find("texturist: error: "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        for (const std::string& file : Files()) EXPECT_EQ(file.rfind("out.", 0), std::string::npos) << file;
    }
}

// A still input can be grained over a range of frames: the grain moves with time.
TEST_F(Sequences, AStillRenderedOverFramesAnimatesItsGrain) {
    const RunResult run = Render("clean.1001.png", "plate.png", "moving.####.exr",
                                 {"--quiet", "--print-hash", "--frames", "10-12", "--set", "Random Seed=3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = HashLines(run.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].second, lines[1].second);
    EXPECT_NE(lines[1].second, lines[2].second);
    EXPECT_EQ(lines[2].first, "moving.0012.exr");

    const RunResult still = Render(
        "clean.1001.png", "plate.png", "still.####.exr",
        {"--quiet", "--print-hash", "--frames", "10-12", "--set", "Random Seed=3", "--set", "Animation Speed=0"});
    ASSERT_EQ(still.exitCode, 0) << still.err;
    const auto fixed = HashLines(still.out);
    ASSERT_EQ(fixed.size(), 3u);
    EXPECT_EQ(fixed[0].second, fixed[2].second) << "with no animation the grain stays put";

    // Without --frames, a numbered single file keeps its number on the way out.
    const RunResult single = Render("clean.1001.png", "plate.png", "single.####.png", {"--quiet", "--print-hash"});
    ASSERT_EQ(single.exitCode, 0) << single.err;
    ASSERT_EQ(HashLines(single.out).size(), 1u);
    EXPECT_EQ(HashLines(single.out)[0].first, "single.1001.png");
}

} // namespace
} // namespace clitest
