// Progress of a render on stderr: a bar redrawn in place on a terminal,
// plain "Progress: NN%" lines (one per 5% reached) when stderr is a
// file or a pipe, as render-farm logs want, and nothing at all when quiet.
//
// The module reports each frame's progress through the host's progress
// service; the reporter turns that into progress over the whole frame list.
// Everything runs on the thread that calls the module.
#pragma once

#include <cstdint>
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
    void FinishFrame();
    // Ends the bar's line so later messages start on a fresh one.
    void Close();

private:
    void Show(double fraction);

    Style style_;
    int32_t frames_;
    int32_t index_ = 0;
    int32_t frameNumber_ = 0;
    int32_t shownPermille_ = -1;
    int32_t shownPercent_ = -1;
    bool open_ = false;
};
