// Running the built texturist command on real files in a temporary folder,
// and making and reading those files.
//
// Every test gets a folder of its own (made empty, removed afterwards); the
// command runs with that folder as its current directory, stdout and stderr
// captured. Pictures are made with OpenImageIO from a seeded generator: a
// smooth "clean" picture and a grainy "plate" of flat grey with Gaussian grain.
#pragma once

#include <OpenImageIO/imagebuf.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace clitest {

namespace fs = std::filesystem;

struct RunResult {
    int exitCode = -1; // 128 + signal number when killed by a signal
    std::string out;
    std::string err;
};

// What a file should be like.
struct PictureRecipe {
    int width = 64;
    int height = 48;
    int channels = 3;
    OIIO::TypeDesc type = OIIO::TypeDesc::UINT8;
    uint64_t seed = 1;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs texturist with these arguments in the test's folder.
    RunResult Run(const std::vector<std::string>& args) const;
    // The same, with the render options every grain test needs.
    RunResult Render(const std::string& input, const std::string& noise, const std::string& output,
                     std::vector<std::string> more = {}) const;

    fs::path Path(const std::string& name) const { return folder_ / name; }
    const fs::path& Folder() const { return folder_; }
    // Names of the files in the folder (hidden ones included), sorted.
    std::vector<std::string> Files() const;
    // Files whose names mark them as temporary: hidden, or ending in .tmp.
    std::vector<std::string> TemporaryFiles() const;

    void WriteClean(const std::string& name, const PictureRecipe& header, const OIIO::ImageSpec* extra = nullptr) const;
    void WritePlate(const std::string& name, const PictureRecipe& header) const;

private:
    fs::path folder_;
};

// A running texturist, for tests that signal it.
class RunningCli {
public:
    RunningCli(const fs::path& folder, const std::vector<std::string>& args);
    RunningCli(const RunningCli&) = delete;
    RunningCli& operator=(const RunningCli&) = delete;
    ~RunningCli(); // kills the process if it still runs

    // Waits until stderr contains `text`; false on timeout or when the process ended first.
    bool WaitForStderr(const std::string& text, std::chrono::seconds timeout);
    void Signal(int signal) const;
    // Waits for the exit; -1 on timeout (the process is then killed).
    int Wait(std::chrono::seconds timeout);
    std::string Stderr() const;

private:
    pid_t pid_ = -1;
    fs::path errFile_;
    bool done_ = false;
};

// The file read back as float samples, with its header as OpenImageIO reports it.
struct Picture {
    OIIO::ImageSpec header; // the file's own (format, bits, attributes)
    std::vector<float> samples;

    float At(int x, int y, int c) const {
        return samples[(static_cast<size_t>(y) * static_cast<size_t>(header.width) + static_cast<size_t>(x)) *
                           static_cast<size_t>(header.nchannels) +
                       static_cast<size_t>(c)];
    }
};
Picture ReadPicture(const fs::path& file);

// The mean absolute difference of the first three channels of two pictures of one size.
double MeanColourDifference(const Picture& a, const Picture& b);

// "HASH  FILE" lines printed by --print-hash, as file -> hash.
std::vector<std::pair<std::string, std::string>> HashLines(const std::string& out);

// Lines of text.
std::vector<std::string> Lines(const std::string& text);

// Writes `samples` (width x height pixels of `channels` floats, row by row) as
// a float image; the format follows the name.
void WriteFloatImage(const fs::path& file, int width, int height, int channels, const std::vector<float>& samples);

} // namespace clitest
