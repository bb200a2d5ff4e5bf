// Recording fakes of the platform seam, answering from a script.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace platform::fakes {

// ---------------------------------------------------------------- pass-through

struct PassThroughRecord {
    Handle handle;
    int id;  // drive id the handle was opened for
    uint16_t lengthField;
    uint8_t cdb[16];
    uint8_t cdbLength;
    uint8_t senseInfoLength;
    uint32_t senseInfoOffset;
    uint8_t dataIn;
    void* buffer;
    uint32_t length;
    uint32_t timeoutSeconds;
    uint8_t pathId, targetId, lun;
    std::vector<uint8_t> dataOut;  // copy of the bytes sent, for data-out commands
};

struct PassThroughReply {
    int carriedOut = 1;  // 0: the request itself failed (error below)
    int error = 0;
    uint8_t status = 0;  // SCSI status; 2 = CHECK CONDITION
    std::vector<uint8_t> sense;
    std::vector<uint8_t> data;  // copied into the caller's buffer for data-in
    int64_t transferred = -1;   // bytes reported moved; -1: all that were asked for

    static PassThroughReply Good(std::vector<uint8_t> data = {}) {
        PassThroughReply r;
        r.data = std::move(data);
        return r;
    }
    // Fixed-format sense with the given byte 2, ASC and ASCQ.
    static PassThroughReply Check(uint8_t byte2, uint8_t asc, uint8_t ascq);
    static PassThroughReply Failed(int error) {
        PassThroughReply r;
        r.carriedOut = 0;
        r.error = error;
        return r;
    }
};

class FakeDeviceHost : public DeviceHost {
public:
    std::vector<OpticalDrive> ListOpticalDrives() override;
    Handle Open(int id, int* error) override;
    void Close(Handle handle) override;
    int SendPassThrough(Handle handle, PassThroughBlock& block, int* error) override;

    // Script.
    void SetDrives(std::vector<OpticalDrive> drives);
    void FailOpen(int id, int error);
    void Queue(int id, PassThroughReply reply);  // answered first, in order
    void SetResponder(std::function<PassThroughReply(const PassThroughRecord&)> responder);

    // Record.
    std::vector<PassThroughRecord> Commands() const;
    std::vector<int> Opens() const;            // drive ids, in order
    std::vector<Handle> Closes() const;
    int ListCalls() const;

private:
    mutable std::mutex mutex_;
    std::vector<OpticalDrive> drives_;
    std::map<int, int> openErrors_;
    std::map<int, std::deque<PassThroughReply>> queued_;
    std::function<PassThroughReply(const PassThroughRecord&)> responder_;
    std::map<Handle, int> open_;
    Handle nextHandle_ = 100;
    std::vector<PassThroughRecord> commands_;
    std::vector<int> opens_;
    std::vector<Handle> closes_;
    int listCalls_ = 0;
};

// ---------------------------------------------------------------- ASPI-style manager

struct ExecRecord {
    SrbExecScsiCmd* block;
    uint8_t cmd, haId, flags, target, lun;
    uint32_t bufLen;
    uint8_t* bufPointer;
    uint8_t senseLen, cdbLen;
    Event* postProc;
    uint8_t cdb[16];
};

struct AbortRecord {
    uint8_t cmd, haId, flags;
    uint32_t hdrRsvd;
    SrbExecScsiCmd* toAbort;
};

struct ExecReply {
    enum Mode { Immediate, PendingThenComplete, NeverComplete };
    Mode mode = Immediate;
    uint8_t status = SS_COMP;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> data;
    // SRB_TargStat; -1: CHECK CONDITION when there is sense, else GOOD.
    int targetStatus = -1;
    // false: an immediate answer that only returns the status and leaves the block as it was.
    bool writesStatus = true;

    // The ways a command can be lost in the transport.
    static ExecReply Hangs(bool abortEndsIt = true) {
        ExecReply r;
        r.mode = NeverComplete;
        r.abortEndsCommand = abortEndsIt;
        return r;
    }
    static ExecReply NoDevice(bool writesItsStatus = true) {
        ExecReply r;
        r.status = SS_NO_DEVICE;
        r.writesStatus = writesItsStatus;
        return r;
    }
    // What an abort of a never-completed command does.
    uint8_t abortStatus = SS_COMP;
    bool abortEndsCommand = true;  // the aborted block leaves SS_PENDING
    bool completeDuringAbort = false;  // ...and ends with SS_COMP instead of SS_ABORTED
};

class FakeAspi : public AspiLoader {
public:
    void* Load(const std::string& name) override;
    GetSupportInfoFn GetSupportInfo(void* library) override;
    SendCommandFn SendCommand(void* library) override;
    void Free(void* library) override;

    // Script.
    bool loadable = true;
    bool hasGetSupportInfo = true;
    bool hasSendCommand = true;
    uint32_t supportInfo = (SS_COMP << 8) | 0;
    void AddDevice(int adapter, int target, uint8_t deviceType = DTYPE_CDROM, uint8_t status = SS_COMP);
    void SetResponder(std::function<ExecReply(const ExecRecord&)> responder);
    void Queue(ExecReply reply);

    // Record.
    std::vector<std::string> loadedNames() const;
    int frees() const;
    std::vector<std::pair<int, int>> DevTypeQueries() const;  // (adapter, target)
    std::vector<ExecRecord> Execs() const;
    std::vector<AbortRecord> Aborts() const;

private:
    uint32_t Send(SrbHeader* srb);

    mutable std::mutex mutex_;
    std::map<std::pair<int, int>, std::pair<uint8_t, uint8_t>> devices_;  // -> (status, type)
    std::function<ExecReply(const ExecRecord&)> responder_;
    std::deque<ExecReply> queued_;
    std::map<SrbExecScsiCmd*, ExecReply> pending_;
    std::vector<std::string> loaded_;
    int frees_ = 0;
    std::vector<std::pair<int, int>> devTypeQueries_;
    std::vector<ExecRecord> execs_;
    std::vector<AbortRecord> aborts_;
    int token_ = 0;
};

// ---------------------------------------------------------------- process and operator

struct ExitCalled {
    int code;
};

class FakeProcess : public Process {
public:
    int PlatformFamily() override { return family; }
    std::string WorkingDirectory() override { return workingDirectory; }
    [[noreturn]] void Exit(int code) override { throw ExitCalled{code}; }
    int RestartComputer() override {
        ++restarts;
        return restartResult;
    }

    int family = PlatformPassThroughFamily;
    std::string workingDirectory = "/tmp";
    int restartResult = 1;
    int restarts = 0;
};

class FakeDialogs : public Dialogs {
public:
    void Message(const std::string& text) override;
    bool OkCancel(const std::string& text, const std::string& title) override;
    void DismissOpenQuestion() override { ++dismissals; }

    std::vector<std::string> Messages() const;
    std::vector<std::pair<std::string, std::string>> Questions() const;  // (text, title)
    void QueueAnswer(bool ok);
    // Called inside Message (on the caller's thread), e.g. to check state while a box is up.
    std::function<void(const std::string&)> onMessage;
    void Clear();
    std::atomic<int> dismissals{0};

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
    std::vector<std::pair<std::string, std::string>> questions_;
    std::deque<bool> answers_;
};

}  // namespace platform::fakes
