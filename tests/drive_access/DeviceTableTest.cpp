#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "Fixture.h"

using namespace drive_access;
using platform::fakes::PassThroughReply;

namespace {

const uint8_t kCdb[12] = {0x12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

TEST(Discovery, PassThroughListsDrivesInHostOrderWithoutOpeningThem) {
    FakePlatform p;
    p.devices.SetDrives({{3, "/dev/sr3"}, {10, "/dev/sr10"}});
    auto table = p.Table();
    EXPECT_EQ(table->TransportMode(), PassThroughMode);
    ASSERT_EQ(table->DeviceCount(), 2);
    EXPECT_EQ(table->DeviceId(0), 3);
    EXPECT_EQ(table->DeviceId(1), 10);
    EXPECT_EQ(table->DeviceNode(1), "/dev/sr10");
    EXPECT_TRUE(p.devices.Opens().empty());
    EXPECT_EQ(table->HandleOf(0), platform::kInvalidHandle);
}

TEST(Discovery, NoDrivesOrUnknownPlatformLeaveAnEmptyTable) {
    FakePlatform none;
    auto empty = none.Table();
    EXPECT_EQ(empty->DeviceCount(), 0);
    EXPECT_EQ(empty->SelectDevice(0), 0);

    FakePlatform other;
    other.Drives(2);
    other.process.family = 7;
    auto table = other.Table();
    EXPECT_EQ(table->DeviceCount(), 0);
    EXPECT_EQ(other.devices.ListCalls(), 0);
    EXPECT_TRUE(other.aspi.loadedNames().empty());
}

TEST(Discovery, PassThroughTakesEveryIndexACommandCanName) {
    FakePlatform p;
    p.Drives(300);
    auto table = p.Table();
    // 0 to 254: 255 names no device.
    EXPECT_EQ(table->DeviceCount(), 255);
    ASSERT_EQ(table->UnlistedNodes().size(), 45u);
    EXPECT_EQ(table->UnlistedNodes().front(), "/dev/sr255");
}

TEST(SelectDevice, RefusesIndexesOutsideTheTableAndWarnsOnTheTiredIndex) {
    FakePlatform p;
    p.Drives(2);
    auto table = p.Table();
    EXPECT_EQ(table->SelectDevice(2), 0);
    EXPECT_EQ(table->SelectDevice(-1), 0);
    EXPECT_TRUE(p.dialogs.Messages().empty());
    EXPECT_EQ(table->SelectDevice(kTiredIndex), 0);
    EXPECT_EQ(p.dialogs.Messages(), std::vector<std::string>{"Are you working too hard, Orvex man?"});
    EXPECT_TRUE(p.devices.Opens().empty());
}

TEST(SelectDevice, HandleMovesBetweenNeverOpenedOpenAndReleased) {
    FakePlatform p;
    p.Drives(1);
    auto table = p.Table();
    ASSERT_EQ(table->SelectDevice(0), 1);
    const auto first = table->HandleOf(0);
    EXPECT_GT(first, 0);
    ASSERT_EQ(table->SelectDevice(0), 1);  // a second user shares the handle
    EXPECT_EQ(table->HandleOf(0), first);
    EXPECT_EQ(p.devices.Opens().size(), 1u);

    EXPECT_EQ(table->ReleaseDevice(0), 1);  // the other user still holds it
    EXPECT_EQ(table->HandleOf(0), first);
    EXPECT_TRUE(p.devices.Closes().empty());
    EXPECT_EQ(table->ReleaseDevice(0), 1);
    EXPECT_EQ(table->HandleOf(0), 0);
    EXPECT_EQ(p.devices.Closes(), std::vector<platform::Handle>{first});

    uint8_t buffer[4];
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, buffer, 4, platform::DirIn, 15000, 12), 0);
    EXPECT_TRUE(p.devices.Commands().empty());

    ASSERT_EQ(table->SelectDevice(0), 1);
    EXPECT_NE(table->HandleOf(0), first);
    EXPECT_EQ(p.devices.Opens().size(), 2u);
}

TEST(SelectDevice, FailedOpenIsRememberedAndRetried) {
    FakePlatform p;
    p.Drives(1);
    p.devices.FailOpen(0, EACCES);
    auto table = p.Table();
    EXPECT_EQ(table->SelectDevice(0), 1);
    EXPECT_EQ(table->HandleOf(0), platform::kInvalidHandle);
    EXPECT_EQ(table->LastError(0), EACCES);
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
    EXPECT_TRUE(p.devices.Commands().empty());
    EXPECT_EQ(table->LastError(0), EACCES);
    EXPECT_EQ(table->ReleaseDevice(0), 1);
    EXPECT_EQ(table->HandleOf(0), 0);
    EXPECT_TRUE(p.devices.Closes().empty());
    table->SelectDevice(0);
    EXPECT_EQ(p.devices.Opens().size(), 2u);
}

struct RequestCase {
    uint8_t direction;
    int32_t timeoutMs;
    uint8_t cdbLength;
    uint8_t dataIn;
    uint32_t timeoutSeconds;
};

class PassThroughRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(PassThroughRequest, CarriesTheCallersFieldsAndBufferUntouched) {
    const RequestCase c = GetParam();
    FakePlatform p;
    p.Drives(1);
    auto table = p.Table();
    table->SelectDevice(0);
    uint8_t buffer[64] = {};
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, buffer, sizeof buffer, c.direction, c.timeoutMs, c.cdbLength), 1);
    const auto cmds = p.devices.Commands();
    ASSERT_EQ(cmds.size(), 1u);
    const auto& r = cmds[0];
    EXPECT_EQ(r.handle, table->HandleOf(0));
    EXPECT_EQ(r.dataIn, c.dataIn);
    EXPECT_EQ(r.timeoutSeconds, c.timeoutSeconds);
    EXPECT_EQ(r.cdbLength, c.cdbLength);
    EXPECT_EQ(0, std::memcmp(r.cdb, kCdb, 12));  // always twelve bytes, whatever the length says
    EXPECT_EQ(r.cdb[12] | r.cdb[13] | r.cdb[14] | r.cdb[15], 0);
    EXPECT_EQ(r.buffer, buffer);  // no copy
    EXPECT_EQ(r.length, sizeof buffer);
    EXPECT_EQ(r.lengthField, sizeof(platform::PassThroughDirect));
    EXPECT_EQ(r.senseInfoLength, 32);
    EXPECT_EQ(r.senseInfoOffset, offsetof(platform::PassThroughBlock, SenseBuffer));
    EXPECT_EQ(r.pathId | r.targetId | r.lun, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, PassThroughRequest,
                         ::testing::Values(RequestCase{platform::DirIn, 15000, 12, 1, 15},
                                           RequestCase{platform::DirOut, 60000, 12, 0, 60},
                                           RequestCase{platform::DirNone, 50000, 12, 2, 50},
                                           RequestCase{0x20, 999, 6, 2, 0},
                                           RequestCase{platform::DirIn, 1999, 10, 1, 1}));

TEST(PassThrough, CheckConditionFailsAndLeavesTheSenseForCopySense) {
    FakePlatform p;
    p.Drives(2);
    auto table = p.Table();
    table->SelectDevice(0);
    table->SelectDevice(1);
    p.devices.Queue(0, PassThroughReply::Check(0x02, 0x3A, 0x01));
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
    uint8_t sense[16];
    table->CopySense(sense, 0);
    EXPECT_EQ(sense[2], 0x02);
    EXPECT_EQ(sense[12], 0x3A);
    EXPECT_EQ(sense[13], 0x01);

    // 255 reads the device of the latest command; a command without sense leaves zeros.
    EXPECT_EQ(table->ExecuteCdb(1, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 1);
    table->CopySense(sense, 255);
    EXPECT_EQ(std::count(sense, sense + 16, 0), 16);
    table->CopySense(sense, 0);
    EXPECT_EQ(sense[12], 0x3A);  // device 0 keeps its own
}

TEST(PassThrough, RefusedRequestFailsWithItsReason) {
    FakePlatform p;
    p.Drives(1);
    auto table = p.Table();
    table->SelectDevice(0);
    p.devices.Queue(0, PassThroughReply::Failed(EPERM));
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
    EXPECT_EQ(table->LastError(0), EPERM);
}

TEST(PassThrough, AShortTransferFailsOnlyWhereEveryByteMustMove) {
    struct Case {
        Transfer transfer;
        int64_t moved;
        int result;
    };
    for (const Case& c : {Case{Transfer::Whole, 2048, 1}, Case{Transfer::Whole, 1536, 0}, Case{Transfer::Whole, 0, 0},
                          Case{Transfer::UpTo, 1536, 1}}) {
        FakePlatform p;
        p.Drives(1);
        auto table = p.Table();
        table->SelectDevice(0);
        auto reply = PassThroughReply::Good(std::vector<uint8_t>(2048, 0x11));
        reply.transferred = c.moved;
        p.devices.Queue(0, reply);
        uint8_t data[2048];
        EXPECT_EQ(table->ExecuteCdb(0, kCdb, data, sizeof data, platform::DirIn, 15000, 12, c.transfer), c.result)
            << c.moved;
        uint8_t sense[16];
        table->CopySense(sense, 0);
        EXPECT_EQ(std::count(sense, sense + 16, 0), 16);
    }
}

TEST(PassThrough, DetachedOrUnknownDeviceSendsNothingAndReadsNothingOutside) {
    FakePlatform p;
    p.Drives(2);
    auto table = p.Table();
    table->SelectDevice(0);
    table->SelectDevice(1);
    for (uint8_t device : {uint8_t{255}, uint8_t{2}, uint8_t{25}, uint8_t{200}})
        EXPECT_EQ(table->ExecuteCdb(device, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
    EXPECT_TRUE(p.devices.Commands().empty());
    uint8_t sense[16];
    std::memset(sense, 0xEE, sizeof sense);
    table->CopySense(sense, 200);
    EXPECT_EQ(std::count(sense, sense + 16, 0), 16);
}

TEST(FreeFunctions, ForwardToTheInstalledTable) {
    FakePlatform p;
    p.Drives(3);
    auto table = p.Table();
    EXPECT_EQ(DeviceCount(), 0);
    {
        ScopedDeviceTable scope(*table);
        EXPECT_EQ(DeviceCount(), 3);
        EXPECT_EQ(SelectDevice(2), 1);
        EXPECT_EQ(ExecuteCdb(2, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 1);
        EXPECT_EQ(ReleaseDevice(2), 1);
    }
    EXPECT_EQ(InstalledDeviceTable(), nullptr);
}

TEST(PassThrough, TenThreadsOnTenDevicesKeepTheirOwnAnswers) {
    FakePlatform p;
    p.Drives(10);
    // Each device answers with its own id in the data and in the sense.
    p.devices.SetResponder([](const platform::fakes::PassThroughRecord& r) {
        auto reply = PassThroughReply::Check(0x05, 0x24, static_cast<uint8_t>(r.id));
        reply.data.assign(8, static_cast<uint8_t>(r.id));
        return reply;
    });
    auto table = p.Table();
    EXPECT_EQ(MixedUpAnswers(*table), 0);
    EXPECT_EQ(p.devices.Commands().size(), 2000u);
    EXPECT_EQ(p.devices.Closes().size(), 10u);
}

}  // namespace
