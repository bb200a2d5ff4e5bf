#include "run/Engine.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "firmware/FirmwareImage.h"
#include "platform/AppendLog.h"
#include "run/History.h"

namespace run {
namespace {

// The program-wide name tables hold ten entries: a device past them gets an index they ignore,
// and the engine reads each worker's own fields instead.
int32_t ReportIndexOf(int device) { return device >= 0 && device < kWorkerCount ? device : kWorkerCount; }

struct Job {
    std::unique_ptr<AspiExec> worker;
    bool running = false;
    bool seen = false;  // a state was reported
    JobState state = JobState::Idle;
    int32_t block = -1;
};

}  // namespace

Engine::Engine(platform::Clock& clock, EngineOptions options) : clock_(clock), options_(std::move(options)) {}

std::vector<DriveResult> Engine::Run(const std::vector<DriveJob>& jobs, EngineObserver& observer) {
    const firmware::FirmwareImage& image = options_.image ? *options_.image : firmware::BuiltInFirmware;
    runId_ = IsoTime(platform::UtcSeconds()) + "-1";
    stopRequested_ = false;

    std::vector<DriveResult> results(jobs.size());
    std::vector<Job> state(jobs.size());
    std::vector<size_t> order;  // jobs to hand out, first entry of each device only
    for (size_t k = 0; k < jobs.size(); ++k) {
        results[k].job = jobs[k];
        results[k].report = {Outcome::Failed, "Not started", "the run was stopped before this drive's turn"};
        const bool repeated = std::any_of(order.begin(), order.end(),
                                          [&](size_t j) { return jobs[j].device == jobs[k].device; });
        if (repeated)
            results[k].report.reason = "named twice; one job per drive";
        else
            order.push_back(k);
    }

    std::unique_ptr<platform::AppendLog> history;
    if (!options_.historyPath.empty()) history = std::make_unique<platform::AppendLog>(options_.historyPath);
    std::unique_ptr<platform::Inhibitor> inhibitor;
    bool inhibitTried = false;

    auto record = [&](const DriveResult& r) {
        JobRecord rec;
        rec.time = IsoTime(platform::UtcSeconds());
        rec.runId = runId_;
        rec.node = r.job.node;
        rec.serial = r.job.serial;
        rec.identity = r.identity;
        rec.outcome = OutcomeWord(r.report.outcome);
        rec.reason = r.report.reason;
        if (r.facts.stopSense != 0 && r.report.outcome == Outcome::Failed) rec.sense = SenseText(r.facts.stopSense);
        if (r.facts.verifying && r.facts.result == ResultOk) {
            rec.readBack = r.facts.readBackSum;
            rec.reference = r.facts.reference;
        }
        rec.imageAdditiveSum = image.AdditiveSum;
        rec.imageRotatingSum = image.RotatingSum;
        rec.version = kVersion;
        rec.virtualDrives = options_.virtualDrives;
        std::string error;
        if (history && !history->Append(ToJsonLine(rec), &error)) {
            observer.Notice("record not written: " + error);
            history.reset();  // one notice a run, not one a drive
        }
        if (options_.session != nullptr) options_.session->Journal(ToJournalFields(rec));
    };

    auto look = [&](size_t k) {
        Job& j = state[k];
        const JobState phase = j.worker->Phase;
        const int32_t block = phase == JobState::Writing ? j.worker->PhaseBlock.load() : -1;
        if (j.seen && phase == j.state && block == j.block) return;
        if (phase == JobState::Idle) return;
        j.seen = true;
        j.state = phase;
        j.block = block;
        DriveProgress p;
        p.state = phase;
        p.block = block < 0 ? 0 : block;
        p.blockCount = image.BlockCount;
        p.text = StateText(phase, p.block, image.BlockCount, clock_.NowSeconds() - j.worker->PhaseSince);
        observer.StateChanged(jobs[k], p);
    };

    size_t next = 0;
    int running = 0;
    for (;;) {
        if (observer.StopRequested()) stopRequested_ = true;
        while (!stopRequested_ && next < order.size() &&
               (options_.maxParallel <= 0 || running < options_.maxParallel)) {
            // No sleep, shutdown or lid switch may cut a transfer in half; without the lock the
            // run goes on.
            if (!inhibitTried) {
                inhibitTried = true;
                std::string refused = "no session service";
                if (options_.session != nullptr)
                    inhibitor = options_.session->Inhibit(
                        "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
                        "handle-lid-switch",
                        "Romwright", "Updating DVD writer firmware", "block", &refused);
                if (!inhibitor) observer.Notice("sleep not blocked: " + refused);
            }
            const size_t k = order[next++];
            Job& j = state[k];
            j.worker = std::make_unique<AspiExec>(true, clock_, &image);
            j.worker->DeviceIndex = jobs[k].device;
            j.worker->Phase = JobState::Idle;
            j.worker->HandOver(ReportIndexOf(jobs[k].device), options_.verify);
            j.running = true;
            results[k].started = true;
            ++running;
            if (observer.StopRequested()) stopRequested_ = true;
        }

        for (size_t k = 0; k < state.size(); ++k) {
            Job& j = state[k];
            if (!j.running) continue;
            // Busy() is read under the worker's lock, after which every field the job wrote is
            // visible here.
            const bool ended = !j.worker->Busy();
            look(k);
            if (!ended) continue;
            j.running = false;
            --running;
            DriveResult& r = results[k];
            r.identity = j.worker->LastIdentity();
            r.facts = FactsOf(*j.worker, false, options_.verify, options_.reference);
            r.report = Judge(r.facts);
            record(r);
            observer.Finished(r);
        }

        if (running == 0 && (stopRequested_ || next == order.size())) break;
        clock_.SleepMs(options_.pollMs);
    }

    std::string error;
    if (history && !history->Sync(&error)) observer.Notice("record not written: " + error);
    inhibitor.reset();
    for (Job& j : state)
        if (j.worker) j.worker->WaitIdle();
    return results;
}

}  // namespace run
