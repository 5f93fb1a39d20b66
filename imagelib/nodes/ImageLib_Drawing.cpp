#include "ImageLib_Drawing.h"

#include "ImageLib_NoiseKernels.h"

#include "imagelib/core/ImageLib_Context.h"
#include "imagelib/core/ImageLib_FloatRows.h"
#include "imagelib/core/ImageLib_Paths.h"
#include "imagelib/core/ImageLib_Views.h"
#include "random/UniformRandom.h"

#include <memory>

namespace ImageLib_Drawing {

namespace {

// Sets every pixel of `span` (inside the mapped region of `view`) to the colour.
void Paint(const ImageLib_ImageAccess& view, const ImageLib_Rect& span, const ImageLib_Vector<float>& colour) {
    const ImageLib_Rect r = ImageLib_Rect::Intersect(span, view.region);
    if (r.IsEmpty()) return;
    const uint32_t channels = view.format.channels;
    const uint32_t count = colour.size() < channels ? static_cast<uint32_t>(colour.size()) : channels;
    for (int32_t y = r.y0; y < r.y1; ++y) {
        float* pixel =
            view.rows.Row(y - view.region.y0).As<float>() + static_cast<size_t>(r.x0 - view.region.x0) * channels;
        for (int32_t x = r.x0; x < r.x1; ++x, pixel += channels)
            for (uint32_t c = 0; c < count; ++c) pixel[c] = colour[c];
    }
}

// Floor modulo, so that blocks stay aligned left of the plane's origin too.
inline int32_t PositiveModulo(int32_t value, int32_t modulus) {
    const int32_t r = value % modulus;
    return r < 0 ? r + modulus : r;
}

} // namespace

SolidNode::SolidNode(const float* values, uint32_t count) : colour(values, values + count) {}

ImageLib_Rect SolidNode::ComputeBounds() { return ImageLib_Rect::Everything(); }

void SolidNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    const ImageLib_FloatRows rows(output, region, ImageLib_AccessMode::Write);
    const uint32_t channels = rows.Channels();
    const int32_t width = region.Width();
    ImageLib_ForEachRow(region, [&](int32_t y) {
        float* pixel = rows.Row(y);
        for (int32_t x = 0; x < width; ++x, pixel += channels)
            for (uint32_t c = 0; c < channels; ++c) pixel[c] = c < colour.size() ? colour[c] : 0.0f;
    });
}

ImageLib_Rect InvertNode::ComputeBounds() { return input->GetBounds(); }

void InvertNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    input->Compute(output, region);
    const ImageLib_PixelFormat& format = output.format;
    if (format.bytesPerChannel == 1 || format.bytesPerChannel == 2) {
        ImageLib_MappedRegion mapped(output, region, ImageLib_AccessMode::ReadWrite);
        const uint32_t full = static_cast<uint32_t>(format.maxValue);
        for (const ImageLib_RowIterator& row : output.rows) {
            if (format.bytesPerChannel == 1) {
                for (uint8_t* s = row.rowBegin; s != row.rowEnd; ++s) *s = static_cast<uint8_t>(full - *s);
            } else {
                uint16_t* s = row.As<uint16_t>();
                for (uint32_t i = 0, n = row.rowBytes / 2; i < n; ++i) s[i] = static_cast<uint16_t>(full - s[i]);
            }
        }
        return;
    }
    const ImageLib_FloatRows rows(output, region, ImageLib_AccessMode::ReadWrite);
    const float full = rows.Format().maxValue;
    const uint32_t samples = rows.RowFloats();
    ImageLib_ForEachRow(region, [&rows, full, samples](int32_t y) {
        float* s = rows.Row(y);
        for (uint32_t i = 0; i < samples; ++i) s[i] = full - s[i];
    });
}

int32_t NoiseNode::BlockSeed(int32_t x, int32_t y, int32_t seed) {
    const uint32_t mixed = ((static_cast<uint32_t>(x) & 0xFFFFu) ^ (static_cast<uint32_t>(y) << 16)) + 1u;
    const int32_t blockSeed = static_cast<int32_t>(mixed ^ static_cast<uint32_t>(seed));
    // A generator seeded with 0 takes the clock; a block must never do that, or
    // the same seed would not give the same grain. 1 draws like -1, which some
    // far-away block has as well, as every seed s shares its sequence with -s.
    return blockSeed == 0 ? 1 : blockSeed;
}

ImageLib_Rect NoiseNode::ComputeBounds() { return ImageLib_Rect::Everything(); }

namespace {

// The straightforward noise: one generator, reseeded at every block of every row.
void ComputeNoiseReference(const NoiseNode& node, const ImageLib_ImageAccess& view, const ImageLib_Rect& region) {
    const int32_t channels = static_cast<int32_t>(view.format.channels);
    // Always reseeded before the first draw, so the clock is never consulted.
    UniformRandom generator(1);
    int32_t y = region.y0;
    for (const ImageLib_RowIterator& row : view.rows) {
        float* out = row.As<float>();
        const int32_t rowY = y + NoiseNode::kOrigin;
        int32_t x = region.x0 + NoiseNode::kOrigin;
        const int32_t into = PositiveModulo(x, NoiseNode::kBlock);
        if (into != 0) {
            generator.Seed(NoiseNode::BlockSeed(x - into, rowY, node.seed));
            for (int32_t i = 0; i < into * channels; ++i) node.gaussian ? generator.Gaussian() : generator.Centred();
        }
        for (int32_t i = region.x0; i < region.x1; ++i, ++x) {
            if (PositiveModulo(x, NoiseNode::kBlock) == 0) generator.Seed(NoiseNode::BlockSeed(x, rowY, node.seed));
            for (int32_t c = 0; c < channels; ++c)
                *out++ = (node.gaussian ? generator.Gaussian() : generator.Centred()) * node.scale + node.offset;
        }
        ++y;
    }
}

// The same values, block by block: bands of rows run through Iterate, and the
// blocks of a band go to the SIMD lanes of ImageLib_NoiseKernels in batches.
void ComputeNoiseFast(const NoiseNode& node, const ImageLib_ImageAccess& view, const ImageLib_Rect& region) {
    using ImageLib_NoiseKernels::Block;
    const int32_t width = region.Width(), height = region.Height();
    if (width <= 0 || height <= 0) return;
    const int32_t channels = static_cast<int32_t>(view.format.channels);
    const int32_t x0 = region.x0 + NoiseNode::kOrigin;
    const int32_t firstBlock = x0 - PositiveModulo(x0, NoiseNode::kBlock);
    const int32_t blocksPerRow = (x0 + width - firstBlock + NoiseNode::kBlock - 1) / NoiseNode::kBlock;
    // Enough blocks per band to fill the lanes several times over, however narrow the region.
    constexpr int32_t kBandBlocks = 64;
    const int32_t bandRows = blocksPerRow >= kBandBlocks ? 1 : (kBandBlocks + blocksPerRow - 1) / blocksPerRow;
    const int32_t bands = (height + bandRows - 1) / bandRows;
    const ImageLib_NoiseKernels::Draw draw{node.gaussian, node.scale, node.offset};
    const ImageLib_RowRange& rows = view.rows;
    const int32_t seed = node.seed, y0 = region.y0;
    ImageLib_ParallelFor(bands, [&](int32_t band) {
        constexpr int32_t kBatch = 64;
        Block batch[kBatch];
        int32_t queued = 0;
        const int32_t rowEnd = band * bandRows + bandRows < height ? band * bandRows + bandRows : height;
        for (int32_t r = band * bandRows; r < rowEnd; ++r) {
            float* out = rows.Row(r).As<float>();
            const int32_t rowY = y0 + r + NoiseNode::kOrigin;
            for (int32_t b = 0; b < blocksPerRow; ++b) {
                const int32_t blockX = firstBlock + b * NoiseNode::kBlock;
                const int32_t from = blockX > x0 ? blockX : x0;
                const int32_t to = blockX + NoiseNode::kBlock < x0 + width ? blockX + NoiseNode::kBlock : x0 + width;
                batch[queued++] = {out + static_cast<size_t>(from - x0) * channels,
                                   NoiseNode::BlockSeed(blockX, rowY, seed), (from - blockX) * channels,
                                   (to - from) * channels};
                if (queued == kBatch) {
                    ImageLib_NoiseKernels::FillBlocks(batch, queued, draw);
                    queued = 0;
                }
            }
        }
        if (queued > 0) ImageLib_NoiseKernels::FillBlocks(batch, queued, draw);
    });
}

} // namespace

void NoiseNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::Write);
    if (SimdReference())
        ComputeNoiseReference(*this, *view, region);
    else
        ComputeNoiseFast(*this, *view, region);
}

ThickBoxNode::ThickBoxNode(const float* values, uint32_t count, const ImageLib_Rect& rect, ImageLib_ComputeNode* node)
    : ImageLib_NodeWithOneInput(node), colour(values, values + count), box(rect) {}

ImageLib_Rect ThickBoxNode::ComputeBounds() { return input->GetBounds(); }

void ThickBoxNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    input->Compute(output, region);
    if (box.infinite || box.IsEmpty()) return;
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::ReadWrite);
    const int32_t x0 = box.x0, y0 = box.y0, x1 = box.x1, y1 = box.y1;
    const ImageLib_Rect spans[] = {
        {x0, y0, x1, y0 + 1, false},
        {x0, y1 - 1, x1, y1, false},
        {x0 + 1, y0 + 1, x1 - 1, y0 + 2, false},
        {x0 + 1, y1 - 2, x1 - 1, y1 - 1, false},
        {x0, y0, x0 + 1, y1, false},
        {x1 - 1, y0, x1, y1, false},
        {x0 + 1, y0 + 1, x0 + 2, y1 - 1, false},
        {x1 - 2, y0 + 1, x1 - 1, y1 - 1, false},
    };
    for (const ImageLib_Rect& span : spans) Paint(*view, span, colour);
}

ImageLib_ComputeNode* CreateSolidNode(const float* colour, uint32_t count) { return new SolidNode(colour, count); }
ImageLib_ComputeNode* CreateInvertNode(ImageLib_ComputeNode* input) { return new InvertNode(input); }
ImageLib_ComputeNode* CreateNoiseNode(float offset, float scale, bool gaussian, int32_t seed) {
    return new NoiseNode(offset, scale, gaussian, seed);
}
ImageLib_ComputeNode* CreateThickBoxNode(const float* colour, uint32_t count, const ImageLib_Rect* box,
                                         ImageLib_ComputeNode* input) {
    return new ThickBoxNode(colour, count, *box, input);
}

} // namespace ImageLib_Drawing
