// A file that only grows by whole lines: the record of every job.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace platform {

class AppendLog {
public:
    explicit AppendLog(std::string path);
    ~AppendLog();
    AppendLog(const AppendLog&) = delete;
    AppendLog& operator=(const AppendLog&) = delete;

    // Appends `line` (which ends in a newline) with one write, opening the file on first use:
    // missing folders are made (0700), the file is created 0644, and a link at the file's own
    // place is refused. false with *error saying why.
    bool Append(const std::string& line, std::string* error);
    // Puts what was appended on the disk.
    bool Sync(std::string* error);
    const std::string& Path() const { return path_; }

private:
    bool Open(std::string* error);

    std::string path_;
    std::mutex mutex_;
    int fd_ = -1;
};

// $XDG_STATE_HOME/romwright/history.jsonl, else ~/.local/state/romwright/history.jsonl; empty when
// neither a state folder nor a home can be found.
std::string DefaultHistoryPath();

// The wall clock: seconds since 1970, UTC.
int64_t UtcSeconds();

}  // namespace platform
