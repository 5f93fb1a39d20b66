// What a render reads for a layer: one image file, a numbered sequence of
// image files, or a movie.
//
// Frames are numbered as a sequence's files are; a movie's frames from 1, its
// first frame, as compositors number them (its timecode is carried to movie
// outputs, not used for numbering). A movie is opened and indexed once; its
// frames are decoded when asked for, one caller at a time.
#pragma once

#include "cli/ImageIO.h"
#include "cli/Movie.h"
#include "cli/SequencePattern.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Footage {
public:
    // Opens a movie (CliError for one that cannot be used); names of image
    // files are only parsed here, their files read when asked for.
    explicit Footage(const std::string& text);

    const std::string& Text() const { return pattern_.Text(); }
    bool IsMovie() const { return movie_ != nullptr; }
    // A sequence or a movie: more than one frame, numbered.
    bool HasFrames() const { return IsMovie() || pattern_.IsSequence(); }
    // The frame numbers there are, ascending; empty for a single image.
    std::vector<int32_t> FramesOnDisk() const;
    // The file that holds `frame` (a movie holds all of its frames).
    std::string FileFor(int32_t frame) const;
    // "shot.0012.exr", or "clip.mov" frame 12, for messages.
    std::string NameOf(int32_t frame) const;
    // Frames of `frames` that do not exist, for an error that names them; empty when all do.
    std::string DescribeMissing(const std::vector<int32_t>& frames) const;
    Plate Read(int32_t frame, uint64_t memoryBudget = 0) const;
    // The movie's description; nullptr for image files.
    const MovieInfo* Movie() const;

private:
    SequencePattern pattern_;
    std::shared_ptr<MovieReader> movie_;
    std::shared_ptr<std::mutex> reading_;
};
