// Ctrl-C (SIGINT) and SIGTERM cancel a render through the host's abort
// service: the handler only calls HostRuntime::Cancel(), which is safe in a
// signal handler, and notes the request; the module sees the cancel at its
// next abort or progress check and unwinds, and the command then removes what
// it had not finished writing and exits 130. A second signal ends the process
// at once, as the default action would, but first removes the temporary file
// being written (see TemporaryFileScope), so nothing half-written is left.
//
// One guard at a time; the previous handlers come back when it is destroyed.
#pragma once

#include <string>

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

// While it lives, `path` is the temporary file a second signal removes before
// the process ends. One at a time: files are written one after the other.
class TemporaryFileScope {
public:
    explicit TemporaryFileScope(const std::string& path);
    TemporaryFileScope(const TemporaryFileScope&) = delete;
    TemporaryFileScope& operator=(const TemporaryFileScope&) = delete;
    ~TemporaryFileScope();
};
