#include "cli/Footage.h"

#include "cli/CliError.h"

Footage::Footage(const std::string& text) : pattern_(text) {
    if (!IsMovieFile(text)) return;
    movie_ = std::make_shared<MovieReader>(text);
    reading_ = std::make_shared<std::mutex>();
}

std::vector<int32_t> Footage::FramesOnDisk() const {
    if (!movie_) return pattern_.FramesOnDisk();
    std::vector<int32_t> frames(static_cast<size_t>(movie_->Info().frames));
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<int32_t>(i) + 1;
    return frames;
}

std::string Footage::FileFor(int32_t frame) const { return movie_ ? Text() : pattern_.FileFor(frame); }

std::string Footage::NameOf(int32_t frame) const {
    return movie_ ? "\"" + Text() + "\" frame " + std::to_string(frame) : "\"" + pattern_.FileFor(frame) + "\"";
}

std::string Footage::DescribeMissing(const std::vector<int32_t>& frames) const {
    if (!movie_) return DescribeMissingFrames(pattern_, frames);
    const int32_t count = movie_->Info().frames;
    for (const int32_t frame : frames) {
        if (frame < 1 || frame > count) {
            return "\"" + Text() + "\" has frames 1 to " + std::to_string(count) + ", not frame " +
                   std::to_string(frame);
        }
    }
    return {};
}

Plate Footage::Read(int32_t frame, uint64_t memoryBudget) const {
    if (!movie_) return ReadPlate(pattern_.FileFor(frame), memoryBudget);
    const std::lock_guard<std::mutex> lock(*reading_);
    return movie_->Read(frame - 1);
}

const MovieInfo* Footage::Movie() const { return movie_ ? &movie_->Info() : nullptr; }
