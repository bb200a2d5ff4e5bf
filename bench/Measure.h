// What the benchmark programs share: running the real program once and measuring it, and the
// command line every benchmark takes.
//   NAME [--program PATH] [--speed N] [--repeats N]
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Figures {
    double wallMs = 0;
    double cpuMs = 0;
};

struct Run {
    Figures figures;
    int status = 0;       // as wait4 gives it
    std::string printed;  // standard output
};

inline const char* gName = "bench";

[[noreturn]] inline void Fail(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", gName, text.c_str());
    std::exit(1);
}

inline double CpuMs(const rusage& u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Runs `argv` (argv[0] the program) in `dir` (empty: here), standard error to /dev/null, and
// measures its wall and CPU time.
inline Run Measure(const std::vector<std::string>& argv, const std::string& dir = std::string()) {
    int out[2];
    if (pipe(out) != 0) Fail("cannot make a pipe");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) Fail("cannot fork");
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        dup2(out[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    Run run;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) run.printed.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    rusage usage{};
    wait4(pid, &run.status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    run.figures = {std::chrono::duration<double, std::milli>(end - start).count(), CpuMs(usage)};
    return run;
}

inline bool Ended(const Run& run) { return WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0; }

struct Options {
    std::string program;
    std::string speed = "20";
    int repeats = 1;
};

inline std::optional<int> Positive(const std::string& text, long most) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value <= 0 || value > most) return std::nullopt;
    return static_cast<int>(value);
}

// Anything it does not know ends the benchmark before it measures anything.
inline Options ParseOptions(int argc, char** argv, const char* name, const std::string& programNextToUs,
                            int repeats) {
    gName = name;
    Options o;
    const std::string self = argv[0];
    o.program = self.substr(0, self.rfind('/') + 1) + programNextToUs;
    o.repeats = repeats;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) Fail("unknown argument or missing value: " + arg);
        const std::string value = argv[++i];
        if (arg == "--program") {
            o.program = value;
        } else if (arg == "--speed") {
            if (!Positive(value, 1000)) Fail("--speed takes a whole number from 1 to 1000");
            o.speed = value;
        } else if (arg == "--repeats") {
            const auto n = Positive(value, 100000);
            if (!n) Fail("--repeats takes a positive whole number");
            o.repeats = *n;
        } else {
            Fail("unknown argument: " + arg);
        }
    }
    if (access(o.program.c_str(), X_OK) != 0) Fail("no program at " + o.program);
    return o;
}

}  // namespace bench
