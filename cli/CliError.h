// The command's failures and the exit codes they end with.
//
// Every component throws CliError with the code that fits; main catches once,
// prints "texturist: error: <message>" on stderr and exits with the code.
// The codes are part of the command's interface: scripts and render-farm
// schedulers branch on them.
#pragma once

#include <stdexcept>
#include <string>

enum class ExitCode : int {
    Ok = 0,
    VerifyFailed = 1, // a written frame's hash differs from --verify
    Usage = 2,        // bad arguments, unknown parameters, values out of range
    InputOutput = 3,  // files missing, unreadable, unwritable or of a kind we cannot handle
    RenderFailed = 4, // the module failed, or left resources behind
    OutOfMemory = 5,
    Cancelled = 130, // SIGINT or SIGTERM, as a shell reports a Ctrl-C
};

class CliError : public std::runtime_error {
public:
    CliError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode Code() const { return code_; }

private:
    ExitCode code_;
};
