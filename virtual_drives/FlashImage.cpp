#include "virtual_drives/FlashImage.h"

#include <algorithm>

#include "virtual_drives/DriveConfig.h"

namespace virtual_drives {
namespace {

uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void FillRandom(uint8_t* out, size_t size, uint64_t& state) {
    for (size_t i = 0; i < size; i += 8) {
        uint64_t word = SplitMix(state);
        for (size_t k = 0; k < 8 && i + k < size; ++k) out[i + k] = static_cast<uint8_t>(word >> (8 * k));
    }
}

}  // namespace

std::vector<uint8_t> OlderFirmware(uint32_t seed) {
    std::vector<uint8_t> image(kFlashSize, 0xFF);
    uint64_t state = 0x4F52564558ull ^ (uint64_t{seed} << 20);
    // Boot block, main code and a data table, each followed by erased flash, as a real flash chip is laid out.
    const uint32_t bootEnd = 0x6000 + static_cast<uint32_t>(SplitMix(state) % 0x2000);
    const uint32_t codeEnd = 0x120000 + static_cast<uint32_t>(SplitMix(state) % 0x60000);
    FillRandom(image.data(), bootEnd, state);
    FillRandom(image.data() + 0x10000, codeEnd - 0x10000, state);
    for (uint32_t a = 0x1E0000; a < 0x1E4000; ++a) image[a] = static_cast<uint8_t>(SplitMix(state) & 0x3F);
    const std::string banner = "LMX2097 FW build " + std::to_string(seed);
    std::copy(banner.begin(), banner.end(), image.begin() + 0x10040);
    const auto area = DriveArea("");
    std::copy(area.begin(), area.end(), image.begin() + kDriveAreaStart);
    return image;
}

std::vector<uint8_t> DriveArea(const std::string& serial) {
    std::vector<uint8_t> area(kDriveAreaSize, 0x00);
    const std::string text = "SN:" + serial;
    std::copy_n(text.begin(), std::min<size_t>(text.size(), 32), area.begin());
    uint64_t state = 0xCA1Bu;
    for (char c : serial) state = state * 131 + static_cast<uint8_t>(c);
    FillRandom(area.data() + 32, kDriveAreaSize - 32, state);
    return area;
}

uint16_t AdditiveSum(const uint8_t* data, size_t size, uint16_t start) {
    uint16_t s = start;
    for (size_t i = 0; i < size; ++i) s = static_cast<uint16_t>(s + data[i]);
    return s;
}

uint16_t RotatingSum(const uint8_t* data, size_t size, uint16_t start) {
    uint32_t r = start;
    for (size_t i = 0; i < size; ++i) {
        r = (r >> 1) | ((r & 1) << 15);
        r = (r + data[i]) & 0xFFFF;
    }
    return static_cast<uint16_t>(r);
}

}  // namespace virtual_drives
