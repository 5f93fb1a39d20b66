// The host calls the module once per command; the exported `main` forwards here.
#include "EntryPoint.h"

#include "CallContext.h"
#include "ParamCatalogue.h"
#include "ParamReading.h"
#include "Render.h"
#include "ShellErrors.h"
#include "UiUpdates.h"

#include <cstring>
#include <new>

HostCallContext gCall;

namespace {

constexpr uint32_t kVersion = 0x00180600; // 3.0
constexpr uint32_t kOutFlags = 0x06000055;
constexpr uint32_t kOutFlags2 = 0x00020000;
constexpr int32_t kStringTableMagic = 4230;
constexpr int32_t kAboutMajor = 3;
constexpr int32_t kAboutMinor = 0;

void CopyMessage(const char* text) {
    HostUtils().copyText(HostRef(), text, gCall.out->returnMessage, sizeof gCall.out->returnMessage);
}

int32_t OutOfMemory() {
    CopyMessage("Out of memory.");
    gCall.out->outFlags |= kOutFlagShowMessage;
    return kErrorOutOfMemory;
}

int32_t About() {
    const HostHandle global = gCall.in->globalData;
    const void* table = global && *global ? *static_cast<const void* const*>(*global) : nullptr;
    const char* format = table ? gCall.in->fetchString(table, 0, 0, 0) : nullptr;
    if (!format) return kErrorInternal;
    HostUtils().formatText(HostRef(), gCall.out->returnMessage, sizeof gCall.out->returnMessage, format, kAboutMajor,
                           kAboutMinor);
    return kErrorNone;
}

int32_t GlobalSetup() {
    const void* table = &StringTableHeader();
    int32_t error = gCall.in->registerStrings(&table, kStringTableMagic);
    const bool registered = error == 0;
    HostHandle global = nullptr;
    if (registered) {
        global = HostUtils().newHandle(HostRef(), sizeof(void*));
        if (!global) error = kErrorOutOfMemory;
    }
    if (error != 0) {
        if (registered && table) gCall.in->releaseStrings(&table);
        gCall.out->outFlags |= kOutFlagShowMessage;
        CopyMessage("Texturist could not be initialized.");
        return error;
    }
    *static_cast<const void**>(*global) = table;
    gCall.out->globalData = global;
    gCall.in->globalData = global;
    gCall.out->version = kVersion;
    gCall.out->outFlags = kOutFlags;
    gCall.out->outFlags2 = kOutFlags2;
    return kErrorNone;
}

int32_t GlobalSetdown() {
    const HostHandle global = gCall.in->globalData;
    if (!global) return kErrorNone;
    const void** stored = static_cast<const void**>(*global);
    const void* table = *stored;
    if (table) gCall.in->releaseStrings(&table);
    *stored = nullptr;
    HostUtils().disposeHandle(HostRef(), global);
    gCall.out->globalData = nullptr;
    gCall.in->globalData = nullptr;
    return kErrorNone;
}

int32_t FrameSetup() {
    ParamCheckoutScope scope;
    return SetupFrame();
}

int32_t Render() {
    struct ProgressDone {
        // The host's progress shows complete whether the render finished or failed.
        ~ProgressDone() { gCall.in->progress(HostRef(), 100, 100); }
    } done;
    ParamCheckoutScope scope;
    return RenderFrame();
}

int32_t Dispatch() {
    switch (gCall.selector) {
    case kHostCmdAbout:
        return About();
    case kHostCmdGlobalSetup:
        return GlobalSetup();
    case kHostCmdGlobalSetdown:
        return GlobalSetdown();
    case kHostCmdParamsSetup:
        return SetupParameters();
    case kHostCmdFrameSetup:
        return FrameSetup();
    case kHostCmdRender:
        return Render();
    case kHostCmdUserChangedParam:
        return ParamChanged(gCall.extra);
    case kHostCmdUpdateParamsUi:
        return UpdateParamsUi();
    case kHostCmdEvent:
        gCall.eventRecord = gCall.extra;
        return kErrorNone;
    default:
        return kErrorNone;
    }
}

// Restores the caller's context on every way out of `main`.
class SavedContext {
public:
    SavedContext() : saved_(gCall) {}
    ~SavedContext() { gCall = saved_; }
    SavedContext(const SavedContext&) = delete;
    SavedContext& operator=(const SavedContext&) = delete;

private:
    HostCallContext saved_;
};

} // namespace

float DownsampleFactor(int32_t numerator, uint32_t denominator) {
    if (denominator == 0) return 1.0f;
    return static_cast<float>(numerator) / static_cast<float>(denominator);
}

int32_t TexturistMain(uint32_t selector, HostInData* in, HostOutData* out, HostParamRecord** params, HostImage* output,
                      void* extra) noexcept {
    if (selector >= kHostCmdCount) return kErrorNone;
    SavedContext saved;
    gCall.selector = selector;
    gCall.in = in;
    gCall.out = out;
    gCall.params = params;
    gCall.output = output;
    gCall.extra = extra;
    gCall.eventRecord = nullptr;
    gCall.DownsampleX = in ? DownsampleFactor(in->downsampleXNum, in->downsampleXDen) : 1.0f;
    gCall.DownsampleY = in ? DownsampleFactor(in->downsampleYNum, in->downsampleYDen) : 1.0f;
    if (!in || !out) return kErrorInternal;
    try {
        return Dispatch();
    } catch (const VT_Exit_Exception& exit) {
        return exit.code;
    } catch (const ImageLib_MemoryError&) {
        return OutOfMemory();
    } catch (const std::bad_alloc&) {
        // Graphs, models and buffers of our own come from the plain heap: a
        // refusal there is as much out of memory as the host's.
        return OutOfMemory();
    } catch (...) {
        out->outFlags |= kOutFlagShowMessage;
        return kErrorInternal;
    }
}
