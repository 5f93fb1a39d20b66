#include "cli/Progress.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int32_t kBarWidth = 40;

} // namespace

Progress::Style Progress::StyleFor(bool quiet) {
    if (quiet) return Style::Quiet;
    return ::isatty(STDERR_FILENO) ? Style::Bar : Style::Lines;
}

Progress::Progress(Style style, int32_t frames) : style_(style), frames_(std::max(frames, 1)) {}

Progress::~Progress() { Close(); }

void Progress::StartFrame(int32_t index, int32_t frameNumber) {
    index_ = index;
    frameNumber_ = frameNumber;
    Show(static_cast<double>(index_) / frames_);
}

void Progress::Report(int32_t done, int32_t total) {
    if (total <= 0) return;
    // The module reports 100% as it leaves a render, failed or cancelled too; a
    // frame is complete only when it is written (FinishFrame).
    const double within = std::clamp(static_cast<double>(done) / total, 0.0, 0.999);
    Show((index_ + within) / frames_);
}

void Progress::FinishFrame() { Show(static_cast<double>(index_ + 1) / frames_); }

void Progress::Close() {
    if (open_) std::fputc('\n', stderr);
    open_ = false;
}

void Progress::Show(double fraction) {
    switch (style_) {
    case Style::Quiet:
        return;
    case Style::Lines: {
        // Every 5%: enough to follow, few enough lines for a render farm's log.
        const int32_t percent = static_cast<int32_t>(fraction * 20.0) * 5;
        if (percent <= shownPercent_) return;
        shownPercent_ = percent;
        std::fprintf(stderr, "Progress: %d%%\n", percent);
        std::fflush(stderr);
        return;
    }
    case Style::Bar: {
        const int32_t permille = static_cast<int32_t>(fraction * 1000.0);
        if (permille == shownPermille_) return;
        shownPermille_ = permille;
        const int32_t filled = permille * kBarWidth / 1000;
        char bar[kBarWidth + 1];
        for (int32_t i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
        bar[kBarWidth] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%%  frame %d (%d of %d)\x1b[K", bar, permille / 10, frameNumber_,
                     std::min(index_ + 1, frames_), frames_);
        std::fflush(stderr);
        open_ = true;
        return;
    }
    }
}
