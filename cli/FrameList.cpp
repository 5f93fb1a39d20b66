#include "cli/FrameList.h"

#include "cli/CliError.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string>
#include <unordered_set>

namespace {

constexpr int64_t kLargestFrame = 100'000'000;
constexpr int64_t kMostFrames = 1'000'000;

std::string Compact(std::string_view text) {
    std::string compact;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) compact += c;
    }
    return compact;
}

[[noreturn]] void Bad(std::string_view text, const std::string& why) {
    throw CliError(ExitCode::Usage, "bad frame list \"" + std::string(text) + "\": " + why);
}

// Reads a whole number at `at` (a leading '-' only when `signed`) and moves past it.
bool ReadNumber(std::string_view text, size_t& at, int64_t& value, bool allowSign) {
    if (at >= text.size() || (!allowSign && text[at] == '-')) return false;
    const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (error != std::errc()) return false;
    at = static_cast<size_t>(end - text.data());
    return true;
}

// OpenImageIO enumerates the frames; it neither rejects a step of 0 nor
// guards against huge ranges, so each element is checked here first:
// FIRST, FIRST-LAST, FIRST-LASTxSTEP or FIRST-LASTySTEP.
int64_t CheckedCount(std::string_view whole, std::string_view element, std::vector<std::string>* backwards) {
    const auto bad = [&] { Bad(whole, "\"" + std::string(element) + "\" is not a frame or a range"); };
    size_t at = 0;
    int64_t first = 0, last = 0, step = 1;
    if (!ReadNumber(element, at, first, true)) bad();
    last = first;
    if (at < element.size()) {
        if (element[at++] != '-' || !ReadNumber(element, at, last, true)) bad();
        if (at < element.size()) {
            if ((element[at] != 'x' && element[at] != 'y') || !ReadNumber(element, ++at, step, false)) bad();
        }
    }
    if (at != element.size()) bad();
    if (std::llabs(first) > kLargestFrame || std::llabs(last) > kLargestFrame) {
        Bad(whole, "frame numbers must lie within -100000000 to 100000000");
    }
    if (step == 0) Bad(whole, "a step must be at least 1");
    if (backwards && last < first) backwards->emplace_back(element);
    return std::llabs(last - first) + 1;
}

} // namespace

std::vector<int32_t> ParseFrameList(std::string_view text, std::vector<std::string>* backwards) {
    const std::string compact = Compact(text);
    if (compact.empty()) Bad(text, "it is empty");
    int64_t total = 0;
    for (const std::string& element : OIIO::Strutil::splits(compact, ",")) {
        total += CheckedCount(text, element, backwards);
        if (total > kMostFrames) Bad(text, "more than a million frames");
    }
    std::vector<int> numbers;
    if (!OIIO::Filesystem::enumerate_sequence(compact, numbers)) Bad(text, "not understood");

    std::vector<int32_t> frames;
    std::unordered_set<int32_t> seen;
    for (int number : numbers) {
        if (seen.insert(number).second) frames.push_back(number);
    }
    if (frames.empty()) Bad(text, "it selects no frames");
    return frames;
}

ChunkSlice ParseChunk(std::string_view text) {
    const std::string compact = Compact(text);
    const auto bad = [&](const char* why) {
        throw CliError(ExitCode::Usage, "bad --chunk \"" + std::string(text) + "\": " + why);
    };
    size_t at = 0;
    int64_t index = 0, count = 0;
    if (!ReadNumber(compact, at, index, false) || at >= compact.size() || compact[at++] != '/' ||
        !ReadNumber(compact, at, count, false) || at != compact.size()) {
        bad("expected K/N, as in 3/10");
    }
    if (count < 1 || count > 1'000'000 || index < 1 || index > count) bad("K must lie within 1 to N");
    return {static_cast<int32_t>(index), static_cast<int32_t>(count)};
}

std::vector<int32_t> SliceForChunk(const std::vector<int32_t>& frames, const ChunkSlice& chunk) {
    const int64_t size = static_cast<int64_t>(frames.size());
    const int64_t begin = size * (chunk.index - 1) / chunk.count;
    const int64_t end = size * chunk.index / chunk.count;
    return {frames.begin() + begin, frames.begin() + end};
}
