// The real operating system: optical drives from sysfs, commands through SG_IO.
#pragma once

#include <functional>
#include <string>

#include "platform/Platform.h"

namespace platform {

class LinuxDeviceHost : public DeviceHost {
public:
    // Roots are parameters so that tests can point discovery at a fake tree.
    explicit LinuxDeviceHost(std::string sysBlockRoot = "/sys/class/block", std::string devRoot = "/dev",
                             std::string procLocks = "/proc/locks");
    std::vector<OpticalDrive> ListOpticalDrives() override;
    Handle Open(int id, int* error) override;
    void Close(Handle handle) override;
    int SendPassThrough(Handle handle, PassThroughBlock& block, int* error) override;
    AccessProblem Access(int id) override;

    // The node a drive's commands go through: its SCSI generic node when there is one (vendor
    // opcodes through the block node need CAP_SYS_RAWIO), else the block node.
    std::string CommandNode(int id) const;
    // The process holding a lock on `node` as /proc/locks lists it, other than this one; 0: none.
    int LockHolder(const std::string& node) const;

private:
    std::string sysBlockRoot_;
    std::string devRoot_;
    std::string procLocks_;
};

class LinuxProcess : public Process {
public:
    int PlatformFamily() override { return family; }
    std::string WorkingDirectory() override;
    [[noreturn]] void Exit(int code) override;
    int RestartComputer() override { return restart ? restart() : 0; }

    // Supplied by the program (the restart needs the system bus).
    std::function<int()> restart;
    // Which transport the device table picks; a virtual bay offers both.
    int family = PlatformPassThroughFamily;
};

}  // namespace platform
