// A firmware image as the flash worker sends it: up to 64 blocks of FlashBlockSize bytes, of
// which the first BlockCount are in use, with the two sums of those blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/Checksums.h"

namespace firmware {

constexpr int MaxFirmwareBlocks = 64;

struct FirmwareImage {
    int32_t BlockCount;
    uint16_t AdditiveSum;  // of the BlockCount blocks
    uint16_t RotatingSum;  // of the same bytes
    uint8_t Blocks[MaxFirmwareBlocks * FlashBlockSize];

    const uint8_t* Block(int i) const { return Blocks + static_cast<size_t>(i) * FlashBlockSize; }
};

// The drives see these offsets through the block writes; keep the layout fixed.
static_assert(offsetof(FirmwareImage, BlockCount) == 0);
static_assert(offsetof(FirmwareImage, AdditiveSum) == 4);
static_assert(offsetof(FirmwareImage, RotatingSum) == 6);
static_assert(offsetof(FirmwareImage, Blocks) == 8);

// The image this program writes to every drive. Constant-initialised read-only data, generated
// at build time by tools/make_firmware: safe to read from any thread, and from static
// initialisers of other translation units.
extern const FirmwareImage BuiltInFirmware;

}  // namespace firmware
