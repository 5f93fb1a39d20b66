// Small nodes and helpers that the library's tests build graphs from.
#pragma once

#include "imagelib/core/ImageLib_ComputeNode.h"
#include "imagelib/core/ImageLib_ImageBuffer.h"
#include "imagelib/core/ImageLib_Views.h"

#include <cmath>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace testnodes {

// A float value for every pixel and channel of the plane, so that any
// region of any tile can be checked against it independently.
inline float Pattern(int32_t x, int32_t y, uint32_t c) {
    return 0.5f + 0.45f * std::sin(0.37f * static_cast<float>(x) + 0.11f * static_cast<float>(y) +
                                   1.3f * static_cast<float>(c));
}

using Field = std::function<float(int32_t x, int32_t y, uint32_t channel)>;

// Writes field(x, y, c) into `region` of `access`, through a float view.
void WriteField(ImageLib_ImageAccess& access, const ImageLib_Rect& region, const Field& field);

// A node whose every pixel is `field`, over `extent` (the plane by default), so
// that reading a region never touches more than the region. Records the
// regions it was asked for.
class FieldNode : public ImageLib_ComputeNode {
public:
    explicit FieldNode(Field field, ImageLib_Rect extent = ImageLib_Rect::Everything())
        : field_(std::move(field)), extent_(extent) {}

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override {
        requests.push_back(region);
        WriteField(output, region, field_);
    }
    ImageLib_Rect ComputeBounds() override { return extent_; }

    std::vector<ImageLib_Rect> requests;

private:
    Field field_;
    ImageLib_Rect extent_;
};

// `Pattern` over `extent`.
class PatternNode : public FieldNode {
public:
    explicit PatternNode(ImageLib_Rect extent = ImageLib_Rect::Everything()) : FieldNode(Pattern, extent) {}
};

// Doubles its input through a temporary float buffer: the usual shape of a
// node that cannot compute in place (buffer, two mappings, a float view).
class DoubleNode : public ImageLib_NodeWithOneInput {
public:
    using ImageLib_NodeWithOneInput::ImageLib_NodeWithOneInput;

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override {
        ImageLib_ImageBuffer buffer(ImageLib_FloatFormat(output.format), region);
        input->Compute(buffer, region);
        std::unique_ptr<ImageLib_ImageAccess> view(ImageLib_MakeFloatView(output));
        ImageLib_MappedRegion in(buffer, region, ImageLib_AccessMode::Read);
        ImageLib_MappedRegion out(*view, region, ImageLib_AccessMode::Write);
        ImageLib_RowIterator from = buffer.rows.first;
        for (const ImageLib_RowIterator& to : out.rows()) {
            const float* a = from.As<float>();
            float* b = to.As<float>();
            for (uint32_t i = 0; i < to.rowBytes / 4; ++i) b[i] = 2.0f * a[i] - 0.5f;
            ++from;
        }
    }
    ImageLib_Rect ComputeBounds() override { return input->GetBounds(); }
};

// Sums its inputs, rows spread over `Iterate`, with an abort check per row.
class SumNode : public ImageLib_NodeWithManyInputs {
public:
    using ImageLib_NodeWithManyInputs::ImageLib_NodeWithManyInputs;

    void Compute(ImageLib_ImageAccess& output, const ImageLib_Rect& region) override;
    ImageLib_Rect ComputeBounds() override {
        ImageLib_Rect bounds = ImageLib_Rect::Everything();
        for (ImageLib_ComputeNode* node : inputs) bounds = ImageLib_Rect::Intersect(bounds, node->GetBounds());
        return bounds;
    }
};

// Counts destructions, to prove ownership rules.
class CountedNode : public ImageLib_ComputeNode {
public:
    explicit CountedNode(int* deaths) : deaths_(deaths) {}
    ~CountedNode() override { ++*deaths_; }
    void Compute(ImageLib_ImageAccess&, const ImageLib_Rect&) override {}
    ImageLib_Rect ComputeBounds() override { return {0, 0, 4, 4, false}; }

private:
    int* deaths_;
};

// Reads every sample of an access into floats (through a float view).
std::vector<float> ReadFloats(ImageLib_ImageAccess& access);
// Reads every byte of an access.
std::vector<uint8_t> ReadBytes(ImageLib_ImageAccess& access);
// Writes bytes into an access whose rows hold exactly `bytes` back to back.
void WriteBytes(ImageLib_ImageAccess& access, const std::vector<uint8_t>& bytes);

} // namespace testnodes
