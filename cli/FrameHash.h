// A 64-bit FNV-1a fingerprint of a rendered frame, for checking that renders
// reproduce: across thread counts, machines and chunks of a farm render.
//
// It covers the size, the sample depth and every pixel's four channels in the
// host's order (alpha, red, green, blue), each sample as a little-endian
// 16-bit number, so it does not depend on row padding or on the file format
// the frame is written in. Printed as 16 lowercase hex digits.
#pragma once

#include "interface/HostInterface.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

uint64_t HashFrame(const HostImage& image);
std::string HashText(uint64_t hash);

// What --verify expects: either one hash (16 hex digits) that every frame must
// have, or the name of a file of "HASH FILE" lines as --print-hash prints
// them, matched by output file name (or, failing that, by its last component).
class HashExpectations {
public:
    HashExpectations() = default;
    // CliError(Usage) for text that is neither a hash nor a readable list.
    explicit HashExpectations(const std::string& argument);

    bool Active() const { return active_; }
    std::optional<uint64_t> For(const std::string& file) const;

private:
    bool active_ = false;
    std::optional<uint64_t> every_;
    std::unordered_map<std::string, uint64_t> byFile_;
    std::unordered_map<std::string, uint64_t> byName_;
};
