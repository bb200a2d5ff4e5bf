#include "firmware/FlashRomChecksum.h"

#include <cstring>
#include <memory>

namespace firmware {

uint16_t AddPiece(uint16_t sum, const uint8_t* piece, uint32_t address, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) {
        const uint32_t at = address + i;
        if (at < kPerDriveAreaFirst || at > kPerDriveAreaLast) sum = static_cast<uint16_t>(sum + piece[i]);
    }
    return sum;
}

namespace {

// A drive reports a reset once, on the first command after it (a freshly programmed drive always
// does): that read is sent again and does not count as a failed try.
int ReadPiece(drive_access::DriveLink link, uint8_t* buffer, uint32_t address) {
    constexpr int kAttentionsPerPiece = 2;
    for (int attentions = 0;; ++attentions) {
        if (drive_access::ReadFlash(link, buffer, address, kFlashPiece)) return 1;
        if (attentions == kAttentionsPerPiece || (drive_access::SenseCode(link) >> 16) != 0x06) return 0;
    }
}

}  // namespace

uint16_t FlashRomChecksum(drive_access::DriveLink link, OnFailedRead policy, const std::function<void()>& tellOperator,
                          bool* readFailed) {
    if (readFailed) *readFailed = false;
    // One buffer per computation, freed on every way out.
    auto buffer = std::make_unique<uint8_t[]>(kFlashPiece);
    uint16_t sum = 0;
    for (uint32_t address = 0; address < kFlashSize; address += kFlashPiece) {
        std::memset(buffer.get(), 0, kFlashPiece);
        if (!ReadPiece(link, buffer.get(), address)) {
            if (policy == OnFailedRead::StopWithPartialSum) {
                if (readFailed) *readFailed = true;
                if (tellOperator) tellOperator();
                return sum;
            }
            if (!ReadPiece(link, buffer.get(), address)) {
                if (readFailed) *readFailed = true;
                return 0;
            }
        }
        sum = AddPiece(sum, buffer.get(), address, kFlashPiece);
    }
    return sum;
}

}  // namespace firmware
