// The virtual drive's answers as the program sees them: drive links over the device table,
// in both transport modes where the transport makes a difference.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "BayFixture.h"

using namespace drive_access;
using namespace vd_test;

namespace {

std::string Text(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, uint32_t at, uint32_t n) {
    return std::vector<uint8_t>(v.begin() + at, v.begin() + at + n);
}

class BothTransports : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Modes, BothTransports,
                         ::testing::Values(platform::PlatformPassThroughFamily, platform::PlatformAspiFamily),
                         [](const auto& info) {
                             return info.param == platform::PlatformAspiFamily ? "Aspi" : "PassThrough";
                         });

TEST_P(BothTransports, InquiryGivesTheIdentityUpToTheShorterLength) {
    DriveConfig other;
    other.product = "DVD RW LMX2000";
    other.revision = "2.1";
    BayPlatform p({{DriveConfig{}, other}}, GetParam());
    ASSERT_EQ(DeviceCount(), 2);

    uint8_t data[40];
    std::memset(data, 0xEE, sizeof data);
    DriveLink link = Attached(0);
    ASSERT_EQ(Inquiry(link, data, 36), 1);
    EXPECT_EQ(data[0], 5);
    EXPECT_EQ(data[4], 31);
    EXPECT_EQ(Text(data + 8, 28), "ORVEX   DVD RW LMX2097  1.00");
    EXPECT_EQ(data[36], 0xEE);

    std::memset(data, 0xEE, sizeof data);
    ASSERT_EQ(Inquiry(link, data, 32), 1);
    EXPECT_EQ(Text(data + 16, 16), "DVD RW LMX2097  ");
    EXPECT_EQ(data[32], 0xEE);
    Detach(link);

    // The allocation length and the transfer length each cap the copy.
    link = Attached(1);
    const uint8_t cdb[12] = {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0};
    std::memset(data, 0xEE, sizeof data);
    ASSERT_EQ(ExecuteCdb(1, cdb, data, 20, platform::DirIn, 15000, 12), 1);
    EXPECT_EQ(Text(data + 16, 4), "DVD ");
    EXPECT_EQ(data[20], 0xEE);
    const uint8_t five[12] = {0x12, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    std::memset(data, 0xEE, sizeof data);
    ASSERT_EQ(ExecuteCdb(1, five, data, 36, platform::DirIn, 15000, 12), 1);
    EXPECT_EQ(data[0], 5);
    EXPECT_EQ(data[5], 0xEE);
    ASSERT_EQ(Inquiry(link, data, 36), 1);
    EXPECT_EQ(Text(data + 16, 20), "DVD RW LMX2000  2.1 ");
}

TEST_P(BothTransports, TestUnitReadyReportsEachMediumState) {
    const std::pair<Medium, uint32_t> cases[] = {{Medium::Ready, 0},
                                                 {Medium::NoMedium, 0x023A00},
                                                 {Medium::TrayClosed, 0x023A01},
                                                 {Medium::TrayOpen, 0x023A02}};
    BayDescription bay;
    for (const auto& [medium, code] : cases) {
        bay.drives.emplace_back();
        bay.drives.back().medium = medium;
    }
    BayPlatform p(bay, GetParam());
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        DriveLink link = Attached(i);
        EXPECT_EQ(TestUnitReadyWait(link, 50000), cases[i].second == 0 ? 1 : 0);
        if (cases[i].second != 0) {
            EXPECT_EQ(SenseCode(link), cases[i].second);
        }
        Detach(link);
    }
}

TEST_P(BothTransports, AFullUpdateLandsInTheFlashKeepsTheDriveAreaAndResetsOnce) {
    BayPlatform p(GoodDrives(1), GetParam());
    VirtualDrive& drive = p.bay.Drive(0);
    const auto before = drive.Flash();
    const Payload& payload = TestPayload();

    DriveLink link = Attached(0);
    uint8_t identity[33] = {};
    ASSERT_EQ(Inquiry(link, identity, 32), 1);
    ASSERT_EQ(TestUnitReadyWait(link, 50000), 1);
    ASSERT_EQ(StartStopUnit(link, 2, 0), 1);
    const WriteOutcome written = WriteBlocks(link, payload.blocks);
    EXPECT_EQ(written.refused, -1) << std::hex << written.sense;

    const auto after = drive.Flash();
    EXPECT_EQ(Slice(after, 0, kDriveAreaStart), Slice(payload.image, 0, kDriveAreaStart));
    EXPECT_EQ(Slice(after, kDriveAreaStart, kDriveAreaSize), Slice(before, kDriveAreaStart, kDriveAreaSize));
    const uint32_t tail = kDriveAreaStart + kDriveAreaSize;
    EXPECT_EQ(Slice(after, tail, kFlashSize - tail), Slice(payload.image, tail, kFlashSize - tail));
    EXPECT_EQ(drive.Updates(), 1);
    EXPECT_EQ(drive.Resets(), 1);
    EXPECT_EQ(drive.BlocksReceived(), 48);

    // The restart shows once, on whatever comes next; then the tray is still open.
    EXPECT_EQ(TestUnitReady(link), 0);
    EXPECT_EQ(SenseCode(link), kSenseReset);
    EXPECT_EQ(TestUnitReady(link), 0);
    EXPECT_EQ(SenseCode(link), 0x023A02u);

    auto flash = ReadWholeFlash(link);
    ASSERT_TRUE(flash);
    EXPECT_EQ(*flash, after);
    EXPECT_EQ(SumOutsideDriveArea(*flash), SumOutsideDriveArea(payload.image));
    Detach(link);
}

TEST_P(BothTransports, ARefusedBlockEndsTheTransferWithItsSense) {
    struct Case {
        int block;
        Sense sense;
        bool programmed;
    };
    const Case cases[] = {
        {20, {0x03, 0x0C, 0x00}, false},  // write error
        {47, {0x06, 0x29, 0x00}, true},   // restarts after programming, before acknowledging
        {10, {0x06, 0x29, 0x00}, false},  // restarts mid-transfer: the blocks so far are lost
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.block);
        DriveConfig config;
        config.refuseBlocks.push_back({c.block, c.sense});
        BayPlatform p(OneDrive(config), GetParam());
        VirtualDrive& drive = p.bay.Drive(0);
        const auto before = drive.Flash();

        DriveLink link = Attached(0);
        const WriteOutcome written = WriteBlocks(link, TestPayload().blocks);
        EXPECT_EQ(written.refused, c.block);
        EXPECT_EQ(written.sense, c.sense.Code());
        EXPECT_EQ(drive.BlocksReceived(), c.block);
        EXPECT_EQ(drive.Updates(), c.programmed ? 1 : 0);
        EXPECT_EQ(drive.Flash() != before, c.programmed);
        EXPECT_EQ(drive.Resets(), c.sense.key == 0x06 ? 1 : 0);
        // The refusal was the only report: nothing is left pending.
        EXPECT_EQ(TestUnitReady(link), 1);
        // A transfer that was cut off cannot go on where it stopped.
        if (c.block < 47) {
            std::vector<uint8_t> block(kBlockSize);
            EXPECT_EQ(WriteFlashBlock(link, block.data(), 1, 2, static_cast<uint8_t>(c.block + 1), 48, 1), 0);
            EXPECT_EQ(SenseCode(link), 0x052C00u);
        }
        Detach(link);
    }
}

TEST_P(BothTransports, ACommandThatNeverCompletesTimesOutAndTheDriveAnswersAgain) {
    DriveConfig config;
    config.hangAtCommand = 2;
    BayPlatform p(OneDrive(config), GetParam());
    DriveLink link = Attached(0);
    ASSERT_EQ(TestUnitReady(link), 1);

    const int64_t start = p.clock.NowMs();
    uint8_t data[36];
    EXPECT_EQ(Inquiry(link, data, 36), 0);
    EXPECT_GE(p.clock.NowMs() - start, 15000);
    EXPECT_EQ(p.table->LastError(0), ETIMEDOUT);

    EXPECT_EQ(Inquiry(link, data, 36), 1);
    const auto log = p.bay.Drive(0).Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].outcome, Outcome::Hung);
    EXPECT_EQ(log[2].outcome, Outcome::Done);
}

TEST_P(BothTransports, ADriveThatLeavesTheBusFailsEverythingFromThenOn) {
    DriveConfig config;
    config.vanishAfter = 3;
    BayPlatform p({{config, DriveConfig{}}}, GetParam());
    DriveLink link = Attached(0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(TestUnitReady(link), 1) << i;
    EXPECT_EQ(TestUnitReady(link), 0);
    EXPECT_NE(p.table->LastError(0), 0);
    Detach(link);
    link = Attached(0);
    EXPECT_EQ(TestUnitReady(link), 0);
    if (GetParam() == platform::PlatformPassThroughFamily) {
        EXPECT_EQ(p.table->HandleOf(0), platform::kInvalidHandle);
        EXPECT_EQ(p.table->LastError(0), ENODEV);
    }
    Detach(link);

    // The other drive is unaffected, and a fresh discovery no longer finds the one that left.
    DriveLink second = Attached(1);
    EXPECT_EQ(TestUnitReady(second), 1);
    Detach(second);
    DeviceTable again(p.platform);
    EXPECT_EQ(again.DeviceCount(), 1);
    EXPECT_EQ(p.bay.Drive(0).CommandCount(), 3);
}

// ---------------------------------------------------------------- pass-through only

TEST(FlashImage, SumsAndTheOlderFirmware) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(AdditiveSum(abc, 3), 0x0126);
    EXPECT_EQ(RotatingSum(abc, 3), 0x40AC);
    EXPECT_EQ(RotatingSum(abc + 1, 2, RotatingSum(abc, 1)), 0x40AC);
    EXPECT_EQ(AdditiveSum(abc, 0), 0);

    const auto image = OlderFirmware(1);
    ASSERT_EQ(image.size(), kFlashSize);
    EXPECT_EQ(image, OlderFirmware(1));
    EXPECT_NE(SumOutsideDriveArea(image), SumOutsideDriveArea(OlderFirmware(2)));
    EXPECT_EQ(image[kFlashSize - 1], 0xFF);  // erased flash at the top
    EXPECT_NE(DriveArea("A"), DriveArea("B"));
    EXPECT_EQ(DriveArea("A").size(), kDriveAreaSize);
}

struct OneBay : ::testing::Test {
    explicit OneBay(DriveConfig config = {}) : p(OneDrive(std::move(config))), link(Attached(0)) {}
    ~OneBay() override { Detach(link); }
    BayPlatform p;
    DriveLink link;
};

TEST(VirtualDrive, EjectOpensTheTrayAndLoadBringsBackWhatWasInIt) {
    struct Case {
        Medium start;
        uint32_t afterEject, afterLoad;
    };
    const Case cases[] = {{Medium::Ready, 0x023A02, 0},
                          {Medium::TrayClosed, 0x023A02, 0x023A01},
                          {Medium::NoMedium, 0x023A02, 0x023A01},
                          {Medium::TrayOpen, 0x023A02, 0x023A01}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.start));
        DriveConfig config;
        config.medium = c.start;
        BayPlatform p(OneDrive(config));
        DriveLink link = Attached(0);
        auto state = [&] { return TestUnitReady(link) ? 0u : SenseCode(link); };
        ASSERT_EQ(StartStopUnit(link, 0x00, 0), 1);  // spindle only
        ASSERT_EQ(StartStopUnit(link, 0x01, 1), 1);
        EXPECT_EQ(p.bay.Drive(0).MediumState(), c.start);
        ASSERT_EQ(StartStopUnit(link, 0x02, 0), 1);
        EXPECT_EQ(state(), c.afterEject);
        EXPECT_EQ(p.bay.Drive(0).MediumState(), Medium::TrayOpen);
        ASSERT_EQ(StartStopUnit(link, 0x02, 0), 1);  // already open
        ASSERT_EQ(StartStopUnit(link, 0x03, 0), 1);
        EXPECT_EQ(state(), c.afterLoad);
        Detach(link);
    }
}

TEST_F(OneBay, FlashReadReturnsTheAskedBytesIncludingTheDriveArea) {
    const auto flash = p.bay.Drive(0).Flash();
    std::vector<uint8_t> piece(2048);
    ASSERT_EQ(ReadFlash(link, piece.data(), kDriveAreaStart, 2048), 1);
    EXPECT_EQ(piece, Slice(flash, kDriveAreaStart, 2048));
    EXPECT_EQ(Text(piece.data(), 11), "SN:VD000001");
    ASSERT_EQ(ReadFlash(link, piece.data(), kFlashSize - 2048, 2048), 1);
    EXPECT_EQ(piece, Slice(flash, kFlashSize - 2048, 2048));
    ASSERT_EQ(ReadFlash(link, piece.data(), 0x12345, 7), 1);
    EXPECT_EQ(Slice(piece, 0, 7), Slice(flash, 0x12345, 7));
}

TEST_F(OneBay, MalformedFlashReadsAreRefusedAsInvalidFields) {
    struct Case {
        const char* what;
        uint8_t byte1, byte2;
        uint32_t address;
        uint16_t length;
        int32_t transfer;
        uint8_t direction;
    };
    const Case cases[] = {
        {"byte 1", 0x16, 0x0A, 0, 2048, 2048, platform::DirIn},
        {"byte 2", 0x15, 0x00, 0, 2048, 2048, platform::DirIn},
        {"past the end", 0x15, 0x0A, kFlashSize - 2047, 2048, 2048, platform::DirIn},
        {"far past the end", 0x15, 0x0A, 0xFFFFFF00, 0x200, 0x200, platform::DirIn},
        {"short buffer", 0x15, 0x0A, 0, 2048, 1024, platform::DirIn},
        {"data out", 0x15, 0x0A, 0, 2048, 2048, platform::DirOut},
    };
    std::vector<uint8_t> buffer(2048, 0xEE);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint8_t cdb[12] = {0xA0,
                                 c.byte1,
                                 c.byte2,
                                 0,
                                 0,
                                 0,
                                 uint8_t(c.address >> 24),
                                 uint8_t(c.address >> 16),
                                 uint8_t(c.address >> 8),
                                 uint8_t(c.address),
                                 uint8_t(c.length >> 8),
                                 uint8_t(c.length)};
        EXPECT_EQ(ExecuteCdb(0, cdb, buffer.data(), c.transfer, c.direction, 15000, 12), 0);
        EXPECT_EQ(SenseCode(link), 0x052400u);
    }
    EXPECT_EQ(buffer, std::vector<uint8_t>(2048, 0xEE));
}

TEST_F(OneBay, CommandsItDoesNotKnowAreInvalidOpcodes) {
    for (uint8_t opcode : {0x25, 0x28, 0x43, 0xA1, 0xFB}) {
        const uint8_t cdb[12] = {opcode};
        uint8_t data[8];
        EXPECT_EQ(ExecuteCdb(0, cdb, data, 8, platform::DirIn, 15000, 12), 0);
        EXPECT_EQ(SenseCode(link), 0x052000u) << int(opcode);
    }
}

TEST_F(OneBay, BlockWriteFieldsAreChecked) {
    std::vector<uint8_t> block(kBlockSize + 1, 0);
    const uint8_t good[12] = {0xFA, 0x12, 0x34, 0x56, 0x78, 0, 1, 0x12, 0x34, 0x56, 0x78, 48};
    struct Case {
        const char* what;
        int byte;  // -1: none changed
        uint8_t value;
        int32_t length;
        uint8_t direction;
    };
    const Case cases[] = {
        {"first sum repeated differently", 8, 0x35, kBlockSize, platform::DirOut},
        {"second sum repeated differently", 9, 0x00, kBlockSize, platform::DirOut},
        {"flag 0", 6, 0, kBlockSize, platform::DirOut},
        {"flag 2", 6, 2, kBlockSize, platform::DirOut},
        {"count 0", 11, 0, kBlockSize, platform::DirOut},
        {"index not below count", 5, 48, kBlockSize, platform::DirOut},
        {"short block", -1, 0, kBlockSize - 1, platform::DirOut},
        {"long block", -1, 0, kBlockSize + 1, platform::DirOut},
        {"data in", -1, 0, kBlockSize, platform::DirIn},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t cdb[12];
        std::memcpy(cdb, good, 12);
        if (c.byte >= 0) cdb[c.byte] = c.value;
        EXPECT_EQ(ExecuteCdb(0, cdb, block.data(), c.length, c.direction, 60000, 12), 0);
        EXPECT_EQ(SenseCode(link), 0x052400u);
    }
    EXPECT_EQ(p.bay.Drive(0).BlocksReceived(), 0);
    EXPECT_EQ(ExecuteCdb(0, good, block.data(), kBlockSize, platform::DirOut, 60000, 12), 1);
}

TEST_F(OneBay, BlocksMustComeInOrderWithTheSameCountAndSums) {
    std::vector<uint8_t> block(kBlockSize, 0x11);
    EXPECT_EQ(WriteFlashBlock(link, block.data(), 1, 2, 1, 48, 1), 0);  // no transfer yet
    EXPECT_EQ(SenseCode(link), 0x052C00u);
    ASSERT_EQ(WriteFlashBlock(link, block.data(), 1, 2, 0, 48, 1), 1);
    ASSERT_EQ(WriteFlashBlock(link, block.data(), 1, 2, 1, 48, 1), 1);
    EXPECT_EQ(WriteFlashBlock(link, block.data(), 1, 2, 3, 48, 1), 0);  // skips one
    EXPECT_EQ(SenseCode(link), 0x052C00u);
    EXPECT_EQ(WriteFlashBlock(link, block.data(), 1, 2, 1, 48, 1), 0);  // again
    EXPECT_EQ(SenseCode(link), 0x052C00u);
    EXPECT_EQ(WriteFlashBlock(link, block.data(), 1, 2, 2, 47, 1), 0);
    EXPECT_EQ(SenseCode(link), 0x052400u);
    EXPECT_EQ(WriteFlashBlock(link, block.data(), 9, 2, 2, 48, 1), 0);
    EXPECT_EQ(SenseCode(link), 0x052400u);
    // A refused block leaves the transfer where it was.
    EXPECT_EQ(WriteFlashBlock(link, block.data(), 1, 2, 2, 48, 1), 1);
    // Block 0 starts over.
    EXPECT_EQ(WriteFlashBlock(link, block.data(), 3, 4, 0, 2, 1), 1);
    EXPECT_EQ(p.bay.Drive(0).BlocksReceived(), 4);
}

TEST_F(OneBay, APayloadThatFailsItsChecksLeavesTheFlashAsItWas) {
    const Payload& good = TestPayload();
    const uint16_t a = AdditiveSum(good.blocks.data(), good.blocks.size());
    const uint16_t r = RotatingSum(good.blocks.data(), good.blocks.size());
    auto image = TestImage(1);
    const std::vector<uint8_t> shortImage(image.begin(), image.end() - 1);
    auto longImage = image;
    longImage.push_back(0xFF);
    const auto stream = Deflate(image);
    auto truncated = stream;
    truncated.resize(stream.size() / 2);
    std::vector<uint8_t> garbage(4096);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 7 + 3);

    struct Case {
        const char* what;
        std::vector<uint8_t> blocks;
        std::optional<uint16_t> additive, rotating;
        uint32_t sense;
    };
    const Case cases[] = {
        {"additive sum", good.blocks, uint16_t(a + 1), r, 0x052600},
        {"rotating sum", good.blocks, a, uint16_t(r ^ 0x8000), 0x052600},
        {"not a zlib stream", Pack(garbage), {}, {}, 0x052602},
        {"one byte short of the flash", Pack(Deflate(shortImage)), {}, {}, 0x052602},
        {"one byte more than the flash", Pack(Deflate(longImage)), {}, {}, 0x052602},
        {"stream cut short", Pack(truncated), {}, {}, 0x052602},
        {"length shorter than the stream", Pack(stream, 48, uint32_t(stream.size() - 1)), {}, {}, 0x052602},
        {"length longer than the stream", Pack(stream, 48, uint32_t(stream.size() + 1)), {}, {}, 0x052602},
        {"length zero", Pack(stream, 48, 0u), {}, {}, 0x052602},
        {"length past the blocks", Pack(stream, 48, 48u * kBlockSize), {}, {}, 0x052602},
    };
    VirtualDrive& drive = p.bay.Drive(0);
    const auto before = drive.Flash();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const WriteOutcome written = WriteBlocks(link, c.blocks, c.additive, c.rotating);
        EXPECT_EQ(written.refused, 47);
        EXPECT_EQ(written.sense, c.sense);
        EXPECT_EQ(TestUnitReady(link), 1);  // no restart
    }
    EXPECT_EQ(drive.Flash(), before);
    EXPECT_EQ(drive.Updates(), 0);
    EXPECT_EQ(drive.Resets(), 0);

    // The same drive takes a good payload afterwards, of any block count.
    const auto small = Pack(stream, 40);
    EXPECT_EQ(WriteBlocks(link, small).refused, -1);
    EXPECT_EQ(Slice(drive.Flash(), 0, 0x1000), Slice(image, 0, 0x1000));
}

TEST(VirtualDrive, DrivesFlashedAlikeReadBackAlikeWhileTheirDriveAreasDiffer) {
    BayPlatform p(GoodDrives(2));
    std::vector<uint16_t> sums;
    std::vector<std::vector<uint8_t>> areas;
    for (int i = 0; i < 2; ++i) {
        DriveLink link = Attached(i);
        const auto old = ReadWholeFlash(link);
        ASSERT_TRUE(old);
        ASSERT_EQ(WriteBlocks(link, TestPayload().blocks).refused, -1);
        TestUnitReady(link);  // takes the restart
        const auto flash = ReadWholeFlash(link);
        ASSERT_TRUE(flash);
        EXPECT_NE(SumOutsideDriveArea(*flash), SumOutsideDriveArea(*old));
        sums.push_back(SumOutsideDriveArea(*flash));
        areas.push_back(Slice(*flash, kDriveAreaStart, kDriveAreaSize));
        Detach(link);
    }
    EXPECT_EQ(sums[0], sums[1]);
    EXPECT_NE(areas[0], areas[1]);
}

TEST(VirtualDrive, FlashReadFailsAtTheScriptedAddressOnceOrAlways) {
    DriveConfig config;
    config.readFailures.push_back({0x100000, true, sense::ReadError});
    config.readFailures.push_back({0x180400, false, {0x04, 0x3E, 0x01}});
    BayPlatform p(OneDrive(config));
    DriveLink link = Attached(0);
    std::vector<uint8_t> piece(2048);

    EXPECT_EQ(ReadFlash(link, piece.data(), 0x0FF800, 2048), 1);  // ends just before
    EXPECT_EQ(ReadFlash(link, piece.data(), 0x0FFC00, 2048), 0);  // covers it
    EXPECT_EQ(SenseCode(link), 0x031100u);
    EXPECT_EQ(ReadFlash(link, piece.data(), 0x100000, 2048), 1);  // spent
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ReadFlash(link, piece.data(), 0x180000, 2048), 0);
        EXPECT_EQ(SenseCode(link), 0x043E01u);
    }
    EXPECT_EQ(ReadFlash(link, piece.data(), 0x180401, 2048), 1);
    Detach(link);
}

TEST(VirtualDrive, TestUnitReadyFollowsItsScriptThenTheMedium) {
    DriveConfig config;
    config.medium = Medium::TrayClosed;
    config.testUnitReadyScript = {Sense{0x02, 0x04, 0x01}, std::nullopt, Sense{0x06, 0x28, 0x00}};
    BayPlatform p(OneDrive(config));
    DriveLink link = Attached(0);
    std::vector<uint32_t> seen;
    for (int i = 0; i < 5; ++i) seen.push_back(TestUnitReadyWait(link, 50000) ? 0 : SenseCode(link));
    EXPECT_EQ(seen, (std::vector<uint32_t>{0x020401, 0, 0x062800, 0x023A01, 0x023A01}));
    Detach(link);
}

TEST(VirtualDrive, AFailingInquiryGivesNoData) {
    for (const auto& failure : {sense::InternalFailure, Sense{0x02, 0x04, 0x00}}) {
        DriveConfig config;
        config.inquiryFailure = failure;
        BayPlatform p(OneDrive(config));
        DriveLink link = Attached(0);
        uint8_t data[36];
        std::memset(data, 0xEE, sizeof data);
        EXPECT_EQ(Inquiry(link, data, 36), 0);
        EXPECT_EQ(SenseCode(link), failure.Code());
        EXPECT_EQ(data[0], 0xEE);
        EXPECT_EQ(data[8], 0xEE);
        EXPECT_EQ(TestUnitReady(link), 1);
        Detach(link);
    }
}

TEST(VirtualDrive, LatencyIsSpentOnTheCallersClock) {
    DriveConfig config;
    config.latency = 7;
    config.readLatency = 3;
    config.writeLatency = 100;
    config.ejectLatency = 1500;
    config.programLatency = 2000;
    config.refuseBlocks.push_back({1, {0x03, 0x0C, 0x00}});
    BayPlatform p({{config, DriveConfig{}}});
    DriveLink link = Attached(0);
    uint8_t data[36];
    std::vector<uint8_t> block(kBlockSize);
    const auto blocks = Pack(Deflate(std::vector<uint8_t>(kFlashSize, 0xFF)), 2);
    const uint16_t a = AdditiveSum(blocks.data(), blocks.size());
    const uint16_t r = RotatingSum(blocks.data(), blocks.size());

    Inquiry(link, data, 36);
    TestUnitReady(link);
    StartStopUnit(link, 1, 0);
    StartStopUnit(link, 2, 0);
    ReadFlash(link, data, 0, 16);
    WriteFlashBlock(link, block.data(), 0, 0, 0, 2, 1);
    WriteFlashBlock(link, block.data(), 0, 0, 1, 2, 1);  // refused: the latency still passes
    EXPECT_EQ(p.clock.SleepsOf(std::this_thread::get_id()), (std::vector<int32_t>{7, 7, 7, 1500, 3, 100, 100}));

    // Programming adds its time to the last block; a drive without latency never sleeps.
    p.clock.ClearRecords();
    Detach(link);
    config.refuseBlocks.clear();
    BayPlatform q({{config, DriveConfig{}}});
    link = Attached(0);
    WriteFlashBlock(link, blocks.data(), a, r, 0, 2, 1);
    ASSERT_EQ(WriteFlashBlock(link, blocks.data() + kBlockSize, a, r, 1, 2, 1), 1);
    EXPECT_EQ(q.clock.SleepsOf(std::this_thread::get_id()), (std::vector<int32_t>{100, 2100}));
    Detach(link);
    link = Attached(1);
    Inquiry(link, data, 36);
    ReadFlash(link, data, 0, 16);
    EXPECT_EQ(q.clock.SleepsOf(std::this_thread::get_id()).size(), 2u);
    Detach(link);
}

TEST(VirtualDrive, AHungBlockWriteLosesTheTransfer) {
    DriveConfig config;
    config.hangAtBlock = 3;
    BayPlatform p(OneDrive(config));
    DriveLink link = Attached(0);
    const int64_t start = p.clock.NowMs();
    const WriteOutcome written = WriteBlocks(link, TestPayload().blocks);
    EXPECT_EQ(written.refused, 3);
    EXPECT_EQ(p.clock.NowMs() - start, 60000);
    EXPECT_EQ(p.table->LastError(0), ETIMEDOUT);
    std::vector<uint8_t> block(kBlockSize);
    EXPECT_EQ(WriteFlashBlock(link, block.data(), 1, 2, 4, 48, 1), 0);
    EXPECT_EQ(SenseCode(link), 0x052C00u);
    EXPECT_EQ(p.bay.Drive(0).Updates(), 0);
    Detach(link);
}

}  // namespace
