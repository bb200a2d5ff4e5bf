// One flash worker per device: writes the built-in firmware to its drive on its own thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "drive_access/DriveLink.h"
#include "platform/Platform.h"

namespace firmware {
struct FirmwareImage;
}

constexpr int32_t ResultOk = 0;
constexpr int32_t ResultFailed = 1;
constexpr int32_t ResultWrongDrive = 3;
// Another program holds the drive for a job of its own: nothing was sent to it.
constexpr int32_t ResultBusy = 4;

constexpr int kWorkerCount = 10;

// The model the built-in image is for, as INQUIRY names it.
constexpr char kModelVendor[] = "ORVEX";
constexpr char kModelProduct[] = "DVD RW LMX2097";
// The identity test of a job: vendor over bytes 8-12 and product over bytes 16-29 of the INQUIRY
// data, byte for byte; what follows them may differ.
bool IsModelToUpdate(const uint8_t* inquiry);
constexpr int32_t kMediumTestTimeoutMs = 50000;

// The workers' report tables, by device index. A worker writes a device's name before it can
// set that device's flag, so whoever sees a flag set also sees the whole name.
class DeviceNameTable {
public:
    std::string Get(int index) const;
    void Set(int index, std::string name);
    void Clear();

private:
    mutable std::mutex mutex_;
    std::array<std::string, kWorkerCount> names_;
};

extern DeviceNameTable DeviceNames;
extern std::array<std::atomic<uint8_t>, kWorkerCount> WrongDrive;

// What a worker's job is doing, for whoever shows it; the last value stays after the job.
enum class JobState : int {
    Idle,
    Identifying,
    WaitingForDrive,  // the medium test
    Ejecting,
    Writing,          // JobBlock says which block
    Programming,      // the one-minute wait after the transfer
    Verifying,
    Updated,
    Verified,         // updated, and the flash read back
    Failed,
    WrongModel,
    Busy,
};

// Where a job that did not update its drive stopped, for the report's reason.
enum class JobStop : int {
    None,
    NoAnswer,        // INQUIRY failed
    NoMedium,        // the medium test: no disc with a qualifier (JobSense)
    BlockRefused,    // JobBlock refused with JobSense
    BlockRestarted,  // JobBlock refused with a unit attention: the drive restarted mid-transfer
    BlockLost,       // JobBlock never answered (JobError: ETIMEDOUT, ENODEV, ...)
    Busy,            // another program holds the drive (BusyHolder)
};

class AspiExec {
public:
    enum class State { Created, Waiting, Working, Parked };

    // Workers sleep through `clock`; they write `image` (the built-in firmware unless a test
    // gives another).
    AspiExec(bool createSuspended, platform::Clock& clock, const firmware::FirmwareImage* image = nullptr);
    // Lets a job in progress finish, then ends the thread. The program never destroys workers.
    ~AspiExec();
    AspiExec(const AspiExec&) = delete;
    AspiExec& operator=(const AspiExec&) = delete;

    // Hands a job over: ReportIndex, VerifyFlag, RunFlag, in that order, then Resume. A job
    // handed over while another is running is run after it, never merged into it.
    void HandOver(int32_t reportIndex, bool verify);
    void Resume();
    void SetPriorityNormal() {}

    // True while a handed-over job has not ended.
    bool Busy() const;
    // Blocks until every handed-over job has ended.
    void WaitIdle() const;
    // Jobs ended since construction; with Busy() it tells a caller its job is over.
    uint64_t JobsEnded() const;
    State CurrentState() const;
    // For measuring the worker's own CPU time.
    std::thread::native_handle_type NativeHandle() { return thread_.native_handle(); }

    // The flash checksum of this worker's drive, read over its own attached Link.
    uint16_t ReadBackChecksum();
    // The identity the last job read (as DeviceNames keeps it, for any number of devices).
    std::string LastIdentity() const;

    std::atomic<int32_t> DeviceIndex{0};
    std::atomic<uint8_t> RunFlag{0};
    drive_access::DriveLink Link = drive_access::kDetached;  // the worker's thread only
    std::atomic<int32_t> ResultCode{0};
    std::atomic<uint16_t> ReadBackSum{0};
    std::atomic<uint8_t> VerifyFlag{0};
    std::atomic<int32_t> ReportIndex{0};
    // With ResultBusy: the process holding the drive, 0 when it cannot be known.
    std::atomic<int32_t> BusyHolder{0};

    // Published as the job goes, read by the window on its own thread.
    std::atomic<JobState> Phase{JobState::Idle};
    std::atomic<int32_t> PhaseBlock{0};    // with Writing: the block being written, from 0
    std::atomic<int64_t> PhaseSince{0};    // the clock's seconds when Phase last changed
    std::atomic<JobStop> Stop{JobStop::None};
    std::atomic<int32_t> StopBlock{-1};
    std::atomic<uint32_t> StopSense{0};    // packed as SenseCode packs it; 0: none
    std::atomic<int32_t> StopError{0};     // errno-style transport reason; 0: none
    std::atomic<uint8_t> ReadBackFailed{0};  // the last read-back could not read the whole flash

private:
    void Execute();
    // Returns true when the worker parks after the job, false when it only waits.
    bool RunJob(int32_t reportIndex, bool verify);
    void Enter(JobState state);
    void Stopped(JobStop stop, int32_t block, uint32_t sense, int32_t error);

    platform::Clock& clock_;
    const firmware::FirmwareImage& image_;
    uint8_t buffer_[33] = {};
    mutable std::mutex identityMutex_;
    std::string identity_;

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool resumed_ = false;
    bool stopping_ = false;
    uint64_t handed_ = 0;  // jobs handed over
    uint64_t ended_ = 0;   // jobs ended
    State state_ = State::Created;
    std::thread thread_;
};
