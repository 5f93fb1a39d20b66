// A batch render: files and sequences in, files out, through the module as
// the host drives it.
//
// Time. The composition starts at the input sequence's first frame on disk
// (for a single input image, at the first frame of --frames) and ends at its
// last, so a frame renders the same whether it is rendered alone, in a range
// or in any chunk of a farm render. Frame N is at time (N - start) x time step;
// the duration covers the whole composition.
//
// Movies. A movie is footage like a sequence, its frames numbered from 1; its
// frame rate sets the timeline unless --fps is given. A movie output is one
// file: frames go into it in the order rendered, it appears complete or not
// at all, and it cannot be split into farm chunks. A movie input's timecode
// (advanced to the first frame rendered) and, when every frame is rendered in
// order, its audio go with it.
//
// Layers. The input is bound frame by frame. The noise source, as the host
// would place footage, starts with the composition: its k-th frame sits at
// composition frame k, so sequences numbered alike line up frame for frame,
// and "Source Frame" (counted from 0) picks among them exactly as the host's
// check-out would; a shorter sequence holds its last frame. It is read whole
// (at most as many frames as the composition has) before the first render.
// The mask follows the same placement and is read frame by frame.
//
// Colour. The module renders the input's data window, overscan included, so
// that a later lens distortion or reposition that pulls overscan into the
// picture finds grain there; the output keeps the data window, the display
// window and every channel. The mask is data: read unconverted, its pixels
// registered with the input's by position (see FrameColour.h for the rest).
//
// Each frame: frame setup, render into an image of the size frame setup
// reported, write; global setup and parameter setup come once before, global
// setdown and the leak check once after. Failures throw CliError.
#pragma once

#include "cli/CliError.h"
#include "cli/FrameColour.h"
#include "cli/ParamOptions.h"

#include <cstdint>
#include <string>

struct RenderSettings {
    std::string input;
    std::string noiseSource;
    std::string mask;
    std::string output;
    std::string frames; // empty: every frame of the input sequence
    std::string chunk;  // empty: all of them
    std::string fps; // empty: a movie input's own rate, else 24
    int32_t threads = 0;     // 0: every CPU this process may use
    std::string depth;       // empty: the output format's usual depth
    std::string compression; // empty: the output format's default
    std::string codec;       // movie outputs: empty picks by extension
    int32_t crf = -1;        // H.264 and H.265 outputs
    std::string bitrate;
    bool noAudio = false; // a movie input's audio is not copied to a movie output
    ParamOptions params;
    ColourOptions colour;
    std::string module;
    uint64_t memoryLimit = 0; // bytes of host memory handles; 0: no limit
    bool printHash = false;
    std::string verify;
    bool quiet = false;
    bool strict = false;       // warnings end the render with exit code 4
    bool skipExisting = false; // frames whose output file exists are not rendered again
};

// Ok, or VerifyFailed when a frame's hash differs from --verify.
ExitCode RunRender(const RenderSettings& settings);
