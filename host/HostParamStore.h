// The host's parameters: what the module declares at parameter setup, with
// the values that the program (a test, the renderer) sets.
//
// Entry 0 is the host's own input layer; the module adds the others through
// the add-parameter service, in host index order. Every record is copied and
// every text it points to (popup choices, checkbox labels) is copied too, so
// the module may reuse its buffers after adding. Values start at the declared
// defaults.
//
// Groups: a group start opens a group named by its record, a group end (empty
// name) closes the innermost one. `Group()` is the path of the enclosing
// groups ("Preview Region", "Tweaking/Channel Size"), `Path()` the group path
// with the parameter's own name appended ("Preview Region/Width"). A group end
// reports the path of the group it closes as both.
//
// Points: a point that was never set follows its default, given in percent
// of the layer size: its pixel value is recomputed from the input layer's
// size (frame 0) whenever the point is added and whenever the input layer is
// bound, and is (0, 0) while no input layer is bound. Setting a point fixes it
// in pixels; setting it in percent makes it follow the input's size as a
// default does. Values are not animated: a parameter reads the same at all times;
// only layers change with time (see HostLayer).
//
// Programmatic setters check the parameter's type (std::invalid_argument) and
// the declared range (std::out_of_range): integer sliders their valid range,
// fixed-point sliders their valid range after conversion to 16.16 (rounded to
// nearest), popups 1..number of choices.
#pragma once

#include "host/HostLayer.h"
#include "interface/HostInterface.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class HostParamStore;

struct HostPointPixels {
    double x = 0;
    double y = 0;
    friend bool operator==(const HostPointPixels&, const HostPointPixels&) = default;
};

class HostParam {
public:
    HostParam(const HostParam&) = delete;
    HostParam& operator=(const HostParam&) = delete;

    int32_t Index() const { return index_; }
    int32_t Id() const { return record_.id; }
    int32_t Type() const { return record_.type; }
    std::string Name() const;
    const std::string& Group() const { return group_; }
    const std::string& Path() const { return path_; }
    uint32_t UiFlags() const { return record_.uiFlags; }
    void SetUiFlags(uint32_t flags) { record_.uiFlags = flags; }
    uint32_t Flags() const { return record_.flags; }
    bool Enabled() const { return (record_.uiFlags & kHostUiDisabled) == 0; }
    // The stored record; text pointers point at the store's own copies.
    const HostParamRecord& Record() const { return record_; }

    const std::string& Choices() const { return choices_; }                   // popups: the whole text
    const std::vector<std::string>& PopupEntries() const { return entries_; } // popups: split on '|'
    const std::string& Label() const { return label_; }                       // checkboxes

    int32_t Integer() const; // integer sliders, popups, checkboxes
    void SetInteger(int32_t value);
    double Number() const; // fixed-point sliders, percent sliders included: value / 65536
    void SetNumber(double value);
    bool Checkbox() const;
    void SetCheckbox(bool value);
    HostPixel8 Color() const;
    void SetColor(HostPixel8 value);
    HostPointPixels Point() const;
    void SetPoint(double x, double y);
    bool PointFollowsDefault() const { return pointDefault_; }
    void SetPointPercent(double x, double y);
    // The point's position in percent of the input when it follows the input's size.
    std::optional<std::array<double, 2>> PointPercent() const;
    int32_t Popup() const;
    void SetPopup(int32_t value);

    // Layer parameters (the input layer included); null unbinds.
    void BindLayer(std::shared_ptr<HostLayer> layer);
    const std::shared_ptr<HostLayer>& Layer() const { return layer_; }

private:
    friend class HostParamStore;
    HostParam(HostParamStore& store, int32_t index) : store_(store), index_(index) {}
    void Require(int32_t type, const char* what) const;
    void RequireAny(std::initializer_list<int32_t> types, const char* what) const;
    void PatchPointers();

    HostParamStore& store_;
    int32_t index_;
    HostParamRecord record_{};
    std::string group_;
    std::string path_;
    std::string choices_;
    std::string label_;
    std::vector<std::string> entries_;
    std::shared_ptr<HostLayer> layer_;
    bool pointDefault_ = false;
    std::optional<std::array<double, 2>> pointPercent_;
};

class HostParamStore {
public:
    HostParamStore();
    HostParamStore(const HostParamStore&) = delete;
    HostParamStore& operator=(const HostParamStore&) = delete;

    // Back to the input layer alone (its binding stays), before a new parameter setup.
    void Reset();
    // The add-parameter service: index -1 or Count() appends. Returns kHostOk or
    // kHostErrBadArgument (other index, unknown type, group end without a start,
    // popup without choices or with a count that differs from its entries,
    // slider range or default out of order).
    int32_t Add(int32_t index, const HostParamRecord& record);

    int32_t Count() const { return static_cast<int32_t>(params_.size()); }
    HostParam& At(int32_t index);
    const HostParam& At(int32_t index) const;
    HostParam& Input() { return At(0); }
    // Lookups by identifier (the first parameter with it) and by Path(); the
    // references throw std::out_of_range, the pointers return null.
    HostParam& ById(int32_t id);
    HostParam& ByPath(std::string_view path);
    HostParam* FindById(int32_t id);
    HostParam* FindByPath(std::string_view path);
    int32_t OpenGroups() const { return static_cast<int32_t>(openGroups_.size()); }

    // The record handed to the module for a call or a check-out at a time: a
    // copy of the stored record, for a layer with the image of the frame at
    // that time (pixel pointer null when no layer is bound, or, with
    // `withImage` false, in any case).
    HostParamRecord RecordAt(int32_t index, int32_t time, int32_t timeStep, bool withImage = true) const;
    // Takes over the value area of a record the module marked as changed.
    void TakeValue(int32_t index, const HostParamRecord& record);

private:
    friend class HostParam;
    void ApplyPointDefault(HostParam& param) const;
    void RefreshPointDefaults();

    std::vector<std::unique_ptr<HostParam>> params_;
    std::vector<std::string> openGroups_;
};
