#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "Fixture.h"
#include "drive_access/DriveLink.h"

using namespace drive_access;
using platform::fakes::PassThroughReply;

namespace {

struct LinkFixture : ::testing::Test {
    FakePlatform p;
    std::unique_ptr<DeviceTable> table;
    std::unique_ptr<ScopedDeviceTable> scope;
    DriveLink link = kDetached;

    void SetUp() override {
        p.Drives(2);
        table = p.Table();
        scope = std::make_unique<ScopedDeviceTable>(*table);
    }
};

struct CommandCase {
    const char* name;
    std::function<int(DriveLink, uint8_t*)> send;
    std::vector<uint8_t> cdb;
    uint8_t dataIn;
    uint32_t length;
    uint32_t timeoutSeconds;
};

TEST_F(LinkFixture, EachCommandSendsItsTemplateWithTheCallersValues) {
    static uint8_t block[16384];
    const std::vector<CommandCase> cases = {
        {"flash read", [](DriveLink l, uint8_t* b) { return ReadFlash(l, b, 0x1F8000, 2048); },
         {0xA0, 0x15, 0x0A, 0, 0, 0, 0x00, 0x1F, 0x80, 0x00, 0x08, 0x00}, 1, 2048, 15},
        {"flash read, all address bytes", [](DriveLink l, uint8_t* b) { return ReadFlash(l, b, 0x12345678, 0x0102); },
         {0xA0, 0x15, 0x0A, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x01, 0x02}, 1, 0x0102, 15},
        {"inquiry 36", [](DriveLink l, uint8_t* b) { return Inquiry(l, b, 36); },
         {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0}, 1, 36, 15},
        {"inquiry 32", [](DriveLink l, uint8_t* b) { return Inquiry(l, b, 32); },
         {0x12, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0}, 1, 32, 15},
        {"serial number page", [](DriveLink l, uint8_t* b) { return InquirySerial(l, b, 64); },
         {0x12, 0x01, 0x80, 0, 0x40, 0, 0, 0, 0, 0, 0, 0}, 1, 64, 15},
        {"block write", [](DriveLink l, uint8_t*) { return WriteFlashBlock(l, block, 0x27CE, 0x7AEB, 5, 48, 1); },
         {0xFA, 0x27, 0xCE, 0x7A, 0xEB, 0x05, 0x01, 0x27, 0xCE, 0x7A, 0xEB, 0x30}, 0, 16384, 60},
        {"eject, immediate", [](DriveLink l, uint8_t*) { return StartStopUnit(l, 2, 1); },
         {0x1B, 0x01, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, 2, 0, 15},
        {"eject, waiting", [](DriveLink l, uint8_t*) { return StartStopUnit(l, 2, 0); },
         {0x1B, 0x00, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, 2, 0, 15},
        {"test unit ready", [](DriveLink l, uint8_t*) { return TestUnitReady(l); }, std::vector<uint8_t>(12, 0), 2, 0,
         15},
        {"long test unit ready", [](DriveLink l, uint8_t*) { return TestUnitReadyWait(l, 50000); },
         std::vector<uint8_t>(12, 0), 2, 0, 50},
    };
    ASSERT_EQ(Attach(link, 1), 1);
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        uint8_t buffer[2048] = {};
        EXPECT_EQ(c.send(link, buffer), 1);
        const auto cmds = p.devices.Commands();
        ASSERT_EQ(cmds.size(), i + 1);
        const auto& r = cmds.back();
        EXPECT_EQ(r.id, 1);
        EXPECT_EQ(std::vector<uint8_t>(r.cdb, r.cdb + 12), c.cdb);
        EXPECT_EQ(r.cdbLength, 12);
        EXPECT_EQ(r.dataIn, c.dataIn);
        EXPECT_EQ(r.length, c.length);
        EXPECT_EQ(r.timeoutSeconds, c.timeoutSeconds);
        if (c.dataIn == 0) {
            EXPECT_EQ(r.buffer, block);
        } else if (c.dataIn == 1) {
            EXPECT_EQ(r.buffer, buffer);
        }
    }
}

TEST_F(LinkFixture, DetachedLinkHasNoSenseAndReleasesNothing) {
    uint8_t buffer[16];
    std::memset(buffer, 0xAB, sizeof buffer);
    EXPECT_EQ(ReadSense(link, buffer), 0);
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(SenseCode(link), kNoSense);
    EXPECT_EQ(Detach(link), 1);
    EXPECT_EQ(link, kDetached);
    EXPECT_EQ(TestUnitReady(link), 0);  // device 255 is refused
    EXPECT_TRUE(p.devices.Commands().empty());
    EXPECT_TRUE(p.devices.Closes().empty());
}

TEST_F(LinkFixture, AttachRefusesIndexesTheTableCannotSelect) {
    EXPECT_EQ(Attach(link, 2), 0);
    EXPECT_EQ(link, kDetached);
    EXPECT_EQ(Attach(link, -1), 0);
    EXPECT_EQ(link, kDetached);
}

TEST_F(LinkFixture, AttachingAgainToTheSameDeviceIsOneAttachment) {
    ASSERT_EQ(Attach(link, 0), 1);
    ASSERT_EQ(Attach(link, 0), 1);
    EXPECT_EQ(p.devices.Opens().size(), 1u);
    Detach(link);
    EXPECT_EQ(table->HandleOf(0), 0);
    EXPECT_EQ(p.devices.Closes().size(), 1u);
}

TEST_F(LinkFixture, SenseCodePacksByteTwoWhole) {
    struct Case {
        uint8_t byte2, asc, ascq;
        uint32_t code;
    };
    ASSERT_EQ(Attach(link, 0), 1);
    for (const Case& c : {Case{0x02, 0x3A, 0x00, kSenseNoMedium}, Case{0x06, 0x29, 0x00, kSenseReset},
                          Case{0x02, 0x3A, 0x02, 0x023A02}, Case{0x22, 0x3A, 0x00, 0x223A00},
                          Case{0x86, 0x29, 0x01, 0x862901}}) {
        p.devices.Queue(0, PassThroughReply::Check(c.byte2, c.asc, c.ascq));
        EXPECT_EQ(TestUnitReady(link), 0);
        EXPECT_EQ(SenseCode(link), c.code);
        uint8_t sense[16] = {};
        EXPECT_EQ(ReadSense(link, sense), 1);
        EXPECT_EQ(sense[2], c.byte2);
    }
}

}  // namespace
