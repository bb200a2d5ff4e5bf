// An update run without slots or timers: one worker per drive, each job judged and recorded as
// it ends. Front ends learn what happens through an EngineObserver and decide what to show.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AspiThread/AspiExec.h"
#include "platform/Platform.h"
#include "platform/Session.h"
#include "run/Report.h"

namespace firmware {
struct FirmwareImage;
}

namespace run {

struct DriveJob {
    int device = -1;     // index in the installed device table
    std::string node;    // as the report names it
    std::string serial;  // as listed before the run, for the record
    int slot = -1;       // the window's slot, for the record; -1 where there are none
    // The worker to hand the job to (the window keeps one per device); null: the engine makes one.
    AspiExec* worker = nullptr;
};

struct DriveProgress {
    JobState state = JobState::Idle;
    int32_t block = 0;  // with Writing: the block being written, from 0
    int32_t blockCount = 0;
    std::string text;   // StateText
};

struct DriveResult {
    DriveJob job;
    // False when the run was stopped before this job was handed out: nothing was sent to it.
    bool started = false;
    std::string identity;  // as the job read it, before the update
    JobFacts facts;
    JobReport report;      // for a job not started: Failed, tag "Not started"
};

class EngineObserver {
public:
    virtual ~EngineObserver() = default;
    // A job's state or block changed. The workers are looked at every pollMs, so a state that
    // lasts less than that may never be seen.
    virtual void StateChanged(const DriveJob& job, const DriveProgress& progress) {
        (void)job;
        (void)progress;
    }
    // A job ended and was recorded.
    virtual void Finished(const DriveResult& result) { (void)result; }
    // What the operator should know that does not stop the run (no inhibitor, no record).
    virtual void Notice(const std::string& text) { (void)text; }
    // Asked before every hand-out and at every look at the workers: once it has said true, no
    // further job starts; jobs under way always run to their end.
    virtual bool StopRequested() { return false; }
};

struct EngineOptions {
    bool verify = false;        // read every updated drive back and compare with `reference`
    uint16_t reference = 0;
    std::string historyPath;    // empty: no record file
    bool virtualDrives = false; // for the record
    platform::SessionServices* session = nullptr;  // inhibitor and journal; none: neither
    int maxParallel = 0;        // jobs under way at once; 0: every job at once
    int32_t pollMs = 50;        // clock milliseconds between looks at the workers
    const firmware::FirmwareImage* image = nullptr;  // null: the built-in image
};

class Engine {
public:
    Engine(platform::Clock& clock, EngineOptions options);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Runs the jobs and returns one result per job, in the order given. A device named twice
    // gets one job; its second entry is not started. Returns only when every started job has
    // ended.
    std::vector<DriveResult> Run(const std::vector<DriveJob>& jobs, EngineObserver& observer);

    // The same in steps, for a front end that must not block (the window's timer): Begin hands
    // out what it may, each Step hands out more, reports and judges what ended, and says whether
    // every job has ended; End waits for the workers and returns the results.
    void Begin(const std::vector<DriveJob>& jobs, EngineObserver& observer);
    bool Step(EngineObserver& observer);
    std::vector<DriveResult> End(EngineObserver& observer);

    // The run's name in the record: "2026-12-11T16:30:05Z-1".
    const std::string& RunId() const { return runId_; }
    // Whether the last run was asked to stop (StopRequested said true at any point).
    bool StopRequested() const { return stopRequested_; }

private:
    struct State;
    void HandOut(EngineObserver& observer);
    void Look(size_t k, EngineObserver& observer);
    void Record(const DriveResult& r, EngineObserver& observer);

    platform::Clock& clock_;
    EngineOptions options_;
    std::string runId_;
    bool stopRequested_ = false;
    std::unique_ptr<State> state_;
};

}  // namespace run
