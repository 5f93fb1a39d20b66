#include "cli/RenderJob.h"

#include "cli/BoundedQueue.h"
#include "cli/Footage.h"
#include "cli/FrameHash.h"
#include "cli/FrameList.h"
#include "cli/FrameRate.h"
#include "cli/ImageIO.h"
#include "cli/Interrupt.h"
#include "cli/ModuleSession.h"
#include "cli/Movie.h"
#include "cli/ParamSetter.h"
#include "cli/Progress.h"
#include "cli/SafeFiles.h"
#include "cli/SequencePattern.h"
#include "cli/Warnings.h"
#include "effect/ParamId.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The frame number a single file carries in its name ("clean.1001.exr"), so
// that its output is numbered as it is.
std::optional<int32_t> FrameNumberInName(const std::string& path) {
    const std::string name = std::filesystem::path(path).stem().string();
    const size_t dot = name.find_last_of("._");
    if (dot == std::string::npos || dot + 1 >= name.size() || name.size() - dot - 1 > 8) return std::nullopt;
    const std::string digits = name.substr(dot + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return std::stoi(digits);
}

// The frames to render and the composition they belong to.
struct FramePlan {
    std::vector<int32_t> all; // the whole frame list, before chunking
    std::vector<int32_t> mine;
    int32_t start = 0;  // frame number of composition frame 0
    int32_t length = 1; // composition frames
};

FramePlan PlanFrames(const Footage& input, const RenderSettings& settings) {
    FramePlan plan;
    std::vector<int32_t> onDisk;
    if (input.HasFrames()) {
        onDisk = input.FramesOnDisk();
        if (onDisk.empty()) throw CliError(ExitCode::InputOutput, "no files match the input " + Quoted(input.Text()));
    }
    if (!settings.frames.empty()) {
        std::vector<std::string> backwards;
        plan.all = ParseFrameList(settings.frames, &backwards);
        for (const std::string& range : backwards)
            Warn("the frame range " + range + " runs backwards: its frames render from the last down");
    } else if (input.HasFrames()) {
        for (int32_t frame = onDisk.front(); frame <= onDisk.back(); ++frame) plan.all.push_back(frame);
    } else {
        plan.all = {FrameNumberInName(input.Text()).value_or(1)};
    }
    const auto [lowest, highest] = std::minmax_element(plan.all.begin(), plan.all.end());
    plan.start = input.HasFrames() ? std::min(onDisk.front(), *lowest) : *lowest;
    const int32_t last = input.HasFrames() ? std::max(onDisk.back(), *highest) : *highest;
    plan.length = last - plan.start + 1;
    plan.mine = SliceForChunk(plan.all, settings.chunk.empty() ? ChunkSlice{} : ParseChunk(settings.chunk));
    if (input.HasFrames()) {
        const std::string missing = input.DescribeMissing(plan.mine);
        if (!missing.empty()) throw CliError(ExitCode::InputOutput, missing);
    }
    return plan;
}

// A noise source or mask given as a file, a sequence or a movie, placed from composition frame 0.
class LayerFootage {
public:
    explicit LayerFootage(const std::string& text) : footage_(text) {
        if (!footage_.HasFrames()) return;
        const std::vector<int32_t> onDisk = footage_.FramesOnDisk();
        if (onDisk.empty()) throw CliError(ExitCode::InputOutput, "no files match " + Quoted(text));
        first_ = onDisk.front();
        count_ = onDisk.back() - onDisk.front() + 1;
    }

    bool HasFrames() const { return footage_.HasFrames(); }
    int32_t Count() const { return count_; }
    // What the host serves at composition frame k: the k-th frame, or the last for shorter footage.
    int32_t FrameAt(int32_t k) const { return first_ + std::clamp(k, 0, count_ - 1); }
    std::string FileAt(int32_t k) const { return footage_.FileFor(FrameAt(k)); }
    std::string NameAt(int32_t k) const { return footage_.NameOf(FrameAt(k)); }
    Plate ReadAt(int32_t k) const { return footage_.Read(FrameAt(k)); }

    void CheckFrames(int32_t count) const {
        std::vector<int32_t> frames;
        for (int32_t k = 0; k < std::min(count, count_); ++k) frames.push_back(first_ + k);
        const std::string missing = footage_.DescribeMissing(frames);
        if (!missing.empty()) throw CliError(ExitCode::InputOutput, missing);
    }

private:
    Footage footage_;
    int32_t first_ = 0;
    int32_t count_ = 1;
};

// Grain below a quarter of an 8-bit step is no grain a render can reproduce.
constexpr double kLeastGrain = 0.25 / 255.0;

// A robust grain level of a plate, 0..1 scale: the median absolute difference
// of horizontal neighbours, per channel, scaled to a Gaussian's sigma; the
// largest channel's. Picture edges barely move a median.
double PlateGrainLevel(const HostImageBuffer& image) {
    const double full = image.MaxValue();
    double level = 0.0;
    for (int c = 0; c < 3; ++c) {
        std::vector<float> differences;
        const int32_t step = std::max(1, image.Height() / 256);
        for (int32_t y = 0; y < image.Height(); y += step)
            for (int32_t x = 0; x + 1 < image.Width(); ++x) {
                const HostPixelValue a = image.Get(x, y), b = image.Get(x + 1, y);
                const uint16_t* pa[] = {&a.red, &a.green, &a.blue};
                const uint16_t* pb[] = {&b.red, &b.green, &b.blue};
                differences.push_back(static_cast<float>(std::abs(*pa[c] - *pb[c])));
            }
        if (differences.empty()) continue;
        std::nth_element(differences.begin(), differences.begin() + differences.size() / 2, differences.end());
        const double median = differences[differences.size() / 2];
        level = std::max(level, median / (0.6745 * std::sqrt(2.0)) / full);
    }
    return level;
}

// Why the effect shows a parameter disabled, in the words of its controls.
std::string WhyDisabled(HostParamStore& store, const HostParam& param) {
    const int32_t id = param.Id();
    const auto popup = [&](ParamId p) { return store.ById(static_cast<int32_t>(p)).Popup(); };
    const bool point = (id >= static_cast<int32_t>(NoiseSamplePoint(0)) &&
                        id < static_cast<int32_t>(NoiseSamplePoint(kSamplePointCount))) ||
                       (id >= static_cast<int32_t>(CompensationSamplePoint(0)) &&
                        id < static_cast<int32_t>(CompensationSamplePoint(kSamplePointCount)));
    if (point && popup(ParamId::SampleSelection) != 2) {
        return "sample points are used only when \"Sample Selection\" is Manual";
    }
    if (point) {
        return "only the first \"Number of Samples\" (" +
               std::to_string(store.ById(static_cast<int32_t>(ParamId::NumberOfSamples)).Integer()) +
               ") sample points are used";
    }
    if (store.ById(static_cast<int32_t>(ParamId::Monochromatic)).Checkbox()) {
        return "\"Monochromatic\" is on, which makes the grain grey";
    }
    return "the effect disables it in this configuration";
}

ExitCode RenderFailure(const HostRuntime& host, int32_t code) {
    if (code == kHostErrCancelled && (InterruptGuard::Requested() || host.CancelRequested())) {
        return ExitCode::Cancelled;
    }
    return code == kHostErrOutOfMemory ? ExitCode::OutOfMemory : ExitCode::RenderFailed;
}

[[noreturn]] void Cancelled(int32_t frame) {
    throw CliError(ExitCode::Cancelled, "cancelled at frame " + std::to_string(frame) + "; it was not written");
}

// Renders the frame list: one object per render command.
class FrameRenderer {
public:
    FrameRenderer(const RenderSettings& settings, HostRuntime& host)
        : settings_(settings), host_(host), setter_(host_.Params()), output_(settings.output) {}

    ExitCode Run() {
        // The options that need no files first, so that a typo costs nothing.
        depth_ = settings_.depth.empty() ? SampleDepth::Auto : ParseSampleDepth(settings_.depth);
        if (!settings_.fps.empty()) rate_ = ParseFrameRate(settings_.fps);
        if (!settings_.verify.empty()) expected_ = HashExpectations(settings_.verify);
        const bool movieOut = IsMovieFile(output_.Text());
        if (movieOut) CheckMovieSettings();
        const LayerFiles layers = ApplyParamOptions(host_.Params(), setter_, settings_.params);
        const std::string noisePath = Pick(settings_.noiseSource, layers.noiseSource, "--noise-source");
        const std::string maskPath = Pick(settings_.mask, layers.mask, "--mask");
        if (noisePath.empty()) throw CliError(ExitCode::Usage, "a render needs --noise-source");

        input_.emplace(settings_.input);
        if (const MovieInfo* movie = input_->Movie(); movie && settings_.fps.empty()) {
            rate_ = ParseFrameRate(std::to_string(movie->rateNumerator) + "/" + std::to_string(movie->rateDenominator));
        }
        plan_ = PlanFrames(*input_, settings_);
        if (plan_.all.size() > 1 && !output_.IsSequence() && !movieOut) {
            throw CliError(ExitCode::Usage, "--output " + Quoted(output_.Text()) +
                                                " names one file for several frames; give it a frame number "
                                                "such as name.####.exr");
        }
        if (plan_.mine.empty()) {
            if (!settings_.quiet) std::fprintf(stderr, "texturist: this chunk has no frames to render\n");
            return ExitCode::Ok;
        }
        const int32_t first = plan_.mine.front();
        if (!movieOut) {
            CheckOutputFile(output_.FileFor(first), depth_);
            CheckCompression(output_.FileFor(first), settings_.compression);
        }
        GuardLayers(noisePath, maskPath);
        const OutputLock lock(output_.Text(), plan_.mine);
        WarnAboutSettings(maskPath, layers);

        // Outputs are written whole or not at all, so an existing one is a finished frame: a
        // requeued farm task goes on where it was stopped. Decided under the lock, so that a
        // frame another render is writing is not taken for done.
        std::vector<int32_t> todo;
        for (const int32_t frame : plan_.mine)
            if (!settings_.skipExisting || !std::filesystem::exists(output_.FileFor(frame))) todo.push_back(frame);
        // A movie is written whole: one that exists holds every frame.
        if (movieOut && todo.size() < plan_.mine.size()) todo.clear();
        if (todo.size() < plan_.mine.size() && !settings_.quiet) {
            std::fprintf(stderr, "texturist: skipping %zu of %zu frames, whose output exists\n",
                         plan_.mine.size() - todo.size(), plan_.mine.size());
        }

        host_.SetIterateThreads(settings_.threads);
        // Decoders and encoders with threads of their own (OpenEXR's, OpenImageIO's) take as many.
        if (settings_.threads > 0) {
            OIIO::attribute("threads", settings_.threads);
            OIIO::attribute("exr_threads", settings_.threads);
        }
        if (settings_.memoryLimit > 0) host_.SetHandleLimit(settings_.memoryLimit);
        InterruptGuard interrupt(host_);
        Progress progress(Progress::StyleFor(settings_.quiet), static_cast<int32_t>(todo.size()));
        progress_ = &progress;
        // The callback must not outlive the reporter it points to.
        struct Unhook {
            HostRuntime& host;
            ~Unhook() { host.SetProgressCallback(nullptr); }
        } unhook{host_};
        host_.SetProgressCallback([&progress](int32_t done, int32_t total) { progress.Report(done, total); });

        if (!maskPath.empty()) {
            mask_.emplace(maskPath);
            mask_->CheckFrames(plan_.length);
        }
        if (!todo.empty()) {
            PlanColourFrom(todo.front());
            BindNoise(noisePath);
            if (movieOut) OpenMovie(todo);
        }
        const auto started = std::chrono::steady_clock::now();
        RenderPipelined(todo, progress);
        if (movie_ && !movie_->Finish()) {
            throw CliError(ExitCode::Cancelled, "cancelled; " + Quoted(output_.Text()) + " was not written");
        }
        progress.Close();
        if (expected_.Active() && !settings_.quiet && mismatches_ == 0 && !todo.empty()) {
            std::fprintf(stderr, "texturist: %zu frame%s verified\n", todo.size(), todo.size() == 1 ? "" : "s");
        }
        if (!settings_.quiet) {
            // One line a farm's log parser can read, whatever happened before it.
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            std::fprintf(stderr,
                         "texturist: done: %zu frame%s written, %zu skipped, %.3f s per frame, peak memory %ld MB\n",
                         todo.size(), todo.size() == 1 ? "" : "s", plan_.mine.size() - todo.size(),
                         todo.empty() ? 0.0 : seconds / static_cast<double>(todo.size()), usage.ru_maxrss / 1024);
        }
        return mismatches_ == 0 ? ExitCode::Ok : ExitCode::VerifyFailed;
    }

private:
    // Frames are read and decoded ahead of the one rendering and encoded and
    // written behind it, each on a thread of its own, through queues of one
    // frame: at most a frame read ahead and one waiting for the disk. Frames
    // are written in order; the first failure anywhere ends the render, after
    // the frames rendered before it are written (unless cancelled).
    void RenderPipelined(const std::vector<int32_t>& todo, Progress& progress) {
        BoundedQueue<ReadFrame> reads(1);
        BoundedQueue<DoneFrame> writes(1);
        std::exception_ptr readFailure, writeFailure;
        std::thread reader([&] {
            try {
                ReadFrames(todo, reads);
            } catch (...) {
                readFailure = std::current_exception();
            }
            reads.Close();
        });
        std::thread writer([&] {
            try {
                WriteFrames(writes);
            } catch (...) {
                writeFailure = std::current_exception();
            }
            // Whatever stopped the writer, nothing more is taken.
            writes.Close();
        });
        const auto finish = [&] {
            reads.Close();
            writes.Close();
            reader.join();
            writer.join();
        };
        try {
            for (size_t i = 0; i < todo.size(); ++i) {
                progress.StartFrame(static_cast<int32_t>(i), todo[i]);
                std::optional<ReadFrame> read = reads.Pop();
                if (!read) break;
                if (!writes.Push(RenderFrame(std::move(*read), static_cast<int32_t>(i)))) break;
            }
        } catch (...) {
            // Frames rendered before the failure are still written, unless cancelled.
            writes.Close();
            reads.Close();
            reader.join();
            writer.join();
            throw;
        }
        writes.Close();
        finish();
        if (writeFailure) std::rethrow_exception(writeFailure);
        if (readFailure) std::rethrow_exception(readFailure);
        if (cancelledAt_) Cancelled(*cancelledAt_);
        if (InterruptGuard::Requested()) {
            throw CliError(ExitCode::Cancelled, "cancelled before the next frame was read");
        }
    }

    // No output may land on a file the render reads, however its path is
    // spelled: compared by device and inode, so "..", absolute paths and links
    // are seen through.
    void GuardLayers(const std::string& noisePath, const std::string& maskPath) const {
        std::vector<std::pair<FileIdentity, std::string>> read;
        const auto add = [&read](const std::string& file, const std::string& what) {
            if (const std::optional<FileIdentity> id = IdentityOf(file)) read.emplace_back(*id, what);
        };
        for (int32_t frame : plan_.mine) add(input_->FileFor(frame), "the input " + Quoted(input_->FileFor(frame)));
        for (const auto& [path, what] : {std::pair{noisePath, "the noise source"}, std::pair{maskPath, "the mask"}}) {
            if (path.empty()) continue;
            const LayerFootage footage(path);
            const int32_t count = footage.HasFrames() ? std::min(plan_.length, footage.Count()) : 1;
            for (int32_t k = 0; k < count; ++k)
                add(footage.FileAt(k), std::string(what) + " " + Quoted(footage.FileAt(k)));
        }
        if (!settings_.params.preset.empty())
            add(settings_.params.preset, "the preset " + Quoted(settings_.params.preset));
        for (int32_t frame : plan_.mine) {
            const std::optional<FileIdentity> target = IdentityOf(output_.FileFor(frame));
            if (!target) continue;
            for (const auto& [id, what] : read) {
                if (id == *target) {
                    throw CliError(ExitCode::Usage,
                                   "--output " + Quoted(output_.FileFor(frame)) + " would overwrite " + what);
                }
            }
        }
    }

    // Settings that make the render do something other than the user probably means.
    void WarnAboutSettings(const std::string& maskPath, const LayerFiles& layers) {
        HostParamStore& store = host_.Params();
        if (!maskPath.empty() && store.ById(static_cast<int32_t>(ParamId::BlendAmount)).Number() == 0.0) {
            Warn("--mask has no effect while \"Blend with Original/Amount\" is 0%: the mask only brings the "
                 "original back, by that amount (see Masks in cli/README.md)");
        }
        if (const int32_t code = host_.UpdateParamsUi()) {
            throw CliError(ExitCode::RenderFailed,
                           "the module's UI update failed: " + DescribeModuleFailure(host_, code));
        }
        for (const HostParam* param : layers.set) {
            if (param->Enabled()) continue;
            Warn("\"" + param->Path() + "\" is set but has no effect: " + WhyDisabled(store, *param));
        }
    }

    static std::string Pick(const std::string& option, const std::string& set, const char* name) {
        if (!option.empty() && !set.empty() && option != set) {
            throw CliError(ExitCode::Usage, std::string(name) + " and --set name different files for the same layer");
        }
        return option.empty() ? set : option;
    }

    // The first frame to render sets the colour spaces and says what its output cannot hold.
    void PlanColourFrom(int32_t frame) {
        const std::string file = input_->FileFor(frame);
        const Plate first = input_->Read(frame);
        colour_ = PlanColour(ColourConfig::Current(), settings_.colour, first, file, output_.FileFor(frame), depth_);
        for (const std::string& loss : WhatTheFormatDrops(first, output_.FileFor(frame))) Warn(loss);
    }

    // The whole noise source, as many frames as the composition can reach, bound once.
    void BindNoise(const std::string& path) {
        const LayerFootage noise(path);
        noise.CheckFrames(plan_.length);
        const int32_t frames = noise.HasFrames() ? std::min(plan_.length, noise.Count()) : 1;
        const Plate plate = noise.ReadAt(0);
        const ColourConversion toWorking =
            NoiseToWorking(ColourConfig::Current(), settings_.colour, colour_, plate, noise.FileAt(0));
        LoadedImage first;
        first.pixels = ToHostImage(plate, plate.DisplayWindow(), toWorking, &first.finiteSamples);
        WarnAboutPlate(noise.NameAt(0), first);
        noiseAlpha_ = plate.alpha >= 0;
        // Frames are read when a check-out asks for them, so a render holds a
        // frame or two of the noise source however long its sequence is, and
        // a movie is decoded only where its frames are used.
        auto read = [this, noise, toWorking](int32_t k) {
            const Plate frame = noise.ReadAt(k);
            noiseAlpha_ = noiseAlpha_ || frame.alpha >= 0;
            return ToHostImage(frame, frame.DisplayWindow(), toWorking);
        };
        host_.Params()
            .ById(static_cast<int32_t>(ParamId::NoiseSourceLayer))
            .BindLayer(HostLayer::OnDemand(frames, std::move(first.pixels), read));
    }

    // Plates that cannot give the grain the user expects.
    void WarnAboutPlate(const std::string& name, const LoadedImage& image) {
        const int32_t sampleSize = host_.Params().ById(static_cast<int32_t>(ParamId::SampleSize)).Integer();
        if (image.finiteSamples == 0) {
            Warn("the noise source " + name + " has no finite pixels (all NaN or infinite): it holds no grain");
        } else if (image.pixels.Width() < sampleSize || image.pixels.Height() < sampleSize) {
            Warn("the noise source " + name + " is " + std::to_string(image.pixels.Width()) + " x " +
                 std::to_string(image.pixels.Height()) + " pixels, smaller than \"Sample Size\" " +
                 std::to_string(sampleSize) + ": its grain cannot be measured reliably");
        } else if (PlateGrainLevel(image.pixels) < kLeastGrain) {
            Warn("the noise source " + name + " holds no measurable grain: the output will carry none");
        }
    }

    // A frame read and made ready for the module, ahead of its render.
    struct ReadFrame {
        int32_t frame = 0;
        std::shared_ptr<Plate> input;
        std::shared_ptr<HostLayer> moduleInput; // what the module sees of it (the module only reads it)
        std::shared_ptr<HostLayer> mask;
    };

    // A frame rendered, on its way to its file.
    struct DoneFrame {
        int32_t frame = 0;
        int32_t index = 0;
        Plate picture;
        uint64_t hash = 0;
    };

    // Reads every frame of `todo` in order, a still input and an unchanged mask only once.
    void ReadFrames(const std::vector<int32_t>& todo, BoundedQueue<ReadFrame>& queue) {
        ReadFrame still;
        std::string maskFile;
        OIIO::ROI maskWindow;
        std::shared_ptr<HostLayer> maskLayer;
        for (const int32_t frame : todo) {
            if (InterruptGuard::Requested()) break;
            ReadFrame next = still;
            next.frame = frame;
            if (!next.input) {
                next.input = std::make_shared<Plate>(input_->Read(frame));
                const size_t samples =
                    static_cast<size_t>(next.input->spec.width) * static_cast<size_t>(next.input->spec.height) * 3;
                int64_t finite = 0;
                next.moduleInput =
                    HostLayer::Still(ToHostImage(*next.input, next.input->DataWindow(), colour_.toWorking, &finite));
                if (static_cast<size_t>(finite) < samples) {
                    Warn("the input " + input_->NameOf(frame) + " has " +
                         std::to_string(samples - static_cast<size_t>(finite)) +
                         " NaN or infinite colour samples: the module sees them as 0, and they are written unchanged");
                }
                if (!input_->HasFrames()) still = next;
            }
            if (mask_) {
                // Read again when its frame or the input's data window (CG renders change it per frame) changes.
                const std::string file = mask_->NameAt(frame - plan_.start);
                if (!maskLayer || file != maskFile || next.input->DataWindow() != maskWindow) {
                    maskFile = file, maskWindow = next.input->DataWindow();
                    maskLayer = HostLayer::Still(
                        ToHostImage(mask_->ReadAt(frame - plan_.start), maskWindow, ColourConversion()));
                }
                next.mask = maskLayer;
            }
            if (!queue.Push(std::move(next))) break;
        }
    }

    // Writes the rendered frames in order; false once a frame's hash was not the one expected.
    void WriteFrames(BoundedQueue<DoneFrame>& queue) {
        while (std::optional<DoneFrame> done = queue.Pop()) {
            // A movie's frames are named by the movie and their number, for --print-hash and --verify.
            const std::string file =
                movie_ ? output_.Text() + ":" + std::to_string(done->frame) : output_.FileFor(done->frame);
            if (movie_) {
                movie_->Write(done->picture);
            } else {
                WriteOptions options;
                options.depth = depth_;
                options.colourTag = colour_.outputTag;
                options.compression = settings_.compression;
                options.abandon = [] { return InterruptGuard::Requested(); };
                if (!WriteImage(done->picture, file, options)) {
                    cancelledAt_ = done->frame;
                    return;
                }
            }
            progress_->FinishFrame(done->index, done->frame);
            if (settings_.printHash) {
                progress_->Close();
                std::printf("%s  %s\n", HashText(done->hash).c_str(), file.c_str());
                std::fflush(stdout);
            }
            if (expected_.Active() && !Verify(done->hash, file)) ++mismatches_;
        }
    }

    MovieOutputOptions MovieOptions() const {
        MovieOutputOptions options;
        options.codec = settings_.codec;
        options.depth = depth_;
        options.crf = settings_.crf;
        options.bitrate = settings_.bitrate;
        return options;
    }

    // What a movie output cannot do, before any file is read.
    void CheckMovieSettings() const {
        if (!settings_.chunk.empty()) {
            throw CliError(ExitCode::Usage, "--chunk cannot split a movie: " + Quoted(output_.Text()) +
                                                " is one file; render the chunks to an image sequence "
                                                "(name.####.exr) and make the movie from it, or render the "
                                                "movie in one task");
        }
        if (!settings_.compression.empty()) {
            throw CliError(
                ExitCode::Usage,
                "--compression is for image files; a movie's quality comes from --codec, --crf and --bitrate");
        }
        CheckMovieOutput(output_.Text(), MovieOptions());
    }

    // The movie output: the rate of the timeline, the input movie's timecode
    // and, when every frame of it is rendered in order, its audio.
    void OpenMovie(const std::vector<int32_t>& todo) {
        MovieOutputOptions options = MovieOptions();
        const int32_t divisor = static_cast<int32_t>(std::gcd(static_cast<int64_t>(rate_.timeScale), rate_.timeStep));
        options.rateNumerator = static_cast<int32_t>(rate_.timeScale) / divisor;
        options.rateDenominator = rate_.timeStep / divisor;
        options.colourTag = colour_.outputTag;
        if (const MovieInfo* movie = input_->Movie()) {
            options.timecode =
                AdvanceTimecode(movie->timecode, options.rateNumerator, options.rateDenominator, todo.front() - 1);
            // Video code values in and out: the movie keeps its own transfer.
            if (colour_.output == colour_.input) options.colourTag.clear(), options.transfer = movie->transfer;
            std::vector<int32_t> whole(static_cast<size_t>(movie->frames));
            std::iota(whole.begin(), whole.end(), 1);
            if (movie->audioStreams > 0 && !settings_.noAudio) {
                if (todo == whole) {
                    options.audioFrom = input_->Text();
                } else {
                    Warn("the audio of " + Quoted(input_->Text()) +
                         " is copied only when every frame is rendered, in order; " + Quoted(output_.Text()) +
                         " gets none (--no-audio silences this)");
                }
            }
        }
        options.abandon = [] { return InterruptGuard::Requested(); };
        movie_ = std::make_unique<MovieWriter>(output_.Text(), std::move(options));
    }

    // A frame of the noise source that could not be read fails the render as the read failed.
    void RethrowLayerFailure() {
        if (const std::exception_ptr failure = host_.TakeLayerFailure()) std::rethrow_exception(failure);
    }

    // Binds, renders and composes one frame.
    DoneFrame RenderFrame(ReadFrame read, int32_t index) {
        const int32_t frame = read.frame;
        const int32_t k = frame - plan_.start;
        if (InterruptGuard::Requested()) Cancelled(frame);
        if (read.moduleInput != boundInput_) host_.BindInputLayer(boundInput_ = read.moduleInput);
        if (read.mask && read.mask != boundMask_) {
            host_.Params().ById(static_cast<int32_t>(ParamId::MaskLayer)).BindLayer(boundMask_ = read.mask);
        }

        host_.SetTimeline(TimelineFor(rate_, k, plan_.length));
        if (const int32_t code = host_.FrameSetup()) {
            RethrowLayerFailure();
            throw CliError(RenderFailure(host_, code), "frame " + std::to_string(frame) + ": frame setup failed: " +
                                                           DescribeModuleFailure(host_, code));
        }
        if (const int32_t code = host_.Render()) {
            RethrowLayerFailure();
            if (RenderFailure(host_, code) == ExitCode::Cancelled) Cancelled(frame);
            throw CliError(RenderFailure(host_, code),
                           "frame " + std::to_string(frame) + ": render failed: " + DescribeModuleFailure(host_, code));
        }
        if (InterruptGuard::Requested()) Cancelled(frame);

        // The final view is the input with grain; the others are pictures of their own.
        const int32_t view = host_.Params().ById(static_cast<int32_t>(ParamId::ViewingMode)).Popup();
        const HostImage& rendered = host_.Output().Image();
        const HostImage& before = read.moduleInput->Frame(0).Image();
        const bool sameSize = rendered.width == before.width && rendered.height == before.height;
        DoneFrame done;
        done.frame = frame, done.index = index, done.hash = HashFrame(rendered);
        if (view == kViewFinalOutput && sameSize) {
            // A sequence's frame is the render's alone: moved, not copied.
            Plate input = read.input.use_count() == 1 ? std::move(*read.input) : *read.input;
            read.input.reset();
            done.picture = ApplyModuleResult(std::move(input), before, rendered, colour_.fromWorking);
        } else {
            done.picture = PlateFromModule(rendered, *read.input,
                                           view == kViewNoiseSamples ? noiseAlpha_.load() : read.input->alpha >= 0,
                                           colour_.fromWorking);
        }
        ConvertColour(done.picture, colour_.toOutput);
        return done;
    }

    bool Verify(uint64_t hash, const std::string& file) {
        const std::optional<uint64_t> wanted = expected_.For(file);
        if (wanted && *wanted == hash) return true;
        progress_->Close();
        const std::lock_guard<std::mutex> lock(StderrMutex());
        if (wanted) {
            std::fprintf(stderr, "texturist: error: %s: hash %s differs from the expected %s\n", file.c_str(),
                         HashText(hash).c_str(), HashText(*wanted).c_str());
        } else {
            std::fprintf(stderr, "texturist: error: %s: --verify lists no hash for it (hash %s)\n", file.c_str(),
                         HashText(hash).c_str());
        }
        return false;
    }

    const RenderSettings& settings_;
    HostRuntime& host_;
    ParamSetter setter_;
    std::optional<Footage> input_;
    const SequencePattern output_;
    SampleDepth depth_ = SampleDepth::Auto;
    FrameRate rate_;
    HashExpectations expected_;
    FramePlan plan_;
    std::optional<LayerFootage> mask_;
    std::unique_ptr<MovieWriter> movie_;
    std::atomic<bool> noiseAlpha_{false};
    ColourPlan colour_;
    std::shared_ptr<HostLayer> boundInput_, boundMask_;
    Progress* progress_ = nullptr;
    // Kept by the writer thread, read once it has been joined.
    int32_t mismatches_ = 0;
    std::optional<int32_t> cancelledAt_;
};

} // namespace

ExitCode RunRender(const RenderSettings& settings) {
    SetWarningPolicy(settings.strict, settings.quiet);
    ModuleSession session(settings.module);
    ExitCode result = ExitCode::Ok;
    try {
        result = FrameRenderer(settings, session.Host()).Run();
    } catch (const CliError& failure) {
        // The failure comes first; a leak on the way out is worth knowing too.
        try {
            session.Finish();
        } catch (const CliError& leak) {
            throw CliError(failure.Code(), std::string(failure.what()) + "; then " + leak.what());
        }
        throw;
    } catch (...) {
        try {
            session.Finish();
        } catch (const CliError&) {}
        throw;
    }
    session.Finish();
    return result;
}
