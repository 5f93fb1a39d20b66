#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Views.h"
#include "imagelib/testing/ImageLib_TestCallbacks.h"
#include "tests/support/TestImages.h"
#include "tests/support/TestNodes.h"

#include "tests/support/SimdPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using testnodes::ReadBytes;
using testnodes::WriteBytes;

using AccessTest = testimages::NodeTest;

ImageLib_PixelFormat OneChannel(const ImageLib_PixelFormat& format) { return testimages::WithChannels(format, 1); }

TEST_F(AccessTest, SamplesConvertToAndFromFloat) {
    struct Case {
        ImageLib_PixelFormat format;
        uint16_t sample;
        float value;
    } toFloat[] = {
        {ImageLib_HostFormat8(), 255, 1.0f},    {ImageLib_HostFormat8(), 128, static_cast<float>(128 / 255.0)},
        {ImageLib_HostFormat8(), 0, 0.0f},      {ImageLib_HostFormat16(), 32768, 1.0f},
        {ImageLib_HostFormat16(), 16384, 0.5f},
    };
    for (const Case& c : toFloat) {
        ImageLib_ImageBuffer buffer(OneChannel(c.format), {0, 0, 1, 1, false});
        std::vector<uint8_t> bytes(c.format.bytesPerChannel);
        std::memcpy(bytes.data(), &c.sample, bytes.size()); // little-endian: the low byte first
        WriteBytes(buffer, bytes);
        EXPECT_EQ(testnodes::ReadFloats(buffer)[0], c.value) << c.sample;
    }

    struct Back {
        ImageLib_PixelFormat format;
        float value;
        uint32_t sample;
    } fromFloat[] = {
        {ImageLib_HostFormat8(), 1.0f, 255}, {ImageLib_HostFormat8(), 0.0f, 0},
        {ImageLib_HostFormat8(), 0.5f, 128}, {ImageLib_HostFormat16(), 1.0f, 32768},
        {ImageLib_HostFormat16(), 0.0f, 0},  {ImageLib_HostFormat16(), 0.25f, 8192},
        {ImageLib_HostFormat8(), NAN, 0},    {ImageLib_HostFormat16(), -1e30f, 0},
    };
    for (const Back& c : fromFloat) {
        ImageLib_ImageBuffer buffer(OneChannel(c.format), {0, 0, 1, 1, false});
        {
            ImageLibImplementation::ConverterAccess view(buffer);
            ImageLib_MappedRegion mapped(view, view.bounds, ImageLib_AccessMode::Write);
            *mapped.rows().first.As<float>() = c.value;
        }
        std::vector<uint8_t> bytes = ReadBytes(buffer);
        uint32_t sample = bytes[0] | (bytes.size() > 1 ? bytes[1] << 8 : 0);
        EXPECT_EQ(sample, c.sample) << c.value;
    }
}

// The vectorised default converters against the plain loops: every byte and
// every 16-bit sample, and floats in and far out of range (NaN, infinities,
// values that wrap) into both widths, on counts with and without a vector tail.
TEST_F(AccessTest, FastConvertersGiveTheReferenceBytes) {
    std::vector<uint8_t> bytes(256);
    std::vector<uint16_t> shorts(65536);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < shorts.size(); ++i) shorts[i] = static_cast<uint16_t>(i);
    std::vector<float> floats;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> near(-0.2f, 1.2f), far(-3.0e9f, 3.0e9f);
    for (int i = 0; i < 4000; ++i) floats.push_back(i % 5 == 0 ? far(random) : near(random));
    for (float special : {NAN, INFINITY, -INFINITY, 2147483520.0f, 2147483648.0f, -2147483648.0f, 0.0f, -0.0f, 0.998f,
                          1.0f, 255.5f, 65535.5f})
        floats.push_back(special);
    const ImageLib_PixelFormat formats[] = {OneChannel(ImageLib_HostFormat8()), OneChannel(ImageLib_HostFormat16())};
    for (const ImageLib_PixelFormat& format : formats) {
        SCOPED_TRACE(format.bytesPerChannel);
        const void* samples = format.bytesPerChannel == 1 ? static_cast<const void*>(bytes.data()) : shorts.data();
        const uint32_t available = format.bytesPerChannel == 1 ? 256 : 65536;
        for (uint32_t count : {1u, 15u, 16u, 17u, 63u, available}) {
            const uint32_t floatCount = std::min<uint32_t>(count, static_cast<uint32_t>(floats.size()));
            // Both directions' bytes: floats as bit patterns, since NaN may come back.
            testpaths::ExpectEveryPathGivesTheReference(
                [&] {
                    std::vector<uint8_t> out(count * sizeof(float) + floatCount * format.bytesPerChannel, 0xCD);
                    std::vector<float> toFloat(count, -1.0f);
                    ImageLib_DefaultToFloat(format, samples, toFloat.data(), count);
                    std::memcpy(out.data(), toFloat.data(), count * sizeof(float));
                    ImageLib_DefaultFromFloat(format, floats.data(), out.data() + count * sizeof(float), floatCount);
                    return out;
                },
                std::to_string(count) + " samples");
        }
    }
    // The byte table is what division by 255 gives.
    const float* table = ImageLib_ByteToFloatTable();
    for (int i = 0; i < 256; ++i) EXPECT_EQ(table[i], static_cast<float>(i) / 255.0f) << i;
}

TEST_F(AccessTest, ConverterRowsArePaddedToSixteenBytes) {
    ImageLib_ImageBuffer buffer(ImageLib_HostFormat8(), {0, 0, 8, 4, false});
    ImageLibImplementation::ConverterAccess view(buffer);
    struct Case {
        ImageLib_Rect region;
        int32_t stride;
        uint32_t rowBytes;
    } cases[] = {
        {{0, 0, 3, 2, false}, 48, 48},
        {{2, 1, 3, 4, false}, 16, 16},
        {{0, 0, 8, 1, false}, 128, 128},
    };
    ImageLib_PixelFormat threeChannels = OneChannel(ImageLib_HostFormat8());
    threeChannels.channels = threeChannels.bytesPerPixel = 3;
    ImageLib_ImageBuffer rgb(threeChannels, {0, 0, 8, 4, false});
    ImageLibImplementation::ConverterAccess rgbView(rgb);
    for (const Case& c : cases) {
        ImageLib_MappedRegion mapped(view, c.region, ImageLib_AccessMode::Read);
        EXPECT_EQ(view.stride, c.stride);
        EXPECT_EQ(mapped.rows().first.rowBytes, c.rowBytes);
    }
    // 3 pixels of 3 channels: 9 samples, padded to 12 floats.
    ImageLib_MappedRegion mapped(rgbView, {0, 0, 3, 1, false}, ImageLib_AccessMode::Read);
    EXPECT_EQ(rgbView.stride, 48);
    EXPECT_EQ(rgbView.rows.first.rowBytes, 36u);
}

TEST_F(AccessTest, ConverterModesDecideWhatIsReadAndWritten) {
    ImageLib_ImageBuffer buffer(ImageLib_HostFormat8(), {0, 0, 2, 2, false});
    WriteBytes(buffer, std::vector<uint8_t>(16, 51));
    ImageLibImplementation::ConverterAccess view(buffer);
    {
        // Write does not read: the float rows keep what the previous mapping left (zeros at first).
        ImageLib_MappedRegion mapped(view, view.bounds, ImageLib_AccessMode::Write);
        EXPECT_EQ(mapped.rows().first.As<float>()[0], 0.0f);
        for (const ImageLib_RowIterator& row : mapped.rows())
            for (uint32_t i = 0; i < row.rowBytes / 4; ++i) row.As<float>()[i] = 1.0f;
    }
    EXPECT_EQ(ReadBytes(buffer), std::vector<uint8_t>(16, 255));
    {
        // Read converts in and never writes back, whatever is changed in the rows.
        ImageLib_MappedRegion mapped(view, view.bounds, ImageLib_AccessMode::Read);
        EXPECT_EQ(mapped.rows().first.As<float>()[3], 1.0f);
        mapped.rows().first.As<float>()[0] = 0.0f;
    }
    EXPECT_EQ(ReadBytes(buffer), std::vector<uint8_t>(16, 255));
    {
        ImageLib_MappedRegion mapped(view, {1, 1, 2, 2, false}, ImageLib_AccessMode::ReadWrite);
        mapped.rows().first.As<float>()[2] = 0.2f;
    }
    std::vector<uint8_t> expected(16, 255);
    expected[14] = 51;
    EXPECT_EQ(ReadBytes(buffer), expected);
}

TEST_F(AccessTest, TranslationAndPassthroughViews) {
    ImageLib_ImageBuffer buffer(ImageLib_HostFormat8(), {0, 0, 100, 100, false});
    ImageLibImplementation::TranslationAccess view(buffer, -5, 0);
    EXPECT_EQ(view.bounds, (ImageLib_Rect{5, 0, 105, 100, false}));
    {
        ImageLib_MappedRegion outer(buffer, {0, 0, 1, 1, false}, ImageLib_AccessMode::Write);
        std::memcpy(outer.rows().first.rowBegin, "\x01\x02\x03\x04", 4);
    }
    {
        ImageLib_MappedRegion mapped(view, {5, 0, 6, 1, false}, ImageLib_AccessMode::Read);
        EXPECT_EQ(std::memcmp(mapped.rows().first.rowBegin, "\x01\x02\x03\x04", 4), 0);
        EXPECT_EQ(buffer.region, (ImageLib_Rect{0, 0, 1, 1, false}));
    }
    EXPECT_FALSE(buffer.IsMapped());

    ImageLib_ImageBuffer floats(ImageLib_FloatFormat(ImageLib_HostFormat8()), {0, 0, 4, 4, false});
    std::unique_ptr<ImageLib_ImageAccess> same(ImageLib_MakeFloatView(floats));
    EXPECT_NE(dynamic_cast<ImageLibImplementation::PassthroughAccess*>(same.get()), nullptr);
    ImageLib_MappedRegion mapped(*same, {1, 1, 3, 3, false}, ImageLib_AccessMode::ReadWrite);
    EXPECT_EQ(same->base, floats.base);
    EXPECT_EQ(same->stride, 64);
    std::unique_ptr<ImageLib_ImageAccess> converted(ImageLib_MakeFloatView(buffer));
    EXPECT_NE(dynamic_cast<ImageLibImplementation::ConverterAccess*>(converted.get()), nullptr);
}

TEST_F(AccessTest, ChecksumRotatesEveryByte) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t checksum;
    } cases[] = {
        {{1, 2, 3, 4}, 2},
        {{128, 0, 0, 0}, 1024},
        {{0, 0, 0, 0}, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        ImageLib_ImageBuffer buffer(ImageLib_HostFormat8(), {0, 0, 1, 1, false});
        WriteBytes(buffer, c.bytes);
        EXPECT_EQ(buffer.Checksum(), c.checksum);
    }
    ImageLib_ImageBuffer empty(ImageLib_HostFormat8(), {3, 3, 3, 9, false});
    EXPECT_EQ(empty.Checksum(), 0xFFFFFFFFu);

    // The top bit rotates round into bit 0, and rows follow one another: a
    // single 0x80 first of 36 bytes ends up rotated left by 35, at bit 10.
    ImageLib_ImageBuffer three(ImageLib_HostFormat8(), {0, 0, 3, 3, false});
    std::vector<uint8_t> bytes(36, 0);
    bytes[0] = 0x80;
    WriteBytes(three, bytes);
    EXPECT_EQ(three.Checksum(), 1024u);
}

TEST_F(AccessTest, CopyRegionMovesRowsBetweenAccesses) {
    ImageLib_ImageBuffer source(ImageLib_HostFormat16(), {0, 0, 6, 5, false});
    ImageLib_ImageBuffer destination(ImageLib_HostFormat16(), {10, 10, 14, 13, false});
    std::vector<uint8_t> pattern(6 * 5 * 8);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7);
    WriteBytes(source, pattern);
    WriteBytes(destination, std::vector<uint8_t>(4 * 3 * 8, 0));
    ImageLib_CopyRegion(destination, {11, 11, 13, 13, false}, source, {1, 2, 3, 4, false});
    std::vector<uint8_t> out = ReadBytes(destination);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            for (int b = 0; b < 8; ++b) {
                const bool inside = y >= 1 && x >= 1 && x < 3;
                const uint8_t expected = inside ? pattern[((y + 1) * 6 + x) * 8 + b] : 0;
                ASSERT_EQ(out[(y * 4 + x) * 8 + b], expected) << x << "," << y;
            }
    EXPECT_FALSE(source.IsMapped());
    EXPECT_FALSE(destination.IsMapped());
}

TEST_F(AccessTest, SizesThatDoNotFitAreRefusedBeforeAllocating) {
    struct Case {
        ImageLib_Rect bounds;
        bool fits;
    } cases[] = {
        {{0, 0, 32768, 16383, false}, true},  // 2 GiB minus 128 KiB of 8-bit pixels
        {{0, 0, 32768, 16384, false}, false}, // exactly 2 GiB
        {{0, 0, 65536, 65536, false}, false}, // 16 GiB: wraps to 0 in 32 bits
        {{-2147483647, 0, 2147483647, 2, false}, false},
    };
    for (const Case& c : cases) {
        const int64_t before = callbacks.memoryRequests;
        if (c.fits) {
            EXPECT_NO_THROW(ImageLib_ImageBuffer::ByteCount(ImageLib_HostFormat8(), c.bounds));
        } else {
            EXPECT_THROW(ImageLib_ImageBuffer(ImageLib_HostFormat8(), c.bounds), ImageLib_MemoryError);
            EXPECT_EQ(callbacks.memoryRequests, before);
        }
    }
    ImageLib_Vector<float> values;
    try {
        values.resize((size_t{1} << 30) + 1);
        ADD_FAILURE() << "a vector of more than 4 GiB was allocated";
    } catch (const std::length_error& error) {
        EXPECT_STREQ(error.what(), "vector<T> too long");
    }
    EXPECT_EQ(callbacks.memoryRequests, 0);
}

TEST_F(AccessTest, HandlesAreLockedOnlyWhileMapped) {
    ImageLib_ImageBuffer buffer(ImageLib_HostFormat8(), {0, 0, 3, 3, false});
    EXPECT_EQ(callbacks.lockedHandles, 0);
    {
        ImageLib_MappedRegion mapped(buffer, {1, 1, 2, 3, false}, ImageLib_AccessMode::Write);
        EXPECT_EQ(callbacks.lockedHandles, 1);
        EXPECT_EQ(buffer.stride, 12);
        EXPECT_EQ(buffer.rows.Row(2), buffer.rows.end());
    }
    EXPECT_EQ(callbacks.lockedHandles, 0);
    EXPECT_EQ(buffer.base, nullptr);
    EXPECT_EQ(buffer.region, ImageLib_Rect::Nothing());
    // A buffer destroyed while mapped releases the mapping first.
    auto mapped = std::make_unique<ImageLib_ImageBuffer>(ImageLib_HostFormat16(), ImageLib_Rect{0, 0, 2, 2, false});
    mapped->Map({0, 0, 2, 2, false}, ImageLib_AccessMode::Read);
    mapped.reset();
    EXPECT_EQ(callbacks.errors, 0);
}

} // namespace
