// Warnings: things a render does that are probably not what the user meant
// (a mask that cannot act, a plate without grain, a setting the effect
// ignores). They go to stderr as "texturist: warning: ..." and the render goes
// on; under --strict the first one ends the command with exit code 4 instead,
// before anything is written. --quiet silences them, not --strict.
#pragma once

#include <mutex>
#include <string>

void SetWarningPolicy(bool strict, bool quiet);
// Prints the warning, or throws CliError(RenderFailed) under --strict.
void Warn(const std::string& message);

// Held by whoever writes to stderr from a render's threads, and by file
// readers while they silence it (some decoders print there): a line written
// while a decoder has stderr pointed elsewhere would be lost.
std::mutex& StderrMutex();
