// Files written whole or not at all, outputs that never land on the files a
// render reads, and one render at a time per output sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Writes `size` bytes to a temporary file beside `path`, checks every write,
// flushes it to the disk and renames it over `path`. Any failure (disk full,
// quota, I/O error) removes the temporary file and throws CliError
// (InputOutput) naming `path`; a second Ctrl-C meanwhile removes it too.
// `abandon`, asked once the data is on the disk, can still drop it: false is
// returned and nothing is left.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         const std::function<bool()>& abandon = {});

// Where a file that cannot be written at once (a movie) is made before it is
// committed: hidden, beside `path`, named by this process, with its extension.
std::string TemporaryPathFor(const std::string& path);

// Flushes the finished `temporary` to the disk and renames it over `path`;
// `abandon`, asked first, can still drop it (false is returned). The temporary
// file is removed on every failure, which throws CliError (InputOutput) naming `path`.
bool CommitTemporaryFile(const std::string& temporary, const std::string& path,
                         const std::function<bool()>& abandon = {});

// The file a path resolves to, through any spelling, link or "..": device and
// inode. Nullopt when it does not exist.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
std::optional<FileIdentity> IdentityOf(const std::string& path);

// Advisory locks on the frames a render writes into an output sequence, held
// for the life of the object: a second render writing any of the same frames
// is refused with CliError (InputOutput) while the first runs; renders of
// other frames of the sequence (farm chunks) go on side by side. One lock file
// per sequence in the temporary folder, a byte range per frame; the locks go
// with the process, however it ends.
class OutputLock {
public:
    OutputLock(const std::string& outputPattern, const std::vector<int32_t>& frames);
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;
    ~OutputLock();

private:
    int fd_ = -1;
};
