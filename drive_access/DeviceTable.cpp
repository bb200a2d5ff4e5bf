#include "drive_access/DeviceTable.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <algorithm>

namespace drive_access {

using namespace platform;

namespace {
constexpr uint8_t kCheckCondition = 0x02;
}

static_assert(sizeof(void*) != 4 || sizeof(PassThroughDirect) == 44, "pass-through request layout");
static_assert(sizeof(void*) != 4 || sizeof(PassThroughBlock) == 80, "pass-through block layout");

// One ASPI-style request and everything the manager may write through it. It lives as long as
// the manager can still write it: a request abandoned after a failed abort is kept for good.
struct DeviceTable::AspiRequest {
    SrbExecScsiCmd srb{};
    // One event per request, reset before each command: a late signal of an earlier command
    // finds it still alive.
    std::shared_ptr<Event> event;
    // The manager works on this copy, never on the caller's buffer, which may be gone by the
    // time a request that could not be aborted ends.
    std::vector<uint8_t> data;
};

struct DeviceTable::Device {
    int32_t id = 0;
    std::string node;
    // Guards everything below: one device's block, handle and sense are never shared mid-command.
    std::mutex mutex;
    Handle handle = kInvalidHandle;
    int users = 0;
    PassThroughBlock block{};
    std::unique_ptr<AspiRequest> request;
    // Only a command that ended in CHECK CONDITION leaves sense to read.
    bool senseValid = false;
    std::atomic<int> lastError{0};
};

DeviceTable::DeviceTable(Platform& platform) : platform_(platform), devices_(new Device[kMaxPassThroughDevices]) {
    InitTable();
}

DeviceTable::~DeviceTable() = default;

int DeviceTable::InitTable() {
    currentAspiDevice_ = 0;
    deviceCount_ = 0;
    if (!DetectPlatform()) return 0;
    return DiscoverDevices();
}

int DeviceTable::DetectPlatform() {
    transportMode_ = AspiMode;
    if (platform_.process == nullptr) return 0;
    switch (platform_.process->PlatformFamily()) {
    case PlatformAspiFamily:
        return 1;
    case PlatformPassThroughFamily:
        transportMode_ = PassThroughMode;
        return 1;
    default:
        return 0;
    }
}

int DeviceTable::DiscoverDevices() {
    deviceCount_ = 0;
    if (transportMode_ == PassThroughMode) {
        if (platform_.devices == nullptr) return 0;
        for (const auto& drive : platform_.devices->ListOpticalDrives()) {
            if (deviceCount_ == kMaxPassThroughDevices) {
                unlisted_.push_back(drive.node);
                continue;
            }
            devices_[deviceCount_].id = drive.id;
            devices_[deviceCount_].node = drive.node;
            ++deviceCount_;
        }
        return 1;
    }

    if (platform_.aspi == nullptr) return 0;
    void* library = platform_.aspi->Load(kAspiLibraryName);
    if (library == nullptr) return 0;
    getSupportInfo_ = platform_.aspi->GetSupportInfo(library);
    sendCommand_ = platform_.aspi->SendCommand(library);
    if (!getSupportInfo_ || !sendCommand_) {
        platform_.aspi->Free(library);
        getSupportInfo_ = nullptr;
        sendCommand_ = nullptr;
        return 0;
    }
    aspiLibrary_ = library;
    const uint32_t info = getSupportInfo_();
    if (((info >> 8) & 0xFF) != SS_COMP) return 0;
    const int adapters = static_cast<int>(info & 0xFF);
    for (int adapter = 0; adapter < adapters; ++adapter) {
        for (int target = 0; target < 8; ++target) {
            SrbGetDevType query{};
            query.Hdr.SRB_Cmd = SC_GET_DEV_TYPE;
            query.Hdr.SRB_HaId = static_cast<uint8_t>(adapter);
            query.SRB_Target = static_cast<uint8_t>(target);
            sendCommand_(&query.Hdr);
            if (AspiStatus(query.Hdr) != SS_COMP || query.SRB_DeviceType != DTYPE_CDROM) continue;
            std::string node = "adapter " + std::to_string(adapter) + " target " + std::to_string(target);
            // The table has room for 26; further devices are neither stored nor counted.
            if (deviceCount_ == kMaxDevices) {
                unlisted_.push_back(std::move(node));
                continue;
            }
            devices_[deviceCount_].id = adapter * 256 + target;
            devices_[deviceCount_].node = std::move(node);
            ++deviceCount_;
        }
    }
    return 1;
}

int DeviceTable::SelectDevice(int32_t index) {
    if (index == kTiredIndex && platform_.dialogs != nullptr)
        platform_.dialogs->Message("Are you working too hard, Orvex man?");
    if (!ValidIndex(index)) return 0;
    Device& dev = devices_[index];
    std::lock_guard<std::mutex> lock(dev.mutex);
    ++dev.users;
    if (transportMode_ == PassThroughMode)
        OpenDevice(index);
    else
        currentAspiDevice_ = dev.id;
    return 1;
}

Handle DeviceTable::OpenDevice(int index) {
    Device& dev = devices_[index];
    if (dev.handle != kInvalidHandle && dev.handle != 0) return dev.handle;
    int error = 0;
    dev.handle = platform_.devices->Open(dev.id, &error);
    dev.lastError = dev.handle == kInvalidHandle ? (error != 0 ? error : ENODEV) : 0;
    return dev.handle;
}

int DeviceTable::ReleaseDevice(int32_t index) {
    if (!ValidIndex(index)) return 1;
    Device& dev = devices_[index];
    std::lock_guard<std::mutex> lock(dev.mutex);
    if (dev.users > 0) --dev.users;
    // A handle shared by two users stays open until the last of them lets go.
    if (transportMode_ == PassThroughMode && dev.users == 0 && dev.handle != 0) {
        if (dev.handle != kInvalidHandle) platform_.devices->Close(dev.handle);
        dev.handle = 0;
    }
    return 1;
}

int DeviceTable::ExecuteCdb(uint8_t device, const uint8_t* cdb, void* data, int32_t length, uint8_t direction,
                            int32_t timeoutMs, uint8_t cdbLength, Transfer transfer) {
    if (device == kNoDevice || !ValidIndex(device) || cdb == nullptr) return 0;
    Device& dev = devices_[device];
    if (transportMode_ == PassThroughMode)
        return ExecutePassThrough(dev, device, cdb, data, length, direction, timeoutMs, cdbLength, transfer);
    return ExecuteAspi(dev, device, cdb, data, length, direction, timeoutMs, cdbLength);
}

int DeviceTable::ExecutePassThrough(Device& dev, uint8_t device, const uint8_t* cdb, void* data, int32_t length,
                                    uint8_t direction, int32_t timeoutMs, uint8_t cdbLength, Transfer transfer) {
    lastPassThroughDevice_ = device;
    std::lock_guard<std::mutex> lock(dev.mutex);
    PassThroughBlock& block = dev.block;
    std::memset(&block, 0, sizeof block);
    dev.senseValid = false;
    PassThroughDirect& spt = block.Spt;
    spt.Length = sizeof(PassThroughDirect);
    spt.CdbLength = cdbLength;
    spt.SenseInfoLength = kSenseBufferSize;
    spt.DataDirection = direction == DirIn    ? platform::TransferIn
                        : direction == DirOut ? platform::TransferOut
                                              : platform::TransferNone;
    spt.DataTransferLength = static_cast<uint32_t>(length < 0 ? 0 : length);
    spt.TimeOutValue = static_cast<uint32_t>(timeoutMs < 0 ? 0 : timeoutMs / 1000);
    spt.DataBuffer = data;
    spt.SenseInfoOffset = offsetof(PassThroughBlock, SenseBuffer);
    std::memcpy(spt.Cdb, cdb, 12);

    if (dev.handle == kInvalidHandle || dev.handle == 0) {
        // Never opened, failed to open, or released: the request cannot reach the device.
        if (dev.handle == 0 || dev.lastError == 0) dev.lastError = EBADF;
        return 0;
    }
    int error = 0;
    if (!platform_.devices->SendPassThrough(dev.handle, block, &error)) {
        dev.lastError = error != 0 ? error : EIO;
        return 0;
    }
    dev.lastError = 0;
    dev.senseValid = spt.ScsiStatus == kCheckCondition;
    if (spt.ScsiStatus != 0) return 0;
    // GOOD, but part of the data never moved: a flash read summed over zeros, a block half sent.
    if (transfer == Transfer::Whole && spt.DataTransferLength < static_cast<uint32_t>(length < 0 ? 0 : length)) {
        dev.lastError = EIO;
        return 0;
    }
    return 1;
}

int DeviceTable::ExecuteAspi(Device& dev, uint8_t device, const uint8_t* cdb, void* data, int32_t length,
                             uint8_t direction, int32_t timeoutMs, uint8_t cdbLength) {
    if (!sendCommand_) return 0;
    std::lock_guard<std::mutex> lock(dev.mutex);
    lastAspiDevice_ = device;
    AspiRequest& request = ReusableRequest(dev);
    PrepareRequest(request, dev, cdb, data, length, direction, cdbLength);
    const uint32_t sent = sendCommand_(&request.srb.Hdr);
    const bool timedOut = !AwaitRequest(request, sent, timeoutMs);
    if (timedOut) AbortSrb(request.srb, 10);
    return FinishRequest(request, dev, sent, timedOut, data, length, direction);
}

DeviceTable::AspiRequest& DeviceTable::ReusableRequest(Device& dev) {
    if (dev.request && AspiStatus(dev.request->srb.Hdr) == SS_PENDING) {
        // The manager still holds the request of a command it never gave back.
        std::lock_guard<std::mutex> abandonedLock(abandonedMutex_);
        abandoned_.push_back(std::move(dev.request));
    }
    if (!dev.request) {
        dev.request = std::make_unique<AspiRequest>();
        dev.request->event = platform_.clock->CreateEvent();
    }
    return *dev.request;
}

void DeviceTable::PrepareRequest(AspiRequest& request, const Device& dev, const uint8_t* cdb, const void* data,
                                 int32_t length, uint8_t direction, uint8_t cdbLength) {
    const uint32_t bytes = data == nullptr || length < 0 ? 0 : static_cast<uint32_t>(length);
    // Bytes a short data-in leaves untouched stay as the caller had them.
    request.data.resize(bytes);
    if (bytes > 0) std::memcpy(request.data.data(), data, bytes);
    request.event->Reset();

    SrbExecScsiCmd& srb = request.srb;
    // Nothing of an earlier command may be read as this one's answer.
    SetAspiStatus(srb.Hdr, SS_PENDING);
    srb.SRB_HaStat = 0;
    srb.SRB_TargStat = 0;
    std::memset(srb.SenseArea, 0, sizeof srb.SenseArea);
    // Each command goes to the device its caller selected, whichever thread selected last.
    srb.Hdr.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.Hdr.SRB_HaId = static_cast<uint8_t>(dev.id / 256);
    srb.SRB_Target = static_cast<uint8_t>(dev.id & 0xFF);
    srb.Hdr.SRB_Flags = static_cast<uint8_t>(direction | SRB_EVENT_NOTIFY);
    srb.SRB_BufLen = bytes;
    srb.SRB_BufPointer = bytes > 0 ? request.data.data() : nullptr;
    srb.SRB_SenseLen = kAspiSenseLength;
    srb.SRB_CDBLen = cdbLength;
    srb.SRB_PostProc = request.event.get();
    std::memcpy(srb.CDBByte, cdb, 12);
}

// False when the command did not end within its time-out, or the wait itself failed.
bool DeviceTable::AwaitRequest(AspiRequest& request, uint32_t sent, int32_t timeoutMs) {
    if (sent != SS_PENDING) return true;
    // The status, not the event, says a command has ended: one early wake-up (the late signal of
    // an earlier command on this request) is waited through.
    for (int waits = 0; waits < 2; ++waits) {
        const WaitResult wait = platform_.clock->Wait(*request.event, timeoutMs);
        if (wait == WaitResult::TimedOut || wait == WaitResult::Failed) return false;
        if (AspiStatus(request.srb.Hdr) != SS_PENDING) return true;
        request.event->Reset();
        if (AspiStatus(request.srb.Hdr) != SS_PENDING) return true;
    }
    return false;
}

int DeviceTable::FinishRequest(AspiRequest& request, Device& dev, uint32_t sent, bool timedOut, void* data,
                               int32_t length, uint8_t direction) {
    SrbExecScsiCmd& srb = request.srb;
    uint8_t status = AspiStatus(srb.Hdr);
    if (sent != uint32_t{SS_PENDING} && status == SS_PENDING) {
        // Refused at once without a word in the block: the call's own answer is the status.
        status = sent > 0xFF ? uint8_t{SS_ERR} : static_cast<uint8_t>(sent);
        SetAspiStatus(srb.Hdr, status);
    }
    const bool ended = status != SS_PENDING;
    if (ended && direction == DirIn && data != nullptr && length > 0)
        std::memcpy(data, request.data.data(), std::min<size_t>(request.data.size(), static_cast<size_t>(length)));
    dev.senseValid = ended && !timedOut && status == SS_ERR && srb.SRB_TargStat == kCheckCondition;
    const int result = !timedOut && status == SS_COMP ? 1 : 0;
    // A drive's own refusal is an answer, not a transport failure.
    dev.lastError = result || dev.senseValid ? 0 : timedOut ? ETIMEDOUT : status == SS_NO_DEVICE ? ENODEV : EIO;
    return result;
}

int DeviceTable::AbortSrb(SrbExecScsiCmd& srb, int limitSeconds) {
    SrbAbort abort{};
    abort.Hdr.SRB_Cmd = SC_ABORT_SRB;
    abort.Hdr.SRB_HaId = srb.Hdr.SRB_HaId;
    abort.Hdr.SRB_Flags = 0;
    abort.Hdr.SRB_Hdr_Rsvd = 0;
    abort.SRB_ToAbort = &srb;
    sendCommand_(&abort.Hdr);
    if (AspiStatus(abort.Hdr) != SS_COMP) return 0;
    const int64_t start = platform_.clock->NowSeconds();
    while (AspiStatus(srb.Hdr) == SS_PENDING) {
        if (platform_.clock->NowSeconds() - start > limitSeconds) return 0;
        platform_.clock->SleepMs(10);
    }
    return 1;
}

void DeviceTable::CopySense(uint8_t* destination, uint8_t device) {
    if (destination == nullptr) return;
    int index = device;
    if (device == kNoDevice)
        index = transportMode_ == PassThroughMode ? lastPassThroughDevice_.load() : lastAspiDevice_.load();
    if (!ValidIndex(index)) {
        std::memset(destination, 0, 16);
        return;
    }
    Device& dev = devices_[index];
    std::lock_guard<std::mutex> lock(dev.mutex);
    if (!dev.senseValid)
        std::memset(destination, 0, 16);
    else if (transportMode_ == PassThroughMode)
        std::memcpy(destination, dev.block.SenseBuffer, 16);
    else
        std::memcpy(destination, dev.request->srb.SenseArea, 16);
}

int32_t DeviceTable::DeviceId(int index) const { return ValidIndex(index) ? devices_[index].id : 0; }

Handle DeviceTable::HandleOf(int index) const {
    if (index < 0 || index >= kMaxPassThroughDevices) return kInvalidHandle;
    Device& dev = devices_[index];
    std::lock_guard<std::mutex> lock(dev.mutex);
    return dev.handle;
}

int DeviceTable::LastError(int index) const { return ValidIndex(index) ? devices_[index].lastError.load() : 0; }

int DeviceTable::AccessProblem(int index) const { return Access(index).error; }

platform::AccessProblem DeviceTable::Access(int index) const {
    if (!ValidIndex(index)) return {};
    const Device& dev = devices_[index];
    platform::AccessProblem host;
    if (transportMode_ == PassThroughMode && platform_.devices != nullptr) host = platform_.devices->Access(dev.id);
    const int error = dev.lastError.load();
    // What the last open or command met counts first; the host adds the node and the holder.
    if (error == EACCES || error == EPERM || error == EBUSY) {
        if (host.error != error) host = {error, host.node, 0};
        if (host.node.empty()) host.node = dev.node;
        return host;
    }
    return host;
}

std::string DeviceTable::DeviceNode(int index) const { return ValidIndex(index) ? devices_[index].node : std::string(); }

// ---------------------------------------------------------------- the installed table

namespace {
std::atomic<DeviceTable*> installed{nullptr};
}

void InstallDeviceTable(DeviceTable* table) { installed = table; }
DeviceTable* InstalledDeviceTable() { return installed.load(); }

int DeviceCount() {
    DeviceTable* t = installed.load();
    return t ? t->DeviceCount() : 0;
}

int SelectDevice(int32_t index) {
    DeviceTable* t = installed.load();
    return t ? t->SelectDevice(index) : 0;
}

int ReleaseDevice(int32_t index) {
    DeviceTable* t = installed.load();
    return t ? t->ReleaseDevice(index) : 1;
}

int ExecuteCdb(uint8_t device, const uint8_t* cdb, void* data, int32_t length, uint8_t direction, int32_t timeoutMs,
               uint8_t cdbLength, Transfer transfer) {
    DeviceTable* t = installed.load();
    return t ? t->ExecuteCdb(device, cdb, data, length, direction, timeoutMs, cdbLength, transfer) : 0;
}

void CopySense(uint8_t* destination, uint8_t device) {
    DeviceTable* t = installed.load();
    if (t)
        t->CopySense(destination, device);
    else if (destination)
        std::memset(destination, 0, 16);
}

}  // namespace drive_access
