// Movies in and out: clips made here with FFmpeg's libraries (a test pattern
// that moves from frame to frame, in each codec the command writes), rendered
// by the command and read back.
#include "CliTestSupport.h"

#include "cli/CliError.h"
#include "cli/Movie.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>

// The tests make clips with x265 in this process, and x265 keeps an
// allocation of its own past its encoder's close.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:x265_malloc\n";
}

namespace clitest {
namespace {

struct ClipRecipe {
    std::string encoder = "ffv1";
    AVPixelFormat format = AV_PIX_FMT_BGR0;
    int width = 64;
    int height = 48;
    int frames = 6;
    AVRational rate{24, 1};
    std::string timecode{};
    std::map<std::string, std::string> options{}; // the encoder's
    int keyInterval = 0;                          // 0: the encoder's default
    bool video = true;
    bool tone = false;    // a 1 kHz tone, 16-bit PCM, for the length of the video
    int skippedSlot = -1; // leaves this slot of the frame grid empty: a variable frame rate
};

// Every component of every pixel: a ramp that moves with the frame, within video range.
void FillPattern(AVFrame& frame, int index) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    const bool rgb = d->flags & AV_PIX_FMT_FLAG_RGB;
    for (int c = 0; c < d->nb_components; ++c) {
        const AVComponentDescriptor& comp = d->comp[c];
        const bool chroma = !rgb && (c == 1 || c == 2);
        const int w = chroma ? AV_CEIL_RSHIFT(frame.width, d->log2_chroma_w) : frame.width;
        const int h = chroma ? AV_CEIL_RSHIFT(frame.height, d->log2_chroma_h) : frame.height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int v8 = 40 + (x * 5 + y * 3 + c * 50 + index * 9) % 160;
                const int v =
                    (c == 3 && d->nb_components == 4) ? (1 << comp.depth) - 1 - (x % 3) : v8 << (comp.depth - 8);
                uint8_t* at = frame.data[comp.plane] + y * frame.linesize[comp.plane] + x * comp.step + comp.offset;
                if (comp.depth > 8) {
                    at[0] = static_cast<uint8_t>(v & 0xff), at[1] = static_cast<uint8_t>(v >> 8);
                } else {
                    at[0] = static_cast<uint8_t>(v);
                }
            }
    }
}

void MakeClip(const fs::path& path, const ClipRecipe& recipe) {
    AVFormatContext* out = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str()), 0) << path;
    AVCodecContext* video = nullptr;
    AVStream* videoStream = nullptr;
    if (recipe.video) {
        const AVCodec* codec = avcodec_find_encoder_by_name(recipe.encoder.c_str());
        ASSERT_NE(codec, nullptr) << recipe.encoder;
        video = avcodec_alloc_context3(codec);
        video->width = recipe.width, video->height = recipe.height, video->pix_fmt = recipe.format;
        video->time_base = av_inv_q(recipe.rate), video->framerate = recipe.rate;
        if (recipe.skippedSlot >= 0) video->time_base = AVRational{1, 1000};
        if (recipe.keyInterval > 0) video->gop_size = recipe.keyInterval;
        if (out->oformat->flags & AVFMT_GLOBALHEADER) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary* options = nullptr;
        for (const auto& [key, value] : recipe.options) av_dict_set(&options, key.c_str(), value.c_str(), 0);
        ASSERT_GE(avcodec_open2(video, codec, &options), 0) << recipe.encoder;
        av_dict_free(&options);
        videoStream = avformat_new_stream(out, nullptr);
        avcodec_parameters_from_context(videoStream->codecpar, video);
        videoStream->time_base = video->time_base;
        videoStream->avg_frame_rate = recipe.rate;
        if (!recipe.timecode.empty()) av_dict_set(&videoStream->metadata, "timecode", recipe.timecode.c_str(), 0);
    }
    AVCodecContext* audio = nullptr;
    AVStream* audioStream = nullptr;
    if (recipe.tone) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
        audio = avcodec_alloc_context3(codec);
        audio->sample_rate = 48000, audio->sample_fmt = AV_SAMPLE_FMT_S16;
        av_channel_layout_default(&audio->ch_layout, 1);
        audio->time_base = AVRational{1, 48000};
        ASSERT_GE(avcodec_open2(audio, codec, nullptr), 0);
        audioStream = avformat_new_stream(out, nullptr);
        avcodec_parameters_from_context(audioStream->codecpar, audio);
        audioStream->time_base = audio->time_base;
    }
    ASSERT_GE(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(out, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    const auto drain = [&](AVCodecContext* context, AVStream* stream) {
        while (avcodec_receive_packet(context, packet) == 0) {
            av_packet_rescale_ts(packet, context->time_base, stream->time_base);
            packet->stream_index = stream->index;
            av_interleaved_write_frame(out, packet);
        }
    };
    const double seconds = recipe.frames / av_q2d(recipe.rate);
    int64_t samplesWritten = 0;
    for (int i = 0; i < recipe.frames && video; ++i) {
        AVFrame* frame = av_frame_alloc();
        frame->format = recipe.format, frame->width = recipe.width, frame->height = recipe.height;
        av_frame_get_buffer(frame, 0);
        FillPattern(*frame, i);
        const int slot = recipe.skippedSlot >= 0 && i >= recipe.skippedSlot ? i + 1 : i;
        frame->pts = recipe.skippedSlot >= 0 ? std::llround(slot * 1000.0 / av_q2d(recipe.rate)) : slot;
        avcodec_send_frame(video, frame);
        av_frame_free(&frame);
        drain(video, videoStream);
    }
    if (video) {
        avcodec_send_frame(video, nullptr);
        drain(video, videoStream);
    }
    while (audio && samplesWritten < std::llround(seconds * 48000)) {
        AVFrame* frame = av_frame_alloc();
        frame->format = AV_SAMPLE_FMT_S16, frame->nb_samples = 1024, frame->sample_rate = 48000;
        av_channel_layout_default(&frame->ch_layout, 1);
        av_frame_get_buffer(frame, 0);
        auto* samples = reinterpret_cast<int16_t*>(frame->data[0]);
        for (int s = 0; s < 1024; ++s)
            samples[s] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000 * (samplesWritten + s) / 48000.0));
        frame->pts = samplesWritten;
        samplesWritten += 1024;
        avcodec_send_frame(audio, frame);
        av_frame_free(&frame);
        drain(audio, audioStream);
    }
    av_write_trailer(out);
    av_packet_free(&packet);
    avcodec_free_context(&video);
    avcodec_free_context(&audio);
    avio_closep(&out->pb);
    avformat_free_context(out);
}

// Size and FNV-1a hash of every audio packet, in order.
std::vector<std::pair<int, uint64_t>> AudioPackets(const fs::path& path) {
    std::vector<std::pair<int, uint64_t>> packets;
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return packets;
    avformat_find_stream_info(in, nullptr);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(in, packet) >= 0) {
        if (in->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            uint64_t hash = 14695981039346656037ull;
            for (int i = 0; i < packet->size; ++i) hash = (hash ^ packet->data[i]) * 1099511628211ull;
            packets.emplace_back(packet->size, hash);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&in);
    return packets;
}

std::vector<std::string> HashesOnly(const std::string& out) {
    std::vector<std::string> hashes;
    for (const auto& [file, hash] : HashLines(out)) hashes.push_back(hash);
    return hashes;
}

// Every frame of a movie as image files, at the plate's own depth.
void WriteFramesAsImages(const fs::path& movie, const fs::path& folder, const std::string& pattern) {
    MovieReader reader(movie.string());
    for (int32_t i = 0; i < reader.Info().frames; ++i) {
        const Plate plate = reader.Read(i);
        char name[256];
        std::snprintf(name, sizeof name, pattern.c_str(), i + 1);
        std::unique_ptr<OIIO::ImageOutput> file = OIIO::ImageOutput::create((folder / name).string());
        OIIO::ImageSpec spec(plate.spec.width, plate.spec.height, plate.Channels(), plate.spec.format);
        ASSERT_TRUE(file->open((folder / name).string(), spec));
        ASSERT_TRUE(file->write_image(OIIO::TypeDesc::FLOAT, plate.samples.data()));
        file->close();
    }
}

using Movies = CliTest;

struct CodecCase {
    const char* codec;
    const char* file;
    ClipRecipe source;
};

// Six frames of a codec's clip.
ClipRecipe Clip(const char* encoder, AVPixelFormat format, int width, int height, AVRational rate, const char* timecode,
                std::map<std::string, std::string> options) {
    return ClipRecipe{encoder, format, width, height, 6, rate, timecode, std::move(options)};
}

std::vector<CodecCase> CodecCases() {
    return {{"prores", "prores.mov",
             Clip("prores_ks", AV_PIX_FMT_YUV422P10LE, 128, 96, {25, 1}, "10:00:00:00", {{"profile", "hq"}})},
            {"prores4444", "prores4444.mov",
             Clip("prores_ks", AV_PIX_FMT_YUVA444P10LE, 128, 96, {24, 1}, "01:02:03:04", {{"profile", "4444"}})},
            {"dnxhr", "dnxhr.mxf",
             Clip("dnxhd", AV_PIX_FMT_YUV422P10LE, 256, 144, {24000, 1001}, "00:59:59:00", {{"profile", "dnxhr_hqx"}})},
            {"ffv1", "ffv1.mkv", Clip("ffv1", AV_PIX_FMT_GBRP10LE, 128, 96, {30000, 1001}, "01:00:00;00", {})},
            {"h264", "h264.mp4", Clip("libx264", AV_PIX_FMT_YUV420P, 128, 96, {24, 1}, "", {{"preset", "ultrafast"}})},
            {"h265", "h265.mp4",
             Clip("libx265", AV_PIX_FMT_YUV420P10LE, 128, 96, {50, 1}, "", {{"x265-params", "log-level=none"}})}};
}

TEST_F(Movies, EveryCodecKeepsCountRateTimecodeSizeAndDepth) {
    WritePlate("plate.png", {96, 96, 3, OIIO::TypeDesc::UINT8, 3});
    for (const CodecCase& c : CodecCases()) {
        SCOPED_TRACE(c.codec);
        const std::string source = std::string("source-") + c.file;
        MakeClip(Path(source), c.source);
        const std::string output = std::string("out-") + c.file;
        const RunResult run = Render(source, "plate.png", output, {"--codec", c.codec, "--quiet"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        MovieReader in(Path(source).string()), out(Path(output).string());
        EXPECT_EQ(out.Info().frames, c.source.frames);
        EXPECT_EQ(out.Info().rateNumerator * c.source.rate.den, c.source.rate.num * out.Info().rateDenominator);
        EXPECT_EQ(out.Info().timecode, c.source.timecode);
        EXPECT_EQ(out.Info().width, c.source.width);
        EXPECT_EQ(out.Info().height, c.source.height);
        EXPECT_EQ(out.Info().bits, in.Info().bits);
        EXPECT_EQ(out.Info().alpha, in.Info().alpha);
        // The grain reached every frame: none is the source's own.
        for (int32_t i = 0; i < c.source.frames; i += 5) {
            const Plate a = in.Read(i), b = out.Read(i);
            double difference = 0.0;
            for (size_t s = 0; s < a.samples.size(); ++s) difference += std::abs(a.samples[s] - b.samples[s]);
            EXPECT_GT(difference / static_cast<double>(a.samples.size()), 0.01) << "frame " << i + 1;
        }
    }
}

// A movie's frames render exactly as the same frames written as images, and
// FFV1 gives back exactly what was rendered (the render written as float,
// rounded to the movie's 8 or 10 bits). ProRes 4444 within its rounding.
TEST_F(Movies, FramesMatchTheirImageSequenceAndLosslessOutputsAreExact) {
    WritePlate("plate.png", {96, 96, 3, OIIO::TypeDesc::UINT8, 5});
    struct Depth {
        AVPixelFormat format;
        const char* images;
        int32_t bits;
    };
    for (const Depth& depth :
         {Depth{AV_PIX_FMT_BGR0, "frame.%04d.png", 8}, Depth{AV_PIX_FMT_GBRP10LE, "deep.%04d.png", 10}}) {
        SCOPED_TRACE(depth.bits);
        const std::string clip = "clip" + std::to_string(depth.bits) + ".mkv";
        MakeClip(Path(clip),
                 {.encoder = "ffv1", .format = depth.format, .width = 96, .height = 64, .frames = 5, .rate = {24, 1}});
        WriteFramesAsImages(Path(clip), Folder(), depth.images);
        const std::string images = std::string(depth.images).replace(std::string(depth.images).find("%04d"), 4, "####");

        const std::string rendered = "grained" + std::to_string(depth.bits) + ".####.exr";
        const RunResult fromMovie =
            Render(clip, "plate.png", rendered, {"--depth", "float", "--print-hash", "--quiet"});
        const RunResult fromImages = Render(images, "plate.png", "again.####.png", {"--print-hash", "--quiet"});
        const RunResult toMovie =
            Render(clip, "plate.png", "grained" + std::to_string(depth.bits) + ".mkv", {"--print-hash", "--quiet"});
        ASSERT_EQ(fromMovie.exitCode, 0) << fromMovie.err;
        ASSERT_EQ(fromImages.exitCode, 0) << fromImages.err;
        ASSERT_EQ(toMovie.exitCode, 0) << toMovie.err;
        EXPECT_EQ(HashesOnly(fromMovie.out).size(), 5u);
        EXPECT_EQ(HashesOnly(fromMovie.out), HashesOnly(fromImages.out));
        EXPECT_EQ(HashesOnly(fromMovie.out), HashesOnly(toMovie.out));

        MovieReader written(Path("grained" + std::to_string(depth.bits) + ".mkv").string());
        EXPECT_EQ(written.Info().bits, depth.bits);
        const float full = static_cast<float>((1 << depth.bits) - 1);
        for (int32_t i = 0; i < 5; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "grained%d.%04d.exr", depth.bits, i + 1);
            const Picture render = ReadPicture(Path(name));
            const Plate decoded = written.Read(i);
            ASSERT_EQ(decoded.samples.size(), render.samples.size());
            int32_t differ = 0;
            for (size_t s = 0; s < decoded.samples.size(); ++s)
                differ += std::lround(decoded.samples[s] * full) != std::lround(render.samples[s] * full);
            EXPECT_EQ(differ, 0) << "frame " << i + 1;
        }
    }

    // ProRes 4444 from the 8-bit clip: 10-bit 4:4:4 YUV, lossy but close.
    ASSERT_EQ(Render("clip8.mkv", "plate.png", "grained.mov", {"--codec", "prores4444", "--quiet"}).exitCode, 0);
    MovieReader prores(Path("grained.mov").string());
    double sum = 0.0, worst = 0.0;
    size_t count = 0;
    for (int32_t i = 0; i < 5; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "grained8.%04d.exr", i + 1);
        const Picture rendered = ReadPicture(Path(name));
        const Plate decoded = prores.Read(i);
        for (size_t s = 0; s < decoded.samples.size(); ++s, ++count) {
            const double error = std::abs(decoded.samples[s] - rendered.samples[s]) * 255.0;
            sum += error, worst = std::max(worst, error);
        }
    }
    EXPECT_LT(sum / static_cast<double>(count), 0.75) << "mean error in 8-bit steps";
    EXPECT_LE(worst, 6.0) << "largest error in 8-bit steps";
}

// The grain's strength survives ProRes 422 HQ: sigma of render minus clean, per
// channel, with the demo's film-like grain.
TEST_F(Movies, ProResKeepsTheGrainsStrength) {
    WriteClean("flat.0001.png", {256, 144, 3, OIIO::TypeDesc::UINT8, 1});
    WriteClean("flat.0002.png", {256, 144, 3, OIIO::TypeDesc::UINT8, 1});
    const std::string plate = TEXTURIST_DEMO_DATA "/grain-plate.png";
    ASSERT_EQ(Render("flat.####.png", plate, "seq.####.png", {"--quiet"}).exitCode, 0);
    ASSERT_EQ(Render("flat.####.png", plate, "hq.mov", {"--quiet"}).exitCode, 0);
    MovieReader movie(Path("hq.mov").string());
    for (int32_t i = 0; i < 2; ++i) {
        const Picture clean = ReadPicture(Path(i ? "flat.0002.png" : "flat.0001.png"));
        const Picture sequence = ReadPicture(Path(i ? "seq.0002.png" : "seq.0001.png"));
        const Plate decoded = movie.Read(i);
        for (int c = 0; c < 3; ++c) {
            double seq = 0.0, mov = 0.0, seqMean = 0.0, movMean = 0.0;
            const size_t n = static_cast<size_t>(clean.header.width * clean.header.height);
            for (size_t p = 0; p < n; ++p) {
                const double a = sequence.samples[p * 3 + c] - clean.samples[p * 3 + c];
                const double b = decoded.samples[p * 3 + c] - clean.samples[p * 3 + c];
                seq += a * a, mov += b * b, seqMean += a, movMean += b;
            }
            const double nd = static_cast<double>(n);
            const double ratio =
                std::sqrt((mov / nd - std::pow(movMean / nd, 2)) / (seq / nd - std::pow(seqMean / nd, 2)));
            EXPECT_NEAR(ratio, 1.0, 0.05) << "frame " << i + 1 << " channel " << c;
        }
    }
}

TEST_F(Movies, AudioIsCopiedPacketForPacketAndTimecodeFollowsTheFrames) {
    WritePlate("plate.png", {96, 96, 3, OIIO::TypeDesc::UINT8, 4});
    MakeClip(Path("tone.mov"), {.encoder = "prores_ks",
                                .format = AV_PIX_FMT_YUV422P10LE,
                                .width = 64,
                                .height = 48,
                                .frames = 6,
                                .rate = {24, 1},
                                .timecode = "01:00:00:00",
                                .tone = true});
    ASSERT_EQ(Render("tone.mov", "plate.png", "all.mov", {"--quiet"}).exitCode, 0);
    const auto source = AudioPackets(Path("tone.mov"));
    ASSERT_GT(source.size(), 1u);
    EXPECT_EQ(AudioPackets(Path("all.mov")), source);

    const RunResult silent = Render("tone.mov", "plate.png", "silent.mov", {"--no-audio", "--quiet"});
    ASSERT_EQ(silent.exitCode, 0) << silent.err;
    EXPECT_TRUE(AudioPackets(Path("silent.mov")).empty());
    EXPECT_EQ(MovieReader(Path("silent.mov").string()).Info().audioStreams, 0);

    // Part of the movie: its frames from the movie's first as frame 1, the timecode moved on, no audio.
    const RunResult part = Render("tone.mov", "plate.png", "part.mov", {"--frames", "3-5"});
    ASSERT_EQ(part.exitCode, 0) << part.err;
    EXPECT_NE(part.err.find("is copied only when every frame is rendered"), std::string::npos) << part.err;
    MovieReader partial(Path("part.mov").string());
    EXPECT_EQ(partial.Info().frames, 3);
    EXPECT_EQ(partial.Info().timecode, "01:00:00:02");
    EXPECT_EQ(partial.Info().audioStreams, 0);
    const RunResult parts = Render("tone.mov", "plate.png", "part.####.png", {"--frames", "3-5", "--print-hash"});
    const RunResult whole = Render("tone.mov", "plate.png", "whole.####.png", {"--print-hash", "--quiet"});
    ASSERT_EQ(HashLines(parts.out).size(), 3u);
    EXPECT_EQ(HashLines(parts.out)[0].first, "part.0003.png");
    const std::vector<std::string> all = HashesOnly(whole.out);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(HashesOnly(parts.out), std::vector<std::string>(all.begin() + 2, all.begin() + 5));
}

// One frame of a long movie is found by seeking, not by decoding all before it.
TEST_F(Movies, AFrameIsReadBySeekingToTheKeyFrameBeforeIt) {
    MakeClip(Path("long.mp4"), {.encoder = "libx264",
                                .format = AV_PIX_FMT_YUV420P,
                                .width = 64,
                                .height = 48,
                                .frames = 60,
                                .rate = {24, 1},
                                .timecode = "",
                                .options = {{"preset", "ultrafast"}},
                                .keyInterval = 12});
    MovieReader sequential(Path("long.mp4").string());
    std::vector<Plate> frames;
    for (int32_t i = 0; i < 60; ++i) frames.push_back(sequential.Read(i));
    for (const int32_t wanted : {50, 7, 51, 0, 59}) {
        MovieReader reader(Path("long.mp4").string());
        const int64_t before = reader.DecodedFrames();
        const Plate frame = reader.Read(wanted);
        EXPECT_EQ(frame.samples, frames[static_cast<size_t>(wanted)].samples) << "frame " << wanted + 1;
        EXPECT_LE(reader.DecodedFrames() - before, 12 + 4) << "frame " << wanted + 1;
    }
    MovieReader mixed(Path("long.mp4").string());
    for (const int32_t wanted : {40, 41, 3, 59, 58})
        EXPECT_EQ(mixed.Read(wanted).samples, frames[static_cast<size_t>(wanted)].samples) << "frame " << wanted + 1;
}

TEST_F(Movies, HostileInputsFailWithOneLineAndLeaveNothing) {
    WritePlate("plate.png", {96, 96, 3, OIIO::TypeDesc::UINT8, 4});
    MakeClip(Path("good.mkv"), {.encoder = "ffv1", .format = AV_PIX_FMT_BGR0, .width = 64, .height = 48, .frames = 12});
    MakeClip(Path("good.mov"),
             {.encoder = "prores_ks", .format = AV_PIX_FMT_YUV422P10LE, .width = 64, .height = 48, .frames = 12});
    for (const char* name : {"good.mkv", "good.mov"}) {
        std::ifstream in(Path(name), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(Path(std::string("cut-") + name), std::ios::binary) << bytes.substr(0, bytes.size() * 6 / 10);
    }
    MakeClip(Path("no-video.mkv"), {.encoder = "ffv1",
                                    .format = AV_PIX_FMT_BGR0,
                                    .width = 64,
                                    .height = 48,
                                    .frames = 6,
                                    .rate = {24, 1},
                                    .video = false,
                                    .tone = true});
    MakeClip(Path("empty.mkv"), {.encoder = "ffv1", .format = AV_PIX_FMT_BGR0, .width = 64, .height = 48, .frames = 0});
    MakeClip(Path("variable.mkv"), {.encoder = "ffv1",
                                    .format = AV_PIX_FMT_BGR0,
                                    .width = 64,
                                    .height = 48,
                                    .frames = 8,
                                    .rate = {24, 1},
                                    .skippedSlot = 3});
    const std::vector<std::string> before = Files();
    const std::map<std::string, std::string> cases = {{"cut-good.mkv", "truncated"},
                                                      {"cut-good.mov", "cannot read"},
                                                      {"no-video.mkv", "has no video stream"},
                                                      {"empty.mkv", "has no frames"},
                                                      {"variable.mkv", "has a variable frame rate"}};
    for (const auto& [file, message] : cases) {
        for (const char* role : {"--input", "--noise-source", "--mask"}) {
            SCOPED_TRACE(file + " as " + role);
            std::vector<std::string> args{"render",         "--module",  TEXTURIST_MODULE, "--input", "good.mkv",
                                          "--noise-source", "plate.png", "--output",       "out.mov"};
            const size_t at = std::string(role) == "--input" ? 4 : std::string(role) == "--noise-source" ? 6 : 0;
            if (at) {
                args[at] = file;
            } else {
                args.insert(args.end(), {"--mask", file});
            }
            const RunResult run = Run(args);
            EXPECT_EQ(run.exitCode, 3);
            EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
            EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(file), std::string::npos) << run.err;
            EXPECT_EQ(Files(), before);
        }
    }
    // A cancelled movie leaves nothing, not even its temporary file.
    WriteClean("clean.png", {64, 48, 3, OIIO::TypeDesc::UINT8, 2});
    for (int i = 1; i <= 2000; ++i) fs::create_symlink("clean.png", Path("f." + std::to_string(i) + ".png"));
    RunningCli cancelled(Folder(), {"render", "--module", TEXTURIST_MODULE, "--input", "f.#.png", "--noise-source",
                                    "plate.png", "--output", "long.mov", "--threads", "1"});
    // Once a frame is in the movie, its temporary file exists.
    ASSERT_TRUE(cancelled.WaitForStderr(") written", std::chrono::seconds(120))) << cancelled.Stderr();
    cancelled.Signal(SIGINT);
    EXPECT_EQ(cancelled.Wait(std::chrono::seconds(120)), 130) << cancelled.Stderr();
    for (int i = 1; i <= 2000; ++i) fs::remove(Path("f." + std::to_string(i) + ".png"));
    fs::remove(Path("clean.png"));
    EXPECT_EQ(Files(), before);

    // A movie is one file: it cannot be split into farm chunks.
    const RunResult chunk = Render("good.mkv", "plate.png", "out.mov", {"--chunk", "1/2"});
    EXPECT_EQ(chunk.exitCode, 2);
    EXPECT_NE(chunk.err.find("--chunk cannot split a movie"), std::string::npos) << chunk.err;
    EXPECT_EQ(Files(), before);
}

} // namespace
} // namespace clitest
