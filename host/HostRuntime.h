// The substitute Vantor host: drives a module through its entry point and
// gives it the host's services.
//
// A HostRuntime owns the records the host passes to the module (HostInData,
// HostOutData, the HostUtilities service table, the suite-access table and the
// "PF Param Utils Suite" version 2), the parameter store, the module's handles
// and images, a thread pool for the iteration service, and the accounting and
// fault injection that let a test prove the module cleans up on every path.
// The effect reference handed to the module is the runtime itself, so the
// services (plain functions in the tables) find their state through it.
//
// Calls. Call(selector, extra, output) prepares fresh records for the call:
// the in record with the current settings; the out record zeroed except for
// the global-data handle (what the module last left there), the output size
// (the input layer's at the current time) and the parameter count (the store's;
// 1 at parameter setup, which first empties the store back to the input
// layer). The parameter array holds one record per host index, index 0 being
// the input layer with the image of the current frame; values are those of the
// store. After the call the out record is kept for Out(), the global-data
// handle is kept for the next call, and every record of the array whose
// identifier the module set to 1 (its value-changed mark) hands its value
// back to the store. Calls nest: a service callback may call the module again.
//
// Services, in the terms of the host interface:
// - check-out copies the store's record at the given time (a layer's image at
//   the frame of that time, see HostLayer) and counts it until it is checked
//   in with the same record address; add-parameter appends to the store and
//   is only accepted during parameter setup.
// - abort and progress return 0, or the cancel code once the cancel flag is
//   set (by Cancel(), possibly from another thread or a signal handler, by
//   the progress callback, or by CancelAtCheck); the flag stays set until
//   ClearCancel() or the next CancelAtCheck(). Progress is logged.
// - string tables: see HostStringTables; the runtime whose call is running on
//   the calling thread owns what is registered.
// - handles: see HostHandleTable; moving on lock is on by default.
// - images: new images are filled with 0xCD (the host does not clear them) and
//   padded (see HostImageBuffer); copy and fill: see HostImageOps.
// - formatted print and copy text write at most the buffer size, always
//   NUL-terminated, and return 0 even when the text was cut.
// - iterate runs on the pool (see HostThreadPool); SetIterateAvailable(false)
//   leaves its slot null.
// - suites: only "PF Param Utils Suite" version 2; updateParamUi stores the
//   record's UI flags in the store.
// Errors are the codes of HostErrors.h.
//
// Threads: the module must call services on the thread that is running the
// call (only iterate bodies run elsewhere). A service called from another
// thread still works but is counted in offThreadCalls.
//
// Faults: FailCall(service, n, code) makes the nth call of that service from
// now on fail once: services that return a code return `code` without doing
// anything, newHandle and lockHandle return null, fetchString returns null, and
// void services ignore it. String-table faults fire only inside a call, where
// the runtime is known. CancelAtCheck(n, code) sets the cancel flag at the nth
// abort-or-progress call from now on (both counted together).
#pragma once

#include "host/HostErrors.h"
#include "host/HostHandleTable.h"
#include "host/HostImageBuffer.h"
#include "host/HostLayer.h"
#include "host/HostParamStore.h"
#include "host/HostThreadPool.h"
#include "interface/HostInterface.h"

#include <chrono>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

class HostModule;

enum class HostService : int32_t {
    CheckoutParam,
    CheckinParam,
    AddParam,
    Abort,
    Progress,
    RegisterStrings,
    FetchString,
    ReleaseStrings,
    CopyImage,
    FillImage,
    NewImage,
    DisposeImage,
    NewHandle,
    LockHandle,
    UnlockHandle,
    DisposeHandle,
    HandleSize,
    FormatText,
    CopyText,
    Iterate,
    AcquireSuite,
    ReleaseSuite,
    UpdateParamUi,
    Count,
};

// The extra record of kHostCmdUserChangedParam: its first word is the host index.
struct HostChangedParam {
    int32_t hostIndex;
};

struct HostTimeline {
    int32_t currentTime = 0;
    int32_t timeStep = 100; // not 1, so that a module mixing up frames and times shows it
    int32_t duration = 1000;
    uint32_t timeScale = 2400;
};

struct HostAccounting {
    int64_t liveHandles = 0;
    int64_t handleBytes = 0;
    int64_t peakHandleBytes = 0;
    int64_t lockedHandles = 0;
    int64_t handleMoves = 0;
    int64_t refusedHandles = 0; // newHandle calls that returned null
    int64_t liveImages = 0;     // made by newImage, not yet disposed
    int64_t imageBytes = 0;
    int64_t outstandingCheckouts = 0;
    int64_t liveStringTables = 0;
    int64_t outstandingSuites = 0;
    int64_t abortChecks = 0; // abort and progress calls
    int64_t uiUpdates = 0;
    // Tolerated mistakes: handle misuse, check-ins of records never checked
    // out, disposing images or releasing tables the host does not know,
    // unbalanced suite releases, UI updates without the suite acquired.
    int64_t misuse = 0;
    int64_t offThreadCalls = 0;

    // Nothing held, nothing misused.
    bool Clean() const {
        return liveHandles == 0 && lockedHandles == 0 && liveImages == 0 && outstandingCheckouts == 0 &&
               liveStringTables == 0 && outstandingSuites == 0 && misuse == 0 && offThreadCalls == 0;
    }
};

struct HostProgressReport {
    int32_t done;
    int32_t total;
};

struct HostUiUpdate {
    int32_t hostIndex;
    uint32_t uiFlags;
};

class HostRuntime {
public:
    explicit HostRuntime(HostEntryPoint entry);
    explicit HostRuntime(const HostModule& module); // the module must outlive the runtime
    HostRuntime(const HostRuntime&) = delete;
    HostRuntime& operator=(const HostRuntime&) = delete;
    ~HostRuntime();

    // Settings, used from the next call on.
    void SetAppId(uint32_t appId);
    uint32_t AppId() const { return in_.appId; }
    void SetTimeline(const HostTimeline& timeline);
    const HostTimeline& Timeline() const { return timeline_; }
    void SetTime(int32_t time);
    void SetFrame(int32_t frame); // time = frame * time step
    void SetDownsample(int32_t xNumerator, uint32_t xDenominator, int32_t yNumerator, uint32_t yDenominator);
    void SetIterateAvailable(bool available);
    void SetIterateThreads(int32_t threads); // 0: the CPUs this process may use
    // How long idle pool threads poll before they sleep (see HostThreadPool); 0 by default.
    void SetIterateSpin(std::chrono::microseconds spin);
    int32_t IterateThreads() const;
    // Index i of every iteration runs on the calling thread as thread i % threads
    // (0: the pool again): a host with many workers, deterministically.
    void SetIterateRoundRobin(int32_t threads) { roundRobinRun_.assign(static_cast<size_t>(std::max(threads, 0)), 0); }
    // Indices each worker of the iteration service has run (empty before its first run).
    std::vector<int64_t> IterateIndicesRun() const {
        if (!roundRobinRun_.empty()) return roundRobinRun_;
        return pool_ ? pool_->IndicesRun() : std::vector<int64_t>{};
    }
    void SetMoveHandles(bool move) { handles_.SetMoveOnLock(move); }
    void SetPoisonMemory(bool poison) { handles_.SetPoison(poison); }
    void SetHandleLimit(uint64_t bytes) { handles_.SetLimit(bytes); }
    void SetBlockCache(uint64_t bytes) { handles_.SetBlockCache(bytes); }
    void SetProgressCallback(std::function<void(int32_t done, int32_t total)> callback);

    // Cancellation. Cancel() only stores to lock-free atomics: safe from any
    // thread and from signal handlers.
    void Cancel() noexcept { cancelled_.store(true); }
    void ClearCancel() noexcept { cancelled_.store(false); }
    bool CancelRequested() const noexcept { return cancelled_.load(); }
    void SetCancelCode(int32_t code) noexcept { cancelCode_.store(code); }
    void CancelAtCheck(int64_t n, int32_t code = kHostErrCancelled);

    // Faults (see the header comment); n = 0 removes the fault.
    void FailCall(HostService service, int64_t n, int32_t code = kHostErrInjectedFault);
    void RefuseHandleAt(int64_t n) { FailCall(HostService::NewHandle, n, 0); }
    void ClearFaults();

    // Parameters and layers.
    HostParamStore& Params() { return params_; }
    const HostParamStore& Params() const { return params_; }
    void BindInputLayer(std::shared_ptr<HostLayer> layer) { params_.Input().BindLayer(std::move(layer)); }
    // Why the last failed check-out failed when a layer could not read its
    // frame (the check-out returned kHostErrBadArgument to the module); taking
    // it clears it.
    std::exception_ptr TakeLayerFailure() { return std::exchange(layerFailure_, nullptr); }

    // Calls; each returns the module's code.
    int32_t Call(uint32_t selector, void* extra = nullptr, HostImage* output = nullptr);
    int32_t About() { return Call(kHostCmdAbout); }
    int32_t GlobalSetup() { return Call(kHostCmdGlobalSetup); }
    int32_t GlobalSetdown() { return Call(kHostCmdGlobalSetdown); }
    int32_t ParamsSetup() { return Call(kHostCmdParamsSetup); }
    int32_t FrameSetup() { return Call(kHostCmdFrameSetup); }
    int32_t Render(HostImage& output) { return Call(kHostCmdRender, nullptr, &output); }
    // Renders into Output(), made anew (filled with 0xCD) at the size the last
    // successful frame setup reported, or the input layer's size when there
    // was none, with the input layer's depth.
    int32_t Render();
    int32_t UserChangedParam(int32_t hostIndex);
    int32_t UpdateParamsUi() { return Call(kHostCmdUpdateParamsUi); }
    HostImageBuffer& Output() { return output_; }

    // Records. In() is what the next call receives; its service pointers may be
    // called directly with EffectRef(). Out() is the out record of the last call.
    const HostInData& In() const { return in_; }
    const HostOutData& Out() const { return out_; }
    const HostUtilities& Utilities() const { return utils_; }
    HostEffectRef EffectRef() { return this; }
    std::string ReturnMessage() const;
    HostHandle GlobalData() const { return globalData_; }
    int32_t CallDepth() const { return depth_; }

    // Accounting.
    HostAccounting Accounting() const;
    int64_t Calls(HostService service) const { return calls_[static_cast<size_t>(service)].load(); }
    const std::vector<HostProgressReport>& ProgressLog() const { return progress_; }
    const std::vector<HostUiUpdate>& UiUpdateLog() const { return uiUpdates_; }
    void ClearLogs();

private:
    friend struct HostServices;

    struct Fault {
        std::atomic<int64_t> at{0}; // the call number that fails; 0 = none
        std::atomic<int32_t> code{0};
    };

    void Initialise();
    // Counts a service call, notes calls from the wrong thread, and returns
    // true when an injected fault fires for this call.
    bool Enter(HostService service, int32_t* faultCode = nullptr);
    int32_t CheckCancel();
    HostThreadPool& Pool();

    static constexpr uint64_t kMagic = 0x56544e52484f5354ull; // checks effect references handed back
    uint64_t magic_ = kMagic;
    HostEntryPoint entry_ = nullptr;

    HostInData in_{};
    HostOutData out_{};
    HostUtilities utils_{};
    HostSuiteAccess suites_{};
    HostParamUtilsSuite paramUtils_{};
    HostTimeline timeline_;
    HostHandle globalData_ = nullptr;
    int32_t frameWidth_ = -1;
    int32_t frameHeight_ = -1;
    int32_t depth_ = 0;
    std::vector<uint32_t> selectors_; // of the calls running, innermost last

    HostParamStore params_;
    HostHandleTable handles_;
    std::unordered_map<const void*, std::unique_ptr<HostImageBuffer>> images_;
    std::unordered_map<const HostParamRecord*, int32_t> checkouts_;
    int64_t outstandingCheckouts_ = 0;
    std::exception_ptr layerFailure_;
    std::vector<int64_t> roundRobinRun_; // per thread, while iterations run round-robin
    int64_t outstandingSuites_ = 0;
    HostImageBuffer output_;

    int32_t iterateThreads_ = 0;
    std::unique_ptr<HostThreadPool> pool_;
    std::chrono::microseconds iterateSpin_{0};

    std::function<void(int32_t, int32_t)> progressCallback_;
    std::vector<HostProgressReport> progress_;
    std::vector<HostUiUpdate> uiUpdates_;

    std::atomic<bool> cancelled_{false};
    std::atomic<int32_t> cancelCode_{kHostErrCancelled};
    std::atomic<int64_t> cancelAt_{0};
    std::atomic<int64_t> abortChecks_{0};

    std::array<std::atomic<int64_t>, static_cast<size_t>(HostService::Count)> calls_{};
    std::array<Fault, static_cast<size_t>(HostService::Count)> faults_{};
    std::atomic<int64_t> refusedHandles_{0};
    std::atomic<int64_t> misuse_{0};
    std::atomic<int64_t> offThreadCalls_{0};
    std::atomic<std::thread::id> owner_;
};
