// A platform whose drives are a virtual bay, reached through the device table and drive links,
// and the firmware payloads the tests write.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "drive_access/DeviceTable.h"
#include "drive_access/DriveLink.h"
#include "platform/fakes/Fakes.h"
#include "platform/fakes/VirtualClock.h"
#include "virtual_drives/BayFile.h"
#include "virtual_drives/FlashImage.h"
#include "virtual_drives/VirtualBay.h"

namespace vd_test {

using namespace virtual_drives;

struct BayPlatform {
    explicit BayPlatform(const BayDescription& description, int family = platform::PlatformPassThroughFamily)
        : bay(description, clock) {
        process.family = family;
        table = std::make_unique<drive_access::DeviceTable>(platform);
        scope = std::make_unique<drive_access::ScopedDeviceTable>(*table);
    }

    platform::fakes::VirtualClock clock;
    VirtualBay bay;
    platform::fakes::FakeProcess process;
    platform::fakes::FakeDialogs dialogs;
    platform::Platform platform{&clock, &bay.Devices(), &bay.Aspi(), &process, &dialogs};
    std::unique_ptr<drive_access::DeviceTable> table;
    std::unique_ptr<drive_access::ScopedDeviceTable> scope;
};

inline BayDescription OneDrive(DriveConfig config = {}) { return BayDescription{{std::move(config)}}; }

inline drive_access::DriveLink Attached(int index) {
    drive_access::DriveLink link = drive_access::kDetached;
    drive_access::Attach(link, index);
    return link;
}

// A 2 MiB image that deflates well below 48 blocks. Its drive area holds bytes that must never
// reach a drive's flash.
inline std::vector<uint8_t> TestImage(uint32_t variant = 0) {
    std::vector<uint8_t> image(kFlashSize, 0xFF);
    uint32_t x = 0x12345u + variant * 977u;
    for (uint32_t i = 0; i < 0xC0000; ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<uint8_t>(0x40 + ((x >> 16) & 0x0F) + variant);
    }
    for (uint32_t i = 0; i < kDriveAreaSize; ++i) image[kDriveAreaStart + i] = 0xAB;
    return image;
}

inline std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(data.size());
    std::vector<uint8_t> out(size);
    compress2(out.data(), &size, data.data(), data.size(), 6);
    out.resize(size);
    return out;
}

// Length prefix, stream, zero bytes to the end of `blocks` blocks.
inline std::vector<uint8_t> Pack(const std::vector<uint8_t>& stream, int blocks = 48,
                                 std::optional<uint32_t> declared = std::nullopt) {
    const uint32_t length = declared.value_or(static_cast<uint32_t>(stream.size()));
    std::vector<uint8_t> out(static_cast<size_t>(blocks) * kBlockSize, 0);
    for (int k = 0; k < 4; ++k) out[k] = static_cast<uint8_t>(length >> (8 * k));
    std::copy_n(stream.begin(), std::min(stream.size(), out.size() - 4), out.begin() + 4);
    return out;
}

struct Payload {
    std::vector<uint8_t> image;
    std::vector<uint8_t> blocks;
};

// Built once: deflating 2 MiB is the slowest thing in these tests.
inline const Payload& TestPayload() {
    static const Payload payload = [] {
        Payload p;
        p.image = TestImage();
        p.blocks = Pack(Deflate(p.image));
        return p;
    }();
    return payload;
}

struct WriteOutcome {
    int refused = -1;  // index of the block the drive refused, -1 when it took them all
    uint32_t sense = 0;
};

inline WriteOutcome WriteBlocks(drive_access::DriveLink link, const std::vector<uint8_t>& blocks,
                                std::optional<uint16_t> additive = std::nullopt,
                                std::optional<uint16_t> rotating = std::nullopt) {
    const int count = static_cast<int>(blocks.size() / kBlockSize);
    const uint16_t a = additive.value_or(AdditiveSum(blocks.data(), blocks.size()));
    const uint16_t r = rotating.value_or(RotatingSum(blocks.data(), blocks.size()));
    for (int i = 0; i < count; ++i) {
        if (!drive_access::WriteFlashBlock(link, blocks.data() + size_t(i) * kBlockSize, a, r,
                                           static_cast<uint8_t>(i), static_cast<uint8_t>(count), 1))
            return {i, drive_access::SenseCode(link)};
    }
    return {};
}

// The program's read-back sum: all of the flash but the drive area.
inline uint16_t SumOutsideDriveArea(const std::vector<uint8_t>& flash) {
    uint16_t sum = 0;
    for (uint32_t a = 0; a < flash.size(); ++a)
        if (a < kDriveAreaStart || a >= kDriveAreaStart + kDriveAreaSize) sum = static_cast<uint16_t>(sum + flash[a]);
    return sum;
}

// Reads the whole flash in 2 KiB pieces, retrying a failed piece once; nullopt when it fails twice.
inline std::optional<std::vector<uint8_t>> ReadWholeFlash(drive_access::DriveLink link) {
    std::vector<uint8_t> flash(kFlashSize);
    for (uint32_t a = 0; a < kFlashSize; a += 2048) {
        if (!drive_access::ReadFlash(link, flash.data() + a, a, 2048) &&
            !drive_access::ReadFlash(link, flash.data() + a, a, 2048))
            return std::nullopt;
    }
    return flash;
}

}  // namespace vd_test
