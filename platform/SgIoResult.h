// How one SG_IO request ended, sorted into what the transport reports. Pure, so the whole table of
// kernel answers can be tested without a drive.
#pragma once

#include <cstdint>

namespace platform {

// The fields of an sg_io_hdr that tell how a request ended, copied out after the ioctl.
struct SgIoFacts {
    int ioctlResult = 0;  // what ioctl() returned
    int ioctlErrno = 0;   // errno when it returned < 0
    uint32_t info = 0;
    uint8_t status = 0;  // SCSI status byte
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    int32_t resid = 0;
    uint32_t requested = 0;  // bytes the request asked to move
};

struct SgIoResult {
    int carriedOut = 0;      // 1: the device answered; scsiStatus says how
    int error = 0;           // errno-style reason when not carried out
    uint8_t scsiStatus = 0;  // with carriedOut
    uint32_t transferred = 0;
};

SgIoResult DecideSgIo(const SgIoFacts& facts);

// A time-out in whole seconds as SG_IO takes it (ms). 0 would let the kernel pick its own default
// (a minute on some kernels, none on others): it becomes the shortest wait a drive can answer in.
uint32_t SgTimeoutMs(uint32_t seconds);

}  // namespace platform
