#include "cli/Movie.h"

#include "cli/CliError.h"
#include "cli/Interrupt.h"
#include "cli/SafeFiles.h"
#include "cli/Warnings.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/timecode.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <type_traits>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The host's point parameters are 16.16 fixed point: they reach 32767 pixels.
constexpr int32_t kLargestSide = 32767;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string ExtensionOf(const std::string& path) { return Lower(fs::path(path).extension().string()); }

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The libraries' last error message, for ours: "Invalid argument" alone does
// not tell a user that DNxHR needs 256 x 120 pixels.
std::mutex gLastErrorMutex;
std::string gLastError;

void RecordLibraryMessage(void* context, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_ERROR) return;
    char line[512];
    int prefix = 0;
    av_log_format_line2(context, level, format, arguments, line, sizeof line, &prefix);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    const size_t bracket = text.rfind("] ");
    if (bracket != std::string::npos) text = text.substr(bracket + 2);
    const std::lock_guard<std::mutex> lock(gLastErrorMutex);
    gLastError = text;
}

// What the libraries last said went wrong, taken: empty when nothing.
std::string TakeLibraryMessage() {
    const std::lock_guard<std::mutex> lock(gLastErrorMutex);
    return std::exchange(gLastError, std::string());
}

// The libraries' own log would interleave with progress and repeat what our
// messages say; their errors reach the user through ours.
// TEXTURIST_FFMPEG_LOG=1 lets them speak, for a movie that fails for reasons of its own.
void SilenceLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* wanted = std::getenv("TEXTURIST_FFMPEG_LOG");
        if (wanted && *wanted && std::string(wanted) != "0") {
            av_log_set_level(AV_LOG_INFO);
        } else {
            av_log_set_level(AV_LOG_ERROR);
            av_log_set_callback(RecordLibraryMessage);
        }
    });
}

// ": Invalid argument (Input dimensions too small, ...)": a code and what the library said of it.
std::string Explain(int code) {
    std::string text = AvError(code);
    const std::string said = TakeLibraryMessage();
    if (!said.empty() && said != text) text += " (" + said + ")";
    return text;
}

struct FormatInputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScaleFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using InputPtr = std::unique_ptr<AVFormatContext, FormatInputCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using ScalePtr = std::unique_ptr<SwsContext, ScaleFree>;

FramePtr NewFrame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}

PacketPtr NewPacket() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

// Scaling flags that give the same bytes on every processor.
constexpr int kExactScaling = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP | SWS_BITEXACT;

// RGB to subsampled YUV for writing: chroma decimated without a low-pass
// filter. Grain is noise up to the pixel; a filter before decimation takes
// half of its chroma variance with the high frequencies, decimation alone
// folds them back and keeps the grain's strength. The picture's own chroma
// is band-limited already (by the camera's mosaic or the scanner's optics).
constexpr int kDecimation = SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP | SWS_BITEXACT;

bool HighDefinition(int32_t width, int32_t height) { return width >= 1280 || height >= 720; }

// Colour fields as the integers they are stored as: a file can put any
// number there, and loading a number outside an enumeration as that
// enumeration is undefined.
template <class Enum> int RawValue(const Enum& field) {
    std::underlying_type_t<Enum> value;
    std::memcpy(&value, &field, sizeof value);
    return static_cast<int>(value);
}

// The matrix of a stream that does not say: BT.709 for HD, BT.601 for SD.
int MatrixFor(int tagged, int32_t width, int32_t height) {
    switch (tagged) {
    case AVCOL_SPC_BT709:
    case AVCOL_SPC_FCC:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M:
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return tagged;
    default:
        return HighDefinition(width, height) ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    }
}

// The colour tag of frames from a stream with this transfer; empty for video
// gammas, whose frames are graded as their code values.
std::string TagForTransfer(int32_t transfer) {
    if (transfer == AVCOL_TRC_LINEAR) return "Linear";
    if (transfer == AVCOL_TRC_IEC61966_2_1) return "sRGB";
    return "";
}

bool KnownVideoTransfer(int32_t transfer) {
    switch (transfer) {
    case AVCOL_TRC_BT709:
    case AVCOL_TRC_UNSPECIFIED:
    case AVCOL_TRC_GAMMA22:
    case AVCOL_TRC_GAMMA28:
    case AVCOL_TRC_SMPTE170M:
    case AVCOL_TRC_SMPTE240M:
    case AVCOL_TRC_BT2020_10:
    case AVCOL_TRC_BT2020_12:
    case AVCOL_TRC_LINEAR:
    case AVCOL_TRC_IEC61966_2_1:
        return true;
    default:
        return false;
    }
}

std::string RateText(int32_t numerator, int32_t denominator) {
    return denominator == 1 ? std::to_string(numerator) : std::to_string(numerator) + "/" + std::to_string(denominator);
}

} // namespace

bool IsMovieFile(const std::string& path) {
    static const char* const kExtensions[] = {".mov", ".mp4",  ".m4v", ".mkv", ".mxf",  ".avi", ".webm",
                                              ".mpg", ".mpeg", ".ts",  ".mts", ".m2ts", ".qt"};
    const std::string extension = ExtensionOf(path);
    return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                       [&extension](const char* known) { return extension == known; });
}

// ---------------------------------------------------------------------------
// Reading

struct MovieReader::State {
    std::string path;
    uint64_t memoryBudget = 0;
    MovieInfo info;
    InputPtr format;
    CodecPtr decoder;
    int32_t video = -1;
    double step = 1.0;      // frame duration in the stream's time base
    int64_t firstPts = 0;   // presentation time of frame 0
    int32_t next = 0;       // the frame the decoder gives next, when reading on
    int32_t lastIndex = -1; // the frame last decoded; -1 unknown (after a seek)
    bool drained = false;   // the decoder has been told the stream ended
    int64_t decoded = 0;
    FramePtr frame = NewFrame();
    PacketPtr packet = NewPacket();
    ScalePtr scale;
    std::optional<int32_t> pending; // `frame` holds this frame, decoded and not yet taken

    [[noreturn]] void Fail(const std::string& what) const {
        throw CliError(ExitCode::InputOutput, Quoted(path) + " " + what);
    }

    void Open() {
        decoder.reset();
        format.reset();
        AVFormatContext* raw = nullptr;
        if (const int code = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); code < 0) {
            if (code == AVERROR_EOF) Fail("has no frames: it ends before the first");
            throw CliError(ExitCode::InputOutput, "cannot read " + Quoted(path) + ": " + Explain(code));
        }
        format.reset(raw);
        if (const int code = avformat_find_stream_info(raw, nullptr); code < 0) {
            Fail("cannot be read as a movie: " + Explain(code));
        }
        video = -1;
        for (unsigned i = 0; i < raw->nb_streams && video < 0; ++i) {
            const AVStream* stream = raw->streams[i];
            if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
                video = static_cast<int32_t>(i);
        }
        if (video < 0) Fail("has no video stream");
        for (unsigned i = 0; i < raw->nb_streams; ++i)
            if (static_cast<int32_t>(i) != video) raw->streams[i]->discard = AVDISCARD_ALL;
        const AVCodecParameters* parameters = raw->streams[video]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        if (!codec)
            Fail("holds video in a codec this build cannot decode (" +
                 std::string(avcodec_get_name(parameters->codec_id)) + ")");
        decoder.reset(avcodec_alloc_context3(codec));
        if (!decoder) throw std::bad_alloc();
        if (avcodec_parameters_to_context(decoder.get(), parameters) < 0) Fail("has unusable codec parameters");
        // Damage is an error, not something to paper over with a concealed frame.
        decoder->err_recognition = AV_EF_CRCCHECK | AV_EF_EXPLODE;
        decoder->thread_count = 0;
        if (const int code = avcodec_open2(decoder.get(), codec, nullptr); code < 0) {
            Fail("cannot be decoded: " + Explain(code));
        }
        next = 0, lastIndex = -1, drained = false, pending.reset();
    }

    // Presentation times of every frame, sorted, read without decoding.
    // `scanned` says whether the packets were read to find them.
    std::vector<int64_t> IndexFrames(bool& scanned) {
        scanned = false;
        AVStream* stream = format->streams[video];
        std::vector<int64_t> times;
        const bool movFamily = std::strstr(format->iformat->name, "mov") != nullptr;
        const int entries = avformat_index_get_entries_count(stream);
        if (movFamily && entries > 0) {
            // The sample table lists every frame: nothing needs reading.
            const int64_t size = avio_size(format->pb);
            for (int i = 0; i < entries; ++i) {
                const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
                if (entry->flags & AVINDEX_DISCARD_FRAME) continue;
                if (size > 0 && entry->pos + entry->size > size) {
                    Fail("is truncated: frame " + std::to_string(times.size() + 1) + " lies beyond its end");
                }
                times.push_back(entry->timestamp);
            }
        } else {
            scanned = true;
            while (true) {
                const int code = av_read_frame(format.get(), packet.get());
                if (code == AVERROR_EOF) break;
                if (code < 0)
                    Fail("is truncated or damaged after " + std::to_string(times.size()) + " frames: " + Explain(code));
                const bool mine = packet->stream_index == video;
                const bool corrupt = packet->flags & AV_PKT_FLAG_CORRUPT;
                const bool discard = packet->flags & AV_PKT_FLAG_DISCARD;
                const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
                av_packet_unref(packet.get());
                if (!mine) continue;
                if (corrupt) Fail("is damaged: frame " + std::to_string(times.size() + 1) + " is corrupt");
                if (!discard) times.push_back(time);
            }
            // The container's duration says how many frames it should hold.
            int64_t promised = stream->nb_frames;
            if (promised <= 0 && stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
                promised = std::llround(static_cast<double>(stream->duration) / step);
            } else if (promised <= 0 && std::strstr(format->iformat->name, "matroska") && format->duration > 0) {
                promised = std::llround(static_cast<double>(format->duration) / AV_TIME_BASE * info.rateNumerator /
                                        info.rateDenominator);
            }
            if (promised > 0 && static_cast<int64_t>(times.size()) + 1 < promised) {
                Fail("is truncated: it holds " + std::to_string(times.size()) + " of the " + std::to_string(promised) +
                     " frames its header promises");
            }
        }
        if (std::any_of(times.begin(), times.end(), [](int64_t t) { return t == AV_NOPTS_VALUE; })) {
            Fail("has frames without timestamps; texturist reads movies whose frames are timed");
        }
        std::sort(times.begin(), times.end());
        return times;
    }

    // The frame rate from the stream, or failing that from its frames.
    void FindRate(const std::vector<int64_t>& times) {
        const AVStream* stream = format->streams[video];
        AVRational rate = stream->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) rate = stream->avg_frame_rate;
        if ((rate.num <= 0 || rate.den <= 0) && times.size() > 1) {
            const double seconds = static_cast<double>(times.back() - times.front()) * av_q2d(stream->time_base) /
                                   static_cast<double>(times.size() - 1);
            rate = av_d2q(1.0 / seconds, 100000);
        }
        if (rate.num <= 0 || rate.den <= 0) rate = {24, 1};
        info.rateNumerator = rate.num, info.rateDenominator = rate.den;
        step = 1.0 / (av_q2d(rate) * av_q2d(stream->time_base));
    }

    // Every frame on the constant rate's grid, or the movie is refused.
    void CheckConstantRate(const std::vector<int64_t>& times) const {
        const double tolerance = std::max(step * 0.25, 1.0);
        for (size_t k = 1; k < times.size(); ++k) {
            const double expected = static_cast<double>(times.front()) + static_cast<double>(k) * step;
            if (std::abs(static_cast<double>(times[k]) - expected) <= tolerance) continue;
            const double seconds = av_q2d(format->streams[video]->time_base);
            char detail[160];
            std::snprintf(detail, sizeof detail, "frame %zu is at %.4f s where %s fps puts it at %.4f s", k + 1,
                          static_cast<double>(times[k] - times.front()) * seconds,
                          RateText(info.rateNumerator, info.rateDenominator).c_str(),
                          (expected - static_cast<double>(times.front())) * seconds);
            Fail("has a variable frame rate (" + std::string(detail) + "); convert it to a constant frame rate first");
        }
    }

    std::string FindTimecode() const {
        const auto from = [](const AVDictionary* metadata) -> std::string {
            const AVDictionaryEntry* entry = av_dict_get(metadata, "timecode", nullptr, 0);
            return entry ? entry->value : "";
        };
        std::string found = from(format->streams[video]->metadata);
        if (found.empty()) found = from(format->metadata);
        for (unsigned i = 0; i < format->nb_streams && found.empty(); ++i) found = from(format->streams[i]->metadata);
        return found;
    }

    // The next frame out of the decoder; false at the end of the stream.
    bool DecodeNext() {
        while (true) {
            int code = avcodec_receive_frame(decoder.get(), frame.get());
            if (code == 0) {
                ++decoded;
                if ((frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags != 0) {
                    Fail("is damaged: a frame after frame " + std::to_string(lastIndex + 1) + " does not decode");
                }
                return true;
            }
            if (code == AVERROR_EOF) return false;
            if (code != AVERROR(EAGAIN)) Fail("cannot be decoded: " + Explain(code));
            if (drained) return false;
            code = av_read_frame(format.get(), packet.get());
            if (code == AVERROR_EOF) {
                avcodec_send_packet(decoder.get(), nullptr);
                drained = true;
                continue;
            }
            if (code < 0) Fail("is truncated or damaged: " + Explain(code));
            if (packet->stream_index != video) {
                av_packet_unref(packet.get());
                continue;
            }
            code = avcodec_send_packet(decoder.get(), packet.get());
            av_packet_unref(packet.get());
            if (code < 0 && code != AVERROR(EAGAIN)) Fail("cannot be decoded: " + Explain(code));
        }
    }

    // Which frame the decoder just gave.
    int32_t IndexOfFrame() {
        const int64_t pts = frame->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) {
            if (lastIndex < 0 && next != 0) return -1; // unknown after a seek
            return lastIndex + 1;
        }
        return static_cast<int32_t>(std::llround(static_cast<double>(pts - firstPts) / step));
    }

    void SeekTo(int32_t index) {
        const int64_t target = firstPts + std::llround(static_cast<double>(index) * step);
        if (index == 0 || av_seek_frame(format.get(), video, target, AVSEEK_FLAG_BACKWARD) < 0) {
            Open(); // from the start, where every container can begin
        } else {
            avcodec_flush_buffers(decoder.get());
            drained = false, pending.reset();
            next = index, lastIndex = -1;
        }
    }

    // Leaves frame `index` in `frame`.
    void DecodeFrame(int32_t index) {
        if (pending == index) {
            pending.reset();
            next = index + 1;
            return;
        }
        pending.reset();
        bool sought = false;
        if (index != next) SeekTo(index), sought = true;
        while (true) {
            if (!DecodeNext()) {
                Fail("is truncated: it ends before frame " + std::to_string(index + 1) + " of " +
                     std::to_string(info.frames));
            }
            int32_t found = IndexOfFrame();
            if (found < 0) {
                // Untimed frames after a seek: only counting from the start places them.
                Open();
                sought = false;
                continue;
            }
            lastIndex = found;
            if (found < index) {
                av_frame_unref(frame.get());
                continue;
            }
            if (found > index) {
                if (sought) {
                    // The seek landed past the frame: an index that lies; count from the start.
                    Open();
                    sought = false;
                    continue;
                }
                Fail("lacks frame " + std::to_string(index + 1) + " of " + std::to_string(info.frames));
            }
            next = index + 1;
            return;
        }
    }

    Plate Convert(int32_t index) {
        if (frame->width != info.width || frame->height != info.height) {
            Fail("changes its picture size at frame " + std::to_string(index + 1) + " (" +
                 std::to_string(frame->width) + " x " + std::to_string(frame->height) + ")");
        }
        const auto source = static_cast<AVPixelFormat>(frame->format);
        const AVPixFmtDescriptor* description = av_pix_fmt_desc_get(source);
        if (!description) Fail("has frames of an unknown pixel format");
        const bool deep = info.bits > 8;
        const int32_t channels = info.alpha ? 4 : 3;
        const AVPixelFormat target = deep ? (info.alpha ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE)
                                          : (info.alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24);
        // RGB to RGB is a shuffle, done exactly only by the converters the interpolation flags do not ask for.
        const int flags = (description->flags & AV_PIX_FMT_FLAG_RGB) ? SWS_POINT | SWS_BITEXACT : kExactScaling;
        scale.reset(sws_getCachedContext(scale.release(), info.width, info.height, source, info.width, info.height,
                                         target, flags, nullptr, nullptr, nullptr));
        if (!scale) Fail("has frames that cannot be converted to RGB (" + std::string(description->name) + ")");
        if (!(description->flags & AV_PIX_FMT_FLAG_RGB)) {
            const int matrix = MatrixFor(RawValue(frame->colorspace), info.width, info.height);
            const bool fullRange = RawValue(frame->color_range) == AVCOL_RANGE_JPEG || source == AV_PIX_FMT_YUVJ420P ||
                                   source == AV_PIX_FMT_YUVJ422P || source == AV_PIX_FMT_YUVJ444P;
            sws_setColorspaceDetails(scale.get(), sws_getCoefficients(matrix), fullRange ? 1 : 0,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        }
        const int32_t sampleBytes = deep ? 2 : 1;
        const int32_t rowBytes = (info.width * channels * sampleBytes + 63) / 64 * 64;
        std::vector<uint8_t> rgb(static_cast<size_t>(rowBytes) * static_cast<size_t>(info.height) + 64);
        uint8_t* planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
        int strides[4] = {rowBytes, 0, 0, 0};
        if (sws_scale(scale.get(), frame->data, frame->linesize, 0, info.height, planes, strides) != info.height) {
            Fail("has a frame that cannot be converted to RGB");
        }
        av_frame_unref(frame.get());

        Plate plate;
        plate.spec =
            OIIO::ImageSpec(info.width, info.height, channels, deep ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8);
        plate.spec.channelnames =
            info.alpha ? std::vector<std::string>{"R", "G", "B", "A"} : std::vector<std::string>{"R", "G", "B"};
        plate.spec.alpha_channel = info.alpha ? 3 : -1;
        if (info.bits != 8 && info.bits != 16) plate.spec.attribute("oiio:BitsPerSample", info.bits);
        const int rate[2] = {info.rateNumerator, info.rateDenominator};
        plate.spec.attribute("FramesPerSecond", OIIO::TypeRational, rate);
        if (const std::string tag = TagForTransfer(info.transfer); !tag.empty())
            plate.spec.attribute("oiio:ColorSpace", tag);
        plate.format = "movie";
        plate.colour = {0, 1, 2};
        plate.alpha = info.alpha ? 3 : -1;
        plate.samples.resize(static_cast<size_t>(info.width) * static_cast<size_t>(info.height) *
                             static_cast<size_t>(channels));
        const float unit = deep ? 1.0f / 65535.0f : 1.0f / 255.0f;
        const size_t rowSamples = static_cast<size_t>(info.width) * static_cast<size_t>(channels);
        for (int32_t y = 0; y < info.height; ++y) {
            const uint8_t* row = rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(rowBytes);
            float* out = plate.samples.data() + static_cast<size_t>(y) * rowSamples;
            if (deep) {
                for (size_t i = 0; i < rowSamples; ++i)
                    out[i] = static_cast<float>(row[2 * i] | (row[2 * i + 1] << 8)) * unit;
            } else {
                for (size_t i = 0; i < rowSamples; ++i) out[i] = static_cast<float>(row[i]) * unit;
            }
        }
        return plate;
    }
};

MovieReader::MovieReader(const std::string& path, uint64_t memoryBudget) : state_(std::make_unique<State>()) {
    SilenceLibraries();
    State& s = *state_;
    s.path = path, s.memoryBudget = memoryBudget;
    std::error_code error;
    if (!fs::exists(path, error)) throw CliError(ExitCode::InputOutput, Quoted(path) + ": no such file");
    if (fs::is_directory(path, error)) throw CliError(ExitCode::InputOutput, Quoted(path) + " is a folder");
    s.Open();
    const AVStream* stream = s.format->streams[s.video];
    s.FindRate({});
    bool scanned = false;
    std::vector<int64_t> times = s.IndexFrames(scanned);
    if (times.empty()) s.Fail("has no frames");
    s.FindRate(times);
    s.CheckConstantRate(times);
    s.info.frames = static_cast<int32_t>(std::min<size_t>(times.size(), 100000000));

    if (scanned) s.Open(); // back to the first packet
    stream = s.format->streams[s.video];
    const AVCodecParameters* parameters = stream->codecpar;
    s.info.width = parameters->width, s.info.height = parameters->height;
    if (s.info.width < 1 || s.info.height < 1 || s.info.width > kLargestSide || s.info.height > kLargestSide) {
        s.Fail("is " + std::to_string(s.info.width) + " x " + std::to_string(s.info.height) +
               " pixels; texturist handles 1 to " + std::to_string(kLargestSide) + " pixels either way");
    }
    const AVPixFmtDescriptor* description = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(parameters->format));
    if (!description) s.Fail("has video of an unknown pixel format");
    s.info.bits = description->comp[0].depth;
    s.info.alpha = (description->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    s.info.codec = s.decoder->codec->name;
    s.info.transfer = RawValue(parameters->color_trc);
    s.info.timecode = s.FindTimecode();
    for (unsigned i = 0; i < s.format->nb_streams; ++i)
        s.info.audioStreams += s.format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;

    // A frame as float samples, the host's images and the output: refuse what cannot fit.
    const uint64_t pixels = static_cast<uint64_t>(s.info.width) * static_cast<uint64_t>(s.info.height);
    const uint64_t needed = pixels * 4 * (2 * sizeof(float) + 8);
    long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
    const uint64_t budget =
        memoryBudget > 0
            ? memoryBudget
            : (pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0);
    if (budget > 0 && needed > budget) {
        s.Fail("has frames of " + std::to_string(s.info.width) + " x " + std::to_string(s.info.height) +
               " pixels, more than the memory " + (memoryBudget > 0 ? "allowed" : "this machine has") + " can hold");
    }

    // Frame 0 tells where the movie's frames begin in time.
    if (!s.DecodeNext()) s.Fail("has no frames that decode");
    const int64_t pts = s.frame->best_effort_timestamp;
    s.firstPts = pts != AV_NOPTS_VALUE ? pts : times.front();
    s.lastIndex = 0, s.next = 1, s.pending = 0;
    if (!KnownVideoTransfer(s.info.transfer)) {
        const char* name = s.info.transfer >= 0 && s.info.transfer < AVCOL_TRC_NB
                               ? av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(s.info.transfer))
                               : nullptr;
        Warn(Quoted(path) + " has the transfer \"" + (name ? name : std::to_string(s.info.transfer)) +
             "\", which texturist does not convert: its code values get the grain; give --colorspace-in to "
             "convert them");
    }
}

MovieReader::~MovieReader() = default;

const MovieInfo& MovieReader::Info() const { return state_->info; }

int64_t MovieReader::DecodedFrames() const { return state_->decoded; }

Plate MovieReader::Read(int32_t index) {
    State& s = *state_;
    if (index < 0 || index >= s.info.frames) {
        s.Fail("has no frame " + std::to_string(index + 1) + "; it has " + std::to_string(s.info.frames));
    }
    s.DecodeFrame(index);
    return s.Convert(index);
}

// ---------------------------------------------------------------------------
// Writing

namespace {

struct CodecChoice {
    const char* name;    // as --codec takes it
    const char* encoder; // FFmpeg's encoder
    const char* shown;
    std::vector<const char*> containers;
    std::vector<int32_t> bits;
    bool alpha;
};

const CodecChoice kCodecs[] = {
    {"prores", "prores_ks", "ProRes 422 HQ", {".mov"}, {10}, false},
    {"prores4444", "prores_ks", "ProRes 4444", {".mov"}, {10}, true},
    {"dnxhr", "dnxhd", "DNxHR HQX", {".mov", ".mxf"}, {10}, false},
    {"ffv1", "ffv1", "FFV1", {".mkv"}, {8, 10, 16}, true},
    {"h264", "libx264", "H.264", {".mp4", ".mov", ".mkv"}, {8, 10}, false},
    {"h265", "libx265", "H.265", {".mp4", ".mov", ".mkv"}, {8, 10}, false},
};

const char* const kWrittenContainers = ".mov, .mxf, .mkv or .mp4";

const CodecChoice& ChooseCodec(const std::string& path, const std::string& requested) {
    const std::string extension = ExtensionOf(path);
    std::string name = Lower(requested);
    if (name.empty()) {
        if (extension == ".mov") name = "prores";
        if (extension == ".mxf") name = "dnxhr";
        if (extension == ".mkv") name = "ffv1";
        if (extension == ".mp4" || extension == ".m4v") name = "h264";
        if (name.empty()) {
            throw CliError(ExitCode::Usage,
                           "texturist writes movies as " + std::string(kWrittenContainers) + ", not " + Quoted(path));
        }
    }
    for (const CodecChoice& codec : kCodecs) {
        if (name != codec.name) continue;
        const std::string container = extension == ".m4v" ? ".mp4" : extension;
        if (std::find(codec.containers.begin(), codec.containers.end(), container) == codec.containers.end()) {
            std::string allowed;
            for (const char* c : codec.containers) allowed += (allowed.empty() ? "" : ", ") + std::string(c);
            throw CliError(ExitCode::Usage,
                           std::string(codec.shown) + " goes into " + allowed + " files, not " + Quoted(path));
        }
        return codec;
    }
    throw CliError(ExitCode::Usage,
                   "unknown --codec " + Quoted(requested) + "; codecs are prores, prores4444, dnxhr, ffv1, h264, h265");
}

int32_t BitsOf(SampleDepth depth) {
    switch (depth) {
    case SampleDepth::UInt8:
        return 8;
    case SampleDepth::UInt10:
        return 10;
    case SampleDepth::UInt16:
        return 16;
    default:
        return 0;
    }
}

std::string BitList(const CodecChoice& codec) {
    std::string text;
    for (const int32_t b : codec.bits) text += (text.empty() ? "" : ", ") + std::to_string(b);
    return text;
}

// "20M", "8000k", "12000000": bits per second.
int64_t ParseBitrate(const std::string& text) {
    size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    const std::string unit = Lower(text.substr(used));
    const double scale = unit.empty() ? 1.0 : unit == "k" ? 1e3 : unit == "m" ? 1e6 : unit == "g" ? 1e9 : 0.0;
    const double bits = value * scale;
    if (used == 0 || scale == 0.0 || !(bits >= 1e4) || bits > 1e10) {
        throw CliError(ExitCode::Usage, "bad --bitrate " + Quoted(text) + ": give bits per second as 20M or 8000k");
    }
    return static_cast<int64_t>(bits);
}

AVColorTransferCharacteristic TransferFor(const MovieOutputOptions& options) {
    const std::string tag = Lower(options.colourTag);
    if (tag.find("linear") != std::string::npos) return AVCOL_TRC_LINEAR;
    if (tag.find("srgb") != std::string::npos) return AVCOL_TRC_IEC61966_2_1;
    // A transfer read from the input is kept when it is one FFmpeg names.
    if (options.transfer > AVCOL_TRC_RESERVED0 && options.transfer < AVCOL_TRC_NB &&
        options.transfer != AVCOL_TRC_UNSPECIFIED && options.transfer != AVCOL_TRC_RESERVED)
        return static_cast<AVColorTransferCharacteristic>(options.transfer);
    return AVCOL_TRC_BT709;
}

} // namespace

void CheckMovieOutput(const std::string& path, const MovieOutputOptions& options) {
    const CodecChoice& codec = ChooseCodec(path, options.codec);
    if (options.depth != SampleDepth::Auto) {
        const int32_t bits = BitsOf(options.depth);
        if (std::find(codec.bits.begin(), codec.bits.end(), bits) == codec.bits.end()) {
            throw CliError(ExitCode::Usage, std::string(codec.shown) + " holds " + BitList(codec) +
                                                "-bit samples, not --depth " +
                                                (bits ? std::to_string(bits) : std::string("float")));
        }
    }
    const bool compressed = std::string(codec.name) == "h264" || std::string(codec.name) == "h265";
    if (!compressed && (options.crf >= 0 || !options.bitrate.empty())) {
        throw CliError(ExitCode::Usage, std::string("--crf and --bitrate are for H.264 and H.265; ") + codec.shown +
                                            " has a fixed quality");
    }
    if (options.crf >= 0 && !options.bitrate.empty()) {
        throw CliError(ExitCode::Usage, "--crf and --bitrate are two ways to set the quality: give one");
    }
    if (options.crf > 51) throw CliError(ExitCode::Usage, "--crf runs from 0 (best) to 51");
    if (!options.bitrate.empty()) ParseBitrate(options.bitrate);
    SilenceLibraries();
    if (!avcodec_find_encoder_by_name(codec.encoder)) {
        throw CliError(ExitCode::Usage,
                       std::string("this build of FFmpeg has no ") + codec.shown + " encoder (" + codec.encoder + ")");
    }
    const fs::path folder = fs::path(path).parent_path();
    std::error_code error;
    if (!folder.empty() && !fs::is_directory(folder, error)) {
        throw CliError(ExitCode::InputOutput, "cannot write " + Quoted(path) + ": its folder does not exist");
    }
}

struct MovieWriter::State {
    std::string path;
    MovieOutputOptions options;
    const CodecChoice* codec = nullptr;
    std::string temporary;
    std::optional<TemporaryFileScope> scope;
    AVFormatContext* output = nullptr; // with its file open once `opened`
    bool opened = false, headerWritten = false, committed = false;
    CodecPtr encoder;
    AVStream* stream = nullptr;
    FramePtr picture = NewFrame();
    PacketPtr packet = NewPacket();
    ScalePtr scale;
    int32_t width = 0, height = 0, bits = 8, written = 0;
    bool alpha = false, rgbPlanes = false;
    // The audio copied from the input: its own reader, the output stream of each input stream.
    InputPtr audio;
    std::vector<int32_t> audioStreams;
    PacketPtr audioPacket = NewPacket();
    bool audioHeld = false, audioDone = true;

    [[noreturn]] void Fail(const std::string& what, int code) const {
        throw CliError(ExitCode::InputOutput,
                       "cannot write " + Quoted(path) + ": " + what + (code < 0 ? ": " + Explain(code) : ""));
    }

    ~State() {
        if (output) {
            if (opened) avio_closep(&output->pb);
            avformat_free_context(output);
        }
        if (!committed && !temporary.empty()) {
            std::error_code error;
            fs::remove(temporary, error);
        }
    }

    static int32_t SourceBits(const Plate& frame) {
        if (frame.spec.format.basesize() == 1) return 8;
        const int bits = frame.spec.get_int_attribute("oiio:BitsPerSample", 16);
        return bits > 8 && bits < 16 ? bits : 16;
    }

    AVPixelFormat PixelFormat() const {
        const std::string name = codec->name;
        if (name == "prores") return AV_PIX_FMT_YUV422P10LE;
        if (name == "prores4444") return alpha ? AV_PIX_FMT_YUVA444P10LE : AV_PIX_FMT_YUV444P10LE;
        if (name == "dnxhr") return AV_PIX_FMT_YUV422P10LE;
        if (name == "ffv1") {
            if (bits == 8) return alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR0; // FFV1's 8-bit RGB is packed
            if (bits == 10) return alpha ? AV_PIX_FMT_GBRAP10LE : AV_PIX_FMT_GBRP10LE;
            return alpha ? AV_PIX_FMT_GBRAP16LE : AV_PIX_FMT_GBRP16LE;
        }
        return bits == 8 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV420P10LE;
    }

    void Open(const Plate& first) {
        const OIIO::ROI display = first.DisplayWindow();
        width = display.width(), height = display.height();
        alpha = codec->alpha && first.alpha >= 0;
        if (first.alpha >= 0 && !codec->alpha) {
            Warn(std::string(codec->shown) + " has no alpha: the alpha channel is not written to " + Quoted(path) +
                 " (ProRes 4444 and FFV1 keep it)");
        }
        const int32_t source = SourceBits(first);
        if (options.depth != SampleDepth::Auto) {
            bits = BitsOf(options.depth);
        } else {
            // The source's depth where the codec has it, else the nearest deeper, else the deepest.
            bits = codec->bits.back();
            for (const int32_t b : codec->bits)
                if (b >= source) {
                    bits = b;
                    break;
                }
        }
        const std::string name = codec->name;
        const bool subsampled = name == "h264" || name == "h265";
        if (subsampled && (width % 2 || height % 2)) {
            throw CliError(ExitCode::InputOutput, "cannot write " + Quoted(path) + ": " + codec->shown +
                                                      " (4:2:0) needs an even width and height, and the frames are " +
                                                      std::to_string(width) + " x " + std::to_string(height));
        }
        if (name == "dnxhr" && (width < 256 || height < 120 || width % 2)) {
            throw CliError(ExitCode::InputOutput, "cannot write " + Quoted(path) +
                                                      ": DNxHR needs frames of at least 256 x 120 pixels with an "
                                                      "even width, and the frames are " +
                                                      std::to_string(width) + " x " + std::to_string(height));
        }
        rgbPlanes = name == "ffv1";

        const std::string extension = ExtensionOf(path);
        const char* muxer = extension == ".mkv"   ? "matroska"
                            : extension == ".mxf" ? "mxf"
                            : extension == ".mov" ? "mov"
                                                  : "mp4";
        if (const int code = avformat_alloc_output_context2(&output, nullptr, muxer, temporary.c_str()); code < 0) {
            Fail("the container cannot be made", code);
        }
        const AVCodec* encoderCodec = avcodec_find_encoder_by_name(codec->encoder);
        if (!encoderCodec) Fail(std::string("no ") + codec->shown + " encoder in this build of FFmpeg", 0);
        encoder.reset(avcodec_alloc_context3(encoderCodec));
        if (!encoder) throw std::bad_alloc();
        AVCodecContext& e = *encoder;
        e.width = width, e.height = height;
        e.pix_fmt = PixelFormat();
        e.time_base = AVRational{options.rateDenominator, options.rateNumerator};
        e.framerate = AVRational{options.rateNumerator, options.rateDenominator};
        e.sample_aspect_ratio = AVRational{1, 1};
        const bool hd = HighDefinition(width, height);
        e.color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
        e.color_trc = TransferFor(options);
        e.colorspace = rgbPlanes ? AVCOL_SPC_RGB : (hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M);
        e.color_range = rgbPlanes ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        e.thread_count = 0;
        if (output->oformat->flags & AVFMT_GLOBALHEADER) e.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary* settings = nullptr;
        if (name == "prores" || name == "prores4444") {
            av_dict_set(&settings, "profile", name == "prores" ? "hq" : "4444", 0);
            av_dict_set(&settings, "vendor", "apl0", 0);
            // A fixed fine quantiser rather than the profile's nominal data rate:
            // at that rate grain is what the encoder gives up first (a tenth to a
            // quarter of its strength on grainy plates); this keeps it, for files
            // two to four times the nominal size on grainy footage.
            e.flags |= AV_CODEC_FLAG_QSCALE;
            e.global_quality = FF_QP2LAMBDA * 2;
        } else if (name == "dnxhr") {
            av_dict_set(&settings, "profile", "dnxhr_hqx", 0);
        } else if (name == "ffv1") {
            e.level = 3;
            e.gop_size = 1;
            av_dict_set(&settings, "slicecrc", "1", 0);
        } else {
            if (!options.bitrate.empty()) {
                e.bit_rate = ParseBitrate(options.bitrate);
            } else {
                av_dict_set_int(&settings, "crf", options.crf >= 0 ? options.crf : (name == "h264" ? 18 : 20), 0);
            }
            av_dict_set(&settings, "preset", "medium", 0);
            if (name == "h265") {
                av_dict_set(&settings, "x265-params", "log-level=none", 0);
                if (extension != ".mkv") e.codec_tag = MKTAG('h', 'v', 'c', '1');
            }
        }
        const int code = avcodec_open2(&e, encoderCodec, &settings);
        av_dict_free(&settings);
        if (code < 0) Fail(std::string("the ") + codec->shown + " encoder refuses these frames", code);

        stream = avformat_new_stream(output, nullptr);
        if (!stream) throw std::bad_alloc();
        if (avcodec_parameters_from_context(stream->codecpar, &e) < 0) Fail("the stream cannot be set up", 0);
        stream->time_base = e.time_base;
        stream->avg_frame_rate = e.framerate;
        if (!options.timecode.empty()) av_dict_set(&stream->metadata, "timecode", options.timecode.c_str(), 0);
        OpenAudio();

        if (const int opening = avio_open(&output->pb, temporary.c_str(), AVIO_FLAG_WRITE); opening < 0) {
            Fail("the file cannot be made", opening);
        }
        opened = true;
        AVDictionary* muxing = nullptr;
        if (extension == ".mp4" || extension == ".m4v") av_dict_set(&muxing, "movflags", "+faststart", 0);
        const int header = avformat_write_header(output, &muxing);
        av_dict_free(&muxing);
        if (header < 0) Fail("the container refuses these streams", header);
        headerWritten = true;

        picture->format = e.pix_fmt, picture->width = width, picture->height = height;
        if (av_frame_get_buffer(picture.get(), 0) < 0) throw std::bad_alloc();
    }

    // An output stream for every audio stream of `audioFrom` that the container takes.
    void OpenAudio() {
        if (options.audioFrom.empty()) return;
        AVFormatContext* raw = nullptr;
        if (const int code = avformat_open_input(&raw, options.audioFrom.c_str(), nullptr, nullptr); code < 0) {
            throw CliError(ExitCode::InputOutput,
                           "cannot read the audio of " + Quoted(options.audioFrom) + ": " + AvError(code));
        }
        audio.reset(raw);
        if (const int code = avformat_find_stream_info(raw, nullptr); code < 0) {
            throw CliError(ExitCode::InputOutput,
                           "cannot read the audio of " + Quoted(options.audioFrom) + ": " + AvError(code));
        }
        audioStreams.assign(raw->nb_streams, -1);
        for (unsigned i = 0; i < raw->nb_streams; ++i) {
            AVStream* in = raw->streams[i];
            if (in->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
                in->discard = AVDISCARD_ALL;
                continue;
            }
            if (avformat_query_codec(output->oformat, in->codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
                Warn("the audio stream " + std::to_string(i) + " of " + Quoted(options.audioFrom) + " (" +
                     avcodec_get_name(in->codecpar->codec_id) + ") cannot go into " + Quoted(path) +
                     " and is not copied");
                in->discard = AVDISCARD_ALL;
                continue;
            }
            AVStream* out = avformat_new_stream(output, nullptr);
            if (!out) throw std::bad_alloc();
            if (avcodec_parameters_copy(out->codecpar, in->codecpar) < 0) Fail("the audio cannot be copied", 0);
            out->codecpar->codec_tag = 0;
            out->time_base = in->time_base;
            av_dict_copy(&out->metadata, in->metadata, 0);
            out->disposition = in->disposition;
            audioStreams[i] = out->index;
            audioDone = false;
        }
    }

    // Copies the audio packets that play before `seconds`, so that the file interleaves.
    void CopyAudioUntil(double seconds) {
        while (!audioDone) {
            if (!audioHeld) {
                const int code = av_read_frame(audio.get(), audioPacket.get());
                if (code == AVERROR_EOF) {
                    audioDone = true;
                    return;
                }
                if (code < 0) {
                    throw CliError(ExitCode::InputOutput,
                                   "cannot read the audio of " + Quoted(options.audioFrom) + ": " + AvError(code));
                }
                const int target = audioStreams[static_cast<size_t>(audioPacket->stream_index)];
                if (target < 0) {
                    av_packet_unref(audioPacket.get());
                    continue;
                }
                av_packet_rescale_ts(audioPacket.get(), audio->streams[audioPacket->stream_index]->time_base,
                                     output->streams[target]->time_base);
                audioPacket->stream_index = target;
                audioPacket->pos = -1;
                audioHeld = true;
            }
            const int64_t time = audioPacket->dts != AV_NOPTS_VALUE ? audioPacket->dts : audioPacket->pts;
            if (time != AV_NOPTS_VALUE &&
                static_cast<double>(time) * av_q2d(output->streams[audioPacket->stream_index]->time_base) > seconds)
                return;
            audioHeld = false;
            if (const int code = av_interleaved_write_frame(output, audioPacket.get()); code < 0) {
                Fail("the audio cannot be written", code);
            }
        }
    }

    // Writes what the encoder has ready.
    void Drain() {
        while (true) {
            const int code = avcodec_receive_packet(encoder.get(), packet.get());
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return;
            if (code < 0) Fail("the encoder failed", code);
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            packet->stream_index = stream->index;
            const int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
            CopyAudioUntil(static_cast<double>(time) * av_q2d(stream->time_base));
            if (const int wrote = av_interleaved_write_frame(output, packet.get()); wrote < 0) {
                Fail("the frames cannot be written", wrote);
            }
        }
    }

    void Fill(const Plate& frame) {
        const OIIO::ROI display = frame.DisplayWindow(), data = frame.DataWindow();
        if (display.width() != width || display.height() != height) {
            throw CliError(ExitCode::InputOutput,
                           "cannot write " + Quoted(path) + ": frame " + std::to_string(written + 1) + " is " +
                               std::to_string(display.width()) + " x " + std::to_string(display.height()) +
                               " pixels, the movie " + std::to_string(width) + " x " + std::to_string(height));
        }
        if (av_frame_make_writable(picture.get()) < 0) throw std::bad_alloc();
        const int32_t channels = alpha ? 4 : 3;
        // Straight colour in 0..1, the display window, black where the frame has no pixels.
        const auto pixel = [&](int32_t x, int32_t y, std::array<float, 4>& out) {
            out = {0.0f, 0.0f, 0.0f, 0.0f};
            const int32_t fx = display.xbegin + x, fy = display.ybegin + y;
            if (fx < data.xbegin || fx >= data.xend || fy < data.ybegin || fy >= data.yend) return;
            const float* in = frame.At(fx - data.xbegin, fy - data.ybegin);
            const float a = frame.alpha >= 0 ? in[frame.alpha] : 1.0f;
            for (int c = 0; c < 3; ++c) {
                float v = in[frame.colour[static_cast<size_t>(c)]];
                if (frame.premultiplied && a != 0.0f && a != 1.0f) v /= a;
                out[static_cast<size_t>(c)] = v;
            }
            out[3] = a;
        };
        const auto quantise = [](float value, int32_t full) {
            const float clamped = std::isnan(value) ? 0.0f : std::clamp(value, 0.0f, 1.0f);
            return static_cast<int32_t>(std::lround(clamped * static_cast<float>(full)));
        };
        std::array<float, 4> v{};
        if (rgbPlanes) {
            // FFV1 stores RGB: the samples go in as they are, nothing converted.
            const int32_t full = (1 << bits) - 1;
            static constexpr int kPlaneOf[4] = {2, 0, 1, 3}; // R, G, B, A -> planes G, B, R, A
            static constexpr int kByteOf[4] = {2, 1, 0, 3};  // R, G, B, A -> bytes of B, G, R, A
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x) {
                    pixel(x, y, v);
                    if (!alpha) v[3] = 1.0f;
                    for (int32_t c = 0; c < 4; ++c) {
                        const int32_t q = quantise(v[static_cast<size_t>(c)], full);
                        if (bits == 8) {
                            picture->data[0][static_cast<ptrdiff_t>(y) * picture->linesize[0] + 4 * x + kByteOf[c]] =
                                static_cast<uint8_t>(q);
                            continue;
                        }
                        if (c == 3 && !alpha) continue;
                        uint8_t* row =
                            picture->data[kPlaneOf[c]] + static_cast<ptrdiff_t>(y) * picture->linesize[kPlaneOf[c]];
                        row[2 * x] = static_cast<uint8_t>(q & 0xff);
                        row[2 * x + 1] = static_cast<uint8_t>(q >> 8);
                    }
                }
            return;
        }
        // YUV codecs: packed RGB at 8 or 16 bits, then libswscale with the movie's matrix, limited range.
        const bool deep = bits > 8;
        const int32_t full = deep ? 65535 : 255;
        const int32_t rowBytes = (width * channels * (deep ? 2 : 1) + 63) / 64 * 64;
        std::vector<uint8_t> rgb(static_cast<size_t>(rowBytes) * static_cast<size_t>(height) + 64);
        for (int32_t y = 0; y < height; ++y) {
            uint8_t* row = rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(rowBytes);
            for (int32_t x = 0; x < width; ++x) {
                pixel(x, y, v);
                for (int32_t c = 0; c < channels; ++c) {
                    const int32_t q = quantise(v[static_cast<size_t>(c)], full);
                    const size_t at = static_cast<size_t>(x * channels + c);
                    if (deep) {
                        row[2 * at] = static_cast<uint8_t>(q & 0xff);
                        row[2 * at + 1] = static_cast<uint8_t>(q >> 8);
                    } else {
                        row[at] = static_cast<uint8_t>(q);
                    }
                }
            }
        }
        const AVPixelFormat packed =
            deep ? (alpha ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE) : (alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24);
        if (!scale) {
            scale.reset(sws_getContext(width, height, packed, width, height, encoder->pix_fmt, kDecimation, nullptr,
                                       nullptr, nullptr));
            if (!scale) Fail("the frames cannot be converted to YUV", 0);
            sws_setColorspaceDetails(scale.get(), sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                     sws_getCoefficients(encoder->colorspace), 0, 0, 1 << 16, 1 << 16);
        }
        const uint8_t* planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
        const int strides[4] = {rowBytes, 0, 0, 0};
        sws_scale(scale.get(), planes, strides, 0, height, picture->data, picture->linesize);
    }
};

MovieWriter::MovieWriter(std::string path, MovieOutputOptions options) : state_(std::make_unique<State>()) {
    SilenceLibraries();
    State& s = *state_;
    s.codec = &ChooseCodec(path, options.codec);
    s.path = std::move(path);
    s.options = std::move(options);
    s.temporary = TemporaryPathFor(s.path);
    s.scope.emplace(s.temporary);
}

MovieWriter::~MovieWriter() = default;

int32_t MovieWriter::FramesWritten() const { return state_->written; }

void MovieWriter::Write(const Plate& frame) {
    State& s = *state_;
    if (!s.headerWritten) s.Open(frame);
    s.Fill(frame);
    s.picture->pts = s.written;
    if (const int code = avcodec_send_frame(s.encoder.get(), s.picture.get()); code < 0) {
        s.Fail("the encoder refuses frame " + std::to_string(s.written + 1), code);
    }
    ++s.written;
    s.Drain();
}

bool MovieWriter::Finish() {
    State& s = *state_;
    if (!s.headerWritten) throw CliError(ExitCode::InputOutput, "no frames to write to " + Quoted(s.path));
    if (const int code = avcodec_send_frame(s.encoder.get(), nullptr); code < 0) s.Fail("the encoder failed", code);
    s.Drain();
    s.CopyAudioUntil(HUGE_VAL);
    if (const int code = av_write_trailer(s.output); code < 0) s.Fail("the file cannot be completed", code);
    s.opened = false;
    if (const int code = avio_closep(&s.output->pb); code < 0) s.Fail("the file cannot be completed", code);
    if (!CommitTemporaryFile(s.temporary, s.path, s.options.abandon)) return false;
    s.committed = true;
    return true;
}

std::string AdvanceTimecode(const std::string& timecode, int32_t rateNumerator, int32_t rateDenominator,
                            int32_t frames) {
    if (timecode.empty()) return "";
    AVTimecode parsed{};
    if (av_timecode_init_from_string(&parsed, AVRational{rateNumerator, rateDenominator}, timecode.c_str(), nullptr) <
        0)
        return "";
    char text[AV_TIMECODE_STR_SIZE] = {};
    return av_timecode_make_string(&parsed, text, frames);
}
