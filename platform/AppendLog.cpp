#include "platform/AppendLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace platform {
namespace {

std::string Why(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// Makes every missing folder of `dir`; existing ones are taken as they are.
bool MakeFolders(const std::string& dir, std::string* error) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = Why("cannot make " + part, errno);
            return false;
        }
    }
    return true;
}

}  // namespace

AppendLog::AppendLog(std::string path) : path_(std::move(path)) {}

AppendLog::~AppendLog() {
    if (fd_ >= 0) ::close(fd_);
}

bool AppendLog::Open(std::string* error) {
    if (fd_ >= 0) return true;
    if (path_.empty()) {
        if (error) *error = "no place for the history file (neither XDG_STATE_HOME nor a home folder)";
        return false;
    }
    const size_t slash = path_.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path_.substr(0, slash), error)) return false;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        if (error) *error = Why("cannot open " + path_, errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (error) *error = path_ + " is not a regular file";
        return false;
    }
    fd_ = fd;
    return true;
}

bool AppendLog::Append(const std::string& line, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Open(error)) return false;
    const ssize_t n = ::write(fd_, line.data(), line.size());
    if (n == static_cast<ssize_t>(line.size())) return true;
    if (error) *error = n < 0 ? Why("cannot write " + path_, errno) : "short write to " + path_;
    return false;
}

bool AppendLog::Sync(std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) return true;
    if (::fsync(fd_) == 0) return true;
    if (error) *error = Why("cannot sync " + path_, errno);
    return false;
}

std::string DefaultHistoryPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    // Relative values are to be ignored.
    if (state != nullptr && state[0] == '/') return std::string(state) + "/romwright/history.jsonl";
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    if (home.empty()) return std::string();
    return home + "/.local/state/romwright/history.jsonl";
}

int64_t UtcSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace platform
