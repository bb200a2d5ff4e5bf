#include "platform/SgIoResult.h"

#include <cerrno>
#include <climits>

namespace platform {
namespace {

// Host bytes (the path to the device) and driver bytes as the kernel reports them.
constexpr uint16_t kHostNoConnect = 0x01;
constexpr uint16_t kHostBusBusy = 0x02;
constexpr uint16_t kHostTimeOut = 0x03;
constexpr uint16_t kHostBadTarget = 0x04;
constexpr uint16_t kDriverTimeOut = 0x06;
constexpr uint16_t kDriverSense = 0x08;
constexpr uint32_t kInfoOkMask = 0x1;
constexpr uint8_t kCheckCondition = 0x02;

int HostError(uint16_t host) {
    switch (host) {
    case kHostNoConnect:
    case kHostBadTarget:
        return ENODEV;
    case kHostTimeOut:
        return ETIMEDOUT;
    case kHostBusBusy:
        return EBUSY;
    default:
        return EIO;
    }
}

}  // namespace

SgIoResult DecideSgIo(const SgIoFacts& f) {
    SgIoResult r;
    if (f.ioctlResult < 0) {
        r.error = f.ioctlErrno != 0 ? f.ioctlErrno : EIO;
        return r;
    }
    // The status byte means nothing when the way to the device failed.
    if (f.hostStatus != 0) {
        r.error = HostError(f.hostStatus);
        return r;
    }
    const uint16_t driver = f.driverStatus & 0x0F;
    if (driver == kDriverTimeOut) {
        r.error = ETIMEDOUT;
        return r;
    }
    if (driver != 0 && driver != kDriverSense) {
        r.error = EIO;
        return r;
    }
    const uint32_t resid = f.resid > 0 ? static_cast<uint32_t>(f.resid) : 0;
    r.transferred = resid < f.requested ? f.requested - resid : 0;
    if (f.status == kCheckCondition) {
        r.carriedOut = 1;
        r.scsiStatus = f.status;
        return r;
    }
    if (f.status == 0 && (f.info & kInfoOkMask) != 0) {
        // GOOD, yet something on the way went wrong: never a success.
        r.error = EIO;
        return r;
    }
    r.carriedOut = 1;
    r.scsiStatus = f.status;
    return r;
}

uint32_t SgTimeoutMs(uint32_t seconds) {
    if (seconds == 0) return 1000;
    return seconds > UINT_MAX / 1000 ? UINT_MAX : seconds * 1000;
}

}  // namespace platform
