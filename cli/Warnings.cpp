#include "cli/Warnings.h"

#include "cli/CliError.h"

#include <cstdio>

namespace {

bool gStrict = false;
bool gQuiet = false;

} // namespace

void SetWarningPolicy(bool strict, bool quiet) {
    gStrict = strict;
    gQuiet = quiet;
}

void Warn(const std::string& message) {
    if (gStrict) throw CliError(ExitCode::RenderFailed, message + " (a warning, an error under --strict)");
    if (gQuiet) return;
    const std::lock_guard<std::mutex> lock(StderrMutex());
    std::fprintf(stderr, "texturist: warning: %s\n", message.c_str());
}

std::mutex& StderrMutex() {
    static std::mutex mutex;
    return mutex;
}
