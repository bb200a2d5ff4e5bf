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
    std::unique_ptr<AspiExec> own;  // a worker the engine made
    AspiExec* worker = nullptr;
    bool running = false;
    bool seen = false;  // a state was reported
    JobState state = JobState::Idle;
    int32_t block = -1;
};

int runCount = 0;  // runs of this process, for their ids (the window's thread or the CLI's)

}  // namespace

struct Engine::State {
    const firmware::FirmwareImage* image = nullptr;
    std::vector<DriveJob> jobs;
    std::vector<DriveResult> results;
    std::vector<Job> job;
    std::vector<size_t> order;  // jobs to hand out, first entry of each device only
    size_t next = 0;
    int running = 0;
    std::unique_ptr<platform::AppendLog> history;
    std::unique_ptr<platform::Inhibitor> inhibitor;
    bool inhibitTried = false;
};

Engine::Engine(platform::Clock& clock, EngineOptions options) : clock_(clock), options_(std::move(options)) {}

Engine::~Engine() {
    if (state_)
        for (Job& j : state_->job)
            if (j.worker) j.worker->WaitIdle();
}

std::vector<DriveResult> Engine::Run(const std::vector<DriveJob>& jobs, EngineObserver& observer) {
    Begin(jobs, observer);
    while (!Step(observer)) clock_.SleepMs(options_.pollMs);
    return End(observer);
}

void Engine::Begin(const std::vector<DriveJob>& jobs, EngineObserver& observer) {
    state_ = std::make_unique<State>();
    State& s = *state_;
    s.image = options_.image ? options_.image : &firmware::BuiltInFirmware;
    runId_ = IsoTime(platform::UtcSeconds()) + "-" + std::to_string(++runCount);
    stopRequested_ = false;
    s.jobs = jobs;
    s.results.resize(jobs.size());
    s.job.resize(jobs.size());
    for (size_t k = 0; k < jobs.size(); ++k) {
        s.results[k].job = jobs[k];
        s.results[k].report = {Outcome::Failed, "Not started", "the run was stopped before this drive's turn"};
        const bool repeated = std::any_of(s.order.begin(), s.order.end(),
                                          [&](size_t j) { return jobs[j].device == jobs[k].device; });
        if (repeated)
            s.results[k].report.reason = "named twice; one job per drive";
        else
            s.order.push_back(k);
    }
    if (!options_.historyPath.empty()) s.history = std::make_unique<platform::AppendLog>(options_.historyPath);
    HandOut(observer);
}

void Engine::HandOut(EngineObserver& observer) {
    State& s = *state_;
    if (observer.StopRequested()) stopRequested_ = true;
    while (!stopRequested_ && s.next < s.order.size() &&
           (options_.maxParallel <= 0 || s.running < options_.maxParallel)) {
        // No sleep, shutdown or lid switch may cut a transfer in half; without the lock the run
        // goes on.
        if (!s.inhibitTried) {
            s.inhibitTried = true;
            std::string refused = "no session service";
            if (options_.session != nullptr)
                s.inhibitor = options_.session->Inhibit(
                    "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch",
                    "Romwright", "Updating DVD writer firmware", "block", &refused);
            if (!s.inhibitor) observer.Notice("sleep not blocked: " + refused);
        }
        const size_t k = s.order[s.next++];
        Job& j = s.job[k];
        if (s.jobs[k].worker != nullptr) {
            j.worker = s.jobs[k].worker;
        } else {
            j.own = std::make_unique<AspiExec>(true, clock_, s.image);
            j.own->DeviceIndex = s.jobs[k].device;
            j.worker = j.own.get();
        }
        j.worker->Phase = JobState::Idle;
        j.worker->HandOver(ReportIndexOf(s.jobs[k].device), options_.verify);
        j.running = true;
        s.results[k].started = true;
        ++s.running;
        if (observer.StopRequested()) stopRequested_ = true;
    }
}

void Engine::Look(size_t k, EngineObserver& observer) {
    State& s = *state_;
    Job& j = s.job[k];
    const JobState phase = j.worker->Phase;
    const int32_t block = phase == JobState::Writing ? j.worker->PhaseBlock.load() : -1;
    if (phase == JobState::Idle || (j.seen && phase == j.state && block == j.block)) return;
    j.seen = true;
    j.state = phase;
    j.block = block;
    DriveProgress p;
    p.state = phase;
    p.block = block < 0 ? 0 : block;
    p.blockCount = s.image->BlockCount;
    p.text = StateText(phase, p.block, s.image->BlockCount, clock_.NowSeconds() - j.worker->PhaseSince);
    observer.StateChanged(s.jobs[k], p);
}

void Engine::Record(const DriveResult& r, EngineObserver& observer) {
    State& s = *state_;
    JobRecord rec;
    rec.time = IsoTime(platform::UtcSeconds());
    rec.runId = runId_;
    rec.node = r.job.node;
    rec.slot = r.job.slot;
    rec.serial = r.job.serial;
    rec.identity = r.identity;
    rec.outcome = OutcomeWord(r.report.outcome);
    rec.reason = r.report.reason;
    if (r.facts.stopSense != 0 && r.report.outcome == Outcome::Failed) rec.sense = SenseText(r.facts.stopSense);
    if (r.facts.verifying && r.facts.result == ResultOk) {
        rec.readBack = r.facts.readBackSum;
        rec.reference = r.facts.reference;
    }
    rec.imageAdditiveSum = s.image->AdditiveSum;
    rec.imageRotatingSum = s.image->RotatingSum;
    rec.version = kVersion;
    rec.virtualDrives = options_.virtualDrives;
    std::string error;
    if (s.history && !s.history->Append(ToJsonLine(rec), &error)) {
        observer.Notice("record not written: " + error);
        s.history.reset();  // one notice a run, not one a drive
    }
    if (options_.session != nullptr) options_.session->Journal(ToJournalFields(rec));
}

bool Engine::Step(EngineObserver& observer) {
    State& s = *state_;
    HandOut(observer);
    for (size_t k = 0; k < s.job.size(); ++k) {
        Job& j = s.job[k];
        if (!j.running) continue;
        // Busy() is read under the worker's lock, after which every field the job wrote is
        // visible here.
        const bool ended = !j.worker->Busy();
        Look(k, observer);
        if (!ended) continue;
        j.running = false;
        --s.running;
        DriveResult& r = s.results[k];
        r.identity = j.worker->LastIdentity();
        r.facts = FactsOf(*j.worker, false, options_.verify, options_.reference);
        r.report = Judge(r.facts);
        Record(r, observer);
        observer.Finished(r);
    }
    if (observer.StopRequested()) stopRequested_ = true;
    return s.running == 0 && (stopRequested_ || s.next == s.order.size());
}

std::vector<DriveResult> Engine::End(EngineObserver& observer) {
    State& s = *state_;
    // Whatever ended since the last look is judged and recorded before the run is closed.
    while (!Step(observer)) {
        for (Job& j : s.job)
            if (j.running) j.worker->WaitIdle();
    }
    std::string error;
    if (s.history && !s.history->Sync(&error)) observer.Notice("record not written: " + error);
    s.inhibitor.reset();
    return s.results;
}

}  // namespace run
