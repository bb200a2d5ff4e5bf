// Every fake of the seam in one bundle, with the platform that points at them.
#pragma once

#include <string>
#include <vector>

#include "platform/fakes/Fakes.h"
#include "platform/fakes/VirtualClock.h"

namespace platform::fakes {

struct FakePlatform {
    VirtualClock clock;
    FakeDeviceHost devices;
    FakeAspi aspi;
    FakeProcess process;
    FakeDialogs dialogs;
    Platform platform{&clock, &devices, &aspi, &process, &dialogs};

    // Drives 0..count-1 named /dev/sr0 ...
    void Drives(int count) {
        std::vector<OpticalDrive> drives;
        for (int i = 0; i < count; ++i) drives.push_back({i, "/dev/sr" + std::to_string(i)});
        devices.SetDrives(drives);
    }
};

}  // namespace platform::fakes
