// Image files in and out, through OpenImageIO.
//
// A file is read as a `Plate`: every channel as float over its data window,
// with its names, types, windows and metadata, so that a render can write back
// exactly what it did not change. Colour is found as R, G and B, or as the
// first layer that has them ("diffuse.R"), or as the first channels; 1- and
// 2-channel files are grey and grey + alpha. Files larger than 32767 pixels
// either way are refused: the host's point parameters cannot address them. A
// file can declare a size far beyond its data, so the memory the declared
// size needs is checked first.
//
// The module sees a plate as a host image (`ToHostImage`): straight colour
// (files that store premultiplied colour, EXR and TIFF marked so, are divided
// by alpha) converted to the working space, clamped to 0..1 and quantised to
// 8 bits for 8-bit files, else to the host's 16-bit scale; a file without
// alpha is opaque.
//
// Writing: PNG, TIFF, EXR, DPX and JPEG, chosen by the file name. EXR keeps
// every channel with its name and type and both windows; the other formats
// hold colour and alpha over the display window. Every file is written under a
// temporary name in its own folder and renamed over the final name only when
// complete, so a failure or a cancel never leaves a partial file. Failures
// throw CliError naming the file.
#pragma once

#include "host/HostImageBuffer.h"
#include "interface/HostInterface.h"

#include <OpenImageIO/imageio.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

class ColourConversion;

struct Plate {
    OIIO::ImageSpec spec;                   // as the file describes itself: windows, channel names and types, metadata
    std::string format;                     // the reader's name for the file's format ("openexr", "png")
    std::vector<float> samples;             // the data window, channels interleaved
    std::array<int32_t, 3> colour{0, 0, 0}; // channel indices of red, green and blue
    int32_t alpha = -1;
    bool premultiplied = false; // colour is stored multiplied by alpha

    int32_t Channels() const { return spec.nchannels; }
    OIIO::ROI DataWindow() const { return spec.roi(); }
    OIIO::ROI DisplayWindow() const { return spec.roi_full(); }
    // A pixel of the data window, counted from its corner.
    float* At(int32_t x, int32_t y) {
        return samples.data() + (static_cast<size_t>(y) * static_cast<size_t>(spec.width) + static_cast<size_t>(x)) *
                                    static_cast<size_t>(spec.nchannels);
    }
    const float* At(int32_t x, int32_t y) const { return const_cast<Plate*>(this)->At(x, y); }
};

// Files whose pixels would take more than `memoryBudget` bytes to read (0:
// the machine's physical memory) are refused before anything is allocated, as
// are files without channels.
Plate ReadPlate(const std::string& path, uint64_t memoryBudget = 0);

// The module's view of `plate` over `window` (the file's pixel coordinates;
// outside the data window transparent black). `finiteSamples`, when given,
// counts the colour samples that were neither NaN nor infinite.
HostImageBuffer ToHostImage(const Plate& plate, const OIIO::ROI& window, const ColourConversion& toWorking,
                            int64_t* finiteSamples = nullptr);

struct LoadedImage {
    HostImageBuffer pixels; // the display window
    bool hasAlpha = false;
    OIIO::ImageSpec metadata;  // as the file describes itself
    int64_t finiteSamples = 0; // colour samples that were neither NaN nor infinite before clamping
};

// A file as the module sees it, in its own encoding, over its display window.
LoadedImage ReadImage(const std::string& path, uint64_t memoryBudget = 0);

enum class SampleDepth { Auto, UInt8, UInt10, UInt16, Half, Float };

// "8", "10", "16", "half" or "float"; anything else is a usage error.
SampleDepth ParseSampleDepth(const std::string& text);

// Checks, before any rendering, that `path` names a format we write and that
// the format holds `depth`.
void CheckOutputFile(const std::string& path, SampleDepth depth);

// Checks a --compression for the format of `path`: EXR none, rle, zip[:1-9],
// zips[:1-9], piz, pxr24, b44, b44a, dwaa[:quality], dwab[:quality]; TIFF none,
// lzw, zip[:1-9]; PNG a zlib level 0-9. CliError (Usage) otherwise.
void CheckCompression(const std::string& path, const std::string& compression);

// Whether a file written at `depth` holds integers (and so clips to 0..1).
bool WritesIntegers(const std::string& path, SampleDepth depth, bool deepInput);

struct WriteOptions {
    SampleDepth depth = SampleDepth::Auto; // Auto: EXR keeps float and half channels, else the format's usual depth
    std::string colourTag;                 // "oiio:ColorSpace" of the file, when not empty
    std::string compression;               // checked by CheckCompression; empty: EXR zip, TIFF none
    // Asked after the temporary file is complete; true abandons it.
    std::function<bool()> abandon;
};

// False when `abandon` said so (nothing is left behind); true when written.
bool WriteImage(const Plate& image, const std::string& path, const WriteOptions& options);

// What writing `image` to `path` leaves out (channels, overscan), one sentence each.
std::vector<std::string> WhatTheFormatDrops(const Plate& image, const std::string& path);
