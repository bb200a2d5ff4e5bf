#include "firmware/FirmwareImage.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/firmware/TestFiles.h"

namespace {

using firmware::BuiltInFirmware;
using firmware::FlashBlockSize;

constexpr size_t UsedBytes = 48 * FlashBlockSize;  // 786,432
constexpr uint32_t PayloadLength = 772186;
constexpr size_t FlashSize = 2 * 1024 * 1024;

std::span<const uint8_t> Used() { return {BuiltInFirmware.Blocks, UsedBytes}; }

bool AllEqual(std::span<const uint8_t> bytes, uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](uint8_t b) { return b == value; });
}

TEST(BuiltInFirmware, StoredFieldsAreTheSumsOfItsBlocks) {
    EXPECT_EQ(BuiltInFirmware.BlockCount, 48);
    EXPECT_EQ(BuiltInFirmware.AdditiveSum, 0x27CE);
    EXPECT_EQ(BuiltInFirmware.RotatingSum, 0x7AEB);

    uint16_t additive = 0, rotating = 0;
    for (int i = 0; i < BuiltInFirmware.BlockCount; ++i) {
        const std::span<const uint8_t> block(BuiltInFirmware.Block(i), FlashBlockSize);
        additive = firmware::AdditiveSum(block, additive);
        rotating = firmware::RotatingSum(block, rotating);
    }
    EXPECT_EQ(additive, BuiltInFirmware.AdditiveSum);
    EXPECT_EQ(rotating, BuiltInFirmware.RotatingSum);
}

TEST(BuiltInFirmware, Layout) {
    for (int i : {0, 1, 47, 63})
        EXPECT_EQ(BuiltInFirmware.Block(i), BuiltInFirmware.Blocks + static_cast<size_t>(i) * 16384) << i;

    const std::span<const uint8_t> used = Used();
    const uint32_t length = used[0] | used[1] << 8 | used[2] << 16 | static_cast<uint32_t>(used[3]) << 24;
    EXPECT_EQ(length, PayloadLength);
    EXPECT_EQ(used[4], 0x78);
    EXPECT_EQ(used[5], 0xDA);
    EXPECT_NE(used[4 + PayloadLength - 1], 0) << "the Adler-32 ends the payload";  // 0 with odds 1/256
    EXPECT_EQ(UsedBytes - 4 - PayloadLength, 14242u);
    EXPECT_TRUE(AllEqual(used.subspan(4 + PayloadLength), 0)) << "zero tail of block 47";
    EXPECT_TRUE(AllEqual({BuiltInFirmware.Block(48), 16 * FlashBlockSize}, 0)) << "blocks 48..63";
}

// Inflates the payload, offering zlib everything up to the end of block 47.
struct Inflated {
    int result = Z_DATA_ERROR;
    size_t consumed = 0;
    std::vector<uint8_t> flash;
};

Inflated InflatePayload() {
    Inflated out;
    out.flash.resize(FlashSize + 1);  // one spare byte shows an overlong payload
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return out;
    const std::span<const uint8_t> input = Used().subspan(4);
    z.next_in = const_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = out.flash.data();
    z.avail_out = static_cast<uInt>(out.flash.size());
    out.result = inflate(&z, Z_FINISH);
    out.consumed = z.total_in;
    out.flash.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

TEST(BuiltInFirmware, PayloadInflatesToAWholeFlash) {
    const Inflated inflated = InflatePayload();
    ASSERT_EQ(inflated.result, Z_STREAM_END);
    EXPECT_EQ(inflated.consumed, PayloadLength) << "the stream must end exactly at byte 4 + L";
    ASSERT_EQ(inflated.flash.size(), FlashSize);

    const std::span<const uint8_t> flash(inflated.flash);
    EXPECT_TRUE(AllEqual(flash.subspan(0x1F8000, 0x80), 0xFF)) << "per-drive area must stay erased";
    const std::string_view text(reinterpret_cast<const char*>(flash.data()), flash.size());
    EXPECT_NE(text.find("ROMWRIGHT-FW 1.10"), std::string_view::npos);
}

TEST(BuiltInFirmware, LiesInReadOnlyMemory) {
    std::ifstream maps("/proc/self/maps");
    if (!maps) GTEST_SKIP() << "no /proc/self/maps";
    const auto first = reinterpret_cast<uintptr_t>(&BuiltInFirmware);
    const uintptr_t last = first + sizeof BuiltInFirmware - 1;
    std::string line;
    int mappings = 0;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        uintptr_t begin = 0, end = 0;
        char dash = 0;
        std::string permissions;
        fields >> std::hex >> begin >> dash >> end >> permissions;
        if (end <= first || begin > last) continue;
        ++mappings;
        EXPECT_EQ(permissions[1], '-') << line;
    }
    EXPECT_GT(mappings, 0);
}

// The image is generated at every build. This value pins it, so that a change to the generator
// that alters what the drives receive cannot go unnoticed; update it only for a new firmware.
TEST(BuiltInFirmware, ContentIsPinned) {
    const uint32_t crc = static_cast<uint32_t>(crc32(0, Used().data(), static_cast<uInt>(UsedBytes)));
    EXPECT_EQ(crc, 0xE9CB6A2Cu);
}

TEST(BuiltInFirmware, GeneratorReproducesTheEmbeddedBytes) {
    const firmware_test::TempDir dir;
    const std::string file = dir.PathOf("image.bin");
    const firmware_test::Ran ran = firmware_test::Run(firmware_test::Quoted(RW_MAKE_FIRMWARE) + " " +
                                                      firmware_test::Quoted(file));
    ASSERT_EQ(ran.exitCode, 0) << ran.output;
    const std::vector<uint8_t> generated = firmware_test::ReadFile(file);
    ASSERT_EQ(generated.size(), UsedBytes);
    EXPECT_TRUE(std::equal(generated.begin(), generated.end(), Used().begin()));
}

TEST(FindImage, TellsWhetherAFileCarriesTheImage) {
    const firmware_test::TempDir dir;
    std::vector<uint8_t> holder(1000 + UsedBytes + 500, 0x5A);
    std::copy(Used().begin(), Used().end(), holder.begin() + 1000);
    std::vector<uint8_t> damaged = holder;
    damaged[1000 + 400000] ^= 0x01;
    const std::vector<uint8_t> truncated(holder.begin(), holder.begin() + 1000 + UsedBytes - 1);

    struct Case {
        std::string name, file;
        int exitCode;
        std::string says;
    };
    const Case cases[] = {
        {"this test program", "/proc/self/exe", 0, "found at offset"},
        {"image at 1000", dir.Write("holder.bin", holder), 0, "found at offset 0x3e8"},
        {"one bit changed", dir.Write("damaged.bin", damaged), 1, "NOT found"},
        {"last byte missing", dir.Write("truncated.bin", truncated), 1, "NOT found"},
        {"no such file", dir.PathOf("missing.bin"), 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // /proc/self/exe must name this process, not the shell's.
        const std::string file = c.file == "/proc/self/exe" ? std::filesystem::read_symlink(c.file).string() : c.file;
        const firmware_test::Ran ran =
            firmware_test::Run(firmware_test::Quoted(RW_FIND_IMAGE) + " " + firmware_test::Quoted(file) + " 2>/dev/null");
        EXPECT_EQ(ran.exitCode, c.exitCode) << ran.output;
        EXPECT_NE(ran.output.find(c.says), std::string::npos) << ran.output;
    }
}

}  // namespace
