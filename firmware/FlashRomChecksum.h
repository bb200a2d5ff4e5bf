// The 16-bit sum of a drive's whole flash, read back over a link, without the per-drive area.
#pragma once

#include <cstdint>
#include <functional>

#include "drive_access/DriveLink.h"

namespace firmware {

using drive_access::kFlashSize;
constexpr uint16_t kFlashPiece = 2048;
using drive_access::kPerDriveAreaFirst;
using drive_access::kPerDriveAreaLast;

enum class OnFailedRead {
    RetryOnceThenZero,    // the worker: one immediate retry, 0 after a second failure
    StopWithPartialSum,   // the window: tell the operator, keep the sum of the pieces read
};

// Reads the flash over an attached link and leaves it attached. `tellOperator` runs once when
// a read fails under StopWithPartialSum; `readFailed`, when given, says whether any read failed
// for good.
uint16_t FlashRomChecksum(drive_access::DriveLink link, OnFailedRead policy,
                          const std::function<void()>& tellOperator = {}, bool* readFailed = nullptr);

// The sum of one piece read at `address`, as the flash checksum counts it.
uint16_t AddPiece(uint16_t sum, const uint8_t* piece, uint32_t address, uint32_t length);

}  // namespace firmware
