// The one seam between Romwright and the operating system. Nothing above this layer calls the
// OS directly; the Linux host, the virtual drive bay and the test fakes all sit behind it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- clock

enum class WaitResult { Signalled = 0, TimedOut = 258, Failed = -1 };

// Manual-reset event, as the ASPI-style manager signals it when a command ends.
class Event {
public:
    virtual ~Event() = default;
    virtual void Signal() = 0;
    virtual void Reset() = 0;
    virtual bool IsSignalled() const = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual void SleepMs(int32_t ms) = 0;
    // Wall clock in whole seconds.
    virtual int64_t NowSeconds() = 0;
    virtual std::shared_ptr<Event> CreateEvent() = 0;
    virtual WaitResult Wait(Event& event, int32_t timeoutMs) = 0;
};

// ---------------------------------------------------------------- pass-through

enum : uint8_t { DirIn = 8, DirOut = 16, DirNone = 0 };

// Values of the pass-through request's DataDirection (not the DirIn, DirOut codes callers pass).
enum : uint8_t { TransferOut = 0, TransferIn = 1, TransferNone = 2 };

// Our own pass-through request, laid out after what the transport fills in for one command.
struct PassThroughDirect {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataDirection;  // TransferIn, TransferOut or TransferNone
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;  // whole seconds
    void* DataBuffer;       // the caller's buffer: data never moves through the block
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};

constexpr int kSenseBufferSize = 32;

struct PassThroughBlock {
    PassThroughDirect Spt;
    uint32_t Filler;
    uint8_t SenseBuffer[kSenseBufferSize];
};

// Why a drive cannot be used: EACCES or EPERM (its vendor commands would be refused to this
// process) or EBUSY (another program holds it for a job), with the node that refused and, for
// EBUSY, the process holding it when that can be known (else 0).
struct AccessProblem {
    int error = 0;
    std::string node;
    int holder = 0;
};

using Handle = int64_t;
constexpr Handle kInvalidHandle = -1;

struct OpticalDrive {
    int id;            // stable identifier, e.g. the sr number on Linux
    std::string node;  // what an operator would recognise, e.g. /dev/sr0
};

class DeviceHost {
public:
    virtual ~DeviceHost() = default;
    // Every optical drive, in a stable order.
    virtual std::vector<OpticalDrive> ListOpticalDrives() = 0;
    // A handle (never 0) or kInvalidHandle; *error receives an errno-style code on failure.
    virtual Handle Open(int id, int* error) = 0;
    virtual void Close(Handle handle) = 0;
    // Runs one command; returns only when it has ended. Fills ScsiStatus and the sense buffer.
    // 1 when the request was carried out, 0 otherwise (*error then holds the reason).
    virtual int SendPassThrough(Handle handle, PassThroughBlock& block, int* error) = 0;
    // Why this process cannot use the drive now, or an empty answer when nothing is known to
    // stand in the way.
    virtual AccessProblem Access(int id) {
        (void)id;
        return {};
    }
};

// ---------------------------------------------------------------- ASPI-style manager

enum : uint8_t {
    SS_PENDING = 0x00,
    SS_COMP = 0x01,
    SS_ABORTED = 0x02,
    SS_ERR = 0x04,
    SS_INVALID_CMD = 0x80,
    SS_NO_DEVICE = 0x82,
};
enum : uint8_t { SC_HA_INQUIRY = 0, SC_GET_DEV_TYPE = 1, SC_EXEC_SCSI_CMD = 2, SC_ABORT_SRB = 3 };
enum : uint8_t { SRB_DIR_IN = 0x08, SRB_DIR_OUT = 0x10, SRB_EVENT_NOTIFY = 0x40 };
enum : uint8_t { DTYPE_CDROM = 5 };
constexpr int kAspiSenseLength = 32;

// Request blocks of our own. SRB_Status is written by the manager, possibly from another thread:
// read and write it through AspiStatus() only.
struct SrbHeader {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
};

struct SrbGetDevType {
    SrbHeader Hdr;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_DeviceType;
    uint8_t SRB_Rsvd1;
};

struct SrbExecScsiCmd {
    SrbHeader Hdr;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t* SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    Event* SRB_PostProc;
    uint8_t CDBByte[16];
    uint8_t SenseArea[kAspiSenseLength + 2];
};

struct SrbAbort {
    SrbHeader Hdr;
    SrbExecScsiCmd* SRB_ToAbort;
};

uint8_t AspiStatus(const SrbHeader& header);
void SetAspiStatus(SrbHeader& header, uint8_t status);

using GetSupportInfoFn = std::function<uint32_t()>;
using SendCommandFn = std::function<uint32_t(SrbHeader*)>;

class AspiLoader {
public:
    virtual ~AspiLoader() = default;
    // Opaque library token, or nullptr when the library cannot be loaded.
    virtual void* Load(const std::string& name) = 0;
    virtual GetSupportInfoFn GetSupportInfo(void* library) = 0;  // empty when missing
    virtual SendCommandFn SendCommand(void* library) = 0;        // empty when missing
    virtual void Free(void* library) = 0;
};

// ---------------------------------------------------------------- process and operator

enum : int { PlatformWin32s = 0, PlatformAspiFamily = 1, PlatformPassThroughFamily = 2 };

class Process {
public:
    virtual ~Process() = default;
    virtual int PlatformFamily() = 0;
    virtual std::string WorkingDirectory() = 0;
    [[noreturn]] virtual void Exit(int code) = 0;
    // 1 when the restart was accepted, 0 when refused.
    virtual int RestartComputer() = 0;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual void Message(const std::string& text) = 0;
    // true for OK.
    virtual bool OkCancel(const std::string& text, const std::string& title) = 0;
    // Takes away a question still waiting for its answer (as Cancel): its matter has passed.
    virtual void DismissOpenQuestion() {}
};

class SessionServices;

// Everything the engine asks of the OS, bundled.
struct Platform {
    Clock* clock = nullptr;
    DeviceHost* devices = nullptr;
    AspiLoader* aspi = nullptr;
    Process* process = nullptr;
    Dialogs* dialogs = nullptr;
    SessionServices* session = nullptr;  // none: no inhibitor, no journal
};

}  // namespace platform
