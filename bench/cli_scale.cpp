// Whole runs of romwright-cli on 1, 10, 32 and 64 good virtual drives at a fixed speed: how the
// wall time grows with the number of drives, and what a drive costs in CPU time.
//   cli_scale [--program ROMWRIGHT-CLI] [--speed N] [--repeats N]
// Every run must update every drive; anything else ends the benchmark without figures.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Figures {
    double wallMs = 0;
    double cpuMs = 0;
};

double CpuMs(const rusage& u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "cli_scale: %s\n", text.c_str());
    std::exit(1);
}

// One run in a scratch folder of its own; its figures only when every drive was updated.
Figures Run(const std::string& program, int drives, const std::string& speed) {
    std::string pattern = (std::filesystem::temp_directory_path() / "rw-cli-scale-XXXXXX").string();
    if (!mkdtemp(pattern.data())) Fail("cannot make a scratch folder");
    const std::string dir = pattern;
    const std::string history = dir + "/history.jsonl";
    int out[2];
    if (pipe(out) != 0) Fail("cannot make a pipe");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) Fail("cannot fork");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        if (chdir(dir.c_str()) != 0) _exit(127);
        const std::string count = std::to_string(drives);
        execl(program.c_str(), program.c_str(), "--virtual-drives", count.c_str(), "--speed", speed.c_str(), "flash",
              "--no-verify", "--json", "--history", history.c_str(), static_cast<char*>(nullptr));
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
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(program + " with " + std::to_string(drives) + " drives failed (status " + std::to_string(status) + ")");
    const std::string updated = "\"updated\":" + std::to_string(drives) + ",";
    if (printed.find("\"event\":\"summary\"") == std::string::npos || printed.find(updated) == std::string::npos)
        Fail("the run on " + std::to_string(drives) + " drives did not update every drive");
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
    std::string program = self.substr(0, self.rfind('/') + 1) + "../cli/romwright-cli";
    std::string speed = "20";
    int repeats = 1;
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
    // Each run starts in a scratch folder of its own.
    program = std::filesystem::absolute(program).string();

    const std::vector<int> sizes = {1, 10, 32, 64};
    std::vector<Figures> best(sizes.size(), Figures{1e18, 0});
    std::vector<double> cpu(sizes.size(), 0);
    // Every run first: no figure is printed unless all of them succeeded.
    for (int r = 0; r < repeats; ++r) {
        for (size_t k = 0; k < sizes.size(); ++k) {
            const Figures f = Run(program, sizes[k], speed);
            if (f.wallMs < best[k].wallMs) best[k] = f;
            cpu[k] += f.cpuMs;
        }
    }
    std::printf("speed=%s repeats=%d\n", speed.c_str(), repeats);
    for (size_t k = 0; k < sizes.size(); ++k)
        std::printf("drives=%d wall_ms=%.0f cpu_per_drive_ms=%.1f\n", sizes[k], best[k].wallMs,
                    cpu[k] / repeats / sizes[k]);
    std::printf("parallel_ratio_64=%.3f\n", best.back().wallMs / best.front().wallMs);
    return 0;
}
