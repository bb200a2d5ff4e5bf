// The flash of the drives this program updates, as their vendor commands see it.
#pragma once

#include <cstdint>

namespace drive_access {

// One vendor block write, and one block of a firmware image.
constexpr int32_t FlashBlockSize = 16384;
constexpr uint32_t kFlashSize = 0x200000;
// The drive's own area (serial, calibration): kept across updates, left out of the checksum.
constexpr uint32_t kPerDriveAreaFirst = 0x1F8000;
constexpr uint32_t kPerDriveAreaLast = 0x1F807F;

}  // namespace drive_access
