// Whole runs of romwright-cli on 1, 10, 32 and 64 good virtual drives at a fixed speed: how the
// wall time grows with the number of drives, and what a drive costs in CPU time.
//   cli_scale [--program ROMWRIGHT-CLI] [--speed N] [--repeats N]
// Every run must update every drive; anything else ends the benchmark without figures.
#include <filesystem>

#include "bench/Measure.h"

namespace {

// One run in a scratch folder of its own; its figures only when every drive was updated.
bench::Figures RunOnce(const std::string& program, int drives, const std::string& speed) {
    std::string pattern = (std::filesystem::temp_directory_path() / "rw-cli-scale-XXXXXX").string();
    if (!mkdtemp(pattern.data())) bench::Fail("cannot make a scratch folder");
    const std::string dir = pattern;
    const bench::Run run = bench::Measure({program, "--virtual-drives", std::to_string(drives), "--speed", speed,
                                           "flash", "--no-verify", "--json", "--history", dir + "/history.jsonl"},
                                          dir);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    if (!bench::Ended(run))
        bench::Fail(program + " with " + std::to_string(drives) + " drives failed (status " +
                    std::to_string(run.status) + ")");
    const std::string updated = "\"updated\":" + std::to_string(drives) + ",";
    if (run.printed.find("\"event\":\"summary\"") == std::string::npos ||
        run.printed.find(updated) == std::string::npos)
        bench::Fail("the run on " + std::to_string(drives) + " drives did not update every drive");
    return run.figures;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv, "cli_scale", "../cli/romwright-cli", 1);
    // Each run starts in a scratch folder of its own.
    const std::string program = std::filesystem::absolute(o.program).string();
    const std::string speed = o.speed;
    const int repeats = o.repeats;

    const std::vector<int> sizes = {1, 10, 32, 64};
    std::vector<bench::Figures> best(sizes.size(), bench::Figures{1e18, 0});
    std::vector<double> cpu(sizes.size(), 0);
    // Every run first: no figure is printed unless all of them succeeded.
    for (int r = 0; r < repeats; ++r) {
        for (size_t k = 0; k < sizes.size(); ++k) {
            const bench::Figures f = RunOnce(program, sizes[k], speed);
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
