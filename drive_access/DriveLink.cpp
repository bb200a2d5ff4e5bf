#include "drive_access/DriveLink.h"

#include <cstring>

#include "drive_access/DeviceTable.h"
#include "platform/Platform.h"

namespace drive_access {
namespace {

constexpr uint8_t kReadFlashTemplate[12] = {0xA0, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kInquiryTemplate[12] = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kWriteBlockTemplate[12] = {0xFA, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kStartStopTemplate[12] = {0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kTestUnitReadyTemplate[12] = {};

struct Cdb {
    explicit Cdb(const uint8_t (&tmpl)[12]) { std::memcpy(bytes, tmpl, 12); }
    uint8_t bytes[12];
};

int Send(DriveLink link, const Cdb& cdb, void* data, int32_t length, uint8_t direction, int32_t timeoutMs,
         Transfer transfer = Transfer::UpTo) {
    return ExecuteCdb(static_cast<uint8_t>(link & 0xFF), cdb.bytes, data, length, direction, timeoutMs, 12, transfer);
}

}  // namespace

int Attach(DriveLink& link, int32_t index) {
    if (!SelectDevice(index)) return 0;
    // Attaching again to the device the link holds stays one attachment that one Detach ends.
    if (link == index) ReleaseDevice(index);
    link = index;
    return 1;
}

int Detach(DriveLink& link) {
    if (link == kDetached) return 1;
    ReleaseDevice(link);
    link = kDetached;
    return 1;
}

int LinkProblem(DriveLink link, int* holder) {
    if (holder) *holder = 0;
    DeviceTable* table = InstalledDeviceTable();
    if (link == kDetached || table == nullptr) return 0;
    const platform::AccessProblem problem = table->Access(link & 0xFF);
    if (holder) *holder = problem.holder;
    return problem.error;
}

int LinkError(DriveLink link) {
    DeviceTable* table = InstalledDeviceTable();
    if (link == kDetached || table == nullptr) return 0;
    return table->LastError(link & 0xFF);
}

int ReadSense(DriveLink link, uint8_t* buffer) {
    if (link == kDetached) return 0;
    CopySense(buffer, static_cast<uint8_t>(link & 0xFF));
    return 1;
}

uint32_t SenseCode(DriveLink link) {
    uint8_t sense[32] = {};
    if (!ReadSense(link, sense)) return kNoSense;
    return (static_cast<uint32_t>(sense[2]) << 16) | (static_cast<uint32_t>(sense[12]) << 8) | sense[13];
}

int ReadFlash(DriveLink link, uint8_t* buffer, uint32_t address, uint16_t length) {
    Cdb cdb(kReadFlashTemplate);
    cdb.bytes[2] = 0x0A;
    cdb.bytes[6] = static_cast<uint8_t>((address >> 24) & 0xFF);
    cdb.bytes[7] = static_cast<uint8_t>((address >> 16) & 0xFF);
    cdb.bytes[8] = static_cast<uint8_t>((address >> 8) & 0xFF);
    cdb.bytes[9] = static_cast<uint8_t>(address & 0xFF);
    cdb.bytes[10] = static_cast<uint8_t>((length >> 8) & 0xFF);
    cdb.bytes[11] = static_cast<uint8_t>(length & 0xFF);
    return Send(link, cdb, buffer, length, platform::DirIn, kDefaultTimeoutMs, Transfer::Whole);
}

int Inquiry(DriveLink link, uint8_t* buffer, uint8_t allocationLength) {
    Cdb cdb(kInquiryTemplate);
    cdb.bytes[4] = allocationLength;
    return Send(link, cdb, buffer, allocationLength, platform::DirIn, kDefaultTimeoutMs);
}

int InquirySerial(DriveLink link, uint8_t* buffer, uint8_t allocationLength) {
    Cdb cdb(kInquiryTemplate);
    cdb.bytes[1] = 0x01;  // EVPD
    cdb.bytes[2] = 0x80;  // unit serial number
    cdb.bytes[4] = allocationLength;
    return Send(link, cdb, buffer, allocationLength, platform::DirIn, kDefaultTimeoutMs);
}

int WriteFlashBlock(DriveLink link, const uint8_t* block, uint16_t firstSum, uint16_t secondSum, uint8_t index,
                    uint8_t count, uint8_t flag) {
    Cdb cdb(kWriteBlockTemplate);
    cdb.bytes[1] = cdb.bytes[7] = static_cast<uint8_t>((firstSum >> 8) & 0xFF);
    cdb.bytes[2] = cdb.bytes[8] = static_cast<uint8_t>(firstSum & 0xFF);
    cdb.bytes[3] = cdb.bytes[9] = static_cast<uint8_t>((secondSum >> 8) & 0xFF);
    cdb.bytes[4] = cdb.bytes[10] = static_cast<uint8_t>(secondSum & 0xFF);
    cdb.bytes[5] = index;
    cdb.bytes[6] = flag;
    cdb.bytes[11] = count;
    // Data-out only: the transport never writes into the block.
    return Send(link, cdb, const_cast<uint8_t*>(block), FlashBlockSize, platform::DirOut, kWriteTimeoutMs,
                Transfer::Whole);
}

int StartStopUnit(DriveLink link, uint8_t control, int immediate) {
    Cdb cdb(kStartStopTemplate);
    if (immediate) cdb.bytes[1] = 0x01;
    cdb.bytes[4] = control;
    return Send(link, cdb, nullptr, 0, platform::DirNone, kDefaultTimeoutMs);
}

int TestUnitReady(DriveLink link) { return TestUnitReadyWait(link, kDefaultTimeoutMs); }

int TestUnitReadyWait(DriveLink link, int32_t timeoutMs) {
    Cdb cdb(kTestUnitReadyTemplate);
    return Send(link, cdb, nullptr, 0, platform::DirNone, timeoutMs);
}

}  // namespace drive_access
