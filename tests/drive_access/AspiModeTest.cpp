#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "Fixture.h"

using namespace drive_access;
using platform::fakes::ExecReply;

namespace {

const uint8_t kCdb[12] = {0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

struct AspiPlatform : FakePlatform {
    AspiPlatform() { process.family = platform::PlatformAspiFamily; }
};

TEST(AspiDiscovery, OrdersCdDevicesByAdapterThenTarget) {
    AspiPlatform p;
    p.aspi.supportInfo = (platform::SS_COMP << 8) | 2;
    p.aspi.AddDevice(1, 3);
    p.aspi.AddDevice(0, 2, 0 /* disk */);
    p.aspi.AddDevice(0, 5, platform::DTYPE_CDROM, platform::SS_ERR);
    p.aspi.AddDevice(0, 6);
    auto table = p.Table();
    EXPECT_EQ(table->TransportMode(), AspiMode);
    EXPECT_EQ(p.aspi.loadedNames(), std::vector<std::string>{"WNASPI32.DLL"});
    ASSERT_EQ(table->DeviceCount(), 2);
    EXPECT_EQ(table->DeviceId(0), 6);
    EXPECT_EQ(table->DeviceId(1), 259);
    EXPECT_EQ(p.aspi.DevTypeQueries().size(), 16u);
    EXPECT_EQ(p.aspi.DevTypeQueries().front(), (std::pair<int, int>{0, 0}));
    EXPECT_EQ(p.aspi.DevTypeQueries().back(), (std::pair<int, int>{1, 7}));
}

TEST(AspiDiscovery, FailuresLeaveNoDevices) {
    struct Case {
        bool loadable, info, send;
        uint32_t support;
        int frees;
    };
    for (const Case& c : {Case{false, true, true, 0x101, 0}, Case{true, false, true, 0x101, 1},
                          Case{true, true, false, 0x101, 1}, Case{true, true, true, 0x0401, 0}}) {
        AspiPlatform p;
        p.aspi.loadable = c.loadable;
        p.aspi.hasGetSupportInfo = c.info;
        p.aspi.hasSendCommand = c.send;
        p.aspi.supportInfo = c.support;
        p.aspi.AddDevice(0, 0);
        EXPECT_EQ(p.Table()->DeviceCount(), 0);
        EXPECT_EQ(p.aspi.frees(), c.frees);
    }
}

TEST(AspiDiscovery, StoresNoDeviceBeyondTheTwentySixth) {
    AspiPlatform p;
    p.aspi.supportInfo = (platform::SS_COMP << 8) | 4;
    for (int a = 0; a < 4; ++a)
        for (int t = 0; t < 8; ++t) p.aspi.AddDevice(a, t);
    auto table = p.Table();
    EXPECT_EQ(table->DeviceCount(), 26);
    EXPECT_EQ(table->DeviceId(25), 3 * 256 + 1);
}

struct TwoDevices : AspiPlatform {
    TwoDevices() {
        aspi.supportInfo = (platform::SS_COMP << 8) | 2;
        aspi.AddDevice(0, 4);
        aspi.AddDevice(1, 3);
    }
};

TEST(AspiSelect, FollowsTheLatestSelectionAndReleaseKeepsIt) {
    TwoDevices p;
    auto table = p.Table();
    EXPECT_EQ(table->SelectDevice(0), 1);
    EXPECT_EQ(table->SelectDevice(1), 1);
    EXPECT_EQ(table->CurrentAspiDevice(), 259);
    EXPECT_EQ(table->ReleaseDevice(1), 1);
    EXPECT_EQ(table->CurrentAspiDevice(), 259);
    EXPECT_EQ(table->SelectDevice(2), 0);
}

TEST(AspiExecute, FillsTheRequestBlockForTheCallersDevice) {
    struct Case {
        uint8_t direction, flags;
    };
    for (const Case& c : {Case{platform::DirIn, 0x48}, Case{platform::DirOut, 0x50}, Case{platform::DirNone, 0x40}}) {
        TwoDevices p;
        auto table = p.Table();
        table->SelectDevice(0);
        table->SelectDevice(1);  // another thread's selection must not redirect device 0's command
        uint8_t buffer[16];
        EXPECT_EQ(table->ExecuteCdb(0, kCdb, buffer, sizeof buffer, c.direction, 15000, 10), 1);
        const auto execs = p.aspi.Execs();
        ASSERT_EQ(execs.size(), 1u);
        const auto& e = execs[0];
        EXPECT_EQ(e.cmd, platform::SC_EXEC_SCSI_CMD);
        EXPECT_EQ(e.haId, 0);
        EXPECT_EQ(e.target, 4);
        EXPECT_EQ(e.lun, 0);
        EXPECT_EQ(e.flags, c.flags);
        EXPECT_EQ(e.bufLen, sizeof buffer);
        EXPECT_EQ(e.bufPointer, buffer);
        EXPECT_EQ(e.senseLen, 32);
        EXPECT_EQ(e.cdbLen, 10);
        EXPECT_NE(e.postProc, nullptr);
        EXPECT_EQ(0, std::memcmp(e.cdb, kCdb, 12));
        EXPECT_TRUE(p.clock.WaitTimeouts().empty());  // ended at once: no wait
    }
}

TEST(AspiExecute, OutcomesOfPendingCommands) {
    struct Case {
        const char* name;
        ExecReply reply;
        int result;
        size_t aborts;
    };
    ExecReply completes;
    completes.mode = ExecReply::PendingThenComplete;
    ExecReply fails = completes;
    fails.status = platform::SS_ERR;
    ExecReply hangs;
    hangs.mode = ExecReply::NeverComplete;
    ExecReply hangsCompletesInAbort = hangs;
    hangsCompletesInAbort.completeDuringAbort = true;
    ExecReply immediateError;
    immediateError.status = platform::SS_ERR;
    for (const Case& c : {Case{"completes", completes, 1, 0}, Case{"ends in error", fails, 0, 0},
                          Case{"immediate error", immediateError, 0, 0}, Case{"hangs", hangs, 0, 1},
                          Case{"completes during abort", hangsCompletesInAbort, 0, 1}}) {
        SCOPED_TRACE(c.name);
        TwoDevices p;
        auto table = p.Table();
        table->SelectDevice(1);
        p.aspi.Queue(c.reply);
        EXPECT_EQ(table->ExecuteCdb(1, kCdb, nullptr, 0, platform::DirNone, 50000, 12), c.result);
        const auto aborts = p.aspi.Aborts();
        ASSERT_EQ(aborts.size(), c.aborts);
        if (c.aborts) {
            EXPECT_EQ(aborts[0].cmd, platform::SC_ABORT_SRB);
            EXPECT_EQ(aborts[0].haId, 1);
            EXPECT_EQ(aborts[0].flags, 0);
            EXPECT_EQ(aborts[0].hdrRsvd, 0u);
            EXPECT_EQ(aborts[0].toAbort, p.aspi.Execs()[0].block);
            EXPECT_EQ(p.clock.WaitTimeouts(), std::vector<int32_t>{50000});
        }
    }
}

TEST(AspiExecute, AFailedWaitIsAbortedLikeATimeOut) {
    TwoDevices p;
    auto table = p.Table();
    table->SelectDevice(0);
    ExecReply completes;
    completes.mode = ExecReply::PendingThenComplete;
    p.aspi.Queue(completes);
    p.clock.forcedWaitResult = static_cast<int>(platform::WaitResult::Failed);
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
    EXPECT_EQ(p.aspi.Aborts().size(), 1u);
}

TEST(AspiAbort, GivesUpAfterTenSecondsOnTheSecondsClockAndNeverReusesTheBlock) {
    TwoDevices p;
    auto table = p.Table();
    table->SelectDevice(0);
    ExecReply stuck;
    stuck.mode = ExecReply::NeverComplete;
    stuck.abortEndsCommand = false;  // the abort is accepted but the command stays pending
    p.aspi.Queue(stuck);
    const int64_t before = p.clock.NowMs();
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
    const int64_t abortMs = p.clock.NowMs() - before - 15000;
    EXPECT_GT(abortMs, 10000);
    EXPECT_LE(abortMs, 12000);
    for (int32_t ms : p.clock.SleepsOf(std::this_thread::get_id())) EXPECT_EQ(ms, 10);

    EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 1);
    const auto execs = p.aspi.Execs();
    ASSERT_EQ(execs.size(), 2u);
    EXPECT_NE(execs[0].block, execs[1].block);
}

TEST(AspiAbort, RefusedAbortGivesUpAtOnce) {
    TwoDevices p;
    auto table = p.Table();
    table->SelectDevice(0);
    ExecReply stuck;
    stuck.mode = ExecReply::NeverComplete;
    stuck.abortStatus = platform::SS_ERR;
    p.aspi.Queue(stuck);
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
    EXPECT_TRUE(p.clock.Sleeps().empty());
}

TEST(AspiSense, EachDeviceKeepsTheSenseOfItsOwnLastCommand) {
    TwoDevices p;
    auto table = p.Table();
    table->SelectDevice(0);
    table->SelectDevice(1);
    ExecReply noMedium;
    noMedium.status = platform::SS_ERR;
    noMedium.sense = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x00};
    p.aspi.Queue(noMedium);
    EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
    EXPECT_EQ(table->ExecuteCdb(1, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 1);
    uint8_t sense[16];
    table->CopySense(sense, 0);
    EXPECT_EQ(sense[2], 0x02);
    EXPECT_EQ(sense[12], 0x3A);
    table->CopySense(sense, 255);  // the latest command's device: 1, no sense
    EXPECT_EQ(sense[2], 0);
}

TEST(AspiExecute, TenThreadsOnTenDevicesKeepTheirOwnAnswers) {
    AspiPlatform p;
    p.aspi.supportInfo = (platform::SS_COMP << 8) | 2;
    for (int i = 0; i < 10; ++i) p.aspi.AddDevice(i / 5, i % 5);
    p.aspi.SetResponder([](const platform::fakes::ExecRecord& r) {
        ExecReply reply;
        reply.mode = ExecReply::PendingThenComplete;
        reply.status = platform::SS_ERR;
        const uint8_t id = static_cast<uint8_t>(r.haId * 5 + r.target);
        reply.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, id};
        reply.data.assign(8, id);
        return reply;
    });
    auto table = p.Table();
    ASSERT_EQ(table->DeviceCount(), 10);
    EXPECT_EQ(MixedUpAnswers(*table), 0);
}

}  // namespace
