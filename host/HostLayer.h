// A layer of the substitute host: in-memory images by frame number.
//
// Frame numbers count from 0; the frame at a time is time / timeStep
// (truncated; a time step of 0 or less reads frame 0). A time before the first
// frame reads frame 0 and a time beyond the last frame reads the last frame,
// so a layer of one frame is a still that serves every time. A layer without
// frames reads as "no layer": an image record whose pixel pointer is null.
//
// The images handed out are views of the layer's own pixels; they stay valid
// while the layer lives and no frame is added. A layer made `OnDemand` reads
// its frames when they are first asked for and keeps the last `keep` of them:
// footage of any length costs the memory of a few frames, and an image handed
// out stays valid until `keep` other frames have been read. A failed read
// throws out of the call that asked for the frame.
#pragma once

#include "host/HostImageBuffer.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <utility>
#include <vector>

class HostLayer {
public:
    HostLayer() = default;
    static std::shared_ptr<HostLayer> Still(HostImageBuffer image);
    static std::shared_ptr<HostLayer> Sequence(std::vector<HostImageBuffer> frames);
    using Loader = std::function<HostImageBuffer(int32_t frame)>;
    // `frameCount` frames, of which frame 0 is `first` (it sets the layer's size).
    static std::shared_ptr<HostLayer> OnDemand(int32_t frameCount, HostImageBuffer first, Loader load,
                                               int32_t keep = 2);

    // Appends the next frame; returns its frame number.
    int32_t AddFrame(HostImageBuffer image);

    int32_t FrameCount() const { return load_ ? count_ : static_cast<int32_t>(frames_.size()); }
    // Frames read so far (every frame of a layer that is not on demand).
    int32_t FramesRead() const { return load_ ? read_ : FrameCount(); }
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
    // On demand: the frames read last, most recent first.
    Loader load_;
    int32_t count_ = 0;
    int32_t keep_ = 0;
    int32_t width_ = 0, height_ = 0;
    mutable int32_t read_ = 0;
    mutable std::list<std::pair<int32_t, HostImageBuffer>> kept_;
};
