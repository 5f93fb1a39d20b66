// A small module that the host runtime's tests load with dlopen. On each
// command it uses the host's services the way a real module does, so the
// tests see the runtime through the same boundary as the effect:
// - global setup registers a string table, fetches string 1 into the return
//   message and keeps the registered table in an 8-byte global handle;
// - parameter setup declares one parameter of each type and two nested
//   groups, taking names and choices from the string table and handing the
//   host texts from buffers it overwrites right afterwards;
// - frame setup sizes the output like the source layer in mode Copy Frame and
//   like the input elsewhere;
// - render does what the "Render Mode" popup says (FixtureMode below) and
//   leaves every check-out, image and handle balanced on every path;
// - a change of "Count" copies it into "Frame" (marking the value changed),
//   and the UI update disables "Gain" while "Enabled" is off.
#include "interface/HostInterface.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

extern "C" __attribute__((section(HOST_PROPERTY_SECTION), used, visibility("hidden")))
const HostModuleProperties kFixtureProperties = {"VTPROPS", 1, "Host Fixture", "Testing", "main"};

namespace {

// Host indices, in declaration order.
enum FixtureIndex : int32_t {
    kInput = 0,
    kMode = 1,
    kSource = 2,
    kFrame = 3,
    kGain = 4,
    kAmount = 5,
    kEnabled = 6,
    kTint = 7,
    kCenterPoint = 8,
    kOuter = 9,
    kInner = 10,
    kCount = 11,
    kInnerEnd = 12,
    kOuterEnd = 13,
    kParamCount = 14,
};

enum FixtureMode : int32_t {
    kCopyFrame = 1,  // check out "Source Layer" at frame "Frame" (input if none) and copy it to the output
    kStretch = 2,    // new image of the output's size, scaled copy of the source, onto the output
    kCenterMode = 3, // new image cleared by fill, source centred in it, onto the output
    kIterate = 4,    // iterate "Count" indices and report what ran where
    kHandles = 5,    // "Count" handles: write, unlock, relock, verify, dispose
    kProgress = 6,   // "Count" abort checks and progress reports while holding a handle and a check-out
    kMisuse = 7,     // allocate handles from iterate bodies (which only the calling thread may do)
};

constexpr int32_t kModuleError = 512;
constexpr int32_t kOutOfMemory = 4;

HostStringEntry kStrings[] = {
    {"$$$/FX/Fixture/0000=Host Fixture", {0, 0, 0}},
    {"$$$/FX/Fixture/0001=Animate Smoothly{{*COMMENT*}}checkbox determines animation smoothness", {0, 0, 0}},
    {"$$$/FX/Fixture/0002=Copy Frame|Stretch|Center|Iterate|Handles|Progress|Misuse", {0, 0, 0}},
    {"$$$/FX/Fixture/0003=Render Mode", {0, 0, 0}},
    {nullptr, {~0ull, ~0ull, 0}},
};
const HostStringTableHeader kStringTable = {"FX", 5, kStrings};

struct Call {
    HostInData* in;
    HostOutData* out;
    HostParamRecord** params;
    HostEffectRef ref;
    HostUtilities* utils;
};

const void* RegisteredTable(const Call& c) {
    if (c.in->globalData == nullptr) return nullptr;
    auto* block = static_cast<const void**>(c.utils->lockHandle(c.ref, c.in->globalData));
    const void* table = block ? *block : nullptr;
    c.utils->unlockHandle(c.ref, c.in->globalData);
    return table;
}

const char* Text(const Call& c, int32_t number) {
    const char* text = c.in->fetchString(RegisteredTable(c), number, 0, 0);
    return text ? text : "";
}

int32_t GlobalSetup(const Call& c) {
    const void* table = &kStringTable;
    int32_t rc = c.in->registerStrings(&table, 4230);
    if (rc != 0) return rc;
    HostHandle handle = c.utils->newHandle(c.ref, 8);
    if (handle == nullptr) {
        c.in->releaseStrings(&table);
        return kOutOfMemory;
    }
    auto* block = static_cast<const void**>(c.utils->lockHandle(c.ref, handle));
    *block = table;
    c.utils->unlockHandle(c.ref, handle);
    c.out->globalData = handle;
    c.in->globalData = handle;
    c.out->version = 0x00010002;
    c.utils->copyText(c.ref, c.in->fetchString(table, 1, 0, 0), c.out->returnMessage,
                      static_cast<int32_t>(sizeof c.out->returnMessage));
    return 0;
}

int32_t GlobalSetdown(const Call& c) {
    const void* table = RegisteredTable(c);
    int32_t rc = c.in->releaseStrings(&table);
    c.utils->disposeHandle(c.ref, c.in->globalData);
    c.out->globalData = nullptr;
    c.in->globalData = nullptr;
    return rc;
}

HostParamRecord Define(int32_t id, int32_t type, const char* name) {
    HostParamRecord r;
    std::memset(&r, 0, sizeof r);
    r.id = id;
    r.type = type;
    r.flags = kHostParamCollapsed;
    std::strncpy(r.name, name, sizeof r.name - 1);
    return r;
}

int32_t ParamsSetup(const Call& c) {
    c.out->numParams = 1;
    int32_t rc = 0;
    auto add = [&](HostParamRecord record) {
        if (rc == 0) {
            rc = c.in->addParam(c.ref, -1, &record);
            if (rc == 0) ++c.out->numParams;
        }
    };
    // The host must copy these texts: both buffers are overwritten once added.
    char choices[128];
    char label[32];
    std::strncpy(choices, Text(c, 2), sizeof choices - 1);
    choices[sizeof choices - 1] = '\0';
    std::strcpy(label, "Enable it");

    HostParamRecord mode = Define(101, kHostParamPopup, Text(c, 3));
    mode.u.popup.choiceCount = 7;
    mode.u.popup.defaultValue = kCopyFrame;
    mode.u.popup.choices = choices;
    add(mode);
    std::memset(choices, 'x', sizeof choices - 1);

    add(Define(102, kHostParamLayer, "Source Layer"));

    HostParamRecord frame = Define(103, kHostParamSlider, "Frame");
    frame.u.slider.validMin = 0;
    frame.u.slider.validMax = 1000;
    frame.u.slider.sliderMin = 0;
    frame.u.slider.sliderMax = 100;
    frame.u.slider.defaultValue = 0;
    add(frame);

    HostParamRecord gain = Define(104, kHostParamFixedSlider, "Gain");
    gain.u.slider.validMin = 0;
    gain.u.slider.validMax = 10 << 16;
    gain.u.slider.sliderMin = 0;
    gain.u.slider.sliderMax = 5 << 16;
    gain.u.slider.defaultValue = 3 << 15; // 1.5
    gain.u.slider.precision = 3;
    add(gain);

    HostParamRecord amount = Define(105, kHostParamFixedSlider, "Amount");
    amount.u.slider.validMin = 0;
    amount.u.slider.validMax = 100 << 16;
    amount.u.slider.sliderMin = 0;
    amount.u.slider.sliderMax = 100 << 16;
    amount.u.slider.defaultValue = 25 << 16;
    amount.u.slider.precision = 1;
    amount.u.slider.displayFlags = 1;
    add(amount);

    HostParamRecord enabled = Define(106, kHostParamCheckbox, "Enabled");
    enabled.u.checkbox.value = 0; // the host starts from the default, not from this
    enabled.u.checkbox.defaultValue = 1;
    enabled.u.checkbox.label = label;
    add(enabled);
    std::strcpy(label, "overwritten");

    HostParamRecord tint = Define(107, kHostParamColor, "Tint");
    tint.u.color.defaultValue = {255, 200, 100, 50};
    add(tint);

    HostParamRecord center = Define(108, kHostParamPoint, "Center");
    center.u.point.defaultX = 25 << 16;
    center.u.point.defaultY = 75 << 16;
    center.u.point.restrictToLayer = 1;
    add(center);

    add(Define(109, kHostParamGroupStart, "Outer"));
    add(Define(111, kHostParamGroupStart, "Inner"));
    HostParamRecord count = Define(113, kHostParamSlider, "Count");
    count.u.slider.validMin = 0;
    count.u.slider.validMax = 4096;
    count.u.slider.sliderMin = 0;
    count.u.slider.sliderMax = 64;
    count.u.slider.defaultValue = 8;
    count.flags |= kHostParamSupervised;
    add(count);
    add(Define(112, kHostParamGroupEnd, ""));
    add(Define(110, kHostParamGroupEnd, ""));
    return rc;
}

// A checked-out record released on every way out of a scope.
class Checkout {
public:
    Checkout(const Call& c, int32_t index, int32_t time) : c_(c) {
        rc_ = c.in->checkoutParam(c.ref, index, time, c.in->timeStep, c.in->timeScale, &record_);
    }
    ~Checkout() {
        if (rc_ == 0) c_.in->checkinParam(c_.ref, &record_);
    }
    Checkout(const Checkout&) = delete;
    Checkout& operator=(const Checkout&) = delete;
    int32_t rc() const { return rc_; }
    HostImage& image() { return record_.u.layer.image; }

private:
    const Call& c_;
    HostParamRecord record_{};
    int32_t rc_;
};

int32_t SourceTime(const Call& c) { return c.params[kFrame]->u.slider.value * c.in->timeStep; }

int32_t FrameSetup(const Call& c) {
    if (c.params[kMode]->u.popup.value == kCopyFrame) {
        Checkout source(c, kSource, SourceTime(c));
        if (source.rc() != 0) return source.rc();
        if (source.image().pixels != nullptr) {
            c.out->width = source.image().width;
            c.out->height = source.image().height;
            return 0;
        }
    }
    c.out->width = c.params[kInput]->u.layer.image.width;
    c.out->height = c.params[kInput]->u.layer.image.height;
    return 0;
}

int32_t CopyFrame(const Call& c, HostImage* output) {
    Checkout source(c, kSource, SourceTime(c));
    if (source.rc() != 0) return source.rc();
    if (source.image().pixels == nullptr) {
        Checkout input(c, kInput, SourceTime(c));
        if (input.rc() != 0) return input.rc();
        return c.utils->copyImage(c.ref, &input.image(), output, nullptr, nullptr);
    }
    return c.utils->copyImage(c.ref, &source.image(), output, nullptr, nullptr);
}

int32_t Fit(const Call& c, HostImage* output, bool stretch) {
    Checkout source(c, kSource, c.in->currentTime);
    if (source.rc() != 0) return source.rc();
    if (source.image().pixels == nullptr) return kModuleError;
    HostImage fitted;
    int32_t rc = c.utils->newImage(c.ref, output->width, output->height, output->flags & kHostImageDeep, &fitted);
    if (rc != 0) return rc;
    if (stretch) {
        rc = c.utils->copyImage(c.ref, &source.image(), &fitted, nullptr, nullptr);
    } else {
        rc = c.utils->fillImage(c.ref, nullptr, nullptr, &fitted);
        const int32_t w = source.image().width;
        const int32_t h = source.image().height;
        const int32_t dx = (fitted.width - w) / 2;
        const int32_t dy = (fitted.height - h) / 2;
        const HostRect from = {0, 0, w, h};
        const HostRect to = {dx, dy, dx + w, dy + h};
        if (rc == 0) rc = c.utils->copyImage(c.ref, &source.image(), &fitted, &from, &to);
    }
    if (rc == 0) rc = c.utils->copyImage(c.ref, &fitted, output, nullptr, nullptr);
    const int32_t disposed = c.utils->disposeImage(c.ref, &fitted);
    return rc != 0 ? rc : disposed;
}

struct IterateState {
    std::atomic<int32_t> hits[4096];
    std::atomic<int32_t> maxThread{-1};
    std::atomic<int32_t> lastIndex{-1};
    std::atomic<bool> inOrder{true};
    std::mutex lock;
    std::set<std::thread::id> threads;
    HostEffectRef ref;
    HostUtilities* utils;
    bool misuse;
};

int32_t IterateBody(void* context, int32_t thread, int32_t index, int32_t) {
    auto* state = static_cast<IterateState*>(context);
    state->hits[index].fetch_add(1);
    if (state->lastIndex.exchange(index) >= index) state->inOrder.store(false);
    for (int32_t seen = state->maxThread.load();
         thread > seen && !state->maxThread.compare_exchange_weak(seen, thread);) {}
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->threads.insert(std::this_thread::get_id());
    }
    if (state->misuse) {
        HostHandle handle = state->utils->newHandle(state->ref, 4);
        if (handle) state->utils->disposeHandle(state->ref, handle);
    }
    // Long enough for the other workers to take a share of the indices.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    return 0;
}

int32_t Iterate(const Call& c, bool misuse) {
    const int32_t count = c.params[kCount]->u.slider.value;
    auto* state = new IterateState();
    for (auto& hit : state->hits) hit.store(0);
    state->ref = c.ref;
    state->utils = c.utils;
    state->misuse = misuse;
    int32_t rc = 0;
    const bool serial = c.utils->iterate == nullptr;
    if (serial) {
        for (int32_t i = 0; i < count && rc == 0; ++i) rc = IterateBody(state, 0, i, count);
    } else {
        rc = c.utils->iterate(c.ref, count, state, &IterateBody);
    }
    int32_t distinct = 0;
    int32_t once = 1;
    for (int32_t i = 0; i < count; ++i) {
        distinct += state->hits[i].load() > 0 ? 1 : 0;
        once &= state->hits[i].load() == 1 ? 1 : 0;
    }
    c.utils->formatText(c.ref, c.out->returnMessage, static_cast<int32_t>(sizeof c.out->returnMessage),
                        "rc=%d indices=%d once=%d threads=%d maxThread=%d serial=%d ordered=%d", rc, distinct, once,
                        static_cast<int>(state->threads.size()), state->maxThread.load(), serial ? 1 : 0,
                        state->inOrder.load() ? 1 : 0);
    delete state;
    return rc;
}

int32_t Handles(const Call& c) {
    const int32_t count = c.params[kCount]->u.slider.value;
    HostHandle handles[64] = {};
    if (count > 64) return kModuleError;
    int32_t rc = 0;
    for (int32_t i = 0; i < count && rc == 0; ++i) {
        handles[i] = c.utils->newHandle(c.ref, 16u * static_cast<uint32_t>(i + 1));
        if (handles[i] == nullptr) {
            rc = kOutOfMemory;
            break;
        }
        auto* bytes = static_cast<uint8_t*>(c.utils->lockHandle(c.ref, handles[i]));
        std::memset(bytes, i + 1, 16u * static_cast<uint32_t>(i + 1));
        c.utils->unlockHandle(c.ref, handles[i]);
    }
    for (int32_t i = 0; i < count && rc == 0; ++i) {
        const uint64_t size = c.utils->handleSize(c.ref, handles[i]);
        auto* bytes = static_cast<const uint8_t*>(c.utils->lockHandle(c.ref, handles[i]));
        bool intact = size == 16u * static_cast<uint32_t>(i + 1);
        for (uint64_t b = 0; intact && b < size; ++b) intact = bytes[b] == i + 1;
        c.utils->unlockHandle(c.ref, handles[i]);
        if (!intact) {
            c.utils->copyText(c.ref, "handle contents lost", c.out->returnMessage, 256);
            rc = kModuleError;
        }
    }
    for (int32_t i = 0; i < count; ++i) {
        if (handles[i]) c.utils->disposeHandle(c.ref, handles[i]);
    }
    return rc;
}

int32_t Progress(const Call& c) {
    const int32_t count = c.params[kCount]->u.slider.value;
    Checkout input(c, kInput, c.in->currentTime);
    if (input.rc() != 0) return input.rc();
    HostHandle scratch = c.utils->newHandle(c.ref, 256);
    if (scratch == nullptr) return kOutOfMemory;
    int32_t rc = 0;
    for (int32_t i = 0; i <= count && rc == 0; ++i) {
        rc = c.in->abort(c.ref);
        if (rc == 0) rc = c.in->progress(c.ref, i, count);
    }
    c.utils->disposeHandle(c.ref, scratch);
    return rc;
}

int32_t Render(const Call& c, HostImage* output) {
    if (output == nullptr) return kModuleError;
    switch (c.params[kMode]->u.popup.value) {
    case kCopyFrame:
        return CopyFrame(c, output);
    case kStretch:
        return Fit(c, output, true);
    case kCenterMode:
        return Fit(c, output, false);
    case kIterate:
        return Iterate(c, false);
    case kHandles:
        return Handles(c);
    case kProgress:
        return Progress(c);
    case kMisuse:
        return Iterate(c, true);
    default:
        return kModuleError;
    }
}

int32_t UpdateUi(const Call& c) {
    const void* suite = nullptr;
    int32_t rc = c.in->suites->acquireSuite(c.ref, "PF Param Utils Suite", 2, &suite);
    if (rc != 0) return rc;
    HostParamRecord* gain = c.params[kGain];
    gain->uiFlags &= ~kHostUiDisabled;
    if (c.params[kEnabled]->u.checkbox.value == 0) gain->uiFlags |= kHostUiDisabled;
    rc = static_cast<const HostParamUtilsSuite*>(suite)->updateParamUi(c.ref, kGain, gain);
    c.in->suites->releaseSuite(c.ref, "PF Param Utils Suite", 2);
    return rc;
}

int32_t ChangedParam(const Call& c, const void* extra) {
    int32_t index;
    std::memcpy(&index, extra, sizeof index);
    if (index == kCount) {
        c.params[kFrame]->u.slider.value = c.params[kCount]->u.slider.value;
        c.params[kFrame]->id = 1;
        c.out->outFlags = 0x00020000;
    }
    return UpdateUi(c);
}

int32_t About(const Call& c) {
    return c.utils->formatText(c.ref, c.out->returnMessage, static_cast<int32_t>(sizeof c.out->returnMessage),
                               "%s, v%d.%d", Text(c, 0), 1, 2);
}

} // namespace

extern "C" __attribute__((visibility("default"))) int32_t FixtureMain(uint32_t selector, HostInData* in,
                                                                      HostOutData* out, HostParamRecord** params,
                                                                      HostImage* output, void* extra) __asm__("main");

extern "C" int32_t FixtureMain(uint32_t selector, HostInData* in, HostOutData* out, HostParamRecord** params,
                               HostImage* output, void* extra) {
    const Call c{in, out, params, in->effectRef, in->utils};
    switch (selector) {
    case kHostCmdAbout:
        return About(c);
    case kHostCmdGlobalSetup:
        return GlobalSetup(c);
    case kHostCmdGlobalSetdown:
        return GlobalSetdown(c);
    case kHostCmdParamsSetup:
        return ParamsSetup(c);
    case kHostCmdFrameSetup:
        return FrameSetup(c);
    case kHostCmdRender:
        return Render(c, output);
    case kHostCmdUserChangedParam:
        return ChangedParam(c, extra);
    case kHostCmdUpdateParamsUi:
        return UpdateUi(c);
    default:
        return 0;
    }
}
