// A bay of virtual drives and the two transports that reach them: a pass-through device host
// and an ASPI-style manager. Plug them into a platform::Platform in place of the real ones.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "virtual_drives/DriveConfig.h"
#include "virtual_drives/VirtualDrive.h"

namespace virtual_drives {

class VirtualBay {
public:
    // Every latency and time-out of the bay is spent on `clock`, which must outlive the bay.
    // Drives without a place on the ASPI-style bus take the free places in order (adapter 0,
    // targets 0..7, then adapter 1 ...); of two drives given the same place the first is seen.
    VirtualBay(const BayDescription& description, platform::Clock& clock);
    ~VirtualBay();
    VirtualBay(const VirtualBay&) = delete;
    VirtualBay& operator=(const VirtualBay&) = delete;

    int DriveCount() const { return static_cast<int>(drives_.size()); }
    // In description order, non-optical units included.
    VirtualDrive& Drive(int index) { return *drives_.at(index); }

    // Optical drives only, listed in bay order as ids 0, 1, ... named "virtual:sr<id>".
    platform::DeviceHost& Devices();
    // Answers to "WNASPI32.DLL".
    platform::AspiLoader& Aspi();
    platform::Clock& Clock() { return clock_; }

    // (host adapter, target) of a drive on the ASPI-style bus.
    std::pair<int, int> AspiPosition(int index) const { return positions_.at(index); }
    int HostAdapterCount() const { return adapters_; }

private:
    class PassThroughHost;
    class AspiManager;

    platform::Clock& clock_;
    std::vector<std::unique_ptr<VirtualDrive>> drives_;
    std::vector<std::pair<int, int>> positions_;
    int adapters_ = 1;
    std::unique_ptr<PassThroughHost> host_;
    std::unique_ptr<AspiManager> aspi_;
};

}  // namespace virtual_drives
