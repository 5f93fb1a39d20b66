// File formats, sample depths, channels and metadata through the texturist command.
#include "tests/cli/CliTestSupport.h"

#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <random>

namespace clitest {
namespace {

using OIIO::TypeDesc;

constexpr float kHalfStep = 1.0f / 32768.0f; // one step of the host's 16-bit scale

struct FormatCase {
    const char* input;
    PictureRecipe picture;
    const char* output;
    std::vector<std::string> options;
    TypeDesc written;
    int bits;     // oiio:BitsPerSample expected, 0 when the format does not report it
    int channels; // in the output file
    float alphaTolerance;
};

class Formats : public CliTest {};

TEST_F(Formats, EachFormatInAndOutAtItsDepth) {
    const PictureRecipe rgb8{64, 48, 3, TypeDesc::UINT8};
    const PictureRecipe rgba8{64, 48, 4, TypeDesc::UINT8};
    const FormatCase cases[] = {
        {"in.png", rgb8, "out.png", {}, TypeDesc::UINT8, 0, 3, 0},
        {"in.png", rgba8, "out.png", {}, TypeDesc::UINT8, 0, 4, 0.5f / 255},
        {"in.tif", {64, 48, 4, TypeDesc::UINT16}, "out.tif", {}, TypeDesc::UINT16, 16, 4, 1.5f * kHalfStep},
        {"in.exr", {64, 48, 4, TypeDesc::HALF}, "out.exr", {}, TypeDesc::HALF, 0, 4, 1e-3f},
        {"in.dpx", {64, 48, 3, TypeDesc::UINT16}, "out.dpx", {}, TypeDesc::UINT16, 10, 3, 0},
        {"in.jpg", rgb8, "out.jpg", {}, TypeDesc::UINT8, 0, 3, 0},
        {"in.png", rgb8, "deeper.png", {"--depth", "16"}, TypeDesc::UINT16, 0, 3, 0},
        {"in.tif", {64, 48, 3, TypeDesc::UINT16}, "from-tiff.png", {}, TypeDesc::UINT16, 0, 3, 0},
        {"in.png", rgba8, "no-alpha.jpg", {}, TypeDesc::UINT8, 0, 3, 0},
    };
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 11});
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        WriteClean(c.input, c.picture);
        std::vector<std::string> options{"--quiet"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        const RunResult run = Render(c.input, "plate.png", c.output, options);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");

        const Picture in = ReadPicture(Path(c.input));
        const Picture out = ReadPicture(Path(c.output));
        EXPECT_EQ(out.header.width, c.picture.width);
        EXPECT_EQ(out.header.height, c.picture.height);
        EXPECT_EQ(out.header.format, c.written);
        EXPECT_EQ(out.header.nchannels, c.channels);
        if (c.bits) {
            EXPECT_EQ(out.header.get_int_attribute("oiio:BitsPerSample"), c.bits);
        }
        if (in.header.nchannels >= 3) {
            EXPECT_GT(MeanColourDifference(in, out), 0.004) << "no grain was added";
        }

        if (c.channels == 4) {
            const int inAlpha = in.header.nchannels - 1;
            float worst = 0;
            for (int y = 0; y < c.picture.height; ++y) {
                for (int x = 0; x < c.picture.width; ++x) {
                    worst = std::max(worst, std::fabs(out.At(x, y, 3) - in.At(x, y, inAlpha)));
                }
            }
            EXPECT_LE(worst, c.alphaTolerance) << "alpha changed";
        }
    }
    EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
}

// A grey file becomes grey colour: the clean picture's three channels are equal
// where the file had one, so with no grain applied the output is grey.
// --compression reaches the file, and a name the format does not have is refused
// before anything renders (the library would write zip for it without a word).
TEST_F(Formats, CompressionIsChosenAndChecked) {
    WriteClean("in.png", {64, 48, 3, TypeDesc::UINT8});
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 2});
    const std::pair<std::vector<std::string>, std::string> written[] = {
        {{"--output", "piz.exr", "--compression", "piz"}, "piz"},
        {{"--output", "dwaa.exr", "--compression", "dwaa:60"}, "dwaa"},
        {{"--output", "default.exr"}, "zip"},
        {{"--output", "default.tif"}, "none"},
        {{"--output", "lzw.tif", "--compression", "lzw"}, "lzw"},
    };
    for (const auto& [options, compression] : written) {
        SCOPED_TRACE(options[1]);
        std::vector<std::string> args{"render", "--quiet", "--input", "in.png", "--noise-source", "plate.png"};
        args.insert(args.end(), options.begin(), options.end());
        const RunResult run = Run(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::string stored = ReadPicture(Path(options[1])).header.get_string_attribute("compression");
        EXPECT_EQ(stored.substr(0, stored.find(':')), compression);
    }
    for (const char* level : {"0", "9"}) {
        ASSERT_EQ(
            Render("in.png", "plate.png", std::string("level") + level + ".png", {"--compression", level}).exitCode, 0);
    }
    EXPECT_LT(fs::file_size(Path("level9.png")), fs::file_size(Path("level0.png")));
    const std::pair<const char*, const char*> refused[] = {
        {"zap.exr", "zap"}, {"zip10.exr", "zip:10"}, {"piz.tif", "piz"}, {"lzw.png", "lzw"}, {"zip.dpx", "zip"}};
    for (const auto& [file, compression] : refused) {
        SCOPED_TRACE(file);
        const RunResult run = Render("in.png", "plate.png", file, {"--compression", compression});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err.rfind(std::string("texturist: error: bad --compression \"") + compression + "\" for \"" +
                                    file + "\": ",
                                0),
                  0u)
            << run.err;
        EXPECT_FALSE(fs::exists(Path(file)));
    }
}

TEST_F(Formats, GreyFilesAreReadAsGrey) {
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 3});
    for (int channels : {1, 2}) {
        SCOPED_TRACE(channels);
        WriteClean("grey.png", {64, 48, channels, TypeDesc::UINT8});
        const RunResult run = Render("grey.png", "plate.png", "out.png", {"--quiet", "--set", "Intensity=0"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const Picture in = ReadPicture(Path("grey.png"));
        const Picture out = ReadPicture(Path("out.png"));
        ASSERT_EQ(out.header.nchannels, channels == 2 ? 4 : 3);
        float worst = 0;
        for (int y = 0; y < 48; ++y) {
            for (int x = 0; x < 64; ++x) {
                for (int c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(out.At(x, y, c) - in.At(x, y, 0)));
            }
        }
        EXPECT_LE(worst, 1.5f / 255) << "with no grain, every channel is the grey of the file";
    }
}

TEST_F(Formats, MetadataTravelsFromInputToOutput) {
    OIIO::ImageSpec attributes;
    const unsigned timecode[2] = {0x01020304u, 0u};
    attributes.attribute("smpte:TimeCode", OIIO::TypeTimeCode, timecode);
    const int rate[2] = {25, 1};
    attributes.attribute("FramesPerSecond", OIIO::TypeRational, rate);
    attributes.attribute("Artist", "Grain Department");
    WriteClean("in.exr", {64, 48, 3, TypeDesc::HALF}, &attributes);
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 5});
    const Picture in = ReadPicture(Path("in.exr"));

    struct Case {
        const char* output;
        std::vector<std::string> carried; // attributes the output format can hold
    } cases[] = {
        {"out.exr", {"smpte:TimeCode", "FramesPerSecond", "Artist"}},
        {"out.dpx", {"smpte:TimeCode"}},
        {"out.tif", {"Artist"}},
        {"out.png", {"Artist"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const RunResult run = Render("in.exr", "plate.png", c.output, {"--quiet"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const Picture out = ReadPicture(Path(c.output));
        for (const std::string& name : c.carried) {
            const OIIO::ParamValue* wanted = in.header.find_attribute(name);
            ASSERT_NE(wanted, nullptr) << name;
            EXPECT_EQ(out.header.metadata_val(*out.header.find_attribute(name)), in.header.metadata_val(*wanted))
                << name;
        }
    }
    // DPX keeps the frame rate under its own name, and the artist as its header's creator;
    // PNG keeps the timecode as text.
    const Picture dpx = ReadPicture(Path("out.dpx"));
    EXPECT_FLOAT_EQ(dpx.header.get_float_attribute("dpx:FrameRate"), 25.0f);
    EXPECT_EQ(dpx.header.get_string_attribute("Software"), "Grain Department");
    EXPECT_EQ(ReadPicture(Path("out.png")).header.get_string_attribute("smpte:TimeCode"), "01:02:03:04");
}

// A small config of the test's own: a log working space of its own making, so
// that the defaults are seen to come from $OCIO and not from the built-in config.
constexpr const char* kTestConfig = R"(ocio_profile_version: 2
roles:
  scene_linear: lin
  compositing_log: log
  color_picking: srgb
  data: raw
  default: raw
  reference: lin
file_rules:
  - !<Rule> {name: Default, colorspace: default}
displays:
  sRGB:
    - !<View> {name: Standard, colorspace: srgb}
active_displays: []
active_views: []
colorspaces:
  - !<ColorSpace> {name: lin, encoding: scene-linear}
  - !<ColorSpace>
    name: log
    encoding: log
    from_scene_reference: !<LogAffineTransform> {base: 2, log_side_slope: 0.05, log_side_offset: 0.6, lin_side_offset: 0.01}
  - !<ColorSpace>
    name: srgb
    encoding: sdr-video
    from_scene_reference: !<ExponentWithLinearTransform> {gamma: 2.4, offset: 0.055, direction: inverse}
  - !<ColorSpace> {name: raw, isdata: true, encoding: data}
)";

// Working-space values of the two configs, worked out by hand: ACEScct for
// ACEScg input (a curve, no matrix) and the test config's log.
double Acescct(double linear) {
    return linear <= 0.0078125 ? 10.5402377416545 * linear + 0.0729055341958355 : (std::log2(linear) + 9.72) / 17.52;
}
double AcescctToLinear(double code) {
    return code <= 0.155251141552511 ? (code - 0.0729055341958355) / 10.5402377416545 : std::exp2(code * 17.52 - 9.72);
}
double TestLog(double linear) { return 0.05 * std::log2(linear + 0.01) + 0.6; }
double TestLogToLinear(double code) { return std::exp2((code - 0.6) / 0.05) - 0.01; }

struct Exr {
    OIIO::ImageSpec header;
    std::vector<unsigned char> bytes; // every channel in its own type, as stored
};

Exr ReadExr(const fs::path& file) {
    Exr exr;
    const std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(file.string());
    if (!in) {
        ADD_FAILURE() << OIIO::geterror();
        return exr;
    }
    exr.header = in->spec();
    exr.bytes.resize(exr.header.image_bytes(true));
    EXPECT_TRUE(in->read_image(0, 0, 0, exr.header.nchannels, TypeDesc::UNKNOWN, exr.bytes.data()));
    return exr;
}

void WriteExr(const fs::path& file, const OIIO::ImageSpec& header, const std::vector<float>& samples) {
    const std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(file.string());
    ASSERT_TRUE(out && out->open(file.string(), header) && out->write_image(TypeDesc::FLOAT, samples.data()) &&
                out->close());
}

class Colour : public CliTest {
protected:
    void TearDown() override {
        unsetenv("OCIO");
        CliTest::TearDown();
    }
    void UseTestConfig() {
        std::ofstream(Path("config.ocio")) << kTestConfig;
        setenv("OCIO", Path("config.ocio").c_str(), 1);
    }
    // A scene-linear EXR as compositors have them: RGBA half, depth in float and
    // an AOV layer, overscan around the display window.
    void WriteLinearPlate(const std::string& name, const std::function<float(int, int, int)>& value) const {
        OIIO::ImageSpec header(80, 56, 8, TypeDesc::HALF);
        header.x = -8, header.y = -4;
        header.full_x = 0, header.full_y = 0, header.full_width = 64, header.full_height = 48;
        header.channelnames = {"R", "G", "B", "A", "Z", "diffuse.R", "diffuse.G", "diffuse.B"};
        header.channelformats = {TypeDesc::HALF,  TypeDesc::HALF, TypeDesc::HALF, TypeDesc::HALF,
                                 TypeDesc::FLOAT, TypeDesc::HALF, TypeDesc::HALF, TypeDesc::HALF};
        header.alpha_channel = 3, header.z_channel = 4;
        std::vector<float> samples;
        for (int y = 0; y < 56; ++y)
            for (int x = 0; x < 80; ++x)
                for (int c = 0; c < 8; ++c) samples.push_back(value(x, y, c));
        WriteExr(Path(name), header, samples);
    }
};

// Everything the module was told to leave comes out with its exact bits:
// values below 0 and far above 1, NaN and infinities, channels it does not
// process, overscan; with the built-in config and with one from $OCIO.
TEST_F(Colour, LinearExrRoundTripKeepsEveryBit) {
    const float kNan = std::nanf(""), kInf = std::numeric_limits<float>::infinity();
    WriteLinearPlate("in.exr", [&](int x, int y, int c) {
        if (c == 3) return 0.25f + 0.75f * static_cast<float>((x + y) % 4) / 3.0f;
        if (c == 4) return 1000.0f + static_cast<float>(x * 56 + y) * 0.37f;
        if (c < 3 && x == 10 && y == 10) return kNan;
        if (c < 3 && x == 11 && y == 10) return c == 1 ? -kInf : kInf;
        return -0.01f + 50.01f * static_cast<float>(x * 56 + y) / (80.0f * 56.0f) * (1.0f + 0.1f * c);
    });
    WriteLinearPlate("mask.exr", [](int, int, int) { return 1.0f; });
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 11});
    const Exr in = ReadExr(Path("in.exr"));
    std::vector<std::string> hashes;
    for (const bool ownConfig : {false, true}) {
        SCOPED_TRACE(ownConfig ? "$OCIO" : "built-in");
        if (ownConfig) UseTestConfig();
        const RunResult run = Render("in.exr", "plate.png", "out.exr",
                                     {"--mask", "mask.exr", "--set", "Blend with Original/Amount=100%", "--set",
                                      "Match Color Using=Off", "--print-hash"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find("has 6 NaN or infinite colour samples"), std::string::npos) << run.err;
        hashes.push_back(HashLines(run.out).at(0).second);
        const Exr out = ReadExr(Path("out.exr"));
        EXPECT_EQ(out.header.roi(), in.header.roi());
        EXPECT_EQ(out.header.roi_full(), in.header.roi_full());
        EXPECT_EQ(out.header.channelnames, in.header.channelnames);
        EXPECT_EQ(out.header.channelformats, in.header.channelformats);
        EXPECT_TRUE(out.bytes == in.bytes) << "some bits changed";
    }
    EXPECT_NE(hashes[0], hashes[1]) << "the module saw the same encoding under both configs";
}

// Where grain is laid, it is the plate's in the working space; where the mask
// keeps the original, every bit stays.
TEST_F(Colour, GrainMatchesThePlateInTheWorkingSpace) {
    struct Case {
        bool ownConfig;
        std::vector<std::string> options;
        double (*encode)(double);
        double (*decode)(double);
    } cases[] = {{false, {"--colorspace-in", "ACEScg"}, Acescct, AcescctToLinear},
                 {true, {}, TestLog, TestLogToLinear}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ownConfig ? "$OCIO" : "built-in");
        if (c.ownConfig) UseTestConfig();
        // The plate: white grain of sigma 0.02 around mid grey, in the working space.
        const double grey = c.encode(0.18);
        std::mt19937 random(7);
        std::normal_distribution<double> grain(0.0, 0.02);
        std::vector<float> plate, clean, mask;
        double sum = 0.0, squares = 0.0;
        for (int i = 0; i < 256 * 256 * 3; ++i) {
            const double code = grey + grain(random);
            sum += code - grey, squares += (code - grey) * (code - grey);
            plate.push_back(static_cast<float>(c.decode(code)));
        }
        const double plateSigma = std::sqrt(squares / (256 * 256 * 3) - std::pow(sum / (256 * 256 * 3), 2));
        WriteExr(Path("plate.exr"), OIIO::ImageSpec(256, 256, 3, TypeDesc::FLOAT), plate);
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 256; ++x) {
                for (int k = 0; k < 3; ++k) clean.push_back(0.18f);
                mask.push_back(x < 128 ? 1.0f : 0.0f);
            }
        WriteExr(Path("clean.exr"), OIIO::ImageSpec(256, 128, 3, TypeDesc::FLOAT), clean);
        WriteExr(Path("mask.exr"), OIIO::ImageSpec(256, 128, 1, TypeDesc::FLOAT), mask);
        std::vector<std::string> options{
            "--mask",  "mask.exr", "--set", "Blend with Original/Amount=100%", "--set", "Match Color Using=Off",
            "--depth", "float"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        const RunResult run = Render("clean.exr", "plate.exr", "out.exr", options);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const Picture out = ReadPicture(Path("out.exr"));
        for (int k = 0; k < 3; ++k) {
            double n = 0.0, mean = 0.0, square = 0.0;
            bool kept = true;
            for (int y = 8; y < 120; ++y)
                for (int x = 0; x < 256; ++x) {
                    if (x < 128) {
                        kept = kept && out.At(x, y, k) == 0.18f;
                        continue;
                    }
                    if (x < 136 || x > 248) continue;
                    const double code = c.encode(out.At(x, y, k));
                    n += 1.0, mean += code, square += code * code;
                }
            EXPECT_TRUE(kept) << "channel " << k << " changed where the mask keeps the original";
            const double sigma = std::sqrt(square / n - (mean / n) * (mean / n));
            EXPECT_NEAR(sigma / plateSigma, 1.0, 0.05) << "channel " << k;
        }
    }
}

// Integer files made from linear light are display-referred and say so; log DPX where asked.
TEST_F(Colour, OutputEncodingsFitTheFormat) {
    WriteExr(Path("grey.exr"), OIIO::ImageSpec(64, 48, 3, TypeDesc::HALF), std::vector<float>(64 * 48 * 3, 0.18f));
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 4});
    struct Case {
        const char* output;
        std::vector<std::string> options;
        const char* tag;
        float value; // the grey as written, 0..1 of the file's scale
    } cases[] = {
        {"out.jpg", {}, "sRGB", 0.4614f},
        {"out.png", {}, "sRGB", 0.4614f},
        {"out.dpx", {"--colorspace-out", "Cineon Log"}, "KodakLog", 0.4573f},
        {"out.exr", {}, "Linear", 0.18f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        std::vector<std::string> options{"--set", "Intensity=0"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        const RunResult run = Render("grey.exr", "plate.png", c.output, options);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const Picture out = ReadPicture(Path(c.output));
        EXPECT_EQ(out.header.get_string_attribute("oiio:ColorSpace"), c.tag);
        EXPECT_NEAR(out.At(32, 24, 1), c.value, 1.5f / 255);
    }
    EXPECT_EQ(ReadPicture(Path("out.dpx")).header.get_string_attribute("dpx:Transfer"), "Logarithmic");
    const RunResult unknown = Render("grey.exr", "plate.png", "bad.exr", {"--working-space", "Rec.2100"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("--working-space \"Rec.2100\": the built-in config has no such colour space"),
              std::string::npos)
        << unknown.err;
}

} // namespace
} // namespace clitest
