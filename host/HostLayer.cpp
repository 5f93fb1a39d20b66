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

std::shared_ptr<HostLayer> HostLayer::OnDemand(int32_t frameCount, HostImageBuffer first, Loader load, int32_t keep) {
    if (first.Empty() || frameCount < 1 || !load) throw std::invalid_argument("an on-demand layer needs frames");
    auto layer = std::make_shared<HostLayer>();
    layer->count_ = frameCount;
    layer->keep_ = std::max(keep, 1);
    layer->width_ = first.Width(), layer->height_ = first.Height();
    layer->kept_.emplace_front(0, std::move(first));
    layer->read_ = 1;
    layer->load_ = std::move(load);
    return layer;
}

int32_t HostLayer::AddFrame(HostImageBuffer image) {
    if (load_) throw std::logic_error("frames of an on-demand layer are read, not added");
    if (image.Empty()) throw std::invalid_argument("a layer frame needs pixels");
    frames_.push_back(std::move(image));
    return FrameCount() - 1;
}

int32_t HostLayer::FrameAt(int32_t time, int32_t timeStep) const {
    if (FrameCount() == 0 || timeStep <= 0 || time <= 0) return 0;
    return std::min(time / timeStep, FrameCount() - 1);
}

HostImageBuffer& HostLayer::Frame(int32_t frame) {
    return const_cast<HostImageBuffer&>(static_cast<const HostLayer&>(*this).Frame(frame));
}

const HostImageBuffer& HostLayer::Frame(int32_t frame) const {
    if (FrameCount() == 0) throw std::out_of_range("layer has no frames");
    frame = std::clamp(frame, 0, FrameCount() - 1);
    if (!load_) return frames_[static_cast<size_t>(frame)];
    for (auto kept = kept_.begin(); kept != kept_.end(); ++kept) {
        if (kept->first != frame) continue;
        kept_.splice(kept_.begin(), kept_, kept);
        return kept_.front().second;
    }
    HostImageBuffer image = load_(frame);
    if (image.Empty()) throw std::invalid_argument("a layer frame needs pixels");
    ++read_;
    kept_.emplace_front(frame, std::move(image));
    while (static_cast<int32_t>(kept_.size()) > keep_) kept_.pop_back();
    return kept_.front().second;
}

HostImage HostLayer::ImageAt(int32_t time, int32_t timeStep) const {
    if (FrameCount() == 0) return HostImage{};
    return Frame(FrameAt(time, timeStep)).Image();
}

int32_t HostLayer::Width() const { return load_ ? width_ : frames_.empty() ? 0 : frames_.front().Width(); }

int32_t HostLayer::Height() const { return load_ ? height_ : frames_.empty() ? 0 : frames_.front().Height(); }
