#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/RealClock.h"

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
        uint8_t buffer[16] = {1, 2, 3};
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
        // The manager gets a buffer of the request's own, holding the caller's bytes.
        EXPECT_NE(e.bufPointer, buffer);
        EXPECT_EQ(buffer[2], 3);
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

// What a command that did not end in CHECK CONDITION leaves to read: nothing, whatever an earlier
// command on the device left in its request block.
TEST(AspiSense, OnlyACheckConditionLeavesSense) {
    ExecReply errorWithoutCheck;
    errorWithoutCheck.mode = ExecReply::PendingThenComplete;
    errorWithoutCheck.status = platform::SS_ERR;
    errorWithoutCheck.targetStatus = 0x08;  // BUSY
    errorWithoutCheck.sense = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00};
    struct Case {
        const char* name;
        ExecReply reply;
    };
    for (const Case& c : {Case{"time-out, aborted", ExecReply::Hangs()},
                          Case{"time-out, abort fails", ExecReply::Hangs(false)},
                          Case{"no device", ExecReply::NoDevice()},
                          Case{"error without a status", ExecReply::NoDevice(false)},
                          Case{"error without CHECK CONDITION", errorWithoutCheck}}) {
        SCOPED_TRACE(c.name);
        TwoDevices p;
        auto table = p.Table();
        ExecReply reset;
        reset.status = platform::SS_ERR;
        reset.sense = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00};
        p.aspi.Queue(reset);
        p.aspi.Queue(c.reply);
        EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
        uint8_t sense[16];
        table->CopySense(sense, 0);
        ASSERT_EQ(sense[2], 0x06);
        EXPECT_EQ(table->ExecuteCdb(0, kCdb, nullptr, 0, platform::DirNone, 15000, 12), 0);
        table->CopySense(sense, 0);
        EXPECT_EQ(std::vector<uint8_t>(sense, sense + 16), std::vector<uint8_t>(16, 0));
    }
}

// A manager that completes commands on threads of its own, as a real one does.
class ThreadedAspi : public platform::AspiLoader {
public:
    enum Mode {
        CompletesLater,         // pending; status, then the signal, from another thread
        SignalsAfterReturning,  // done at once, but the signal comes later from another thread
        HeldUntilReleased,      // pending until Release(); an abort is accepted but changes nothing
    };
    Mode mode = CompletesLater;

    ~ThreadedAspi() override { JoinAll(); }
    void* Load(const std::string&) override { return &token_; }
    platform::GetSupportInfoFn GetSupportInfo(void*) override {
        return [] { return uint32_t{platform::SS_COMP} << 8 | 1; };
    }
    platform::SendCommandFn SendCommand(void*) override {
        return [this](platform::SrbHeader* h) { return Send(h); };
    }
    void Free(void*) override {}

    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    void JoinAll() {
        Release();
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

private:
    static void Complete(platform::SrbExecScsiCmd* srb) {
        if (srb->SRB_BufPointer != nullptr) std::memset(srb->SRB_BufPointer, 0x5A, srb->SRB_BufLen);
        srb->SRB_TargStat = 0;
        platform::SetAspiStatus(srb->Hdr, platform::SS_COMP);
    }

    uint32_t Send(platform::SrbHeader* h) {
        if (h->SRB_Cmd == platform::SC_GET_DEV_TYPE) {
            auto* q = reinterpret_cast<platform::SrbGetDevType*>(h);
            const bool here = h->SRB_HaId == 0 && q->SRB_Target == 0;
            q->SRB_DeviceType = platform::DTYPE_CDROM;
            platform::SetAspiStatus(*h, here ? platform::SS_COMP : platform::SS_NO_DEVICE);
            return platform::AspiStatus(*h);
        }
        if (h->SRB_Cmd == platform::SC_ABORT_SRB) {
            platform::SetAspiStatus(*h, platform::SS_COMP);
            return platform::SS_COMP;
        }
        auto* srb = reinterpret_cast<platform::SrbExecScsiCmd*>(h);
        platform::Event* event = srb->SRB_PostProc;
        switch (mode) {
        case SignalsAfterReturning:
            Complete(srb);
            threads_.emplace_back([event] {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                event->Signal();
            });
            return platform::SS_COMP;
        case CompletesLater:
            threads_.emplace_back([srb, event] {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                Complete(srb);
                event->Signal();
            });
            return platform::SS_PENDING;
        case HeldUntilReleased:
            threads_.emplace_back([this, srb, event] {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return released_; });
                Complete(srb);
                event->Signal();
            });
            return platform::SS_PENDING;
        }
        return platform::SS_ERR;
    }

    int token_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    std::vector<std::thread> threads_;
};

// Whatever the manager may still write (the request, its event, its data) outlives the command:
// these runs are for ASan and TSan to watch.
TEST(AspiLifetime, AManagerThatFinishesOnItsOwnThreadsTouchesNothingFreed) {
    for (auto mode : {ThreadedAspi::CompletesLater, ThreadedAspi::SignalsAfterReturning}) {
        ThreadedAspi manager;
        manager.mode = mode;
        platform::RealClock clock(1.0);
        platform::fakes::FakeProcess process;
        process.family = platform::PlatformAspiFamily;
        platform::Platform platform{&clock, nullptr, &manager, &process, nullptr};
        {
            DeviceTable table(platform);
            ASSERT_EQ(table.DeviceCount(), 1);
            for (int i = 0; i < 200; ++i) {
                auto buffer = std::make_unique<uint8_t[]>(64);
                ASSERT_EQ(table.ExecuteCdb(0, kCdb, buffer.get(), 64, platform::DirIn, 15000, 12), 1);
                EXPECT_EQ(buffer[63], 0x5A);
            }
            manager.JoinAll();
        }
    }
}

TEST(AspiLifetime, ACommandTheManagerKeepsAfterAFailedAbortNeverWritesTheCallersBuffer) {
    ThreadedAspi manager;
    manager.mode = ThreadedAspi::HeldUntilReleased;
    platform::RealClock clock(1000.0);  // the 15 s time-out and the 10 s abort limit pass in ms
    platform::fakes::FakeProcess process;
    process.family = platform::PlatformAspiFamily;
    platform::Platform platform{&clock, nullptr, &manager, &process, nullptr};
    DeviceTable table(platform);
    std::vector<uint8_t> callers(2048, 0xAB);
    EXPECT_EQ(table.ExecuteCdb(0, kCdb, callers.data(), 2048, platform::DirIn, 15000, 12), 0);
    manager.JoinAll();  // the manager finishes the command now, long after the caller gave up
    EXPECT_EQ(callers, std::vector<uint8_t>(2048, 0xAB));
    manager.mode = ThreadedAspi::CompletesLater;
    EXPECT_EQ(table.ExecuteCdb(0, kCdb, callers.data(), 2048, platform::DirIn, 15000, 12), 1);
    EXPECT_EQ(callers[0], 0x5A);
    manager.JoinAll();
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
