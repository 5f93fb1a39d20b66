// Progress of a render on stderr: a bar redrawn in place on a terminal,
// plain lines when stderr is a file or a pipe, as render-farm logs want, and
// nothing at all when quiet. A line goes out at every 5% reached and at every
// frame written: "Progress: NN% frame F (i of N), 12.3 s elapsed, 45.6 s left".
// Neither ever goes backwards; the time left is the elapsed time scaled by the
// work left, shown once there is enough work done to scale.
//
// The module reports each frame's progress through the host's progress
// service; the reporter turns that into progress over the whole frame list.
// Frames are finished by the thread that writes them: every call is locked.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class Progress {
public:
    enum class Style { Quiet, Bar, Lines };
    // Bar when stderr is a terminal, Lines otherwise; Quiet when asked.
    static Style StyleFor(bool quiet);

    Progress(Style style, int32_t frames);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    // A frame begins: `index` counts from 0 within the frame list.
    void StartFrame(int32_t index, int32_t frameNumber);
    // The host's progress report for the current frame.
    void Report(int32_t done, int32_t total);
    // The frame at `index` of the list, numbered `frameNumber`, is written.
    void FinishFrame(int32_t index, int32_t frameNumber);
    // Ends the bar's line so later messages start on a fresh one.
    void Close();

private:
    void Show(double fraction, bool frameDone, int32_t frameNumber, int32_t index);
    void CloseLocked();
    std::string Times(double fraction) const;

    Style style_;
    int32_t frames_;
    int32_t index_ = 0;
    int32_t frameNumber_ = 0;
    int32_t shownPermille_ = -1;
    int32_t shownPercent_ = -1;
    double shown_ = 0.0; // the furthest fraction shown
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    bool open_ = false;
    std::mutex mutex_;
};
