// Whole update runs of the real program on virtual bays of 1 and 10 good drives at a fixed
// speed: how well ten drives run in parallel, and what a drive costs in CPU time.
//   update_run [ROMWRIGHT] [SPEED] [REPEATS]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Figures {
    double wallMs = 0;
    double cpuMs = 0;
};

double CpuMs(const rusage& u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

Figures Run(const std::string& program, int drives, const std::string& speed) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        const std::string count = std::to_string(drives);
        execl(program.c_str(), program.c_str(), "--virtual-drives", count.c_str(), "--speed", speed.c_str(),
              "--scripted-run", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "update_run: %s failed (status %d)\n", program.c_str(), status);
        std::exit(1);
    }
    return {std::chrono::duration<double, std::milli>(end - start).count(), CpuMs(usage)};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string self = argv[0];
    const std::string program = argc > 1 ? argv[1] : self.substr(0, self.rfind('/') + 1) + "../main/romwright";
    const std::string speed = argc > 2 ? argv[2] : "20";
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
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
