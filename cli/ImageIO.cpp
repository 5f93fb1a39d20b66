#include "cli/ImageIO.h"

#include "cli/CliError.h"
#include "cli/SafeFiles.h"

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
    QuietStderr() {
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

LoadedImage ReadImage(const std::string& path, uint64_t memoryBudget) {
    std::error_code error;
    if (!fs::exists(path, error)) throw CliError(ExitCode::InputOutput, Quoted(path) + ": no such file");
    if (fs::is_directory(path, error)) throw CliError(ExitCode::InputOutput, Quoted(path) + " is a folder");

    CheckDpxUserData(path);
    const QuietStderr quiet;
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    OIIO::ImageBuf file(path, 0, 0, nullptr, &config);
    if (!file.init_spec(path, 0, 0)) {
        throw CliError(ExitCode::InputOutput, "cannot read " + Quoted(path) + ": " + OneLine(file.geterror()));
    }
    const OIIO::ImageSpec native = file.nativespec();
    if (native.deep)
        throw CliError(ExitCode::InputOutput, Quoted(path) + " holds deep data, which texturist cannot use");
    if (native.depth > 1) throw CliError(ExitCode::InputOutput, Quoted(path) + " is a volume image");
    const int32_t width = native.full_width > 0 ? native.full_width : native.width;
    const int32_t height = native.full_height > 0 ? native.full_height : native.height;
    if (width < 1 || height < 1 || width > kLargestSide || height > kLargestSide) {
        throw CliError(ExitCode::InputOutput, Quoted(path) + " is " + std::to_string(width) + " x " +
                                                  std::to_string(height) + " pixels; texturist handles 1 to " +
                                                  std::to_string(kLargestSide) + " pixels either way");
    }
    if (native.nchannels < 1) throw CliError(ExitCode::InputOutput, Quoted(path) + " has no channels");
    // At its peak a read holds the decoder's float pixels (its data window,
    // which a file may declare far larger than the picture), ours and the host
    // image (the display window): refuse before allocating when that cannot fit.
    const uint64_t channelCount = static_cast<uint64_t>(native.nchannels);
    const uint64_t shown = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    const uint64_t stored = native.width > 0 && native.height > 0
                                ? static_cast<uint64_t>(native.width) * static_cast<uint64_t>(native.height)
                                : 0;
    const uint64_t needed = (stored + shown) * channelCount * sizeof(float) + shown * 8;
    const uint64_t budget = memoryBudget > 0 ? memoryBudget : PhysicalMemory();
    if (budget > 0 && needed > budget) {
        const int32_t bigWidth = std::max(width, native.width), bigHeight = std::max(height, native.height);
        throw CliError(ExitCode::InputOutput,
                       Quoted(path) + " declares " + std::to_string(bigWidth) + " x " + std::to_string(bigHeight) +
                           " pixels of " + std::to_string(native.nchannels) +
                           (native.nchannels == 1 ? " channel" : " channels") + "; reading it needs " +
                           Gigabytes(needed) + ", more than the " + Gigabytes(budget) +
                           (memoryBudget > 0 ? " allowed" : " this machine has"));
    }
    if (!file.read(0, 0, true, OIIO::TypeDesc::FLOAT)) {
        throw CliError(ExitCode::InputOutput, "cannot read " + Quoted(path) + ": " + OneLine(file.geterror()));
    }

    const int32_t channels = native.nchannels;
    int32_t alpha = native.alpha_channel;
    if (alpha < 0 && channels == 2) alpha = 1;
    std::array<int32_t, 3> colour{0, 0, 0};
    if (channels >= 3) {
        const int32_t r = native.channelindex("R"), g = native.channelindex("G"), b = native.channelindex("B");
        if (r >= 0 && g >= 0 && b >= 0) {
            colour = {r, g, b};
        } else {
            int32_t found = 0;
            for (int32_t c = 0; c < channels && found < 3; ++c) {
                if (c != alpha) colour[static_cast<size_t>(found++)] = c;
            }
        }
    }
    if (alpha >= 0 && StoresPremultiplied(std::string(file.file_format_name())) &&
        native.get_int_attribute("oiio:UnassociatedAlpha", 0) != 1) {
        OIIO::ImageSpec& working = file.specmod();
        working.alpha_channel = alpha;
        OIIO::ImageBufAlgo::unpremult(file, file);
    }

    const OIIO::ROI display(native.full_x, native.full_x + width, native.full_y, native.full_y + height, 0, 1, 0,
                            channels);
    std::vector<float> samples(static_cast<size_t>(width) * static_cast<size_t>(height) *
                               static_cast<size_t>(channels));
    // Outside the data window get_pixels leaves zeros: transparent black.
    if (!file.get_pixels(display, OIIO::TypeDesc::FLOAT, samples.data())) {
        throw CliError(ExitCode::InputOutput, "cannot read " + Quoted(path) + ": " + OneLine(file.geterror()));
    }

    const bool deep = native.format.basesize() > 1;
    LoadedImage loaded{HostImageBuffer(width, height, deep), alpha >= 0, native};
    const int32_t full = loaded.pixels.MaxValue();
    HostImage& image = loaded.pixels.Image();
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = image.pixels + static_cast<ptrdiff_t>(y) * image.rowBytes;
        const float* in = samples.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * channels;
        for (int32_t x = 0; x < width; ++x, in += channels) {
            for (int32_t c : colour) loaded.finiteSamples += std::isfinite(in[c]) ? 1 : 0;
            const uint16_t argb[4] = {alpha >= 0 ? Quantise(in[alpha], full) : static_cast<uint16_t>(full),
                                      Quantise(in[colour[0]], full), Quantise(in[colour[1]], full),
                                      Quantise(in[colour[2]], full)};
            if (deep) {
                std::memcpy(row + static_cast<ptrdiff_t>(x) * 8, argb, sizeof argb);
            } else {
                for (int32_t c = 0; c < 4; ++c) row[x * 4 + c] = static_cast<uint8_t>(argb[c]);
            }
        }
    }
    // DPX files name their frame rate their own way; the rest of the world says FramesPerSecond.
    const float dpxRate = native.get_float_attribute("dpx:FrameRate", 0.0f);
    if (dpxRate > 0.0f && !native.find_attribute("FramesPerSecond")) {
        const int rate[2] = {static_cast<int>(std::lround(dpxRate * 1000.0f)), 1000};
        loaded.metadata.attribute("FramesPerSecond", OIIO::TypeRational, rate);
    }
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

bool WriteImage(const HostImage& image, const std::string& path, const WriteOptions& options) {
    const OutputFormat& format = FormatFor(path);
    CheckFolder(path);
    const bool deepImage = (image.flags & kHostImageDeep) != 0;
    const SampleDepth depth = ResolveDepth(format, options.depth, deepImage);
    const bool alpha = options.alpha && format.alpha;
    const int32_t channels = alpha ? 4 : 3;
    const int32_t width = image.width;
    const int32_t height = image.height;

    OIIO::ImageSpec header(width, height, channels, TypeFor(depth));
    header.channelnames =
        alpha ? std::vector<std::string>{"R", "G", "B", "A"} : std::vector<std::string>{"R", "G", "B"};
    header.alpha_channel = alpha ? 3 : -1;
    header.attribute("Software", "texturist " TEXTURIST_VERSION);
    if (options.metadata) CarryMetadata(*options.metadata, header, format);
    if (depth == SampleDepth::UInt10) header.attribute("oiio:BitsPerSample", 10);
    const bool premultiply = alpha && std::string(format.oiioName) == "openexr";
    if (alpha && !premultiply) header.attribute("oiio:UnassociatedAlpha", 1);

    const float scale = 1.0f / static_cast<float>(deepImage ? 32768 : 255);
    std::vector<float> samples(static_cast<size_t>(width) * static_cast<size_t>(height) * channels);
    for (int32_t y = 0; y < height; ++y) {
        float* out = samples.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * channels;
        for (int32_t x = 0; x < width; ++x, out += channels) {
            const HostPixelValue p = HostReadPixel(image, x, y);
            out[0] = static_cast<float>(p.red) * scale;
            out[1] = static_cast<float>(p.green) * scale;
            out[2] = static_cast<float>(p.blue) * scale;
            if (alpha) out[3] = static_cast<float>(p.alpha) * scale;
        }
    }
    if (premultiply) {
        OIIO::ImageSpec working(width, height, channels, OIIO::TypeDesc::FLOAT);
        working.alpha_channel = 3;
        OIIO::ImageBuf wrapped(working, samples.data());
        OIIO::ImageBufAlgo::premult(wrapped, wrapped);
    }

    // The encoder writes into memory and the disk sees one checked write: some
    // encoders neither report a failed write nor survive one (libpng goes on,
    // libjpeg exits the process).
    std::vector<unsigned char> encoded;
    OIIO::Filesystem::IOVecOutput memory(encoded);
    void* proxy = &memory;
    header.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
    std::unique_ptr<OIIO::ImageOutput> output = OIIO::ImageOutput::create(path);
    if (!output || !output->open(path, header) || !output->write_image(OIIO::TypeDesc::FLOAT, samples.data()) ||
        !output->close()) {
        const std::string why = output ? output->geterror() : OIIO::geterror();
        throw CliError(ExitCode::InputOutput, "cannot write " + Quoted(path) + ": " + OneLine(why));
    }
    output.reset();
    return WriteFileAtomically(path, encoded.data(), encoded.size(), options.abandon);
}
