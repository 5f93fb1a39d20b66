// A layer of the substitute host: in-memory images by frame number.
//
// Frame numbers count from 0; the frame at a time is time / timeStep
// (truncated; a time step of 0 or less reads frame 0). A time before the first
// frame reads frame 0 and a time beyond the last frame reads the last frame,
// so a layer of one frame is a still that serves every time. A layer without
// frames reads as "no layer": an image record whose pixel pointer is null.
//
// The images handed out are views of the layer's own pixels; they stay valid
// while the layer lives and no frame is added.
#pragma once

#include "host/HostImageBuffer.h"

#include <cstdint>
#include <memory>
#include <vector>

class HostLayer {
public:
    HostLayer() = default;
    static std::shared_ptr<HostLayer> Still(HostImageBuffer image);
    static std::shared_ptr<HostLayer> Sequence(std::vector<HostImageBuffer> frames);

    // Appends the next frame; returns its frame number.
    int32_t AddFrame(HostImageBuffer image);

    int32_t FrameCount() const { return static_cast<int32_t>(frames_.size()); }
    // The frame number read at a time, after clamping; 0 for an empty layer.
    int32_t FrameAt(int32_t time, int32_t timeStep) const;
    // Frame by number, clamped like FrameAt; std::out_of_range for an empty layer.
    HostImageBuffer& Frame(int32_t frame);
    const HostImageBuffer& Frame(int32_t frame) const;
    // A copy of the image record of the frame at a time; zeroed when empty.
    HostImage ImageAt(int32_t time, int32_t timeStep) const;

    // Size of frame 0: the layer size that percent positions refer to.
    int32_t Width() const;
    int32_t Height() const;

private:
    std::vector<HostImageBuffer> frames_;
};
