// File formats, sample depths, channels and metadata through the texturist command.
#include "tests/cli/CliTestSupport.h"

#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <cmath>

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

// Only the display window is kept: a smaller data window is padded with transparent black.
TEST_F(Formats, DataWindowIsPlacedInTheDisplayWindow) {
    OIIO::ImageSpec header(24, 16, 4, TypeDesc::HALF);
    header.x = 8;
    header.y = 4;
    header.full_x = 0;
    header.full_y = 0;
    header.full_width = 64;
    header.full_height = 48;
    header.alpha_channel = 3;
    const std::vector<float> opaque(24 * 16 * 4, 1.0f);
    {
        const std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(Path("window.exr").string());
        ASSERT_TRUE(out && out->open(Path("window.exr").string(), header) &&
                    out->write_image(TypeDesc::FLOAT, opaque.data()) && out->close());
    }
    WritePlate("plate.png", {96, 72, 3, TypeDesc::UINT8, 8});
    const RunResult run = Render("window.exr", "plate.png", "out.exr", {"--quiet"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Picture out = ReadPicture(Path("out.exr"));
    ASSERT_EQ(out.header.width, 64);
    ASSERT_EQ(out.header.height, 48);
    EXPECT_EQ(out.At(0, 0, 3), 0.0f);
    EXPECT_EQ(out.At(63, 47, 3), 0.0f);
    EXPECT_EQ(out.At(8, 4, 3), 1.0f);
    EXPECT_EQ(out.At(31, 19, 3), 1.0f);
}

} // namespace
} // namespace clitest
