#include "cli/Interrupt.h"

#include "host/HostRuntime.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<HostRuntime*> gHost{nullptr};
volatile std::sig_atomic_t gRequested = 0;
struct sigaction gPreviousInt;
struct sigaction gPreviousTerm;

static_assert(std::atomic<HostRuntime*>::is_always_lock_free, "the handler may only touch lock-free atomics");

extern "C" void OnInterrupt(int) {
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
    action.sa_flags = SA_RESETHAND; // a second Ctrl-C kills, for a module that never checks
    sigaction(SIGINT, &action, &gPreviousInt);
    sigaction(SIGTERM, &action, &gPreviousTerm);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &gPreviousInt, nullptr);
    sigaction(SIGTERM, &gPreviousTerm, nullptr);
    gHost.store(nullptr);
}

bool InterruptGuard::Requested() { return gRequested != 0; }
