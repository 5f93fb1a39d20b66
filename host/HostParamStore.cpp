#include "host/HostParamStore.h"

#include "host/HostErrors.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace {

std::string Join(const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts) {
        if (!joined.empty()) joined += '/';
        joined += part;
    }
    return joined;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> entries;
    if (text.empty()) return entries;
    size_t start = 0;
    for (;;) {
        const size_t bar = text.find('|', start);
        entries.push_back(text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return entries;
}

bool KnownType(int32_t type) {
    switch (type) {
    case kHostParamLayer:
    case kHostParamSlider:
    case kHostParamFixedSlider:
    case kHostParamCheckbox:
    case kHostParamColor:
    case kHostParamPoint:
    case kHostParamPopup:
    case kHostParamGroupStart:
    case kHostParamGroupEnd:
        return true;
    default:
        return false;
    }
}

int32_t ToFixed(double value) {
    const double scaled = std::round(value * 65536.0);
    if (!(scaled >= INT32_MIN && scaled <= INT32_MAX)) throw std::out_of_range("value outside 16.16 range");
    return static_cast<int32_t>(scaled);
}

} // namespace

std::string HostParam::Name() const { return std::string(record_.name, strnlen(record_.name, sizeof record_.name)); }

void HostParam::Require(int32_t type, const char* what) const { RequireAny({type}, what); }

void HostParam::RequireAny(std::initializer_list<int32_t> types, const char* what) const {
    for (int32_t type : types) {
        if (record_.type == type) return;
    }
    throw std::invalid_argument("parameter " + std::to_string(index_) + " \"" + Name() + "\" (type " +
                                std::to_string(record_.type) + ") is not " + what);
}

void HostParam::PatchPointers() {
    if (record_.type == kHostParamPopup) record_.u.popup.choices = choices_.c_str();
    if (record_.type == kHostParamCheckbox) record_.u.checkbox.label = label_.c_str();
}

int32_t HostParam::Integer() const {
    RequireAny({kHostParamSlider, kHostParamPopup, kHostParamCheckbox}, "an integer slider, popup or checkbox");
    if (record_.type == kHostParamPopup) return record_.u.popup.value;
    if (record_.type == kHostParamCheckbox) return record_.u.checkbox.value;
    return record_.u.slider.value;
}

void HostParam::SetInteger(int32_t value) {
    RequireAny({kHostParamSlider, kHostParamPopup, kHostParamCheckbox}, "an integer slider, popup or checkbox");
    if (record_.type == kHostParamPopup) {
        SetPopup(value);
        return;
    }
    if (record_.type == kHostParamSlider && (value < record_.u.slider.validMin || value > record_.u.slider.validMax)) {
        throw std::out_of_range(Name() + ": " + std::to_string(value) + " outside the valid range");
    }
    if (record_.type == kHostParamCheckbox) {
        record_.u.checkbox.value = value;
        return;
    }
    record_.u.slider.value = value;
}

double HostParam::Number() const {
    Require(kHostParamFixedSlider, "a fixed-point slider");
    return record_.u.slider.value / 65536.0;
}

void HostParam::SetNumber(double value) {
    Require(kHostParamFixedSlider, "a fixed-point slider");
    const int32_t fixed = ToFixed(value);
    if (fixed < record_.u.slider.validMin || fixed > record_.u.slider.validMax) {
        throw std::out_of_range(Name() + ": " + std::to_string(value) + " outside the valid range");
    }
    record_.u.slider.value = fixed;
}

bool HostParam::Checkbox() const {
    Require(kHostParamCheckbox, "a checkbox");
    return record_.u.checkbox.value != 0;
}

void HostParam::SetCheckbox(bool value) {
    Require(kHostParamCheckbox, "a checkbox");
    record_.u.checkbox.value = value ? 1 : 0;
}

HostPixel8 HostParam::Color() const {
    Require(kHostParamColor, "a colour");
    return record_.u.color.value;
}

void HostParam::SetColor(HostPixel8 value) {
    Require(kHostParamColor, "a colour");
    record_.u.color.value = value;
}

HostPointPixels HostParam::Point() const {
    Require(kHostParamPoint, "a point");
    return {record_.u.point.x / 65536.0, record_.u.point.y / 65536.0};
}

void HostParam::SetPoint(double x, double y) {
    Require(kHostParamPoint, "a point");
    record_.u.point.x = ToFixed(x);
    record_.u.point.y = ToFixed(y);
    pointDefault_ = false;
    pointPercent_.reset();
}

void HostParam::SetPointPercent(double x, double y) {
    Require(kHostParamPoint, "a point");
    pointDefault_ = false;
    pointPercent_ = {x, y};
    store_.ApplyPointDefault(*this);
}

std::optional<std::array<double, 2>> HostParam::PointPercent() const {
    if (pointPercent_) return pointPercent_;
    if (pointDefault_)
        return std::array<double, 2>{record_.u.point.defaultX / 65536.0, record_.u.point.defaultY / 65536.0};
    return std::nullopt;
}

int32_t HostParam::Popup() const {
    Require(kHostParamPopup, "a popup");
    return record_.u.popup.value;
}

void HostParam::SetPopup(int32_t value) {
    Require(kHostParamPopup, "a popup");
    if (value < 1 || value > record_.u.popup.choiceCount) {
        throw std::out_of_range(Name() + ": choice " + std::to_string(value) + " does not exist");
    }
    record_.u.popup.value = value;
}

void HostParam::BindLayer(std::shared_ptr<HostLayer> layer) {
    Require(kHostParamLayer, "a layer");
    layer_ = std::move(layer);
    if (index_ == 0) store_.RefreshPointDefaults();
}

HostParamStore::HostParamStore() {
    params_.push_back(std::unique_ptr<HostParam>(new HostParam(*this, 0)));
    params_[0]->record_.type = kHostParamLayer;
}

void HostParamStore::Reset() {
    params_.resize(1);
    openGroups_.clear();
}

int32_t HostParamStore::Add(int32_t index, const HostParamRecord& source) {
    if (index != -1 && index != Count()) return kHostErrBadArgument;
    if (!KnownType(source.type)) return kHostErrBadArgument;

    auto param = std::unique_ptr<HostParam>(new HostParam(*this, Count()));
    HostParamRecord& record = param->record_;
    record = source;
    record.name[sizeof record.name - 1] = '\0';
    const std::string name = param->Name();

    switch (record.type) {
    case kHostParamSlider:
    case kHostParamFixedSlider: {
        const HostSliderValue& s = record.u.slider;
        if (s.validMin > s.validMax || s.defaultValue < s.validMin || s.defaultValue > s.validMax) {
            return kHostErrBadArgument;
        }
        record.u.slider.value = s.defaultValue;
        break;
    }
    case kHostParamCheckbox:
        if (source.u.checkbox.label) param->label_ = source.u.checkbox.label;
        record.u.checkbox.value = record.u.checkbox.defaultValue;
        break;
    case kHostParamColor:
        record.u.color.value = record.u.color.defaultValue;
        break;
    case kHostParamPopup:
        if (!source.u.popup.choices) return kHostErrBadArgument;
        param->choices_ = source.u.popup.choices;
        param->entries_ = Split(param->choices_);
        if (record.u.popup.choiceCount < 1 ||
            static_cast<size_t>(record.u.popup.choiceCount) != param->entries_.size() ||
            record.u.popup.defaultValue < 1 || record.u.popup.defaultValue > record.u.popup.choiceCount) {
            return kHostErrBadArgument;
        }
        record.u.popup.value = record.u.popup.defaultValue;
        break;
    case kHostParamPoint:
        param->pointDefault_ = true;
        break;
    case kHostParamLayer:
        // The module's default (none) is all the host can honour: layers are bound by the program.
        std::memset(&record.u.layer.image, 0, sizeof record.u.layer.image);
        break;
    default:
        break;
    }

    param->group_ = Join(openGroups_);
    if (record.type == kHostParamGroupEnd) {
        if (openGroups_.empty()) return kHostErrBadArgument;
        openGroups_.pop_back();
        param->path_ = param->group_;
    } else {
        param->path_ = param->group_.empty() ? name : param->group_ + "/" + name;
        if (record.type == kHostParamGroupStart) openGroups_.push_back(name);
    }
    param->PatchPointers();
    if (param->pointDefault_) ApplyPointDefault(*param);
    params_.push_back(std::move(param));
    return kHostOk;
}

HostParam& HostParamStore::At(int32_t index) {
    return const_cast<HostParam&>(static_cast<const HostParamStore&>(*this).At(index));
}

const HostParam& HostParamStore::At(int32_t index) const {
    if (index < 0 || index >= Count()) {
        throw std::out_of_range("no parameter at host index " + std::to_string(index));
    }
    return *params_[static_cast<size_t>(index)];
}

HostParam* HostParamStore::FindById(int32_t id) {
    // Entry 0 is the host's input and has no identifier of the module's.
    for (size_t i = 1; i < params_.size(); ++i) {
        if (params_[i]->Id() == id) return params_[i].get();
    }
    return nullptr;
}

HostParam* HostParamStore::FindByPath(std::string_view path) {
    for (size_t i = 1; i < params_.size(); ++i) {
        if (params_[i]->Type() != kHostParamGroupEnd && params_[i]->Path() == path) return params_[i].get();
    }
    return nullptr;
}

HostParam& HostParamStore::ById(int32_t id) {
    if (HostParam* param = FindById(id)) return *param;
    throw std::out_of_range("no parameter with identifier " + std::to_string(id));
}

HostParam& HostParamStore::ByPath(std::string_view path) {
    if (HostParam* param = FindByPath(path)) return *param;
    throw std::out_of_range("no parameter \"" + std::string(path) + "\"");
}

HostParamRecord HostParamStore::RecordAt(int32_t index, int32_t time, int32_t timeStep, bool withImage) const {
    const HostParam& param = At(index);
    HostParamRecord record = param.record_;
    if (record.type == kHostParamLayer) {
        record.u.layer.image = param.layer_ && withImage ? param.layer_->ImageAt(time, timeStep) : HostImage{};
    }
    return record;
}

void HostParamStore::TakeValue(int32_t index, const HostParamRecord& changed) {
    HostParam& param = At(index);
    HostParamRecord& record = param.record_;
    switch (record.type) {
    case kHostParamSlider:
    case kHostParamFixedSlider:
        record.u.slider.value = changed.u.slider.value;
        break;
    case kHostParamCheckbox:
        record.u.checkbox.value = changed.u.checkbox.value;
        break;
    case kHostParamColor:
        record.u.color.value = changed.u.color.value;
        break;
    case kHostParamPoint:
        record.u.point.x = changed.u.point.x;
        record.u.point.y = changed.u.point.y;
        param.pointDefault_ = false;
        param.pointPercent_.reset();
        break;
    case kHostParamPopup:
        record.u.popup.value = changed.u.popup.value;
        break;
    default:
        break;
    }
}

void HostParamStore::ApplyPointDefault(HostParam& param) const {
    const std::shared_ptr<HostLayer>& input = params_[0]->layer_;
    const double width = input ? input->Width() : 0;
    const double height = input ? input->Height() : 0;
    if (param.pointPercent_) {
        param.record_.u.point.x = ToFixed((*param.pointPercent_)[0] * width / 100.0);
        param.record_.u.point.y = ToFixed((*param.pointPercent_)[1] * height / 100.0);
        return;
    }
    param.record_.u.point.x = static_cast<int32_t>(std::llround(param.record_.u.point.defaultX * width / 100.0));
    param.record_.u.point.y = static_cast<int32_t>(std::llround(param.record_.u.point.defaultY * height / 100.0));
}

void HostParamStore::RefreshPointDefaults() {
    for (auto& param : params_) {
        if (param->pointDefault_ || param->pointPercent_) ApplyPointDefault(*param);
    }
}
