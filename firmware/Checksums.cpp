#include "firmware/Checksums.h"

namespace firmware {

uint16_t AdditiveSum(std::span<const uint8_t> bytes, uint16_t start) {
    uint32_t sum = start;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint16_t>(sum);
}

uint16_t RotatingSum(std::span<const uint8_t> bytes, uint16_t start) {
    uint16_t r = start;
    for (uint8_t b : bytes) {
        r = static_cast<uint16_t>((r >> 1) | ((r & 1u) << 15));
        r = static_cast<uint16_t>(r + b);
    }
    return r;
}

}  // namespace firmware
