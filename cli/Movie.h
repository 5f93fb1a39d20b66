// Movie files in and out, through FFmpeg's libraries.
//
// Reading. A movie is opened once and its video stream indexed without
// decoding (the container's index where it has a complete one, else one pass
// over the packets): the frame count, a constant frame rate (a stream whose
// frames leave that rate's grid is refused as variable), and truncation (an
// index pointing past the end of the file, or fewer frames than the
// container's duration promises). Frames are counted from 0 here; `Read` of
// the next frame goes on decoding, any other frame seeks to the key frame
// before it, so one frame of a long movie is never decoded in full.
//
// Pixels are converted to RGB by libswscale with the stream's own matrix and
// range (untagged streams: BT.709 from 720 lines or 1280 columns up, else
// BT.601; limited range), bit-exactly, so that a frame reads the same on every
// machine. 8-bit streams give 8-bit plates, deeper ones 16-bit plates (the
// host's 16-bit format); alpha where the codec has it. Frames carry the
// stream's transfer as a colour tag where the colour config knows it ("sRGB",
// "Linear"); video gammas (BT.709, BT.601, untagged) are left untagged, so
// frames are graded as the code values they are.
//
// Writing. The codec comes from --codec or the extension: ProRes 422 HQ and
// ProRes 4444 (.mov), DNxHR HQX (.mov, .mxf), FFV1 (.mkv, lossless, RGB
// planes so nothing is lost to a YUV conversion), H.264 and H.265 (.mp4, .mov,
// .mkv, with --crf or --bitrate). The file is written under a temporary name
// and renamed when complete; until then a failure or a cancel removes it.
// Colour tags (matrix, range, primaries, transfer) are written, the input's
// audio streams are copied packet for packet, and a timecode is carried.
#pragma once

#include "cli/ImageIO.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// By extension: .mov .mp4 .m4v .mkv .mxf .avi .webm .mpg .mpeg .ts .mts .m2ts.
bool IsMovieFile(const std::string& path);

// The timecode `frames` frames after `timecode` at this rate (drop-frame
// timecodes, "01:00:00;00", count as such); empty when it cannot be read.
std::string AdvanceTimecode(const std::string& timecode, int32_t rateNumerator, int32_t rateDenominator,
                            int32_t frames);

struct MovieInfo {
    int32_t width = 0;
    int32_t height = 0;
    int32_t frames = 0;
    int32_t bits = 8; // per sample, as stored
    bool alpha = false;
    int32_t rateNumerator = 24; // frames per second, as a ratio
    int32_t rateDenominator = 1;
    std::string timecode; // of the first frame ("01:00:00:00"), empty when the movie has none
    std::string codec;    // the decoder's name ("prores")
    int32_t transfer = 2; // the stream's transfer characteristic (FFmpeg's numbering; 2 = unspecified)
    int32_t audioStreams = 0;
};

class MovieReader {
public:
    // Throws CliError (InputOutput) for a file that is missing, not a movie, has
    // no video stream or no frames, is truncated, has a variable frame rate, or
    // whose frames would take more than `memoryBudget` bytes (0: the machine's
    // physical memory) to hold.
    explicit MovieReader(const std::string& path, uint64_t memoryBudget = 0);
    MovieReader(const MovieReader&) = delete;
    MovieReader& operator=(const MovieReader&) = delete;
    ~MovieReader();

    const MovieInfo& Info() const;
    // Frame `index` (0 to frames - 1). CliError (InputOutput) when it cannot be decoded.
    Plate Read(int32_t index);
    // Frames decoded since the movie was opened (to show that seeking works).
    int64_t DecodedFrames() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

struct MovieOutputOptions {
    std::string codec;                     // prores, prores4444, dnxhr, ffv1, h264, h265; empty: by extension
    SampleDepth depth = SampleDepth::Auto; // Auto: the source's depth, as far as the codec holds it
    int32_t crf = -1;                      // H.264 and H.265; -1: 18 and 20
    std::string bitrate;                   // H.264 and H.265, "20M"; overrides the quality
    int32_t rateNumerator = 24;
    int32_t rateDenominator = 1;
    std::string timecode;  // of the first frame written; empty: none
    std::string colourTag; // the frames' colour space tag ("sRGB", "Linear"; empty: video code values)
    int32_t transfer = 2;  // the input movie's transfer characteristic, kept when the tag is empty
    std::string audioFrom; // a movie whose audio streams are copied; empty: no audio
    // Asked before the finished file is renamed into place; true abandons it.
    std::function<bool()> abandon;
};

// Checks, before any rendering, the codec, the container and the depth of a
// movie output. CliError (Usage) otherwise.
void CheckMovieOutput(const std::string& path, const MovieOutputOptions& options);

class MovieWriter {
public:
    MovieWriter(std::string path, MovieOutputOptions options);
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;
    // Removes the temporary file unless Finish() committed it.
    ~MovieWriter();

    // Appends a frame: its display window, colour and alpha. The first frame
    // sets the size; every later one must have it.
    void Write(const Plate& frame);
    // Flushes the encoder, copies the rest of the audio and renames the file
    // into place: false when `abandon` said so (nothing is left).
    bool Finish();
    int32_t FramesWritten() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
