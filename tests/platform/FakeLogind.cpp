#include "tests/platform/FakeLogind.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace testbus {

namespace {

constexpr const char* kConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@DIR@/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

constexpr int kStartTimeoutMs = 10000;

}  // namespace

PrivateBus::PrivateBus() {
    char dir[] = "/tmp/rw-bus-XXXXXX";  // short: a socket path has room for 107 bytes
    if (!mkdtemp(dir)) {
        problem_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    dir_ = dir;
    std::string config = kConfig;
    config.replace(config.find("@DIR@"), 5, dir_);
    const std::string configPath = dir_ + "/bus.conf";
    std::ofstream(configPath) << config;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        problem_ = std::string("pipe2: ") + std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    // Its complaints (e.g. no right to raise the fd limit) go to a log, shown if it fails.
    const std::string logPath = dir_ + "/daemon.log";
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string configArg = "--config-file=" + configPath;
    const char* argv[] = {"dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile", "--print-address=3", nullptr};
    const int spawned = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        pid_ = -1;
        close(fds[0]);
        problem_ = std::string("cannot start dbus-daemon (scripts/deps installs it): ") + std::strerror(spawned);
        return;
    }
    // The address is printed once the daemon listens.
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, kStartTimeoutMs) <= 0) break;
        char buf[256];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (line.find('\n') == std::string::npos) {
        std::ifstream log(logPath);
        problem_ = "dbus-daemon did not print its address: " +
                   std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
        return;
    }
    address_ = line.substr(0, line.find('\n'));
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!dir_.empty()) {
        unlink((dir_ + "/bus").c_str());
        unlink((dir_ + "/bus.conf").c_str());
        unlink((dir_ + "/daemon.log").c_str());
        rmdir(dir_.c_str());
    }
}

FakeLogind::FakeLogind(const std::string& address) {
    static const sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", OnInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Reboot", "b", "", OnReboot, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    int r;
    if ((r = sd_bus_new(&bus_)) < 0 || (r = sd_bus_set_address(bus_, address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(bus_, 1)) < 0 || (r = sd_bus_start(bus_)) < 0 ||
        (r = sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                      kVtable, this)) < 0 ||
        (r = sd_bus_request_name(bus_, "org.freedesktop.login1", 0)) < 0) {
        problem_ = std::string("fake login manager: ") + std::strerror(-r);
        return;
    }
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Serve(); });
}

FakeLogind::~FakeLogind() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (stopFd_ >= 0) close(stopFd_);
    sd_bus_slot_unref(slot_);
    sd_bus_flush_close_unref(bus_);
    for (const InhibitCall& call : inhibits_) close(call.lockReadEnd);
}

void FakeLogind::Serve() {
    for (;;) {
        int r;
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0) return;
        uint64_t until = 0;
        int timeoutMs = -1;
        if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const uint64_t nowUs = uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
            timeoutMs = until <= nowUs ? 0 : int(std::min<uint64_t>((until - nowUs + 999) / 1000, INT_MAX));
        }
        pollfd p[2] = {{sd_bus_get_fd(bus_), short(sd_bus_get_events(bus_)), 0}, {stopFd_, POLLIN, 0}};
        if (poll(p, 2, timeoutMs) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
    }
}

int FakeLogind::OnInhibit(sd_bus_message* m, void* self, sd_bus_error* error) {
    auto* fake = static_cast<FakeLogind*>(self);
    const char *what, *who, *why, *mode;
    int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
    if (r < 0) return r;
    std::lock_guard<std::mutex> lock(fake->mutex_);
    if (fake->inhibitRefusal_)
        return sd_bus_error_set(error, fake->inhibitRefusal_->name.c_str(), fake->inhibitRefusal_->message.c_str());
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -errno;
    fake->inhibits_.push_back({what, who, why, mode, ends[0]});
    // The reply carries its own copy; ours goes at once so the caller's is the last one.
    r = sd_bus_reply_method_return(m, "h", ends[1]);
    close(ends[1]);
    return r;
}

int FakeLogind::OnReboot(sd_bus_message* m, void* self, sd_bus_error* error) {
    auto* fake = static_cast<FakeLogind*>(self);
    int interactive = 0;
    int r = sd_bus_message_read(m, "b", &interactive);
    if (r < 0) return r;
    std::lock_guard<std::mutex> lock(fake->mutex_);
    fake->reboots_.push_back(interactive != 0);
    if (fake->rebootRefusal_)
        return sd_bus_error_set(error, fake->rebootRefusal_->name.c_str(), fake->rebootRefusal_->message.c_str());
    return sd_bus_reply_method_return(m, "");
}

void FakeLogind::RefuseInhibit(std::optional<Refusal> refusal) {
    std::lock_guard<std::mutex> lock(mutex_);
    inhibitRefusal_ = std::move(refusal);
}

void FakeLogind::RefuseReboot(std::optional<Refusal> refusal) {
    std::lock_guard<std::mutex> lock(mutex_);
    rebootRefusal_ = std::move(refusal);
}

std::vector<InhibitCall> FakeLogind::Inhibits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inhibits_;
}

std::vector<bool> FakeLogind::Reboots() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reboots_;
}

}  // namespace testbus
