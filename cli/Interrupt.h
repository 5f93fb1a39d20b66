// Ctrl-C (SIGINT) and SIGTERM cancel a render through the host's abort
// service: the handler only calls HostRuntime::Cancel(), which is safe in a
// signal handler, and notes the request; the module sees the cancel at its
// next abort or progress check and unwinds, and the command then removes what
// it had not finished writing and exits 130. A second signal is not caught:
// it ends the process at once.
//
// One guard at a time; the previous handlers come back when it is destroyed.
#pragma once

class HostRuntime;

class InterruptGuard {
public:
    explicit InterruptGuard(HostRuntime& host);
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    ~InterruptGuard();

    // A signal has arrived since the guard was made.
    static bool Requested();
};
