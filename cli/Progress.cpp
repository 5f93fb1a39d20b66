#include "cli/Progress.h"

#include "cli/Warnings.h"

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
    const std::lock_guard<std::mutex> lock(mutex_);
    index_ = index;
    frameNumber_ = frameNumber;
    Show(static_cast<double>(index_) / frames_, false, frameNumber_, index_);
}

void Progress::Report(int32_t done, int32_t total) {
    if (total <= 0) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    // The module reports 100% as it leaves a render, failed or cancelled too; a
    // frame is complete only when it is written (FinishFrame).
    const double within = std::clamp(static_cast<double>(done) / total, 0.0, 0.999);
    Show((index_ + within) / frames_, false, frameNumber_, index_);
}

void Progress::FinishFrame(int32_t index, int32_t frameNumber) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Show(static_cast<double>(index + 1) / frames_, true, frameNumber, index);
}

void Progress::Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    CloseLocked();
}

void Progress::CloseLocked() {
    if (open_) {
        const std::lock_guard<std::mutex> lock(StderrMutex());
        std::fputc('\n', stderr);
    }
    open_ = false;
}

std::string Progress::Times(double fraction) const {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    char text[64];
    // Before 2% or a second the rate says little.
    if (fraction < 0.02 || elapsed < 1.0 || fraction >= 1.0) {
        std::snprintf(text, sizeof text, "%.1f s elapsed", elapsed);
    } else {
        std::snprintf(text, sizeof text, "%.1f s elapsed, %.1f s left", elapsed, elapsed * (1.0 - fraction) / fraction);
    }
    return text;
}

void Progress::Show(double fraction, bool frameDone, int32_t frameNumber, int32_t index) {
    fraction = std::max(fraction, shown_);
    shown_ = fraction;
    const int32_t of = std::min(index + 1, frames_);
    const std::lock_guard<std::mutex> lock(StderrMutex());
    switch (style_) {
    case Style::Quiet:
        return;
    case Style::Lines: {
        // Every 5% and every frame: enough to follow, few enough lines for a render farm's log.
        const int32_t percent = static_cast<int32_t>(fraction * 20.0) * 5;
        if (percent <= shownPercent_ && !frameDone) return;
        shownPercent_ = std::max(percent, shownPercent_);
        std::fprintf(stderr, "Progress: %d%% frame %d (%d of %d)%s, %s\n",
                     frameDone ? static_cast<int32_t>(fraction * 100.0) : percent, frameNumber, of, frames_,
                     frameDone ? " written" : "", Times(fraction).c_str());
        std::fflush(stderr);
        return;
    }
    case Style::Bar: {
        const int32_t permille = static_cast<int32_t>(fraction * 1000.0);
        if (permille == shownPermille_ && !frameDone) return;
        shownPermille_ = permille;
        const int32_t filled = permille * kBarWidth / 1000;
        char bar[kBarWidth + 1];
        for (int32_t i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
        bar[kBarWidth] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%%  frame %d (%d of %d), %s\x1b[K", bar, permille / 10, frameNumber, of,
                     frames_, Times(fraction).c_str());
        std::fflush(stderr);
        open_ = true;
        return;
    }
    }
}
