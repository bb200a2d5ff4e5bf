#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "drive_access/DeviceTable.h"
#include "platform/fakes/FakePlatform.h"

// The fakes, with the table built on demand so that a test can script discovery first.
struct FakePlatform : platform::fakes::FakePlatform {
    std::unique_ptr<drive_access::DeviceTable> Table() {
        return std::make_unique<drive_access::DeviceTable>(platform);
    }
};

// Ten threads, one per device, each sending `rounds` commands and reading the sense back. The
// devices answer with their own index in the data and in sense byte 13; returns how many
// answers came from another device.
inline int MixedUpAnswers(drive_access::DeviceTable& table, int rounds = 200) {
    static const uint8_t cdb[12] = {0x12};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int d = 0; d < 10; ++d) {
        threads.emplace_back([&, d] {
            table.SelectDevice(d);
            for (int i = 0; i < rounds; ++i) {
                uint8_t data[8] = {};
                uint8_t sense[16] = {};
                table.ExecuteCdb(static_cast<uint8_t>(d), cdb, data, 8, platform::DirIn, 15000, 12);
                table.CopySense(sense, static_cast<uint8_t>(d));
                if (sense[13] != d || data[0] != d) ++mismatches;
            }
            table.ReleaseDevice(d);
        });
    }
    for (auto& t : threads) t.join();
    return mismatches.load();
}
