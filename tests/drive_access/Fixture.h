#pragma once

#include <memory>

#include "drive_access/DeviceTable.h"
#include "platform/fakes/Fakes.h"
#include "platform/fakes/VirtualClock.h"

// A platform of fakes; the table is built on demand so that a test can script discovery first.
struct FakePlatform {
    platform::fakes::VirtualClock clock;
    platform::fakes::FakeDeviceHost devices;
    platform::fakes::FakeAspi aspi;
    platform::fakes::FakeProcess process;
    platform::fakes::FakeDialogs dialogs;
    platform::Platform platform{&clock, &devices, &aspi, &process, &dialogs};

    void Drives(int count) {
        std::vector<platform::OpticalDrive> drives;
        for (int i = 0; i < count; ++i) drives.push_back({i, "/dev/sr" + std::to_string(i)});
        devices.SetDrives(drives);
    }
    std::unique_ptr<drive_access::DeviceTable> Table() {
        return std::make_unique<drive_access::DeviceTable>(platform);
    }
};
