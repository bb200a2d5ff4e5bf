// The process-wide list of optical drives and the transport that reaches them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace drive_access {

// The ASPI-style bus numbers its devices as the manager found them, 26 at most; pass-through
// takes every drive the host lists, up to the last index a command can name (254).
constexpr int kMaxDevices = 26;
constexpr int kMaxPassThroughDevices = 255;
constexpr int kNoDevice = 255;
constexpr int kTiredIndex = 1365;
constexpr const char* kAspiLibraryName = "WNASPI32.DLL";

enum : int { AspiMode = 0, PassThroughMode = 1 };

// Whether a command must move every byte it asks for (a flash read, a block write) or may move
// fewer (an identity answer shorter than its allocation length).
enum class Transfer { UpTo, Whole };

class DeviceTable {
public:
    // Discovers the devices at once; any failure leaves zero devices.
    explicit DeviceTable(platform::Platform& platform);
    ~DeviceTable();
    DeviceTable(const DeviceTable&) = delete;
    DeviceTable& operator=(const DeviceTable&) = delete;

    int DeviceCount() const { return deviceCount_; }
    int SelectDevice(int32_t index);
    int ReleaseDevice(int32_t index);
    // With Transfer::Whole a command that moved fewer bytes than asked fails (where the transport
    // tells how many moved).
    int ExecuteCdb(uint8_t device, const uint8_t* cdb, void* data, int32_t length, uint8_t direction,
                   int32_t timeoutMs, uint8_t cdbLength, Transfer transfer = Transfer::UpTo);
    void CopySense(uint8_t* destination, uint8_t device);

    // State that the window and the tests look at.
    int TransportMode() const { return transportMode_; }
    int32_t DeviceId(int index) const;
    platform::Handle HandleOf(int index) const;
    int32_t CurrentAspiDevice() const { return currentAspiDevice_.load(); }
    uint8_t LastPassThroughDevice() const { return lastPassThroughDevice_.load(); }
    // errno-style reason of the last failed open or command on a device, 0 when none.
    int LastError(int index) const;
    // EACCES or EPERM when this process may not use the device as the program needs to, EBUSY
    // when another program holds it, else 0.
    int AccessProblem(int index) const;
    // The same with the node that refused and, for EBUSY, the holder's process id when known.
    platform::AccessProblem Access(int index) const;
    // The operator's name for a device (e.g. /dev/sr1), empty when unknown.
    std::string DeviceNode(int index) const;
    // Optical drives that discovery found but the table had no room for, by name.
    const std::vector<std::string>& UnlistedNodes() const { return unlisted_; }

    int AbortSrb(platform::SrbExecScsiCmd& srb, int limitSeconds);

private:
    struct Device;
    struct AspiRequest;

    int InitTable();
    int DetectPlatform();
    int DiscoverDevices();
    platform::Handle OpenDevice(int index);
    bool ValidIndex(int index) const { return index >= 0 && index < deviceCount_; }
    int ExecutePassThrough(Device& dev, uint8_t device, const uint8_t* cdb, void* data, int32_t length,
                           uint8_t direction, int32_t timeoutMs, uint8_t cdbLength, Transfer transfer);
    int ExecuteAspi(Device& dev, uint8_t device, const uint8_t* cdb, void* data, int32_t length,
                    uint8_t direction, int32_t timeoutMs, uint8_t cdbLength);
    AspiRequest& ReusableRequest(Device& dev);
    void PrepareRequest(AspiRequest& request, const Device& dev, const uint8_t* cdb, const void* data, int32_t length,
                        uint8_t direction, uint8_t cdbLength);
    bool AwaitRequest(AspiRequest& request, uint32_t sent, int32_t timeoutMs);
    int FinishRequest(AspiRequest& request, Device& dev, uint32_t sent, bool timedOut, void* data, int32_t length,
                      uint8_t direction);

    platform::Platform& platform_;
    int deviceCount_ = 0;
    int transportMode_ = 0;
    std::atomic<uint8_t> lastPassThroughDevice_{0};
    std::atomic<uint8_t> lastAspiDevice_{0};
    std::atomic<int32_t> currentAspiDevice_{0};
    std::unique_ptr<Device[]> devices_;
    std::vector<std::string> unlisted_;
    // Requests that the manager still held after a failed abort, with the event and buffer it may
    // still write: never reused, never freed.
    std::mutex abandonedMutex_;
    std::vector<std::unique_ptr<AspiRequest>> abandoned_;
    // The manager's entry points; empty until discovery loads them. The library stays loaded.
    platform::GetSupportInfoFn getSupportInfo_;
    platform::SendCommandFn sendCommand_;
    void* aspiLibrary_ = nullptr;
};

// The one table of the program, and the free functions that reach it.
void InstallDeviceTable(DeviceTable* table);
DeviceTable* InstalledDeviceTable();

int DeviceCount();
int SelectDevice(int32_t index);
int ReleaseDevice(int32_t index);
int ExecuteCdb(uint8_t device, const uint8_t* cdb, void* data, int32_t length, uint8_t direction, int32_t timeoutMs,
               uint8_t cdbLength, Transfer transfer = Transfer::UpTo);
void CopySense(uint8_t* destination, uint8_t device);

// Makes a table the installed one for a scope (tests), restoring the previous one after.
class ScopedDeviceTable {
public:
    explicit ScopedDeviceTable(DeviceTable& table) : previous_(InstalledDeviceTable()) { InstallDeviceTable(&table); }
    ~ScopedDeviceTable() { InstallDeviceTable(previous_); }
    ScopedDeviceTable(const ScopedDeviceTable&) = delete;
    ScopedDeviceTable& operator=(const ScopedDeviceTable&) = delete;

private:
    DeviceTable* previous_;
};

}  // namespace drive_access
