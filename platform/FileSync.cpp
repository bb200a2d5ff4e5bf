#include "platform/FileSync.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace platform {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now, so that the caller sees what close reports.
    bool Close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string DirectoryOf(const std::string& path)
{
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

std::string NameOf(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

// Where a write to path lands. A link is followed only when its owner is us or the owner of the
// directory holding it: anyone else who could put a link there (a world-writable or shared
// directory) could send a root process's write to any file. That is the kernel's
// protected_symlinks rule, applied in every directory, since it is off on some machines and does
// not guard readlink. A dangling link is refused too: creating its target would let the link
// choose where a new file appears.
bool Resolve(std::string path, std::string& target)
{
    for (int hops = 0; hops < 16; ++hops) {
        struct stat link {};
        if (::lstat(path.c_str(), &link) != 0) {
            if (errno == ENOENT && hops == 0) {
                target = path;
                return true;
            }
            return false;
        }
        if (!S_ISLNK(link.st_mode)) {
            target = path;
            return true;
        }
        const std::string directory = DirectoryOf(path);
        struct stat dir {};
        if (::stat(directory.c_str(), &dir) != 0) {
            return false;
        }
        if (link.st_uid != ::geteuid() && link.st_uid != dir.st_uid) {
            return false;
        }
        std::string to(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), to.data(), to.size());
        if (length <= 0 || static_cast<size_t>(length) >= to.size()) {
            return false;
        }
        to.resize(static_cast<size_t>(length));
        path = to.front() == '/' ? to : directory + "/" + to;
    }
    return false;
}

// What a plain create would leave of 0666. umask() cannot be asked without changing it for every
// thread, so the kernel's own report is read.
mode_t CreateMode()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            try {
                return 0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
            } catch (...) {
                break;
            }
        }
    }
    return 0644;
}

// A new file beside target under a name no one can guess, never opened through a link.
int CreateTemporary(const std::string& target, std::string& temp)
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const std::string stem = DirectoryOf(target) + "/" + NameOf(target) + ".";
    for (int attempt = 0; attempt < 64; ++attempt) {
        unsigned char random[12];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return -1;
        }
        temp = stem;
        for (unsigned char r : random) {
            temp.push_back(kAlphabet[r % (sizeof kAlphabet - 1)]);
        }
        temp += ".tmp";
        // Owner-only until the final mode is set, so no one else can hold it open for writing.
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              S_IRUSR | S_IWUSR);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool SyncFd(int fd)
{
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

}  // namespace

int SyncFile(const std::string& path)
{
    // Read-only is enough: fsync flushes the inode whatever the open mode, and it lets the same
    // call sync a directory after a rename.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.get() >= 0 && SyncFd(fd.get()) ? 1 : 0;
}

ReadResult ReadRegularFile(const std::string& path, std::string& bytes)
{
    std::FILE* file = OpenRegularFile(path);
    if (file == nullptr) {
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Unusable;
    }
    std::string read;
    char buffer[16384];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        read.append(buffer, n);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return ReadResult::Unusable;
    }
    bytes = std::move(read);
    return ReadResult::Read;
}

int ReplaceFile(const std::string& path, std::string_view bytes)
{
    std::string target;
    if (path.empty() || !Resolve(path, target)) {
        return 0;
    }

    // Opening the old file for writing is how we learn that we may change it at all.
    struct stat old {};
    bool existed = false;
    if (::lstat(target.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) {
            return 0;
        }
        Fd probe(::open(target.c_str(),
                        O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        struct stat opened {};
        if (probe.get() < 0 || ::fstat(probe.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
            opened.st_dev != old.st_dev || opened.st_ino != old.st_ino) {
            return 0;
        }
        old = opened;
        existed = true;
    } else if (errno != ENOENT) {
        return 0;
    }

    std::string temp;
    Fd fd(CreateTemporary(target, temp));
    if (fd.get() < 0) {
        return 0;
    }
    bool ok = WriteAll(fd.get(), bytes);
    if (ok && existed) {
        struct stat mine {};
        ok = ::fstat(fd.get(), &mine) == 0;
        // chown clears set-id bits, so it goes before chmod.
        if (ok && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)) {
            ok = ::fchown(fd.get(), old.st_uid, old.st_gid) == 0;
        }
        ok = ok && ::fchmod(fd.get(), old.st_mode & 07777) == 0;
    } else if (ok) {
        ok = ::fchmod(fd.get(), CreateMode()) == 0;
    }
    ok = ok && SyncFd(fd.get());
    ok = fd.Close() && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return 0;
    }
    // The new file is in place; syncing the directory only makes the rename survive a power cut.
    SyncFile(DirectoryOf(target));
    return 1;
}

}  // namespace platform
