#include "cli/SafeFiles.h"

#include "cli/CliError.h"
#include "cli/Interrupt.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

[[noreturn]] void WriteFailed(const std::string& path, int error) {
    throw CliError(ExitCode::InputOutput, "cannot write " + Quoted(path) + ": " + std::strerror(error));
}

// Removes the file unless released; closes the descriptor it is given.
struct PendingFile {
    std::string path;
    int fd = -1;
    bool keep = false;
    ~PendingFile() {
        if (fd >= 0) ::close(fd);
        if (!keep) ::unlink(path.c_str());
    }
};

} // namespace

std::string TemporaryPathFor(const std::string& path) {
    const fs::path file(path);
    return (file.parent_path() /
            ("." + file.filename().string() + "." + std::to_string(::getpid()) + ".tmp" + file.extension().string()))
        .string();
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t size, const std::function<bool()>& abandon) {
    const std::string temporary = TemporaryPathFor(path);
    const TemporaryFileScope scope(temporary);
    PendingFile pending{temporary};
    pending.fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (pending.fd < 0) {
        pending.keep = true; // nothing was made, and what is there is not ours
        WriteFailed(path, errno);
    }
    const char* bytes = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t wrote = ::write(pending.fd, bytes + done, size - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) WriteFailed(path, wrote < 0 ? errno : ENOSPC);
        done += static_cast<size_t>(wrote);
    }
    const int fd = pending.fd;
    pending.fd = -1;
    if (::close(fd) != 0) WriteFailed(path, errno);
    pending.keep = true; // from here on the commit removes it
    return CommitTemporaryFile(temporary, path, abandon);
}

bool CommitTemporaryFile(const std::string& temporary, const std::string& path, const std::function<bool()>& abandon) {
    PendingFile pending{temporary};
    pending.fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (pending.fd < 0) WriteFailed(path, errno);
    // A full disk or a failing device may only say so when the data is flushed.
    if (::fsync(pending.fd) != 0 && errno != EINVAL) WriteFailed(path, errno);
    if (abandon && abandon()) return false;
    if (::rename(temporary.c_str(), path.c_str()) != 0) WriteFailed(path, errno);
    pending.keep = true;
    // The rename itself reaches the disk with the folder's entries.
    const fs::path folder = fs::path(path).parent_path();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

namespace {

// The lock file of a sequence: the same for every spelling of its folder and
// for #### and %04d patterns.
std::string LockPathFor(const std::string& outputPattern) {
    const fs::path pattern(outputPattern);
    std::error_code error;
    const fs::path folder =
        fs::weakly_canonical(pattern.parent_path().empty() ? fs::path(".") : pattern.parent_path(), error);
    std::string name = pattern.filename().string();
    const size_t percent = name.find('%');
    if (percent != std::string::npos) {
        size_t end = percent + 1;
        int width = 0;
        while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end])))
            width = width * 10 + (name[end++] - '0');
        if (end < name.size() && name[end] == 'd') name.replace(percent, end + 1 - percent, std::max(width, 1), '#');
    }
    const std::string key = (error ? pattern.parent_path() : folder).string() + "/" + name;
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return (fs::temp_directory_path(error) / ("texturist-" + std::string(hex) + ".lock")).string();
}

} // namespace

OutputLock::OutputLock(const std::string& outputPattern, const std::vector<int32_t>& frames) {
    const std::string path = LockPathFor(outputPattern);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return; // no temporary folder to lock in: render unguarded rather than not at all
    for (const int32_t frame : frames) {
        struct flock range {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        range.l_start = static_cast<off_t>(static_cast<int64_t>(frame) - INT32_MIN);
        range.l_len = 1;
        if (::fcntl(fd_, F_OFD_SETLK, &range) == 0) continue;
        const int why = errno;
        ::close(fd_);
        fd_ = -1;
        if (why == EAGAIN || why == EACCES) {
            throw CliError(ExitCode::InputOutput, "another texturist render is writing frame " + std::to_string(frame) +
                                                      " of " + Quoted(outputPattern) +
                                                      "; wait for it to finish or write elsewhere");
        }
        return;
    }
}

OutputLock::~OutputLock() {
    if (fd_ >= 0) ::close(fd_);
}
