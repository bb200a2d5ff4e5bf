// Files the program reads and replaces: only regular files are opened, and a replacement is
// atomic and goes nowhere a planted link or name would send it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace platform {

// Flushes the file or directory at path to stable storage. 1 on success, 0 otherwise.
int SyncFile(const std::string& path);

// The regular file at path opened for binary reading, and its size at that moment; nullptr for
// a missing file and for anything else (FIFO, device, directory), errno telling which (ENOENT or
// ENOTDIR for missing). Never waits for a FIFO's writer, and opens nothing that it can see is not
// a regular file, as opening some devices has effects. Inline so that the CVT loader builds
// alone, as its fuzz target links it.
inline std::FILE* OpenRegularFile(const std::string& path, uint64_t* size = nullptr)
{
    struct stat before {};
    if (path.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    if (::stat(path.c_str(), &before) != 0) {
        return nullptr;
    }
    if (!S_ISREG(before.st_mode)) {
        errno = S_ISDIR(before.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    // The name may have been swapped for a FIFO since the stat: O_NONBLOCK keeps the open from
    // waiting, and the fstat below refuses what was opened.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
        return nullptr;
    }
    if (size != nullptr) {
        *size = static_cast<uint64_t>(opened.st_size);
    }
    return file;
}

enum class ReadResult { Missing, Read, Unusable };

// The whole content of the regular file at path. Missing for no file or a dangling link;
// Unusable for a file that is not regular or could not be read, bytes then untouched.
ReadResult ReadRegularFile(const std::string& path, std::string& bytes);

// Replaces the file at path with bytes: written to a new file of an unpredictable name beside
// it, flushed, renamed over it, the directory flushed, so a crash leaves the old file or the new
// one. An existing file keeps its mode and owner; a new one gets what a plain create gives. A
// symlink at path is followed and stays a link: the file it leads to is replaced. 1 on success;
// 0 with nothing changed when the file is not a regular one, cannot be opened for writing (a
// read-only file stays as it is), its owner cannot be kept, or a link could have been planted.
int ReplaceFile(const std::string& path, std::string_view bytes);

}  // namespace platform
