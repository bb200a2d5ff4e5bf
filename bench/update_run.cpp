// Whole update runs of the real program on virtual bays of 1 and 10 good drives at a fixed
// speed: how well ten drives run in parallel, and what a drive costs in CPU time.
//   update_run [--program ROMWRIGHT] [--speed N] [--repeats N]
// Every run must end with the clean-run question; anything else ends the benchmark without figures.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

struct Figures {
    double wallMs = 0;
    double cpuMs = 0;
};

double CpuMs(const rusage& u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "update_run: %s\n", text.c_str());
    std::exit(1);
}

// One scripted run; its figures only when it ended as a clean run must.
Figures Run(const std::string& program, int drives, const std::string& speed) {
    int out[2];
    if (pipe(out) != 0) Fail("cannot make a pipe");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) Fail("cannot fork");
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        const std::string count = std::to_string(drives);
        execl(program.c_str(), program.c_str(), "--virtual-drives", count.c_str(), "--speed", speed.c_str(),
              "--scripted-run", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string printed;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) printed.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(program + " with " + std::to_string(drives) + " drives failed (status " + std::to_string(status) + ")");
    if (printed.find("Update OK.") == std::string::npos)
        Fail("the run on " + std::to_string(drives) + " drives did not end clean:\n" + printed);
    return {std::chrono::duration<double, std::milli>(end - start).count(), CpuMs(usage)};
}

std::optional<int> Positive(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value <= 0 || value > 100000) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string self = argv[0];
    std::string program = self.substr(0, self.rfind('/') + 1) + "../main/romwright";
    std::string speed = "20";
    int repeats = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) Fail("unknown argument or missing value: " + arg);
        const std::string value = argv[++i];
        if (arg == "--program") {
            program = value;
        } else if (arg == "--speed") {
            if (!Positive(value) || *Positive(value) > 1000) Fail("--speed takes a whole number from 1 to 1000");
            speed = value;
        } else if (arg == "--repeats") {
            const auto n = Positive(value);
            if (!n) Fail("--repeats takes a positive whole number");
            repeats = *n;
        } else {
            Fail("unknown argument: " + arg);
        }
    }
    if (access(program.c_str(), X_OK) != 0) Fail("no program at " + program);

    Figures one{1e18, 0}, ten{1e18, 0};
    double cpuOne = 0, cpuTen = 0;
    for (int i = 0; i < repeats; ++i) {
        const Figures a = Run(program, 1, speed);
        const Figures b = Run(program, 10, speed);
        if (a.wallMs < one.wallMs) one = a;
        if (b.wallMs < ten.wallMs) ten = b;
        cpuOne += a.cpuMs;
        cpuTen += b.cpuMs;
    }
    std::printf("speed=%s repeats=%d\n", speed.c_str(), repeats);
    std::printf("wall_1_drive_ms=%.0f wall_10_drives_ms=%.0f\n", one.wallMs, ten.wallMs);
    std::printf("parallel_ratio=%.3f\n", ten.wallMs / one.wallMs);
    std::printf("cpu_per_drive_ms=%.1f (1 drive: %.1f, 10 drives: %.1f per drive)\n", cpuTen / repeats / 10,
                cpuOne / repeats, cpuTen / repeats / 10);
    return 0;
}
