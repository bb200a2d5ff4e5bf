// The two 16-bit checksums that travel with every firmware image, and the block size in which
// firmware is summed, stored and sent.
#pragma once

#include <cstdint>
#include <span>

#include "drive_access/FlashLayout.h"

namespace firmware {

using drive_access::FlashBlockSize;

// Byte sum modulo 65536. Pass the value reached so far as `start` to continue over more bytes.
uint16_t AdditiveSum(std::span<const uint8_t> bytes, uint16_t start = 0);

// Rotate right by one bit, then add the byte: the classic BSD 16-bit checksum. Carries forward
// like AdditiveSum.
uint16_t RotatingSum(std::span<const uint8_t> bytes, uint16_t start = 0);

}  // namespace firmware
