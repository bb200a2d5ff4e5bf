// The check of a CVT firmware file: header, blocks and the two sums of its trailer. The loaded
// blocks are only checked, never written to a drive.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace firmware {

constexpr char kCvtHeaderText[] = "Quentar KRT5246 flash file";
constexpr int kCvtHeaderCompared = 25;
constexpr int kCvtHeaderSize = 36;
constexpr int kCvtMaxBlocks = 64;

// The loader's state lives as long as the process.
extern std::FILE* CvtHandle;
extern bool CvtHeaderOk;
extern bool CvtChecksumOk;
extern uint16_t CvtAdditiveSum;
extern uint16_t CvtRotatingSum;
extern int32_t CvtBlockCount;
extern uint8_t* CvtBuffer;
// How the buffer is allocated (replaceable so that a failed allocation can be shown).
extern uint8_t* (*CvtAllocate)(size_t size);

struct CvtCallbacks {
    std::function<void(const std::string&)> message;
    std::function<void()> enableFlash;
    std::function<void(const std::string&)> writePath;
};

void LoadCvtFile(const std::string& fileName, const CvtCallbacks& callbacks);
void CloseCvtFile();
// The first 25 of `length` header bytes against the header text; missing bytes never match.
bool IsCvtHeader(const uint8_t* header, size_t length);

}  // namespace firmware
