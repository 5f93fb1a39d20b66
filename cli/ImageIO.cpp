#include "cli/ImageIO.h"

#include "cli/CliError.h"
#include "cli/ColourSpaces.h"
#include "cli/Movie.h"
#include "cli/SafeFiles.h"
#include "cli/Warnings.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The host's point parameters are 16.16 fixed point: they reach 32767 pixels.
constexpr int32_t kLargestSide = 32767;

struct OutputFormat {
    const char* oiioName;
    const char* shownName;
    std::initializer_list<SampleDepth> depths;
    bool alpha;
};

const OutputFormat kOutputFormats[] = {
    {"png", "PNG", {SampleDepth::UInt8, SampleDepth::UInt16}, true},
    {"tiff", "TIFF", {SampleDepth::UInt8, SampleDepth::UInt16, SampleDepth::Float}, true},
    {"openexr", "EXR", {SampleDepth::Half, SampleDepth::Float}, true},
    {"dpx", "DPX", {SampleDepth::UInt8, SampleDepth::UInt10, SampleDepth::UInt16, SampleDepth::Float}, true},
    {"jpeg", "JPEG", {SampleDepth::UInt8}, false},
};

const char* DepthName(SampleDepth depth) {
    switch (depth) {
    case SampleDepth::UInt8:
        return "8-bit";
    case SampleDepth::UInt10:
        return "10-bit";
    case SampleDepth::UInt16:
        return "16-bit";
    case SampleDepth::Half:
        return "half float";
    case SampleDepth::Float:
        return "float";
    case SampleDepth::Auto:
        break;
    }
    return "automatic";
}

// The format that writes `path`, by its extension; CliError when we do not write it.
const OutputFormat& FormatFor(const std::string& path) {
    const std::unique_ptr<OIIO::ImageOutput> probe = OIIO::ImageOutput::create(path);
    (void)OIIO::geterror(); // a failed probe leaves a message that would surface on a later, unrelated error
    const std::string name = probe ? probe->format_name() : "";
    for (const OutputFormat& format : kOutputFormats) {
        if (name == format.oiioName) return format;
    }
    throw CliError(ExitCode::Usage, "cannot write \"" + path +
                                        "\": texturist writes PNG, TIFF, EXR, DPX and JPEG files "
                                        "(.png, .tif, .exr, .dpx, .jpg)");
}

SampleDepth ResolveDepth(const OutputFormat& format, SampleDepth requested, bool deepImage) {
    if (requested != SampleDepth::Auto) return requested;
    const std::string name = format.oiioName;
    if (name == "png") return deepImage ? SampleDepth::UInt16 : SampleDepth::UInt8;
    if (name == "tiff") return SampleDepth::UInt16;
    if (name == "openexr") return SampleDepth::Half;
    if (name == "dpx") return SampleDepth::UInt10;
    return SampleDepth::UInt8;
}

OIIO::TypeDesc TypeFor(SampleDepth depth) {
    switch (depth) {
    case SampleDepth::UInt8:
        return OIIO::TypeDesc::UINT8;
    case SampleDepth::Half:
        return OIIO::TypeDesc::HALF;
    case SampleDepth::Float:
        return OIIO::TypeDesc::FLOAT;
    default:
        return OIIO::TypeDesc::UINT16;
    }
}

// Which of the input's attributes describe the picture (and so belong on the
// output) rather than how the input file happened to store it.
bool Carried(const std::string& name) {
    static const char* const kStorage[] = {"compression",          "planarconfig",         "Software",
                                           "dpx:ImageDescriptor",  "dpx:Packing",          "dpx:LowData",
                                           "dpx:HighData",         "dpx:LowQuantity",      "dpx:HighQuantity",
                                           "dpx:EndOfLinePadding", "dpx:EndOfImagePadding"};
    for (const char* storage : kStorage) {
        if (name == storage) return false;
    }
    if (name == "oiio:ColorSpace" || name == "oiio:Gamma") return true;
    const size_t colon = name.find(':');
    if (colon == std::string::npos) return true;
    static const char* const kPictureSpaces[] = {"smpte", "Exif", "GPS", "IPTC", "dpx"};
    const std::string space = name.substr(0, colon);
    for (const char* picture : kPictureSpaces) {
        if (space == picture) return true;
    }
    return false;
}

void CarryMetadata(const OIIO::ImageSpec& from, OIIO::ImageSpec& to, const OutputFormat& format) {
    const std::string name = format.oiioName;
    for (const OIIO::ParamValue& attribute : from.extra_attribs) {
        if (!Carried(attribute.name().string())) continue;
        // PNG has no timecode field but keeps text: the timecode goes as its text.
        if (name == "png" && attribute.name() == "smpte:TimeCode") {
            to.attribute("smpte:TimeCode", attribute.get_string());
            continue;
        }
        to.extra_attribs.push_back(attribute);
    }
    // DPX has no artist field; its header's creator names whoever made the picture.
    const std::string artist = from.get_string_attribute("Artist");
    if (name == "dpx" && !artist.empty()) to.attribute("Software", artist);
    // DPX keeps its frame rate under a name of its own.
    if (std::string(format.oiioName) == "dpx") {
        if (const OIIO::ParamValue* rate = from.find_attribute("FramesPerSecond", OIIO::TypeRational)) {
            const int* ratio = static_cast<const int*>(rate->data());
            if (ratio[1] != 0)
                to.attribute("dpx:FrameRate", static_cast<float>(ratio[0]) / static_cast<float>(ratio[1]));
        }
    }
}

bool StoresPremultiplied(const std::string& formatName) { return formatName == "openexr" || formatName == "tiff"; }

uint16_t Quantise(float value, int32_t fullScale) {
    const float clamped = value > 0.0f ? std::min(value, 1.0f) : 0.0f; // NaN becomes 0 too
    return static_cast<uint16_t>(std::lround(clamped * static_cast<float>(fullScale)));
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// A library's error text on one line: decoders stack a line per layer that
// gave up ("Read error", "PNG read error", "PNG library error"); the first
// says what happened, and the rest follow after semicolons.
std::string OneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string line;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string part = text.substr(start, end - start);
        if (!part.empty() && part.back() == '\r') part.pop_back();
        if (!part.empty() && line.find(part) == std::string::npos) line += (line.empty() ? "" : "; ") + part;
        start = end + 1;
    }
    return line.empty() ? "no reason given" : line;
}

// Some decoders (libpng among them) print their complaints to stderr before
// returning the error we report; while this lives, the process's stderr goes
// nowhere, so that a bad file still ends in exactly one line of ours.
class QuietStderr {
public:
    QuietStderr() : lock_(StderrMutex()) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && nowhere >= 0) ::dup2(nowhere, STDERR_FILENO);
        if (nowhere >= 0) ::close(nowhere);
    }
    ~QuietStderr() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    std::lock_guard<std::mutex> lock_;
    int saved_ = -1;
};

void CheckFolder(const std::string& path) {
    const fs::path folder = fs::path(path).parent_path();
    std::error_code error;
    if (!folder.empty() && !fs::is_directory(folder, error)) {
        throw CliError(ExitCode::InputOutput,
                       "cannot write " + Quoted(path) + ": the folder " + Quoted(folder.string()) + " does not exist");
    }
}

} // namespace

namespace {

uint64_t PhysicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
}

std::string Gigabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    return text;
}

// The DPX decoder allocates the user data block a header declares before it
// reads anything; a damaged header can declare 4 GB in a file of a few
// kilobytes. Such a file is refused here, from the size field alone (bytes 32
// to 35 in the byte order the magic number gives; all ones means none).
void CheckDpxUserData(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[36];
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return;
    const bool big = std::memcmp(header, "SDPX", 4) == 0, little = std::memcmp(header, "XPDS", 4) == 0;
    if (!big && !little) return;
    uint32_t declared = 0;
    for (int i = 0; i < 4; ++i) declared |= static_cast<uint32_t>(header[32 + (big ? i : 3 - i)]) << (8 * (3 - i));
    std::error_code error;
    const uint64_t size = fs::file_size(path, error);
    if (error || declared == 0xFFFFFFFFu || declared <= size) return;
    throw CliError(ExitCode::InputOutput, "cannot read " + Quoted(path) + ": its DPX header declares " +
                                              std::to_string(declared) + " bytes of user data in a file of " +
                                              std::to_string(size) + " bytes");
}

} // namespace

namespace {

// Red, green, blue and alpha among a file's channels: plain R, G, B; else the
// first layer that has all three ("diffuse.R"); else the first channels.
void FindColour(Plate& plate) {
    const OIIO::ImageSpec& spec = plate.spec;
    const int32_t channels = spec.nchannels;
    const auto index = [&spec](const std::string& name) { return spec.channelindex(name); };
    plate.alpha = spec.alpha_channel;
    if (plate.alpha < 0 && channels == 2) plate.alpha = 1;
    if (channels < 3) return;
    std::string layer;
    bool found = index("R") >= 0 && index("G") >= 0 && index("B") >= 0;
    for (int32_t c = 0; c < channels && !found; ++c) {
        const std::string& name = spec.channelnames[static_cast<size_t>(c)];
        if (name.size() < 3 || name.compare(name.size() - 2, 2, ".R") != 0) continue;
        const std::string prefix = name.substr(0, name.size() - 1);
        if (index(prefix + "G") >= 0 && index(prefix + "B") >= 0) layer = prefix, found = true;
    }
    if (found) {
        plate.colour = {index(layer + "R"), index(layer + "G"), index(layer + "B")};
        if (!layer.empty() && index(layer + "A") >= 0) plate.alpha = index(layer + "A");
        if (plate.alpha < 0 && index("A") >= 0) plate.alpha = index("A");
        return;
    }
    int32_t taken = 0;
    for (int32_t c = 0; c < channels && taken < 3; ++c) {
        if (c != plate.alpha) plate.colour[static_cast<size_t>(taken++)] = c;
    }
}

} // namespace

Plate ReadPlate(const std::string& path, uint64_t memoryBudget) {
    std::error_code error;
    if (!fs::exists(path, error)) throw CliError(ExitCode::InputOutput, Quoted(path) + ": no such file");
    if (fs::is_directory(path, error)) throw CliError(ExitCode::InputOutput, Quoted(path) + " is a folder");

    CheckDpxUserData(path);
    const QuietStderr quiet;
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    std::unique_ptr<OIIO::ImageInput> file = OIIO::ImageInput::open(path, &config);
    if (!file) throw CliError(ExitCode::InputOutput, "cannot read " + Quoted(path) + ": " + OneLine(OIIO::geterror()));
    Plate plate;
    plate.spec = file->spec();
    plate.format = file->format_name();
    const OIIO::ImageSpec& spec = plate.spec;
    if (spec.deep) throw CliError(ExitCode::InputOutput, Quoted(path) + " holds deep data, which texturist cannot use");
    if (spec.depth > 1) throw CliError(ExitCode::InputOutput, Quoted(path) + " is a volume image");
    const int32_t shownWidth = spec.full_width > 0 ? spec.full_width : spec.width;
    const int32_t shownHeight = spec.full_height > 0 ? spec.full_height : spec.height;
    for (const auto& [width, height] : {std::pair{shownWidth, shownHeight}, std::pair{spec.width, spec.height}}) {
        if (width < 1 || height < 1 || width > kLargestSide || height > kLargestSide) {
            throw CliError(ExitCode::InputOutput, Quoted(path) + " is " + std::to_string(width) + " x " +
                                                      std::to_string(height) + " pixels; texturist handles 1 to " +
                                                      std::to_string(kLargestSide) + " pixels either way");
        }
    }
    if (spec.nchannels < 1) throw CliError(ExitCode::InputOutput, Quoted(path) + " has no channels");
    // At its peak a render holds our float pixels of the data window (which a
    // file may declare far larger than the picture), its output and the host
    // images: refuse before allocating when that cannot fit.
    const uint64_t channelCount = static_cast<uint64_t>(spec.nchannels);
    const uint64_t shown = static_cast<uint64_t>(shownWidth) * static_cast<uint64_t>(shownHeight);
    const uint64_t stored = static_cast<uint64_t>(spec.width) * static_cast<uint64_t>(spec.height);
    const uint64_t needed = (stored + shown) * channelCount * sizeof(float) + std::max(shown, stored) * 8;
    const uint64_t budget = memoryBudget > 0 ? memoryBudget : PhysicalMemory();
    if (budget > 0 && needed > budget) {
        const int32_t bigWidth = std::max(shownWidth, spec.width), bigHeight = std::max(shownHeight, spec.height);
        throw CliError(ExitCode::InputOutput,
                       Quoted(path) + " declares " + std::to_string(bigWidth) + " x " + std::to_string(bigHeight) +
                           " pixels of " + std::to_string(spec.nchannels) +
                           (spec.nchannels == 1 ? " channel" : " channels") + "; reading it needs " +
                           Gigabytes(needed) + ", more than the " + Gigabytes(budget) +
                           (memoryBudget > 0 ? " allowed" : " this machine has"));
    }
    plate.samples.resize(stored * channelCount);
    if (!file->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, plate.samples.data())) {
        throw CliError(ExitCode::InputOutput, "cannot read " + Quoted(path) + ": " + OneLine(file->geterror()));
    }
    FindColour(plate);
    plate.premultiplied = plate.alpha >= 0 && StoresPremultiplied(plate.format) &&
                          spec.get_int_attribute("oiio:UnassociatedAlpha", 0) != 1;
    // DPX files name their frame rate their own way; the rest of the world says FramesPerSecond.
    const float dpxRate = spec.get_float_attribute("dpx:FrameRate", 0.0f);
    if (dpxRate > 0.0f && !spec.find_attribute("FramesPerSecond")) {
        const int rate[2] = {static_cast<int>(std::lround(dpxRate * 1000.0f)), 1000};
        plate.spec.attribute("FramesPerSecond", OIIO::TypeRational, rate);
    }
    return plate;
}

namespace {

// Calls visit(x, y, pixel) for every pixel of `window` (the file's coordinates)
// that the plate stores, x and y counted from the window's corner.
template <class Visit> void ForEachStoredPixel(const Plate& plate, const OIIO::ROI& window, Visit&& visit) {
    const OIIO::ROI stored = plate.DataWindow();
    for (int32_t y = std::max(window.ybegin, stored.ybegin); y < std::min(window.yend, stored.yend); ++y)
        for (int32_t x = std::max(window.xbegin, stored.xbegin); x < std::min(window.xend, stored.xend); ++x)
            visit(x - window.xbegin, y - window.ybegin, plate.At(x - stored.xbegin, y - stored.ybegin));
}

} // namespace

HostImageBuffer ToHostImage(const Plate& plate, const OIIO::ROI& window, const ColourConversion& toWorking,
                            int64_t* finiteSamples) {
    const int32_t width = window.width(), height = window.height();
    const bool deep = plate.spec.format.basesize() > 1;
    HostImageBuffer pixels(width, height, deep);
    const int32_t full = pixels.MaxValue();
    std::vector<float> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3, 0.0f);
    std::vector<float> alpha(static_cast<size_t>(width) * static_cast<size_t>(height), plate.alpha >= 0 ? 0.0f : 1.0f);
    int64_t finite = 0;
    ForEachStoredPixel(plate, window, [&](int32_t x, int32_t y, const float* in) {
        const size_t at = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
        const float a = plate.alpha >= 0 ? in[plate.alpha] : 1.0f;
        // As the file stores it where alpha is 0 or 1; straight colour elsewhere.
        const bool divide = plate.premultiplied && a != 0.0f && a != 1.0f;
        for (size_t c = 0; c < 3; ++c) {
            const float value = in[plate.colour[c]];
            finite += std::isfinite(value) ? 1 : 0;
            rgb[at * 3 + c] = divide ? value / a : value;
        }
        alpha[at] = a;
    });
    toWorking.Apply(rgb.data(), rgb.size() / 3);
    HostImage& image = pixels.Image();
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = image.pixels + static_cast<ptrdiff_t>(y) * image.rowBytes;
        for (int32_t x = 0; x < width; ++x) {
            const size_t at = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
            const uint16_t argb[4] = {Quantise(alpha[at], full), Quantise(rgb[at * 3], full),
                                      Quantise(rgb[at * 3 + 1], full), Quantise(rgb[at * 3 + 2], full)};
            if (deep) {
                std::memcpy(row + static_cast<ptrdiff_t>(x) * 8, argb, sizeof argb);
            } else {
                for (int32_t c = 0; c < 4; ++c) row[x * 4 + c] = static_cast<uint8_t>(argb[c]);
            }
        }
    }
    if (finiteSamples) *finiteSamples = finite;
    return pixels;
}

LoadedImage ReadImage(const std::string& path, uint64_t memoryBudget) {
    Plate plate = ReadPlate(path, memoryBudget);
    LoadedImage loaded;
    loaded.pixels = ToHostImage(plate, plate.DisplayWindow(), ColourConversion(), &loaded.finiteSamples);
    loaded.hasAlpha = plate.alpha >= 0;
    loaded.metadata = std::move(plate.spec);
    return loaded;
}

SampleDepth ParseSampleDepth(const std::string& text) {
    if (text == "8") return SampleDepth::UInt8;
    if (text == "10") return SampleDepth::UInt10;
    if (text == "16") return SampleDepth::UInt16;
    if (text == "half") return SampleDepth::Half;
    if (text == "float") return SampleDepth::Float;
    throw CliError(ExitCode::Usage, "bad --depth \"" + text + "\": use 8, 10, 16, half or float");
}

namespace {

// A compression as OpenImageIO takes it: the attribute and its value.
struct Compression {
    std::string attribute;
    std::string text;
    int level = -1;
};

bool ParseLevel(const std::string& text, int low, int high, int& level) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    level = std::stoi(text);
    return level >= low && level <= high;
}

// OpenImageIO takes any name without complaint (a misspelt one writes zip),
// so the names are checked here against what each format has.
Compression ParseCompression(const OutputFormat& format, const std::string& path, const std::string& text) {
    const std::string name = format.oiioName;
    const size_t colon = text.find(':');
    const std::string method = text.substr(0, colon);
    const std::string level = colon == std::string::npos ? "" : text.substr(colon + 1);
    const auto bad = [&](const std::string& why) {
        return CliError(ExitCode::Usage, "bad --compression " + Quoted(text) + " for " + Quoted(path) + ": " + why);
    };
    int value = -1;
    if (name == "png") {
        const std::string digits = method == "zip" ? level : text;
        if (!ParseLevel(digits, 0, 9, value)) throw bad("PNG takes a zlib level, 0 (none) to 9, as 6 or zip:6");
        return {"png:compressionLevel", "", value};
    }
    if (name == "openexr" || name == "tiff") {
        const bool exr = name == "openexr";
        static const char* const kExr[] = {"none", "rle", "zip", "zips", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};
        static const char* const kTiff[] = {"none", "lzw", "zip"};
        bool known = false;
        for (const char* candidate : exr ? std::vector<const char*>(std::begin(kExr), std::end(kExr))
                                         : std::vector<const char*>(std::begin(kTiff), std::end(kTiff)))
            known = known || method == candidate;
        const char* names = exr ? "none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa, dwab (zip and zips take :1 to "
                                  ":9, dwaa and dwab a quality as :45)"
                                : "none, lzw, zip (zip takes :1 to :9)";
        if (!known) throw bad(std::string(format.shownName) + " compressions are " + names);
        if (colon != std::string::npos) {
            const bool zip = method == "zip" || method == "zips";
            const bool dwa = exr && (method == "dwaa" || method == "dwab");
            if (!(zip && ParseLevel(level, 1, 9, value)) && !(dwa && ParseLevel(level, 1, 999, value)))
                throw bad(std::string(format.shownName) + " compressions are " + names);
        }
        return {"compression", text, value};
    }
    throw bad(std::string(format.shownName) + " files have no compression to choose");
}

// What a pipeline expects when nothing is asked: EXR zip, the format's
// convention. TIFF uncompressed: grain is noise to a compressor, and on grainy
// 16-bit frames zip saves under a tenth of the size for eight times the
// writing time, while LZW makes the files larger than none.
Compression DefaultCompression(const OutputFormat& format) {
    const std::string name = format.oiioName;
    if (name == "openexr") return {"compression", "zip"};
    if (name == "tiff") return {"compression", "none"};
    return {};
}

} // namespace

void CheckCompression(const std::string& path, const std::string& compression) {
    if (!compression.empty()) ParseCompression(FormatFor(path), path, compression);
}

void CheckOutputFile(const std::string& path, SampleDepth depth) {
    const OutputFormat& format = FormatFor(path);
    if (depth != SampleDepth::Auto &&
        std::find(format.depths.begin(), format.depths.end(), depth) == format.depths.end()) {
        std::string held;
        for (SampleDepth d : format.depths) held += (held.empty() ? "" : ", ") + std::string(DepthName(d));
        throw CliError(ExitCode::Usage, std::string(format.shownName) + " files cannot hold " + DepthName(depth) +
                                            " samples (" + Quoted(path) + "); they hold " + held);
    }
    CheckFolder(path);
}

bool WritesIntegers(const std::string& path, SampleDepth depth, bool deepInput) {
    if (IsMovieFile(path)) return true;
    const SampleDepth resolved = ResolveDepth(FormatFor(path), depth, deepInput);
    return resolved != SampleDepth::Half && resolved != SampleDepth::Float;
}

namespace {

bool KeepsEveryChannel(const OutputFormat& format) { return std::string(format.oiioName) == "openexr"; }

bool IsFloatType(OIIO::TypeDesc type) {
    return type.basetype == OIIO::TypeDesc::HALF || type.basetype == OIIO::TypeDesc::FLOAT;
}

} // namespace

std::vector<std::string> WhatTheFormatDrops(const Plate& image, const std::string& path) {
    static const OutputFormat kMovie{"movie", "A movie", {}, true};
    const OutputFormat& format = IsMovieFile(path) ? kMovie : FormatFor(path);
    std::vector<std::string> dropped;
    if (KeepsEveryChannel(format)) return dropped;
    std::string names;
    for (int32_t c = 0; c < image.Channels(); ++c) {
        const bool kept = std::find(image.colour.begin(), image.colour.end(), c) != image.colour.end() ||
                          (c == image.alpha && format.alpha);
        if (!kept) names += (names.empty() ? "" : ", ") + image.spec.channelnames[static_cast<size_t>(c)];
    }
    if (!names.empty()) {
        dropped.push_back(std::string(format.shownName) + " holds colour and alpha only: the channels " + names +
                          " are not written to " + Quoted(path) + " (write EXR to keep them)");
    }
    const OIIO::ROI data = image.DataWindow(), display = image.DisplayWindow();
    if (data.xbegin < display.xbegin || data.ybegin < display.ybegin || data.xend > display.xend ||
        data.yend > display.yend) {
        dropped.push_back(std::string(format.shownName) +
                          " has no data window: the overscan outside the display "
                          "window is not written to " +
                          Quoted(path) + " (write EXR to keep it)");
    }
    return dropped;
}

bool WriteImage(const Plate& image, const std::string& path, const WriteOptions& options) {
    const OutputFormat& format = FormatFor(path);
    CheckFolder(path);
    const bool deepInput = image.spec.format.basesize() > 1;
    const SampleDepth depth = ResolveDepth(format, options.depth, deepInput);
    const bool exr = std::string(format.oiioName) == "openexr";
    const bool alpha = image.alpha >= 0 && format.alpha;

    // Which of the image's channels go to the file, in the file's order, and
    // where colour and alpha land among them.
    std::vector<int32_t> source;
    std::array<int32_t, 3> colour{0, 1, 2};
    int32_t alphaAt = alpha ? 3 : -1;
    OIIO::ImageSpec header;
    if (KeepsEveryChannel(format) && image.Channels() >= 3) {
        // Colour and alpha take the asked depth; the other channels keep theirs.
        std::vector<OIIO::TypeDesc> types;
        for (int32_t c = 0; c < image.Channels(); ++c) {
            source.push_back(c);
            const OIIO::TypeDesc own = image.spec.channelformat(c);
            const bool picture =
                c == image.alpha || std::find(image.colour.begin(), image.colour.end(), c) != image.colour.end();
            types.push_back(IsFloatType(own) && (!picture || options.depth == SampleDepth::Auto) ? own
                                                                                                 : TypeFor(depth));
        }
        header = OIIO::ImageSpec(image.spec.width, image.spec.height, image.Channels(), types[0]);
        if (std::any_of(types.begin(), types.end(), [&types](OIIO::TypeDesc t) { return t != types[0]; }))
            header.channelformats = types;
        header.x = image.spec.x, header.y = image.spec.y;
        header.full_x = image.spec.full_x, header.full_y = image.spec.full_y;
        header.full_width = image.spec.full_width, header.full_height = image.spec.full_height;
        header.channelnames = image.spec.channelnames;
        header.alpha_channel = image.alpha, header.z_channel = image.spec.z_channel;
        colour = image.colour, alphaAt = image.alpha;
    } else {
        const OIIO::ROI display = image.DisplayWindow();
        header = OIIO::ImageSpec(display.width(), display.height(), alpha ? 4 : 3, TypeFor(depth));
        header.channelnames =
            alpha ? std::vector<std::string>{"R", "G", "B", "A"} : std::vector<std::string>{"R", "G", "B"};
        header.alpha_channel = alphaAt;
        source.assign(image.colour.begin(), image.colour.end());
        if (alpha) source.push_back(image.alpha);
        header.x = header.full_x = display.xbegin, header.y = header.full_y = display.ybegin;
    }
    header.attribute("Software", "texturist " TEXTURIST_VERSION);
    CarryMetadata(image.spec, header, format);
    const Compression compression =
        options.compression.empty() ? DefaultCompression(format) : ParseCompression(format, path, options.compression);
    if (compression.attribute == "png:compressionLevel") header.attribute(compression.attribute, compression.level);
    if (compression.attribute == "compression") header.attribute(compression.attribute, compression.text);
    if (!options.colourTag.empty()) header.attribute("oiio:ColorSpace", options.colourTag);
    // The TIFF writer turns "sRGB" into an EXIF directory that it cannot write
    // into memory (the file comes out without its image size); TIFF has no
    // colour-space field of its own to lose.
    if (std::string(format.oiioName) == "tiff") header.erase_attribute("oiio:ColorSpace");
    if (depth == SampleDepth::UInt10) header.attribute("oiio:BitsPerSample", 10);
    const bool premultiply = alpha && exr;
    if (alpha && !premultiply) header.attribute("oiio:UnassociatedAlpha", 1);

    // The file's pixels: the image's where it has them, transparent black elsewhere.
    const int32_t width = header.width, height = header.height, channels = header.nchannels;
    const OIIO::ROI stored = image.DataWindow();
    // Not cleared where the image covers the file: a frame's worth of zeros costs as much as its copy.
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels);
    const std::unique_ptr<float[]> samples(new float[count]);
    if (stored.xbegin > header.x || stored.ybegin > header.y || stored.xend < header.x + width ||
        stored.yend < header.y + height) {
        std::fill(samples.get(), samples.get() + count, 0.0f);
    }
    const OIIO::ROI written(header.x, header.x + width, header.y, header.y + height);
    ForEachStoredPixel(image, written, [&](int32_t x, int32_t y, const float* in) {
        float* out = samples.get() + (static_cast<size_t>(y) * static_cast<size_t>(width) + x) * channels;
        for (int32_t c = 0; c < channels; ++c) out[c] = in[source[static_cast<size_t>(c)]];
        if (!alpha || premultiply == image.premultiplied) return;
        // Colour as the format stores it: multiplied by alpha or not.
        const float a = out[alphaAt];
        for (const int32_t c : colour) {
            if (premultiply) {
                out[c] *= a;
            } else if (a != 0.0f && a != 1.0f) {
                out[c] /= a;
            }
        }
    });

    // The encoder writes into memory and the disk sees one checked write: some
    // encoders neither report a failed write nor survive one (libpng goes on,
    // libjpeg exits the process).
    std::vector<unsigned char> encoded;
    OIIO::Filesystem::IOVecOutput memory(encoded);
    void* proxy = &memory;
    header.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
    std::unique_ptr<OIIO::ImageOutput> output = OIIO::ImageOutput::create(path);
    if (!output || !output->open(path, header) || !output->write_image(OIIO::TypeDesc::FLOAT, samples.get()) ||
        !output->close()) {
        const std::string why = output ? output->geterror() : OIIO::geterror();
        throw CliError(ExitCode::InputOutput, "cannot write " + Quoted(path) + ": " + OneLine(why));
    }
    output.reset();
    return WriteFileAtomically(path, encoded.data(), encoded.size(), options.abandon);
}
