#include "tests/cli/CliTestSupport.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace clitest {

namespace {

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts texturist in `folder` with stdout and stderr sent to files. posix_spawn
// rather than fork: the test process maps hundreds of libraries, and copying its
// page tables for every run would cost more than the run itself.
// The command's environment: ours, plus what makes runs side by side fair and
// sanitizer runs meaningful. Two test processes share the machine's cores, so
// workers that poll between runs would only take time from the other one.
// Under the sanitizers the command's leak check must know OpenImageIO's own
// leaks, with full stacks so that the suppressions can see the library.
std::vector<std::string> ChildEnvironment() {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
    const std::pair<const char*, std::string> extra[] = {
        {"OMP_WAIT_POLICY", "passive"},
        {"LSAN_OPTIONS", "print_suppressions=0:suppressions=" TEXTURIST_LSAN_SUPPRESSIONS},
        {"ASAN_OPTIONS", "fast_unwind_on_malloc=0"},
    };
    for (const auto& [name, value] : extra)
        if (std::getenv(name) == nullptr) variables.push_back(std::string(name) + "=" + value);
    return variables;
}

pid_t Spawn(const fs::path& folder, const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    std::vector<std::string> all{TEXTURIST_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t pid = -1;
    std::vector<std::string> variables = ChildEnvironment();
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(failed, 0) << "cannot start " << argv[0];
    return failed ? -1 : pid;
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// splitmix64 and Box-Muller: the same numbers with every standard library.
class Gaussian {
public:
    explicit Gaussian(uint64_t seed) : state_(seed) {}
    double operator()() {
        const double u1 = (static_cast<double>(Next() >> 11) + 1.0) / 9007199254740993.0;
        const double u2 = static_cast<double>(Next() >> 11) / 9007199254740992.0;
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

private:
    uint64_t Next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint64_t state_;
};

void Write(const fs::path& file, const PictureRecipe& picture, const std::vector<float>& samples,
           const OIIO::ImageSpec* extra) {
    OIIO::ImageSpec header(picture.width, picture.height, picture.channels, picture.type);
    if (picture.channels == 2) header.channelnames = {"Y", "A"};
    if (picture.channels == 2 || picture.channels == 4) header.alpha_channel = picture.channels - 1;
    if (picture.type == OIIO::TypeDesc::UINT16 && file.extension() == ".dpx")
        header.attribute("oiio:BitsPerSample", 10);
    header.attribute("oiio:UnassociatedAlpha", 1);
    if (extra) {
        for (const OIIO::ParamValue& attribute : extra->extra_attribs) header.extra_attribs.push_back(attribute);
    }
    const std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(file.string());
    ASSERT_TRUE(out) << OIIO::geterror();
    ASSERT_TRUE(out->open(file.string(), header)) << out->geterror();
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, samples.data())) << out->geterror();
    ASSERT_TRUE(out->close()) << out->geterror();
}

// Opaque-ish alpha that varies, so that a test can tell it was kept.
float AlphaAt(int x, int y) { return 0.3f + 0.7f * static_cast<float>((x * 3 + y * 5) % 17) / 16.0f; }

} // namespace

void CliTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "texturist-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
}

void CliTest::TearDown() {
    std::error_code ignored;
    if (!folder_.empty() && !HasFailure()) fs::remove_all(folder_, ignored);
}

RunResult CliTest::Run(const std::vector<std::string>& args) const {
    const fs::path out = folder_ / ".." / (folder_.filename().string() + ".out");
    const fs::path err = folder_ / ".." / (folder_.filename().string() + ".err");
    RunResult result;
    const pid_t pid = Spawn(folder_, args, out, err);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) result.exitCode = ExitCodeOf(status);
    result.out = ReadAll(out);
    result.err = ReadAll(err);
    std::error_code ignored;
    fs::remove(out, ignored);
    fs::remove(err, ignored);
    return result;
}

RunResult CliTest::Render(const std::string& input, const std::string& noise, const std::string& output,
                          std::vector<std::string> more) const {
    std::vector<std::string> args{"render",         "--module", TEXTURIST_MODULE, "--input", input,
                                  "--noise-source", noise,      "--output",       output};
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
}

std::vector<std::string> CliTest::Files() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> CliTest::TemporaryFiles() const {
    std::vector<std::string> names;
    for (const std::string& name : Files()) {
        if (name.front() == '.' || name.find(".tmp") != std::string::npos) names.push_back(name);
    }
    return names;
}

void CliTest::WriteClean(const std::string& name, const PictureRecipe& picture, const OIIO::ImageSpec* extra) const {
    std::vector<float> samples;
    const int colours = picture.channels <= 2 ? 1 : 3;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const float u = static_cast<float>(x) / static_cast<float>(picture.width);
            const float v = static_cast<float>(y) / static_cast<float>(picture.height);
            for (int c = 0; c < colours; ++c) {
                samples.push_back(0.2f + 0.5f * u + 0.2f * v - 0.05f * static_cast<float>(c) +
                                  0.03f * static_cast<float>(picture.seed % 5));
            }
            if (picture.channels == 2 || picture.channels == 4) samples.push_back(AlphaAt(x, y));
        }
    }
    Write(folder_ / name, picture, samples, extra);
}

void CliTest::WritePlate(const std::string& name, const PictureRecipe& picture) const {
    Gaussian gaussian(picture.seed);
    std::vector<float> samples;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const double shared = gaussian();
            for (int c = 0; c < std::min(picture.channels, 3); ++c) {
                samples.push_back(static_cast<float>(0.5 + 0.05 * (0.6 * shared + 0.8 * gaussian())));
            }
            if (picture.channels == 4) samples.push_back(1.0f);
        }
    }
    Write(folder_ / name, picture, samples, nullptr);
}

RunningCli::RunningCli(const fs::path& folder, const std::vector<std::string>& args)
    : errFile_(folder / ".." / (folder.filename().string() + ".running.err")) {
    pid_ = Spawn(folder, args, "/dev/null", errFile_);
}

RunningCli::~RunningCli() {
    if (pid_ > 0 && !done_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    std::error_code ignored;
    fs::remove(errFile_, ignored);
}

bool RunningCli::WaitForStderr(const std::string& text, std::chrono::seconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (Stderr().find(text) != std::string::npos) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            done_ = true;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void RunningCli::Signal(int signal) const {
    if (pid_ > 0 && !done_) kill(pid_, signal);
}

int RunningCli::Wait(std::chrono::seconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            done_ = true;
            return ExitCodeOf(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string RunningCli::Stderr() const { return ReadAll(errFile_); }

Picture ReadPicture(const fs::path& file) {
    Picture picture;
    const std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(file.string());
    if (!in) {
        ADD_FAILURE() << "cannot read " << file << ": " << OIIO::geterror();
        return picture;
    }
    picture.header = in->spec();
    picture.samples.resize(static_cast<size_t>(picture.header.image_pixels()) *
                           static_cast<size_t>(picture.header.nchannels));
    EXPECT_TRUE(in->read_image(0, 0, 0, picture.header.nchannels, OIIO::TypeDesc::FLOAT, picture.samples.data()))
        << in->geterror();
    return picture;
}

double MeanColourDifference(const Picture& a, const Picture& b) {
    if (a.header.width != b.header.width || a.header.height != b.header.height) return -1.0;
    double sum = 0;
    int64_t count = 0;
    const int colours = std::min({a.header.nchannels, b.header.nchannels, 3});
    for (int y = 0; y < a.header.height; ++y) {
        for (int x = 0; x < a.header.width; ++x) {
            for (int c = 0; c < colours; ++c, ++count) sum += std::fabs(a.At(x, y, c) - b.At(x, y, c));
        }
    }
    return count ? sum / static_cast<double>(count) : 0.0;
}

std::vector<std::pair<std::string, std::string>> HashLines(const std::string& out) {
    std::vector<std::pair<std::string, std::string>> lines;
    for (const std::string& line : Lines(out)) {
        std::istringstream words(line);
        std::string hash, file;
        if (words >> hash >> file) lines.emplace_back(file, hash);
    }
    return lines;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void WriteFloatImage(const fs::path& file, int width, int height, int channels, const std::vector<float>& samples) {
    const std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(file.string());
    ASSERT_TRUE(out && out->open(file.string(), OIIO::ImageSpec(width, height, channels, OIIO::TypeDesc::FLOAT)));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, samples.data()) && out->close());
}

} // namespace clitest
