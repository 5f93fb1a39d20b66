#include "host/HostLayer.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

std::shared_ptr<HostLayer> HostLayer::Still(HostImageBuffer image) {
    auto layer = std::make_shared<HostLayer>();
    layer->AddFrame(std::move(image));
    return layer;
}

std::shared_ptr<HostLayer> HostLayer::Sequence(std::vector<HostImageBuffer> frames) {
    auto layer = std::make_shared<HostLayer>();
    for (HostImageBuffer& frame : frames) layer->AddFrame(std::move(frame));
    return layer;
}

int32_t HostLayer::AddFrame(HostImageBuffer image) {
    if (image.Empty()) throw std::invalid_argument("a layer frame needs pixels");
    frames_.push_back(std::move(image));
    return FrameCount() - 1;
}

int32_t HostLayer::FrameAt(int32_t time, int32_t timeStep) const {
    if (frames_.empty() || timeStep <= 0 || time <= 0) return 0;
    return std::min(time / timeStep, FrameCount() - 1);
}

HostImageBuffer& HostLayer::Frame(int32_t frame) {
    return const_cast<HostImageBuffer&>(static_cast<const HostLayer&>(*this).Frame(frame));
}

const HostImageBuffer& HostLayer::Frame(int32_t frame) const {
    if (frames_.empty()) throw std::out_of_range("layer has no frames");
    return frames_[static_cast<size_t>(std::clamp(frame, 0, FrameCount() - 1))];
}

HostImage HostLayer::ImageAt(int32_t time, int32_t timeStep) const {
    if (frames_.empty()) return HostImage{};
    return Frame(FrameAt(time, timeStep)).Image();
}

int32_t HostLayer::Width() const { return frames_.empty() ? 0 : frames_.front().Width(); }

int32_t HostLayer::Height() const { return frames_.empty() ? 0 : frames_.front().Height(); }
