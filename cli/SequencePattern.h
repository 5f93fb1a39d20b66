// A file name that may stand for a numbered sequence of files.
//
// Patterns: a run of '#' or '@' is one digit per character ("shot.####.exr"
// and "shot.@@@@.exr" are four digits, zero-padded, longer numbers allowed);
// printf style "%04d" and "%d". A name without any of these is a single file.
// A frame range written into the name ("shot.1-10#.exr") is a usage error:
// ranges belong in --frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class SequencePattern {
public:
    explicit SequencePattern(std::string text);

    const std::string& Text() const { return text_; }
    bool IsSequence() const { return !printf_.empty(); }
    // The file of a frame; the name itself for a single file.
    std::string FileFor(int32_t frame) const;
    // Frame numbers of the files that exist, ascending; empty for a single file
    // or when the folder does not exist.
    std::vector<int32_t> FramesOnDisk() const;

private:
    std::string text_;
    std::string printf_; // normalised "name.%04d.ext", empty for a single file
};

// The frames of `frames` whose files are missing, for an error that names them.
std::string DescribeMissingFrames(const SequencePattern& pattern, const std::vector<int32_t>& frames);
