// Whole update runs of the real program on virtual bays of 1 and 10 good drives at a fixed
// speed: how well ten drives run in parallel, and what a drive costs in CPU time.
//   update_run [--program ROMWRIGHT] [--speed N] [--repeats N]
// Every run must end with the clean-run question; anything else ends the benchmark without figures.
#include "bench/Measure.h"

namespace {

bench::Figures RunOnce(const std::string& program, int drives, const std::string& speed) {
    const bench::Run run = bench::Measure(
        {program, "--virtual-drives", std::to_string(drives), "--speed", speed, "--scripted-run"});
    if (!bench::Ended(run))
        bench::Fail(program + " with " + std::to_string(drives) + " drives failed (status " +
                    std::to_string(run.status) + ")");
    if (run.printed.find("Update OK.") == std::string::npos)
        bench::Fail("the run on " + std::to_string(drives) + " drives did not end clean:\n" + run.printed);
    return run.figures;
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Options o = bench::ParseOptions(argc, argv, "update_run", "../main/romwright", 3);
    bench::Figures one{1e18, 0}, ten{1e18, 0};
    double cpuOne = 0, cpuTen = 0;
    for (int i = 0; i < o.repeats; ++i) {
        const bench::Figures a = RunOnce(o.program, 1, o.speed);
        const bench::Figures b = RunOnce(o.program, 10, o.speed);
        if (a.wallMs < one.wallMs) one = a;
        if (b.wallMs < ten.wallMs) ten = b;
        cpuOne += a.cpuMs;
        cpuTen += b.cpuMs;
    }
    std::printf("speed=%s repeats=%d\n", o.speed.c_str(), o.repeats);
    std::printf("wall_1_drive_ms=%.0f wall_10_drives_ms=%.0f\n", one.wallMs, ten.wallMs);
    std::printf("parallel_ratio=%.3f\n", ten.wallMs / one.wallMs);
    std::printf("cpu_per_drive_ms=%.1f (1 drive: %.1f, 10 drives: %.1f per drive)\n", cpuTen / o.repeats / 10,
                cpuOne / o.repeats, cpuTen / o.repeats / 10);
    return 0;
}
