#include "host/HostRuntime.h"

#include "host/HostImageOps.h"
#include "host/HostModule.h"
#include "host/HostStringTables.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace {

constexpr const char* kParamUtilsSuite = "PF Param Utils Suite";
constexpr int32_t kParamUtilsVersion = 2;
constexpr int32_t kValueChangedMark = 1;
constexpr uint8_t kFreshImage = 0xCD;

// The runtime whose call is running on this thread: the string-table services
// carry no effect reference and find their owner through it.
thread_local HostRuntime* tCurrent = nullptr;

class CurrentScope {
public:
    explicit CurrentScope(HostRuntime* runtime) : saved_(tCurrent) { tCurrent = runtime; }
    ~CurrentScope() { tCurrent = saved_; }
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;

private:
    HostRuntime* saved_;
};

} // namespace

// A service is a C function: memory the host itself cannot get is a refusal
// the caller sees as a code (or a null result), never an exception thrown
// into the module's frames.
template <auto Service> struct Guarded;
template <class Result, class... Args, Result (*Service)(Args...)> struct Guarded<Service> {
    static Result Call(Args... args) {
        try {
            return Service(args...);
        } catch (const std::bad_alloc&) {
            if constexpr (std::is_same_v<Result, int32_t>) return kHostErrOutOfMemory;
            if constexpr (!std::is_void_v<Result>) return Result{};
        }
    }
};

// The service functions placed in the host's tables. Each finds its runtime
// through the effect reference (or, for strings, the current call).
struct HostServices {
    static HostRuntime* From(HostEffectRef ref) {
        auto* runtime = static_cast<HostRuntime*>(ref);
        return runtime != nullptr && runtime->magic_ == HostRuntime::kMagic ? runtime : nullptr;
    }

    static int32_t CheckoutParam(HostEffectRef ref, int32_t index, int32_t time, int32_t timeStep, uint32_t,
                                 HostParamRecord* record) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::CheckoutParam, &fault)) return fault;
        if (record == nullptr || index < 0 || index >= rt->params_.Count()) return kHostErrBadArgument;
        try {
            *record = rt->params_.RecordAt(index, time, timeStep > 0 ? timeStep : rt->timeline_.timeStep);
        } catch (...) {
            // A layer read on demand whose frame cannot be read: nothing may cross into the module.
            rt->layerFailure_ = std::current_exception();
            return kHostErrBadArgument;
        }
        ++rt->checkouts_[record];
        ++rt->outstandingCheckouts_;
        return kHostOk;
    }

    static int32_t CheckinParam(HostEffectRef ref, HostParamRecord* record) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::CheckinParam, &fault)) return fault;
        const auto found = rt->checkouts_.find(record);
        if (found == rt->checkouts_.end()) {
            ++rt->misuse_;
            return kHostErrBadArgument;
        }
        if (--found->second == 0) rt->checkouts_.erase(found);
        --rt->outstandingCheckouts_;
        return kHostOk;
    }

    static int32_t AddParam(HostEffectRef ref, int32_t index, HostParamRecord* record) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::AddParam, &fault)) return fault;
        if (record == nullptr || rt->selectors_.empty() || rt->selectors_.back() != kHostCmdParamsSetup) {
            return kHostErrBadArgument;
        }
        return rt->params_.Add(index, *record);
    }

    static int32_t Abort(HostEffectRef ref) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::Abort, &fault)) return fault;
        return rt->CheckCancel();
    }

    static int32_t Progress(HostEffectRef ref, int32_t done, int32_t total) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::Progress, &fault)) return fault;
        rt->progress_.push_back({done, total});
        if (rt->progressCallback_) rt->progressCallback_(done, total);
        return rt->CheckCancel();
    }

    static int32_t RegisterStrings(const void** table, int32_t magic) {
        HostRuntime* rt = tCurrent;
        int32_t fault;
        if (rt && rt->Enter(HostService::RegisterStrings, &fault)) return fault;
        return HostStringTables::Instance().Register(table, magic, rt);
    }

    static const char* FetchString(const void* table, int32_t number, int32_t, int32_t) {
        HostRuntime* rt = tCurrent;
        if (rt && rt->Enter(HostService::FetchString)) return nullptr;
        return HostStringTables::Instance().Fetch(table, number);
    }

    static int32_t ReleaseStrings(const void** table) {
        HostRuntime* rt = tCurrent;
        int32_t fault;
        if (rt && rt->Enter(HostService::ReleaseStrings, &fault)) return fault;
        const int32_t code = HostStringTables::Instance().Release(table);
        if (code != kHostOk && rt) ++rt->misuse_;
        return code;
    }

    static int32_t CopyImage(HostEffectRef ref, const HostImage* source, HostImage* destination,
                             const HostRect* sourceRect, const HostRect* destinationRect) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::CopyImage, &fault)) return fault;
        if (source == nullptr || destination == nullptr) return kHostErrBadArgument;
        return HostCopyImage(*source, *destination, sourceRect, destinationRect);
    }

    static int32_t FillImage(HostEffectRef ref, const HostPixel8* color, const HostRect* rect, HostImage* image) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::FillImage, &fault)) return fault;
        if (image == nullptr) return kHostErrBadArgument;
        return HostFillImage(*image, color, rect);
    }

    static int32_t NewImage(HostEffectRef ref, int32_t width, int32_t height, uint32_t flags, HostImage* image) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::NewImage, &fault)) return fault;
        if (image == nullptr || width < 0 || height < 0) return kHostErrBadArgument;
        std::unique_ptr<HostImageBuffer> buffer;
        try {
            buffer = std::make_unique<HostImageBuffer>(width, height, (flags & kHostImageDeep) != 0, 0, kFreshImage);
        } catch (const std::bad_alloc&) {
            return kHostErrOutOfMemory;
        } catch (const std::length_error&) {
            return kHostErrOutOfMemory;
        }
        const void* key = buffer.get();
        *image = buffer->Image();
        image->hostData = const_cast<void*>(key);
        rt->images_.emplace(key, std::move(buffer));
        return kHostOk;
    }

    static int32_t DisposeImage(HostEffectRef ref, HostImage* image) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::DisposeImage, &fault)) return fault;
        if (image == nullptr || rt->images_.erase(image->hostData) == 0) {
            ++rt->misuse_;
            return kHostErrBadArgument;
        }
        image->hostData = nullptr;
        image->pixels = nullptr;
        return kHostOk;
    }

    static HostHandle NewHandle(HostEffectRef ref, uint64_t size) {
        HostRuntime* rt = From(ref);
        if (!rt) return nullptr;
        HostHandle handle = rt->Enter(HostService::NewHandle) ? nullptr : rt->handles_.New(size);
        if (handle == nullptr) ++rt->refusedHandles_;
        return handle;
    }

    static void* LockHandle(HostEffectRef ref, HostHandle handle) {
        HostRuntime* rt = From(ref);
        if (!rt || rt->Enter(HostService::LockHandle)) return nullptr;
        return rt->handles_.Lock(handle);
    }

    static void UnlockHandle(HostEffectRef ref, HostHandle handle) {
        HostRuntime* rt = From(ref);
        if (!rt) return;
        rt->Enter(HostService::UnlockHandle);
        rt->handles_.Unlock(handle);
    }

    static void DisposeHandle(HostEffectRef ref, HostHandle handle) {
        HostRuntime* rt = From(ref);
        if (!rt) return;
        rt->Enter(HostService::DisposeHandle);
        rt->handles_.Dispose(handle);
    }

    static uint64_t HandleSize(HostEffectRef ref, HostHandle handle) {
        HostRuntime* rt = From(ref);
        if (!rt) return 0;
        rt->Enter(HostService::HandleSize);
        return rt->handles_.Size(handle);
    }

    static int32_t FormatText(HostEffectRef ref, char* buffer, int32_t size, const char* format, ...) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::FormatText, &fault)) return fault;
        if (buffer == nullptr || size <= 0 || format == nullptr) return kHostErrBadArgument;
        va_list arguments;
        va_start(arguments, format);
        const int written = std::vsnprintf(buffer, static_cast<size_t>(size), format, arguments);
        va_end(arguments);
        if (written < 0) buffer[0] = '\0';
        return kHostOk;
    }

    static int32_t CopyText(HostEffectRef ref, const char* source, char* destination, int32_t size) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::CopyText, &fault)) return fault;
        if (destination == nullptr || size <= 0) return kHostErrBadArgument;
        const size_t length = source ? strnlen(source, static_cast<size_t>(size) - 1) : 0;
        if (length > 0) std::memcpy(destination, source, length);
        destination[length] = '\0';
        return kHostOk;
    }

    static int32_t Iterate(HostEffectRef ref, int32_t count, void* context, HostIterateBody body) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::Iterate, &fault)) return fault;
        if (body == nullptr) return kHostErrBadArgument;
        if (count <= 0) return kHostOk;
        if (!rt->roundRobinRun_.empty()) {
            // A pool of many workers, scheduled deterministically on this thread.
            const int32_t threads = static_cast<int32_t>(rt->roundRobinRun_.size());
            int32_t result = kHostOk;
            for (int32_t i = 0; i < count; ++i) {
                ++rt->roundRobinRun_[static_cast<size_t>(i % threads)];
                const int32_t r = body(context, i % threads, i, count);
                if (r != kHostOk && result == kHostOk) result = r;
            }
            return result;
        }
        return rt->Pool().Run(count, [&](int32_t thread, int32_t i) { return body(context, thread, i, count); });
    }

    static int32_t AcquireSuite(HostEffectRef ref, const char* name, int32_t version, const void** suite) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::AcquireSuite, &fault)) return fault;
        if (suite == nullptr) return kHostErrBadArgument;
        if (name == nullptr || std::strcmp(name, kParamUtilsSuite) != 0 || version != kParamUtilsVersion) {
            *suite = nullptr;
            return kHostErrUnknownSuite;
        }
        *suite = &rt->paramUtils_;
        ++rt->outstandingSuites_;
        return kHostOk;
    }

    static int32_t ReleaseSuite(HostEffectRef ref, const char* name, int32_t version) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::ReleaseSuite, &fault)) return fault;
        if (name == nullptr || std::strcmp(name, kParamUtilsSuite) != 0 || version != kParamUtilsVersion) {
            return kHostErrUnknownSuite;
        }
        if (rt->outstandingSuites_ == 0) {
            ++rt->misuse_;
            return kHostErrBadArgument;
        }
        --rt->outstandingSuites_;
        return kHostOk;
    }

    static int32_t UpdateParamUi(HostEffectRef ref, int32_t index, const HostParamRecord* record) {
        HostRuntime* rt = From(ref);
        if (!rt) return kHostErrBadEffectRef;
        int32_t fault;
        if (rt->Enter(HostService::UpdateParamUi, &fault)) return fault;
        if (record == nullptr || index < 0 || index >= rt->params_.Count()) return kHostErrBadArgument;
        if (rt->outstandingSuites_ == 0) ++rt->misuse_;
        rt->params_.At(index).SetUiFlags(record->uiFlags);
        rt->uiUpdates_.push_back({index, record->uiFlags});
        return kHostOk;
    }
};

HostRuntime::HostRuntime(HostEntryPoint entry) : entry_(entry) {
    if (entry_ == nullptr) throw std::invalid_argument("HostRuntime needs an entry point");
    Initialise();
}

HostRuntime::HostRuntime(const HostModule& module) : HostRuntime(module.EntryPoint()) {}

HostRuntime::~HostRuntime() {
    HostStringTables::Instance().ReleaseAll(this);
    magic_ = 0;
}

void HostRuntime::Initialise() {
    owner_.store(std::this_thread::get_id());

    utils_.copyImage = &Guarded<&HostServices::CopyImage>::Call;
    utils_.fillImage = &Guarded<&HostServices::FillImage>::Call;
    utils_.newImage = &Guarded<&HostServices::NewImage>::Call;
    utils_.disposeImage = &Guarded<&HostServices::DisposeImage>::Call;
    utils_.newHandle = &Guarded<&HostServices::NewHandle>::Call;
    utils_.lockHandle = &Guarded<&HostServices::LockHandle>::Call;
    utils_.unlockHandle = &Guarded<&HostServices::UnlockHandle>::Call;
    utils_.disposeHandle = &Guarded<&HostServices::DisposeHandle>::Call;
    utils_.formatText = &HostServices::FormatText;
    utils_.copyText = &Guarded<&HostServices::CopyText>::Call;
    utils_.handleSize = &Guarded<&HostServices::HandleSize>::Call;
    utils_.iterate = &Guarded<&HostServices::Iterate>::Call;

    suites_.acquireSuite = &Guarded<&HostServices::AcquireSuite>::Call;
    suites_.releaseSuite = &Guarded<&HostServices::ReleaseSuite>::Call;
    paramUtils_.updateParamUi = &Guarded<&HostServices::UpdateParamUi>::Call;

    in_.checkoutParam = &Guarded<&HostServices::CheckoutParam>::Call;
    in_.checkinParam = &Guarded<&HostServices::CheckinParam>::Call;
    in_.addParam = &Guarded<&HostServices::AddParam>::Call;
    in_.abort = &Guarded<&HostServices::Abort>::Call;
    in_.progress = &Guarded<&HostServices::Progress>::Call;
    in_.registerStrings = &Guarded<&HostServices::RegisterStrings>::Call;
    in_.fetchString = &Guarded<&HostServices::FetchString>::Call;
    in_.releaseStrings = &Guarded<&HostServices::ReleaseStrings>::Call;
    in_.utils = &utils_;
    in_.effectRef = this;
    in_.appId = kHostAppVantor;
    in_.downsampleXNum = 1;
    in_.downsampleXDen = 1;
    in_.downsampleYNum = 1;
    in_.downsampleYDen = 1;
    in_.suites = &suites_;
    SetTimeline(timeline_);
}

void HostRuntime::SetAppId(uint32_t appId) { in_.appId = appId; }

void HostRuntime::SetTimeline(const HostTimeline& timeline) {
    timeline_ = timeline;
    in_.currentTime = timeline.currentTime;
    in_.timeStep = timeline.timeStep;
    in_.totalTime = timeline.duration;
    in_.timeScale = timeline.timeScale;
}

void HostRuntime::SetTime(int32_t time) {
    HostTimeline timeline = timeline_;
    timeline.currentTime = time;
    SetTimeline(timeline);
}

void HostRuntime::SetFrame(int32_t frame) { SetTime(frame * timeline_.timeStep); }

void HostRuntime::SetDownsample(int32_t xNumerator, uint32_t xDenominator, int32_t yNumerator, uint32_t yDenominator) {
    in_.downsampleXNum = xNumerator;
    in_.downsampleXDen = xDenominator;
    in_.downsampleYNum = yNumerator;
    in_.downsampleYDen = yDenominator;
}

void HostRuntime::SetIterateAvailable(bool available) {
    utils_.iterate = available ? &Guarded<&HostServices::Iterate>::Call : nullptr;
}

void HostRuntime::SetIterateThreads(int32_t threads) {
    iterateThreads_ = threads > 0 ? threads : 0;
    pool_.reset();
}

void HostRuntime::SetIterateSpin(std::chrono::microseconds spin) {
    iterateSpin_ = spin;
    pool_.reset();
}

int32_t HostRuntime::IterateThreads() const {
    return pool_ ? pool_->ThreadCount() : (iterateThreads_ > 0 ? iterateThreads_ : HostThreadPool::AvailableCpus());
}

void HostRuntime::SetProgressCallback(std::function<void(int32_t, int32_t)> callback) {
    progressCallback_ = std::move(callback);
}

void HostRuntime::CancelAtCheck(int64_t n, int32_t code) {
    cancelled_.store(false);
    cancelCode_.store(code);
    cancelAt_.store(n > 0 ? abortChecks_.load() + n : 0);
}

void HostRuntime::FailCall(HostService service, int64_t n, int32_t code) {
    Fault& fault = faults_[static_cast<size_t>(service)];
    fault.code.store(code);
    fault.at.store(n > 0 ? Calls(service) + n : 0);
}

void HostRuntime::ClearFaults() {
    for (Fault& fault : faults_) fault.at.store(0);
    cancelAt_.store(0);
}

bool HostRuntime::Enter(HostService service, int32_t* faultCode) {
    if (std::this_thread::get_id() != owner_.load()) ++offThreadCalls_;
    const size_t which = static_cast<size_t>(service);
    const int64_t number = ++calls_[which];
    Fault& fault = faults_[which];
    int64_t at = number;
    if (!fault.at.compare_exchange_strong(at, 0)) return false;
    if (faultCode) *faultCode = fault.code.load();
    return true;
}

int32_t HostRuntime::CheckCancel() {
    const int64_t number = ++abortChecks_;
    int64_t at = number;
    if (cancelAt_.compare_exchange_strong(at, 0)) cancelled_.store(true);
    return cancelled_.load() ? cancelCode_.load() : kHostOk;
}

HostThreadPool& HostRuntime::Pool() {
    if (!pool_) pool_ = std::make_unique<HostThreadPool>(iterateThreads_, iterateSpin_);
    return *pool_;
}

int32_t HostRuntime::Call(uint32_t selector, void* extra, HostImage* output) {
    CurrentScope current(this);
    if (depth_ == 0) owner_.store(std::this_thread::get_id());
    if (selector == kHostCmdParamsSetup) params_.Reset();

    HostInData in = in_;
    in.globalData = globalData_;
    HostOutData out{};
    out.globalData = globalData_;
    const HostImage input = params_.RecordAt(0, timeline_.currentTime, timeline_.timeStep).u.layer.image;
    out.width = input.width;
    out.height = input.height;
    out.numParams = params_.Count();

    // Each call gets records of its own, so a nested call leaves the outer one's alone.
    const int32_t count = params_.Count();
    std::vector<HostParamRecord> records;
    std::vector<HostParamRecord*> pointers;
    records.reserve(static_cast<size_t>(count));
    if (depth_ == 0) layerFailure_ = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        try {
            records.push_back(params_.RecordAt(i, timeline_.currentTime, timeline_.timeStep));
        } catch (...) {
            // A layer read on demand whose frame at this time cannot be read
            // reads as no layer here; the call goes on, and fails only if the
            // module checks the layer out.
            layerFailure_ = std::current_exception();
            records.push_back(params_.RecordAt(i, timeline_.currentTime, timeline_.timeStep, false));
        }
    }
    for (HostParamRecord& record : records) pointers.push_back(&record);
    pointers.push_back(nullptr);

    struct Depth {
        HostRuntime& rt;
        explicit Depth(HostRuntime& r, uint32_t selector) : rt(r) {
            ++rt.depth_;
            rt.selectors_.push_back(selector);
        }
        ~Depth() {
            --rt.depth_;
            rt.selectors_.pop_back();
        }
    };
    int32_t code;
    {
        Depth depth(*this, selector);
        code = entry_(selector, &in, &out, pointers.data(), output, extra);
    }

    for (int32_t i = 0; i < count && i < params_.Count(); ++i) {
        if (records[i].id == kValueChangedMark && params_.At(i).Id() != kValueChangedMark) {
            params_.TakeValue(i, records[i]);
        }
    }
    globalData_ = out.globalData;
    in_.globalData = globalData_;
    if (selector == kHostCmdFrameSetup && code == kHostOk) {
        frameWidth_ = out.width;
        frameHeight_ = out.height;
    }
    out_ = out;
    return code;
}

int32_t HostRuntime::Render() {
    const HostImage input = params_.RecordAt(0, timeline_.currentTime, timeline_.timeStep).u.layer.image;
    const int32_t width = frameWidth_ >= 0 ? frameWidth_ : input.width;
    const int32_t height = frameHeight_ >= 0 ? frameHeight_ : input.height;
    output_ = HostImageBuffer(width, height, (input.flags & kHostImageDeep) != 0, 0, kFreshImage);
    return Render(output_.Image());
}

int32_t HostRuntime::UserChangedParam(int32_t hostIndex) {
    HostChangedParam changed{hostIndex};
    return Call(kHostCmdUserChangedParam, &changed);
}

std::string HostRuntime::ReturnMessage() const {
    return std::string(out_.returnMessage, strnlen(out_.returnMessage, sizeof out_.returnMessage));
}

HostAccounting HostRuntime::Accounting() const {
    const HostHandleTable::Stats handles = handles_.GetStats();
    HostAccounting a;
    a.liveHandles = handles.live;
    a.handleBytes = handles.bytes;
    a.peakHandleBytes = handles.peakBytes;
    a.lockedHandles = handles.locked;
    a.handleMoves = handles.moves;
    a.refusedHandles = refusedHandles_.load();
    a.liveImages = static_cast<int64_t>(images_.size());
    for (const auto& [key, image] : images_) a.imageBytes += static_cast<int64_t>(image->Bytes());
    a.outstandingCheckouts = outstandingCheckouts_;
    a.liveStringTables = HostStringTables::Instance().LiveCount(this);
    a.outstandingSuites = outstandingSuites_;
    a.abortChecks = abortChecks_.load();
    a.uiUpdates = static_cast<int64_t>(uiUpdates_.size());
    a.misuse = misuse_.load() + handles.errors;
    a.offThreadCalls = offThreadCalls_.load();
    return a;
}

void HostRuntime::ClearLogs() {
    progress_.clear();
    uiUpdates_.clear();
}
