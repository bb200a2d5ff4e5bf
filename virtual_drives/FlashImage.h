// The flash contents a virtual drive starts with, and the sums it checks a payload against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace virtual_drives {

// A 2 MiB image that looks like an older firmware: code-like bytes, then erased (FFh) flash.
// The same seed always gives the same image.
std::vector<uint8_t> OlderFirmware(uint32_t seed);

// The 128 bytes a drive keeps at 0x1F8000 across updates: its serial and calibration data.
std::vector<uint8_t> DriveArea(const std::string& serial);

// The two sums the block-write command carries, carried forward from `start`.
uint16_t AdditiveSum(const uint8_t* data, size_t size, uint16_t start = 0);
uint16_t RotatingSum(const uint8_t* data, size_t size, uint16_t start = 0);

}  // namespace virtual_drives
