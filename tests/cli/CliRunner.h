// Runs the real romwright-cli in a folder of its own and collects what it printed.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace cli_test {

struct Outcome {
    int code = -1;  // exit code; -1 when the program did not exit on its own
    std::string out, err;
    bool timedOut = false;

    std::vector<std::string> Lines(const std::string& text) const {
        std::vector<std::string> lines;
        std::stringstream s(text);
        for (std::string line; std::getline(s, line);) lines.push_back(line);
        return lines;
    }
    std::vector<std::string> OutLines() const { return Lines(out); }
    std::vector<std::string> ErrLines() const { return Lines(err); }
};

// `onOutLine` sees every whole line of standard output as it comes, with the child's pid.
inline Outcome RunCli(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                      const std::function<void(const std::string&, pid_t)>& onOutLine = {}) {
    Outcome o;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return o;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> all = {RW_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, RW_CLI, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        return o;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string pending;
    int open = 2;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            o.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, 1000) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? o.out : o.err).append(buffer, static_cast<size_t>(n));
            if (i == 0 && onOutLine) {
                pending.append(buffer, static_cast<size_t>(n));
                for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                    onOutLine(pending.substr(0, end), pid);
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) o.code = WEXITSTATUS(status);
    return o;
}

// A folder of its own for each test: the program's working directory, its bays and its record.
class Scratch {
public:
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "rw-cli-XXXXXX").string();
        dir_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~Scratch() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    const std::filesystem::path& Dir() const { return dir_; }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ / name, std::ios::binary) << text;
        return (dir_ / name).string();
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string History() const { return (dir_ / "history.jsonl").string(); }

private:
    std::filesystem::path dir_;
};

}  // namespace cli_test
