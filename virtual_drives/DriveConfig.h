// What a virtual drive is and how it misbehaves: the data a bay file describes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drive_access/FlashLayout.h"

namespace virtual_drives {

using drive_access::kFlashSize;
// Serial and calibration, kept across updates.
constexpr uint32_t kDriveAreaStart = drive_access::kPerDriveAreaFirst;
constexpr uint32_t kDriveAreaSize = drive_access::kPerDriveAreaLast - drive_access::kPerDriveAreaFirst + 1;
constexpr uint32_t kBlockSize = drive_access::FlashBlockSize;
constexpr int kMaxBayDrives = 64;
constexpr uint8_t kTypeCdDvd = 5;

// Fixed-format sense as the drive reports it. `key` is the whole of sense byte 2.
struct Sense {
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;

    uint32_t Code() const { return uint32_t{key} << 16 | uint32_t{asc} << 8 | ascq; }
    friend bool operator==(const Sense&, const Sense&) = default;
};

namespace sense {
constexpr Sense NoMedium{0x02, 0x3A, 0x00};
constexpr Sense TrayClosed{0x02, 0x3A, 0x01};
constexpr Sense TrayOpen{0x02, 0x3A, 0x02};
constexpr Sense InvalidOpcode{0x05, 0x20, 0x00};
constexpr Sense InvalidField{0x05, 0x24, 0x00};
constexpr Sense SequenceError{0x05, 0x2C, 0x00};
constexpr Sense PayloadSums{0x05, 0x26, 0x00};   // the two sums do not match the blocks
constexpr Sense PayloadImage{0x05, 0x26, 0x02};  // the blocks do not hold a flash image
constexpr Sense Reset{0x06, 0x29, 0x00};
constexpr Sense ReadError{0x03, 0x11, 0x00};
constexpr Sense InternalFailure{0x04, 0x44, 0x00};
}  // namespace sense

enum class Medium {
    Ready,       // disc loaded, tray closed
    NoMedium,    // 02/3A/00
    TrayClosed,  // 02/3A/01
    TrayOpen,    // 02/3A/02
};

struct BlockRefusal {
    int block = 0;
    Sense sense;
};

struct ReadFailure {
    uint32_t address = 0;  // a read whose range covers this address fails
    bool once = false;
    Sense sense = sense::ReadError;
};

struct DriveConfig {
    // Identity, space-padded into the INQUIRY data.
    std::string vendor = "ORVEX";
    std::string product = "DVD RW LMX2097";
    std::string revision = "1.00";
    uint8_t deviceType = kTypeCdDvd;  // anything else shows only on the ASPI-style bus
    std::string serial;               // empty: made from the drive's place in the bay
    uint32_t firmwareSeed = 1;        // which "older firmware" the flash starts with
    Medium medium = Medium::Ready;

    // Modelled time in ms. A negative value means "as `latency`".
    int32_t latency = 0;
    int32_t readLatency = -1;
    int32_t writeLatency = -1;
    int32_t ejectLatency = -1;
    int32_t programLatency = 0;  // added to the last block of a transfer

    // Faults.
    std::vector<BlockRefusal> refuseBlocks;
    std::vector<ReadFailure> readFailures;
    std::vector<std::optional<Sense>> testUnitReadyScript;  // nullopt answers GOOD
    std::optional<Sense> inquiryFailure;
    int hangAtCommand = 0;   // 1-based command number that never completes; 0: none
    int hangAtBlock = -1;    // writing this block never completes; -1: none
    int vanishAfter = 0;     // the drive leaves the bus after this many commands; 0: never
    // Another program holds the drive (pass-through only): it cannot be opened, and this is the
    // holder's process id. 0: free.
    int busyHolder = 0;

    // Place on the ASPI-style bus; -1: the next free place in bay order.
    int adapter = -1;
    int target = -1;
};

struct BayDescription {
    std::vector<DriveConfig> drives;
};

}  // namespace virtual_drives
