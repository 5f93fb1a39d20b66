#include "TestNodes.h"

#include <cstring>

namespace testnodes {

void WriteField(ImageLib_ImageAccess& access, const ImageLib_Rect& region, const Field& field) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(access));
    ImageLib_MappedRegion mapped(*view, region, ImageLib_AccessMode::Write);
    const uint32_t channels = view->format.channels;
    int32_t y = region.y0;
    for (const ImageLib_RowIterator& row : mapped.rows()) {
        float* out = row.As<float>();
        for (int32_t x = region.x0; x < region.x1; ++x)
            for (uint32_t c = 0; c < channels; ++c) *out++ = field(x, y, c);
        ++y;
    }
}

void SumNode::Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
    ImageLib_MappedRegion out(*view, region, ImageLib_AccessMode::Write);
    for (const ImageLib_RowIterator& row : out.rows()) std::memset(row.rowBegin, 0, row.rowBytes);
    for (ImageLib_ComputeNode* node : inputs) {
        ImageLib_ImageBuffer buffer(view->format, region);
        node->Compute(buffer, region);
        ImageLib_MappedRegion in(buffer, region, ImageLib_AccessMode::Read);
        struct Work {
            const ImageLib_RowRange* from;
            const ImageLib_RowRange* to;
        } work{&buffer.rows, &view->rows};
        ImageLib_ParallelFor(region.Height(), [&work](int32_t y) {
            const ImageLib_RowIterator a = work.from->Row(y);
            const ImageLib_RowIterator b = work.to->Row(y);
            const float* source = a.As<float>();
            float* target = b.As<float>();
            for (uint32_t i = 0; i < b.rowBytes / 4; ++i) target[i] += source[i];
        });
        ImageLib_CheckAbort();
    }
}

std::vector<float> ReadFloats(ImageLib_ImageAccess& access) {
    std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(access));
    std::vector<float> values;
    ImageLib_MappedRegion mapped(*view, view->bounds, ImageLib_AccessMode::Read);
    for (const ImageLib_RowIterator& row : mapped.rows())
        values.insert(values.end(), row.As<float>(), row.As<float>() + row.rowBytes / 4);
    return values;
}

std::vector<uint8_t> ReadBytes(ImageLib_ImageAccess& access) {
    std::vector<uint8_t> bytes;
    ImageLib_MappedRegion mapped(access, access.bounds, ImageLib_AccessMode::Read);
    for (const ImageLib_RowIterator& row : mapped.rows()) bytes.insert(bytes.end(), row.rowBegin, row.rowEnd);
    return bytes;
}

void WriteBytes(ImageLib_ImageAccess& access, const std::vector<uint8_t>& bytes) {
    ImageLib_MappedRegion mapped(access, access.bounds, ImageLib_AccessMode::Write);
    size_t at = 0;
    for (const ImageLib_RowIterator& row : mapped.rows()) {
        std::memcpy(row.rowBegin, bytes.data() + at, row.rowBytes);
        at += row.rowBytes;
    }
}

} // namespace testnodes
