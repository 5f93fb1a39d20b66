// Image files in and out of the host's pixel formats, through OpenImageIO.
//
// Reading: 8-bit files become the host's 8-bit images, every deeper file
// (16-bit, 10-bit DPX, half and float) its 16-bit images with full scale
// 32768, float values clamped to 0..1. Colour is kept unassociated (straight),
// as the host keeps it: files that store premultiplied colour (EXR, TIFF
// marked so) are divided by alpha. A file without alpha reads as opaque; 1- and
// 2-channel files are grey and grey + alpha. Only the display window is kept,
// padded with transparent black where the data window is smaller. Files larger
// than 32767 pixels either way are refused: the host's point parameters cannot
// address them. A file can declare a size far beyond its data, so the memory
// the declared size needs is checked first (see ReadImage).
//
// Writing: PNG, TIFF, EXR, DPX and JPEG, chosen by the file name. Every file is
// written under a temporary name in its own folder and renamed over the final
// name only when complete, so a failure or a cancel never leaves a partial
// file. Failures throw CliError naming the file.
#pragma once

#include "effect/HostInterface.h"
#include "host/HostImageBuffer.h"

#include <OpenImageIO/imageio.h>

#include <functional>
#include <string>

struct LoadedImage {
    HostImageBuffer pixels;
    bool hasAlpha = false;
    OIIO::ImageSpec metadata;  // as the file describes itself
    int64_t finiteSamples = 0; // colour samples that were neither NaN nor infinite before clamping
};

// Files whose pixels would take more than `memoryBudget` bytes to read (0:
// the machine's physical memory) are refused before anything is allocated, as
// are files without channels.
LoadedImage ReadImage(const std::string& path, uint64_t memoryBudget = 0);

enum class SampleDepth { Auto, UInt8, UInt10, UInt16, Half, Float };

// "8", "10", "16", "half" or "float"; anything else is a usage error.
SampleDepth ParseSampleDepth(const std::string& text);

// Checks, before any rendering, that `path` names a format we write and that
// the format holds `depth`.
void CheckOutputFile(const std::string& path, SampleDepth depth);

struct WriteOptions {
    SampleDepth depth = SampleDepth::Auto; // Auto: the format's usual depth for the host image
    bool alpha = true;                     // dropped for formats without alpha
    const OIIO::ImageSpec* metadata = nullptr;
    // Asked after the temporary file is complete; true abandons it.
    std::function<bool()> abandon;
};

// False when `abandon` said so (nothing is left behind); true when written.
bool WriteImage(const HostImage& image, const std::string& path, const WriteOptions& options);
