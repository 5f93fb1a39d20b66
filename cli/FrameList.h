// Which frames a render covers: the --frames text and the --chunk slice.
//
// A frame list is comma-separated single frames and ranges, a range with an
// optional step ("1001-1100x2") or the complement of a step ("1-10y3": the
// frames "x3" would skip); ranges may run backwards. Frames keep the order
// given; a frame listed twice is rendered once, where it first appears.
// Malformed text, a step of 0, numbers beyond +-100,000,000 and lists of more
// than a million frames are usage errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ChunkSlice {
    int32_t index = 1; // 1-based
    int32_t count = 1;
};

// Ranges that run backwards ("1010-1005") are added to `backwards`, when given.
std::vector<int32_t> ParseFrameList(std::string_view text, std::vector<std::string>* backwards = nullptr);

// "K/N" with 1 <= K <= N.
ChunkSlice ParseChunk(std::string_view text);

// The K-th of N contiguous slices of `frames`; slice sizes differ by at most
// one, the later slices taking the extra frames. Empty when N exceeds the
// number of frames and this slice gets none.
std::vector<int32_t> SliceForChunk(const std::vector<int32_t>& frames, const ChunkSlice& chunk);
