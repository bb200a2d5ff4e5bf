#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

#include "firmware/Checksums.h"
#include "firmware/CvtFile.h"
#include "firmware/FirmwareImage.h"

namespace fs = std::filesystem;
using namespace firmware;

namespace {

struct Outcome {
    std::vector<std::string> messages;
    int enabled = 0;
    std::vector<std::string> pathsWritten;
};

struct CvtFixture : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("rw-cvt-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        CloseCvtFile();
        CvtChecksumOk = false;
    }
    void TearDown() override {
        CloseCvtFile();
        fs::remove_all(dir);
    }

    // A file of a sound header, `blocks` blocks of the built-in image, a trailer and `surplus` bytes.
    std::string Write(const std::string& name, std::vector<uint8_t> bytes) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path.string();
    }
    static std::vector<uint8_t> Header(const char* text = "Quentar KRT5246 flash file, v2") {
        std::vector<uint8_t> header(36, 0);
        std::memcpy(header.data(), text, std::min<size_t>(36, std::strlen(text)));
        return header;
    }
    static std::vector<uint8_t> File(int blocks, uint16_t additive, uint16_t rotating, size_t surplus = 0) {
        auto bytes = Header();
        bytes.reserve(bytes.size() + blocks * FlashBlockSize + 4 + surplus);
        bytes.insert(bytes.end(), BuiltInFirmware.Blocks, BuiltInFirmware.Blocks + blocks * FlashBlockSize);
        for (uint16_t v : {additive, rotating}) {
            bytes.push_back(v & 0xFF);
            bytes.push_back(v >> 8);
        }
        bytes.insert(bytes.end(), surplus, 0x5A);
        return bytes;
    }
    // Any number of blocks of the image's bytes, with the sums that match them.
    static std::vector<uint8_t> SoundFile(int blocks, size_t surplus = 0) {
        const std::span<const uint8_t> body(BuiltInFirmware.Blocks, static_cast<size_t>(blocks) * FlashBlockSize);
        return File(blocks, AdditiveSum(body), RotatingSum(body), surplus);
    }
    static Outcome Load(const std::string& path) {
        Outcome out;
        CvtCallbacks callbacks;
        callbacks.message = [&](const std::string& t) { out.messages.push_back(t); };
        callbacks.enableFlash = [&] { ++out.enabled; };
        callbacks.writePath = [&](const std::string& p) { out.pathsWritten.push_back(p); };
        LoadCvtFile(path, callbacks);
        return out;
    }
};

TEST_F(CvtFixture, SoundFilesPassEnableFlashAndAreClosed) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int32_t blocks;
    };
    const std::vector<Case> cases = {
        {"header and zero trailer", File(0, 0, 0), 0},
        {"the built-in image", File(48, 0x27CE, 0x7AEB), 48},
        {"surplus bytes", File(48, 0x27CE, 0x7AEB, 16383), 48},
        {"as many blocks as the buffer holds", SoundFile(kCvtMaxBlocks), kCvtMaxBlocks},
        {"a full buffer and one byte short of another block", SoundFile(kCvtMaxBlocks, 16383), kCvtMaxBlocks},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write("ok.cvt", c.bytes);
        CvtChecksumOk = false;
        const Outcome out = Load(path);
        EXPECT_TRUE(out.messages.empty());
        EXPECT_EQ(out.enabled, 1);
        EXPECT_EQ(out.pathsWritten, std::vector<std::string>{path});
        EXPECT_TRUE(CvtChecksumOk);
        EXPECT_FALSE(CvtHeaderOk);
        EXPECT_EQ(CvtHandle, nullptr);
        EXPECT_EQ(CvtBlockCount, c.blocks);
        EXPECT_EQ(0, std::memcmp(CvtBuffer, c.bytes.data() + kCvtHeaderSize, c.blocks * FlashBlockSize));
    }
    ASSERT_EQ(File(48, 0x27CE, 0x7AEB).size(), 786472u);
    const auto trailer = File(48, 0x27CE, 0x7AEB);
    EXPECT_EQ(std::vector<uint8_t>(trailer.end() - 4, trailer.end()), (std::vector<uint8_t>{0xCE, 0x27, 0xEB, 0x7A}));
}

TEST_F(CvtFixture, BlockCountComesFromTheSize) {
    struct Case {
        size_t size;
        int32_t blocks;
    };
    for (const Case& c : {Case{0, 0}, Case{39, 0}, Case{40, 0}, Case{16423, 0}, Case{16424, 1},
                          Case{40 + 3 * 16384 + 7, 3}}) {
        SCOPED_TRACE(c.size);
        auto bytes = Header();
        bytes.resize(c.size, 0);
        if (c.size < 36) bytes.resize(c.size);
        Load(Write("size.cvt", bytes));
        EXPECT_EQ(CvtBlockCount, c.blocks);
    }
}

TEST_F(CvtFixture, FailuresTellTheOperatorAndNeverEnableFlash) {
    auto swapped = File(2, 0, 0);
    {
        // The true sums of two blocks, stored the wrong way round.
        CvtCallbacks none;
        const std::string probe = Write("probe.cvt", swapped);
        LoadCvtFile(probe, none);
        const uint16_t a = CvtAdditiveSum, r = CvtRotatingSum;
        ASSERT_NE(a, r);
        swapped = File(2, r, a);
    }
    auto shortHeader = Header("Quentar KRT5246 flash fil");
    shortHeader.resize(30);  // a sound start, but nothing after it
    auto badHeader = File(1, 0, 0);
    badHeader[24] = 'X';
    auto lateDifference = File(0, 0, 0);
    lateDifference[25] = 'X';
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<std::string> messages;
        bool leftOpen;
        bool headerOk;
    };
    const std::vector<Case> cases = {
        {"swapped sums", swapped, {"Checksum mismatch"}, true, true},
        {"header differs within 25", badHeader, {"The .CVT file header NG"}, false, false},
        {"short file", shortHeader, {"Checksum mismatch"}, true, true},
        {"empty file", {}, {"The .CVT file header NG"}, false, false},
        {"too large", std::vector<uint8_t>(40 + 65 * 16384, 0), {"The .CVT file is too large"}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = c.bytes;
        if (std::string(c.name) == "too large") std::copy_n(Header().begin(), 36, bytes.begin());
        const std::string path = Write("bad.cvt", bytes);
        CvtChecksumOk = false;
        const Outcome out = Load(path);
        EXPECT_EQ(out.messages, c.messages);
        EXPECT_EQ(out.enabled, 0);
        EXPECT_EQ(out.pathsWritten, std::vector<std::string>{path});
        EXPECT_EQ(CvtHandle != nullptr, c.leftOpen);
        EXPECT_EQ(CvtHeaderOk, c.headerOk);
        EXPECT_FALSE(CvtChecksumOk);
    }

    // A difference from the 26th character on is not looked at.
    EXPECT_EQ(Load(Write("late.cvt", lateDifference)).enabled, 1);
    // Once set, the flag outlives a later failure.
    Load(Write("bad.cvt", badHeader));
    EXPECT_TRUE(CvtChecksumOk);
}

TEST_F(CvtFixture, WhatIsNotARegularFileIsUnreadableAndNeverWaitedOn) {
    const std::string fifo = (dir / "pipe.cvt").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> paths = {fifo, dir.string()};
    if (fs::exists("/dev/zero")) paths.push_back("/dev/zero");
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        CvtChecksumOk = false;
        // On a thread, so that a loader that waits for a writer fails here instead of hanging.
        auto loading = std::async(std::launch::async, [&] { return Load(path); });
        if (loading.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
            ADD_FAILURE() << "the load is still waiting";
            // A writer that comes and goes gives the waiting reader its end of file.
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) ::close(writer);
        }
        const Outcome out = loading.get();
        EXPECT_EQ(out.messages, std::vector<std::string>{"Read NG"});
        EXPECT_EQ(out.pathsWritten, std::vector<std::string>{path});
        EXPECT_EQ(out.enabled, 0);
        EXPECT_EQ(CvtHandle, nullptr);
        EXPECT_FALSE(CvtHeaderOk);
        EXPECT_FALSE(CvtChecksumOk);
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(CvtFixture, FileThatShrinksWhileReadFailsTheRead) {
    // The loader measures the file when it opens it and stores the path after that, so a
    // truncation there leaves it expecting blocks that are gone: the second block comes short.
    const std::string path = Write("shrinking.cvt", SoundFile(3));
    Outcome out;
    CvtCallbacks callbacks;
    callbacks.message = [&](const std::string& t) { out.messages.push_back(t); };
    callbacks.enableFlash = [&] { ++out.enabled; };
    callbacks.writePath = [&](const std::string& p) { fs::resize_file(p, kCvtHeaderSize + FlashBlockSize + 100); };
    LoadCvtFile(path, callbacks);

    ASSERT_FALSE(out.messages.empty());
    EXPECT_EQ(out.messages.front(), "Read NG");
    EXPECT_EQ(out.enabled, 0);
    EXPECT_FALSE(CvtHeaderOk);
    EXPECT_FALSE(CvtChecksumOk);
}

TEST_F(CvtFixture, UnreadableFileAndFailedAllocation) {
    const Outcome missing = Load((dir / "nowhere.cvt").string());
    EXPECT_EQ(missing.messages, std::vector<std::string>{"Read NG"});
    EXPECT_EQ(missing.pathsWritten.size(), 1u);
    const Outcome empty = Load("");
    EXPECT_EQ(empty.messages, std::vector<std::string>{"Read NG"});
    EXPECT_EQ(empty.pathsWritten, std::vector<std::string>{""});

    uint8_t* buffer = CvtBuffer;
    auto allocate = CvtAllocate;
    CvtBuffer = nullptr;
    CvtAllocate = [](size_t) -> uint8_t* { return nullptr; };
    const Outcome noMemory = Load(Write("ok.cvt", File(0, 0, 0)));
    EXPECT_EQ(noMemory.messages, std::vector<std::string>{"Memory allocation NG"});
    EXPECT_TRUE(noMemory.pathsWritten.empty());
    EXPECT_EQ(noMemory.enabled, 0);
    CvtAllocate = allocate;
    CvtBuffer = buffer;
}

}  // namespace
