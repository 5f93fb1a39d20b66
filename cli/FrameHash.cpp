#include "cli/FrameHash.h"

#include "cli/CliError.h"
#include "host/HostImageBuffer.h"
#include "host/HostImageOps.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

uint64_t HashFrame(const HostImage& image) { return HostHashImage(image); }

std::string HashText(uint64_t hash) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

namespace {

std::optional<uint64_t> ParseHash(const std::string& text) {
    if (text.size() != 16 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return {};
    return std::stoull(text, nullptr, 16);
}

std::string LastComponent(const std::string& path) { return std::filesystem::path(path).filename().string(); }

} // namespace

HashExpectations::HashExpectations(const std::string& argument) : active_(true) {
    if ((every_ = ParseHash(argument))) return;
    std::ifstream list(argument);
    if (!list) {
        throw CliError(ExitCode::Usage, "bad --verify \"" + argument +
                                            "\": neither a 16-digit hash nor a file of hashes from --print-hash");
    }
    std::string line;
    int32_t number = 0;
    while (std::getline(list, line)) {
        ++number;
        std::istringstream words(line);
        std::string hash, file;
        if (!(words >> hash)) continue;
        std::getline(words >> std::ws, file);
        const std::optional<uint64_t> value = ParseHash(hash);
        if (!value || file.empty()) {
            throw CliError(ExitCode::Usage, "bad --verify list \"" + argument + "\", line " + std::to_string(number) +
                                                ": expected HASH FILE");
        }
        byFile_[file] = *value;
        byName_[LastComponent(file)] = *value;
    }
}

std::optional<uint64_t> HashExpectations::For(const std::string& file) const {
    if (every_) return every_;
    if (const auto found = byFile_.find(file); found != byFile_.end()) return found->second;
    if (const auto found = byName_.find(LastComponent(file)); found != byName_.end()) return found->second;
    return {};
}
