#include "drive_access/DeviceTable.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace drive_access {

using namespace platform;

static_assert(sizeof(void*) != 4 || sizeof(PassThroughDirect) == 44, "pass-through request layout");
static_assert(sizeof(void*) != 4 || sizeof(PassThroughBlock) == 80, "pass-through block layout");

struct DeviceTable::Device {
    int32_t id = 0;
    std::string node;
    // Guards everything below: one device's block, handle and sense are never shared mid-command.
    std::mutex mutex;
    Handle handle = kInvalidHandle;
    int users = 0;
    PassThroughBlock block{};
    std::unique_ptr<SrbExecScsiCmd> srb;
    std::shared_ptr<Event> srbEvent;
    std::atomic<int> lastError{0};
};

DeviceTable::DeviceTable(Platform& platform) : platform_(platform), devices_(new Device[kMaxDevices]) {
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
            if (deviceCount_ == kMaxDevices) break;
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
            // The table has room for 26; further devices are neither stored nor counted.
            if (deviceCount_ == kMaxDevices) continue;
            devices_[deviceCount_].id = adapter * 256 + target;
            devices_[deviceCount_].node =
                "adapter " + std::to_string(adapter) + " target " + std::to_string(target);
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
                            int32_t timeoutMs, uint8_t cdbLength) {
    if (device == kNoDevice || !ValidIndex(device) || cdb == nullptr) return 0;
    Device& dev = devices_[device];
    if (transportMode_ == PassThroughMode)
        return ExecutePassThrough(dev, device, cdb, data, length, direction, timeoutMs, cdbLength);
    return ExecuteAspi(dev, device, cdb, data, length, direction, timeoutMs, cdbLength);
}

int DeviceTable::ExecutePassThrough(Device& dev, uint8_t device, const uint8_t* cdb, void* data, int32_t length,
                                    uint8_t direction, int32_t timeoutMs, uint8_t cdbLength) {
    lastPassThroughDevice_ = device;
    std::lock_guard<std::mutex> lock(dev.mutex);
    PassThroughBlock& block = dev.block;
    std::memset(&block, 0, sizeof block);
    PassThroughDirect& spt = block.Spt;
    spt.Length = sizeof(PassThroughDirect);
    spt.CdbLength = cdbLength;
    spt.SenseInfoLength = kSenseBufferSize;
    spt.DataIn = direction == DirIn ? platform::DataIn : direction == DirOut ? platform::DataOut : DataUnspecified;
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
    return spt.ScsiStatus == 0 ? 1 : 0;
}

int DeviceTable::ExecuteAspi(Device& dev, uint8_t device, const uint8_t* cdb, void* data, int32_t length,
                             uint8_t direction, int32_t timeoutMs, uint8_t cdbLength) {
    if (!sendCommand_) return 0;
    std::lock_guard<std::mutex> lock(dev.mutex);
    lastAspiDevice_ = device;
    if (dev.srb && AspiStatus(dev.srb->Hdr) == SS_PENDING && dev.srbEvent) {
        // The manager still holds the block of a command it never gave back: keep it (and its
        // event) alive for ever and work on a fresh one.
        std::lock_guard<std::mutex> abandonedLock(abandonedMutex_);
        abandoned_.push_back({std::move(dev.srb), std::move(dev.srbEvent)});
    }
    if (!dev.srb) dev.srb = std::make_unique<SrbExecScsiCmd>();
    SrbExecScsiCmd& srb = *dev.srb;

    std::shared_ptr<Event> event = platform_.clock->CreateEvent();
    dev.srbEvent = event;
    // Each command goes to the device its caller selected, whichever thread selected last.
    srb.Hdr.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.Hdr.SRB_HaId = static_cast<uint8_t>(dev.id / 256);
    srb.SRB_Target = static_cast<uint8_t>(dev.id & 0xFF);
    srb.Hdr.SRB_Flags = static_cast<uint8_t>(direction | SRB_EVENT_NOTIFY);
    srb.SRB_BufLen = static_cast<uint32_t>(length < 0 ? 0 : length);
    srb.SRB_BufPointer = static_cast<uint8_t*>(data);
    srb.SRB_SenseLen = kAspiSenseLength;
    srb.SRB_CDBLen = cdbLength;
    srb.SRB_PostProc = event.get();
    std::memcpy(srb.CDBByte, cdb, 12);

    int result = 0;
    const uint32_t sent = sendCommand_(&srb.Hdr);
    bool waitFailed = false;
    if (sent == SS_PENDING) {
        const WaitResult wait = platform_.clock->Wait(*event, timeoutMs);
        if (wait == WaitResult::TimedOut || wait == WaitResult::Failed) {
            AbortSrb(srb, 10);
            waitFailed = true;
        }
    }
    if (!waitFailed) result = AspiStatus(srb.Hdr) == SS_COMP ? 1 : 0;
    if (AspiStatus(srb.Hdr) != SS_PENDING) dev.srbEvent.reset();
    dev.lastError = result ? 0 : (waitFailed ? ETIMEDOUT : EIO);
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
    if (transportMode_ == PassThroughMode)
        std::memcpy(destination, dev.block.SenseBuffer, 16);
    else if (dev.srb)
        std::memcpy(destination, dev.srb->SenseArea, 16);
    else
        std::memset(destination, 0, 16);
}

int32_t DeviceTable::DeviceId(int index) const { return ValidIndex(index) ? devices_[index].id : 0; }

Handle DeviceTable::HandleOf(int index) const {
    if (index < 0 || index >= kMaxDevices) return kInvalidHandle;
    Device& dev = devices_[index];
    std::lock_guard<std::mutex> lock(dev.mutex);
    return dev.handle;
}

int DeviceTable::LastError(int index) const { return ValidIndex(index) ? devices_[index].lastError.load() : 0; }

int DeviceTable::AccessProblem(int index) const {
    if (!ValidIndex(index)) return 0;
    const int error = devices_[index].lastError.load();
    if (error == EACCES || error == EPERM) return error;
    if (transportMode_ == PassThroughMode && platform_.devices != nullptr)
        return platform_.devices->AccessProblem(devices_[index].id);
    return 0;
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
               uint8_t cdbLength) {
    DeviceTable* t = installed.load();
    return t ? t->ExecuteCdb(device, cdb, data, length, direction, timeoutMs, cdbLength) : 0;
}

void CopySense(uint8_t* destination, uint8_t device) {
    DeviceTable* t = installed.load();
    if (t)
        t->CopySense(destination, device);
    else if (destination)
        std::memset(destination, 0, 16);
}

}  // namespace drive_access
