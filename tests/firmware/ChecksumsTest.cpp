#include "firmware/Checksums.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tests/firmware/TestFiles.h"

namespace {

using firmware::AdditiveSum;
using firmware::RotatingSum;

std::vector<uint8_t> VariedBytes(size_t n) {
    std::vector<uint8_t> bytes(n);
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(i % 7 == 0 ? 0xFF - i % 3 : x >> 16);  // plenty of bytes >= 0x80
    }
    return bytes;
}

TEST(Checksums, KnownValues) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint16_t additive, rotating;
    };
    const Case cases[] = {
        {{}, 0x0000, 0x0000},
        {{'a', 'b', 'c'}, 0x0126, 0x40AC},
        {{0xFF, 0x80, 0x01}, 0x0180, 0xC080},             // bytes count as unsigned
        {std::vector<uint8_t>(258, 0xFF), 0x00FE, 0x7A7D},  // both wrap past 16 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes.size()) + " bytes");
        EXPECT_EQ(AdditiveSum(c.bytes), c.additive);
        EXPECT_EQ(RotatingSum(c.bytes), c.rotating);
    }
}

TEST(Checksums, NoBytesLeaveTheStartValue) {
    EXPECT_EQ(AdditiveSum({}, 0xBEEF), 0xBEEF);
    EXPECT_EQ(RotatingSum({}, 0xBEEF), 0xBEEF);
}

TEST(Checksums, CarriedForwardEqualsWhole) {
    const std::vector<uint8_t> bytes = VariedBytes(3 * firmware::FlashBlockSize + 100);
    const std::span<const uint8_t> all(bytes);
    const uint16_t additive = AdditiveSum(all);
    const uint16_t rotating = RotatingSum(all);

    for (size_t split : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, all.size() / 2, all.size()}) {
        SCOPED_TRACE("split at " + std::to_string(split));
        EXPECT_EQ(AdditiveSum(all.subspan(split), AdditiveSum(all.first(split))), additive);
        EXPECT_EQ(RotatingSum(all.subspan(split), RotatingSum(all.first(split))), rotating);
    }

    // Block by block, as firmware is summed.
    uint16_t a = 0, r = 0;
    for (size_t at = 0; at < all.size(); at += firmware::FlashBlockSize) {
        const auto block = all.subspan(at, std::min<size_t>(firmware::FlashBlockSize, all.size() - at));
        a = AdditiveSum(block, a);
        r = RotatingSum(block, r);
    }
    EXPECT_EQ(a, additive);
    EXPECT_EQ(r, rotating);
}

TEST(Checksums, RotatingSumMatchesBsdSumProgram) {
    if (firmware_test::Run("command -v sum >/dev/null 2>&1").exitCode != 0)
        GTEST_SKIP() << "no 'sum' program on this machine";
    const firmware_test::TempDir dir;
    const std::vector<uint8_t> bytes = VariedBytes(300 * 1024 + 7);
    const std::string file = dir.Write("varied.bin", bytes);

    const firmware_test::Ran ran = firmware_test::Run("sum -r " + firmware_test::Quoted(file));
    ASSERT_EQ(ran.exitCode, 0) << ran.output;
    EXPECT_EQ(std::stoul(ran.output), RotatingSum(bytes)) << "sum -r printed: " << ran.output;
}

}  // namespace
