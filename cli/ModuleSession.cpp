#include "cli/ModuleSession.h"

#include "cli/CliError.h"

#include <chrono>
#include <cstdlib>
#include <strings.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kBlockCacheBytes = uint64_t{512} << 20;
constexpr std::chrono::microseconds kIterateSpin{200};

// OMP_WAIT_POLICY=passive, the render farms' usual way of asking thread pools
// not to poll while they wait, turns the workers' polling off.
bool PassiveWaitRequested() {
    const char* policy = std::getenv("OMP_WAIT_POLICY");
    return policy != nullptr && strcasecmp(policy, "passive") == 0;
}

constexpr const char* kModuleFile = "Texturist.so";

fs::path ExecutableFolder() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self.parent_path();
}

HostModule Load(const std::string& requested) {
    const fs::path file = LocateModule(requested);
    try {
        return HostModule(file);
    } catch (const HostModuleError& error) {
        throw CliError(ExitCode::InputOutput, std::string("cannot load the Texturist module: ") + error.what());
    }
}

std::string Leaks(const HostAccounting& a) {
    std::string text;
    const auto add = [&](int64_t count, const char* what) {
        if (count != 0) text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    };
    add(a.liveHandles, "memory handles");
    add(a.lockedHandles, "locked handles");
    add(a.liveImages, "images");
    add(a.outstandingCheckouts, "parameter check-outs");
    add(a.liveStringTables, "string tables");
    add(a.outstandingSuites, "suites");
    add(a.misuse, "misused host services");
    add(a.offThreadCalls, "service calls from other threads");
    return text;
}

} // namespace

fs::path LocateModule(const std::string& requested) {
    if (!requested.empty()) {
        std::error_code error;
        if (!fs::exists(requested, error)) {
            throw CliError(ExitCode::InputOutput,
                           "cannot load the Texturist module: \"" + requested + "\" does not exist");
        }
        return requested;
    }
    std::error_code error;
    const fs::path built = TEXTURIST_BUILT_MODULE;
    if (fs::exists(built, error)) return built;
    const fs::path beside = ExecutableFolder() / kModuleFile;
    if (fs::exists(beside, error)) return beside;
    throw CliError(ExitCode::InputOutput, "cannot find the Texturist module: looked for " + built.string() + " and " +
                                              beside.string() + "; name it with --module");
}

std::string DescribeModuleFailure(const HostRuntime& host, int32_t code) {
    const std::string message = host.ReturnMessage();
    return (message.empty() ? std::string("the module gave no message") : message) + " (code " + std::to_string(code) +
           ")";
}

ModuleSession::ModuleSession(const std::string& requestedModule)
    : module_(Load(requestedModule)), host_(std::make_unique<HostRuntime>(module_)) {
    // A production host: blocks stay where they are, nothing is marked, the
    // band buffers every frame asks for again come from a cache, and workers
    // stay awake between the short parallel runs of a frame.
    host_->SetMoveHandles(false);
    host_->SetPoisonMemory(false);
    host_->SetBlockCache(kBlockCacheBytes);
    host_->SetIterateSpin(PassiveWaitRequested() ? std::chrono::microseconds{0} : kIterateSpin);
    if (const int32_t code = host_->GlobalSetup()) {
        throw CliError(ExitCode::RenderFailed,
                       "the module's global setup failed: " + DescribeModuleFailure(*host_, code));
    }
    if (const int32_t code = host_->ParamsSetup()) {
        const std::string why = DescribeModuleFailure(*host_, code);
        host_->GlobalSetdown();
        finished_ = true;
        throw CliError(ExitCode::RenderFailed, "the module's parameter setup failed: " + why);
    }
}

ModuleSession::~ModuleSession() {
    if (!finished_) host_->GlobalSetdown();
}

void ModuleSession::Finish() {
    finished_ = true;
    host_->ClearCancel(); // setdown must run to completion even after a cancelled render
    if (const int32_t code = host_->GlobalSetdown()) {
        throw CliError(ExitCode::RenderFailed,
                       "the module's global setdown failed: " + DescribeModuleFailure(*host_, code));
    }
    const HostAccounting accounting = host_->Accounting();
    if (!accounting.Clean()) {
        throw CliError(ExitCode::RenderFailed, "internal error: the module left " + Leaks(accounting) + " behind");
    }
}
