// A link to one device of the installed DeviceTable and the drive commands sent over it.
#pragma once

#include <cstdint>

#include "drive_access/FlashLayout.h"

namespace drive_access {

using DriveLink = int32_t;
constexpr DriveLink kDetached = 255;
constexpr uint32_t kNoSense = 0xFFFFFF;
constexpr uint32_t kSenseNoMedium = 0x023A00;
constexpr uint32_t kSenseReset = 0x062900;

constexpr int32_t kDefaultTimeoutMs = 15000;
constexpr int32_t kWriteTimeoutMs = 60000;

int Attach(DriveLink& link, int32_t index);
int Detach(DriveLink& link);
int ReadSense(DriveLink link, uint8_t* buffer);  // 16 bytes
// Why the attached device cannot be used (EACCES, EPERM, EBUSY) or 0; *holder gets the process
// holding a busy drive when known.
int LinkProblem(DriveLink link, int* holder = nullptr);
// The errno-style reason the last command on the attached device failed in the transport, or 0.
int LinkError(DriveLink link);
uint32_t SenseCode(DriveLink link);
int ReadFlash(DriveLink link, uint8_t* buffer, uint32_t address, uint16_t length);
int Inquiry(DriveLink link, uint8_t* buffer, uint8_t allocationLength);
// Vital product data page 80h: byte 3 the serial's length, the serial from byte 4.
int InquirySerial(DriveLink link, uint8_t* buffer, uint8_t allocationLength);
int WriteFlashBlock(DriveLink link, const uint8_t* block, uint16_t firstSum, uint16_t secondSum, uint8_t index,
                    uint8_t count, uint8_t flag);
int StartStopUnit(DriveLink link, uint8_t control, int immediate);
int TestUnitReady(DriveLink link);
int TestUnitReadyWait(DriveLink link, int32_t timeoutMs);

}  // namespace drive_access
