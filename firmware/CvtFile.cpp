#include "firmware/CvtFile.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "firmware/Checksums.h"
#include "platform/FileSync.h"

namespace firmware {

std::FILE* CvtHandle = nullptr;
bool CvtHeaderOk = false;
bool CvtChecksumOk = false;
uint16_t CvtAdditiveSum = 0;
uint16_t CvtRotatingSum = 0;
int32_t CvtBlockCount = 0;
uint8_t* CvtBuffer = nullptr;
uint8_t* (*CvtAllocate)(size_t size) = [](size_t size) -> uint8_t* { return new (std::nothrow) uint8_t[size]; };

namespace {

constexpr size_t kBufferSize = static_cast<size_t>(kCvtMaxBlocks) * FlashBlockSize;

void Tell(const CvtCallbacks& callbacks, const char* text) {
    if (callbacks.message) callbacks.message(text);
}

// Reads up to `length` bytes; -1 when the read itself failed, else the count delivered.
long ReadSome(std::FILE* file, uint8_t* into, size_t length) {
    if (file == nullptr) return -1;
    const size_t got = std::fread(into, 1, length, file);
    if (got < length && std::ferror(file)) return -1;
    return static_cast<long>(got);
}

}  // namespace

bool IsCvtHeader(const uint8_t* header, size_t length) {
    return length >= static_cast<size_t>(kCvtHeaderCompared) &&
           std::memcmp(header, kCvtHeaderText, kCvtHeaderCompared) == 0;
}

void CloseCvtFile() {
    if (CvtHandle != nullptr) std::fclose(CvtHandle);
    CvtHandle = nullptr;
    CvtHeaderOk = false;
}

void LoadCvtFile(const std::string& fileName, const CvtCallbacks& callbacks) {
    if (CvtBuffer == nullptr) {
        CvtBuffer = CvtAllocate(kBufferSize);
        if (CvtBuffer == nullptr) {
            Tell(callbacks, "Memory allocation NG");
            return;
        }
    }
    std::memset(CvtBuffer, 0, kBufferSize);
    CvtAdditiveSum = 0;
    CvtRotatingSum = 0;
    if (CvtHandle != nullptr) CloseCvtFile();

    // A FIFO, a device or a directory is as unreadable as a missing file, and never waited on.
    uint64_t size = 0;
    CvtHandle = platform::OpenRegularFile(fileName, &size);
    if (callbacks.writePath) callbacks.writePath(fileName);

    const double blocks = (static_cast<double>(size) - 40.0) * std::ldexp(1.0, -14);
    if (blocks >= kCvtMaxBlocks + 1) {
        // More blocks than the buffer holds: refuse before copying anything.
        Tell(callbacks, "The .CVT file is too large");
        CloseCvtFile();
        return;
    }
    CvtBlockCount = static_cast<int32_t>(std::trunc(blocks));
    if (CvtBlockCount < 0) CvtBlockCount = 0;

    auto work = std::make_unique<uint8_t[]>(FlashBlockSize);
    const long headerBytes = ReadSome(CvtHandle, work.get(), kCvtHeaderSize);
    if (headerBytes < 0) {
        Tell(callbacks, "Read NG");
        return;
    }
    if (!IsCvtHeader(work.get(), static_cast<size_t>(headerBytes))) {
        Tell(callbacks, "The .CVT file header NG");
        CloseCvtFile();
        return;
    }

    CvtHeaderOk = true;
    for (int32_t i = 0; i < CvtBlockCount; ++i) {
        // A block that comes short (the file shrank under us) is as unreadable as a failed read.
        if (ReadSome(CvtHandle, work.get(), FlashBlockSize) != FlashBlockSize) {
            Tell(callbacks, "Read NG");
            CvtHeaderOk = false;
            break;
        }
        std::memcpy(CvtBuffer + static_cast<size_t>(i) * FlashBlockSize, work.get(), FlashBlockSize);
        const std::span<const uint8_t> block(work.get(), FlashBlockSize);
        CvtAdditiveSum = AdditiveSum(block, CvtAdditiveSum);
        CvtRotatingSum = RotatingSum(block, CvtRotatingSum);
    }

    uint8_t trailer[4] = {};
    const bool haveTrailer = ReadSome(CvtHandle, trailer, sizeof trailer) == static_cast<long>(sizeof trailer);
    const uint16_t expectedAdditive = static_cast<uint16_t>(trailer[0] | (trailer[1] << 8));
    const uint16_t expectedRotating = static_cast<uint16_t>(trailer[2] | (trailer[3] << 8));
    if (haveTrailer && CvtAdditiveSum == expectedAdditive && CvtRotatingSum == expectedRotating) {
        CvtChecksumOk = true;
        if (callbacks.enableFlash) callbacks.enableFlash();
        CloseCvtFile();
    } else {
        Tell(callbacks, "Checksum mismatch");
    }
}

}  // namespace firmware
