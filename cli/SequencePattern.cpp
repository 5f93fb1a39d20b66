#include "cli/SequencePattern.h"

#include "cli/CliError.h"

#include <OpenImageIO/filesystem.h>

#include <algorithm>
#include <filesystem>

namespace {

// OpenImageIO reads a single '#' as four digits and "####" as sixteen;
// compositors mean one digit per '#', which is what '@' means to it.
std::string HashesAsAts(const std::string& text) {
    std::string converted = text;
    std::replace(converted.begin(), converted.end(), '#', '@');
    return converted;
}

} // namespace

SequencePattern::SequencePattern(std::string text) : text_(std::move(text)) {
    const bool marked = text_.find_first_of("#@") != std::string::npos || text_.find('%') != std::string::npos;
    if (!marked) return;
    std::string normalised;
    std::string range;
    if (!OIIO::Filesystem::parse_pattern(HashesAsAts(text_).c_str(), 0, normalised, range) || normalised.empty()) {
        if (text_.find('%') != std::string::npos) {
            throw CliError(ExitCode::Usage,
                           "\"" + text_ + "\": a '%' in a file name must be a frame number such as %04d");
        }
        return; // '#' or '@' without a frame-number shape: an ordinary name
    }
    if (!range.empty()) {
        throw CliError(ExitCode::Usage,
                       "\"" + text_ + "\": put the frame range " + range + " in --frames, not in the file name");
    }
    printf_ = normalised;
}

std::string SequencePattern::FileFor(int32_t frame) const {
    if (!IsSequence()) return text_;
    std::vector<std::string> names;
    OIIO::Filesystem::enumerate_file_sequence(printf_, {frame}, names);
    return names.empty() ? text_ : names.front();
}

std::vector<int32_t> SequencePattern::FramesOnDisk() const {
    std::vector<int32_t> frames;
    if (!IsSequence()) return frames;
    std::vector<int> numbers;
    std::vector<std::string> files;
    // A pattern without a folder is relative to the current one, which the scan must be told.
    const bool bare = std::filesystem::path(printf_).parent_path().empty();
    const std::string scanned = bare ? "./" + printf_ : printf_;
    if (!OIIO::Filesystem::scan_for_matching_filenames(scanned, numbers, files)) return frames;
    for (size_t i = 0; i < numbers.size(); ++i) {
        // The scan tolerates other paddings; only names this pattern produces belong to it.
        if (FileFor(numbers[i]) == (bare ? files[i].substr(2) : files[i])) frames.push_back(numbers[i]);
    }
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

std::string DescribeMissingFrames(const SequencePattern& pattern, const std::vector<int32_t>& frames) {
    std::string missing;
    int32_t count = 0;
    for (int32_t frame : frames) {
        const std::string file = pattern.FileFor(frame);
        std::error_code error;
        if (std::filesystem::exists(file, error)) continue;
        if (++count <= 3) missing += (missing.empty() ? "" : ", ") + file;
    }
    if (count == 0) return {};
    if (!pattern.IsSequence()) return "\"" + pattern.Text() + "\": no such file";
    if (count > 3) missing += " and " + std::to_string(count - 3) + " more";
    return "missing frame" + std::string(count == 1 ? " " : "s ") + missing + " of " + pattern.Text();
}
