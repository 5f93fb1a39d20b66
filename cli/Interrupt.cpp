#include "cli/Interrupt.h"

#include "host/HostRuntime.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

std::atomic<HostRuntime*> gHost{nullptr};
volatile std::sig_atomic_t gRequested = 0;
struct sigaction gPreviousInt;
struct sigaction gPreviousTerm;

// The temporary file being written; the flag is raised only once the path is complete.
char gTemporary[4096];
std::atomic<bool> gHasTemporary{false};

static_assert(std::atomic<HostRuntime*>::is_always_lock_free, "the handler may only touch lock-free atomics");
static_assert(std::atomic<bool>::is_always_lock_free, "the handler may only touch lock-free atomics");

extern "C" void OnInterrupt(int signal) {
    if (gRequested) {
        // The second signal: the user wants out now. Only async-signal-safe calls here.
        if (gHasTemporary.exchange(false)) ::unlink(gTemporary);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    gRequested = 1;
    if (HostRuntime* host = gHost.load()) host->Cancel();
}

} // namespace

InterruptGuard::InterruptGuard(HostRuntime& host) {
    gRequested = 0;
    gHost.store(&host);
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT); // one handler at a time, whichever signal comes
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(SIGINT, &action, &gPreviousInt);
    sigaction(SIGTERM, &action, &gPreviousTerm);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &gPreviousInt, nullptr);
    sigaction(SIGTERM, &gPreviousTerm, nullptr);
    gHost.store(nullptr);
}

bool InterruptGuard::Requested() { return gRequested != 0; }

TemporaryFileScope::TemporaryFileScope(const std::string& path) {
    gHasTemporary.store(false);
    const size_t length = std::min(path.size(), sizeof gTemporary - 1);
    std::memcpy(gTemporary, path.data(), length);
    gTemporary[length] = '\0';
    gHasTemporary.store(length == path.size());
}

TemporaryFileScope::~TemporaryFileScope() { gHasTemporary.store(false); }
