#include <gtest/gtest.h>

#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "AspiThread/AspiExec.h"
#include "drive_access/DeviceTable.h"
#include "firmware/FirmwareImage.h"
#include "platform/fakes/FakePlatform.h"

using namespace drive_access;
using platform::fakes::PassThroughRecord;
using platform::fakes::PassThroughReply;

namespace {

struct Sense {
    uint8_t byte2, asc, ascq;
};

// A drive answered from a script through the recording fakes.
struct ScriptedDrive {
    std::string vendor = "ORVEX   ";
    std::string product = "DVD RW LMX2097  ";
    bool inquiryFails = false;
    std::vector<Sense> unitReady;  // answers to TEST UNIT READY, then GOOD
    int refuseBlock = -1;
    Sense refusal{};
    std::vector<uint32_t> failReadsAt;  // each entry fails one flash read at that address
    uint8_t flashByte = 0xFF;
    std::mutex mutex;

    PassThroughReply Answer(const PassThroughRecord& r) {
        std::lock_guard<std::mutex> lock(mutex);
        switch (r.cdb[0]) {
        case 0x12: {
            std::vector<uint8_t> data(36, ' ');
            data[0] = 5;
            std::memcpy(data.data() + 8, vendor.data(), std::min<size_t>(8, vendor.size()));
            std::memcpy(data.data() + 16, product.data(), std::min<size_t>(16, product.size()));
            std::memcpy(data.data() + 32, "1.00", 4);
            data.resize(std::min<size_t>(data.size(), r.length));
            if (inquiryFails) {
                // The transport may hand back bytes of an earlier command with the failure.
                auto reply = PassThroughReply::Check(0x05, 0x24, 0x00);
                reply.data = data;
                return reply;
            }
            return PassThroughReply::Good(data);
        }
        case 0x00:
            if (!unitReady.empty()) {
                const Sense s = unitReady.front();
                unitReady.erase(unitReady.begin());
                return PassThroughReply::Check(s.byte2, s.asc, s.ascq);
            }
            return PassThroughReply::Good();
        case 0xFA:
            if (r.cdb[5] == refuseBlock) return PassThroughReply::Check(refusal.byte2, refusal.asc, refusal.ascq);
            return PassThroughReply::Good();
        case 0xA0: {
            const uint32_t address = (r.cdb[6] << 24) | (r.cdb[7] << 16) | (r.cdb[8] << 8) | r.cdb[9];
            if (auto it = std::find(failReadsAt.begin(), failReadsAt.end(), address); it != failReadsAt.end()) {
                failReadsAt.erase(it);
                return PassThroughReply::Check(0x03, 0x11, 0x00);
            }
            return PassThroughReply::Good(std::vector<uint8_t>(r.length, flashByte));
        }
        default:
            return PassThroughReply::Good();
        }
    }
};

struct WorkerFixture : ::testing::Test, platform::fakes::FakePlatform {
    std::vector<std::unique_ptr<ScriptedDrive>> drives;
    std::unique_ptr<DeviceTable> table;
    std::unique_ptr<ScopedDeviceTable> scope;

    void Bay(int count) {
        Drives(count);
        for (int i = 0; i < count; ++i) drives.push_back(std::make_unique<ScriptedDrive>());
        devices.SetResponder([this](const PassThroughRecord& r) { return drives[r.id]->Answer(r); });
        table = std::make_unique<DeviceTable>(platform);
        scope = std::make_unique<ScopedDeviceTable>(*table);
        for (auto& w : WrongDrive) w = 0;
        DeviceNames.Clear();
    }
    void SetUp() override { Bay(1); }

    std::unique_ptr<AspiExec> Worker(int device) {
        auto w = std::make_unique<AspiExec>(true, clock);
        w->DeviceIndex = device;
        return w;
    }
    static void Run(AspiExec& w, bool verify = false) {
        w.HandOver(w.DeviceIndex, verify);
        w.WaitIdle();
    }
    std::vector<uint8_t> Opcodes() const {
        std::vector<uint8_t> ops;
        for (const auto& c : devices.Commands()) ops.push_back(c.cdb[0]);
        return ops;
    }
    std::vector<int32_t> Sleeps() const {
        std::vector<int32_t> out;
        for (const auto& s : clock.Sleeps()) out.push_back(s.ms);
        return out;
    }
};

std::vector<int32_t> WriteJobSleeps(int blocksAccepted) {
    std::vector<int32_t> s(blocksAccepted, 10);
    s.push_back(3000);
    s.push_back(57000);
    return s;
}

TEST_F(WorkerFixture, GoodDriveGetsEveryBlockOnTheWireThenTheMinute) {
    auto w = Worker(0);
    EXPECT_EQ(w->CurrentState(), AspiExec::State::Created);
    Run(*w);
    const auto& image = firmware::BuiltInFirmware;
    const auto cmds = devices.Commands();
    ASSERT_EQ(cmds.size(), 3u + 48u);
    EXPECT_EQ(std::vector<uint8_t>(cmds[0].cdb, cmds[0].cdb + 12),
              (std::vector<uint8_t>{0x12, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cmds[1].cdb[0], 0x00);
    EXPECT_EQ(cmds[1].timeoutSeconds, 50u);
    EXPECT_EQ(std::vector<uint8_t>(cmds[2].cdb, cmds[2].cdb + 12),
              (std::vector<uint8_t>{0x1B, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}));
    for (int i = 0; i < 48; ++i) {
        const auto& c = cmds[3 + i];
        EXPECT_EQ(std::vector<uint8_t>(c.cdb, c.cdb + 12),
                  (std::vector<uint8_t>{0xFA, 0x27, 0xCE, 0x7A, 0xEB, static_cast<uint8_t>(i), 0x01, 0x27, 0xCE, 0x7A,
                                        0xEB, 0x30}));
        EXPECT_EQ(c.buffer, image.Blocks + i * 16384);  // straight from the image, no copy
        EXPECT_EQ(c.length, 16384u);
        EXPECT_EQ(c.timeoutSeconds, 60u);
    }
    EXPECT_EQ(Sleeps(), WriteJobSleeps(48));
    EXPECT_EQ(w->ResultCode, ResultOk);
    EXPECT_EQ(w->RunFlag, 0);
    EXPECT_EQ(w->Link, kDetached);
    EXPECT_EQ(w->CurrentState(), AspiExec::State::Parked);
    EXPECT_EQ(table->HandleOf(0), 0);
    EXPECT_EQ(DeviceNames.Get(0), "ORVEX   DVD RW LMX2097");
    EXPECT_EQ(WrongDrive[0], 0);
}

TEST_F(WorkerFixture, IdentityTestComparesOnlyTheModelCharacters) {
    struct Case {
        const char* vendor;
        const char* product;
        int32_t result;
        const char* name;
    };
    for (const Case& c : {Case{"ORVEXabc", "DVD RW LMX2097xy", ResultOk, "ORVEXabcDVD RW LMX2097xy"},
                          Case{"ORVEX   ", "DVD RW LMX2000  ", ResultWrongDrive, "ORVEX   DVD RW LMX2000"},
                          Case{"ORVEY   ", "DVD RW LMX2097  ", ResultWrongDrive, "ORVEY   DVD RW LMX2097"},
                          Case{" ORVEX  ", "DVD RW LMX2097  ", ResultWrongDrive, "ORVEX  DVD RW LMX2097"}}) {
        SCOPED_TRACE(c.vendor + std::string(c.product));
        drives[0]->vendor = c.vendor;
        drives[0]->product = c.product;
        clock.ClearRecords();
        WrongDrive[0] = 0;
        const size_t before = devices.Commands().size();
        auto w = Worker(0);
        Run(*w);
        EXPECT_EQ(w->ResultCode, c.result);
        EXPECT_EQ(DeviceNames.Get(0), c.name);
        EXPECT_EQ(WrongDrive[0], c.result == ResultWrongDrive ? 1 : 0);
        if (c.result == ResultWrongDrive) {
            EXPECT_EQ(devices.Commands().size(), before + 1);  // nothing after the INQUIRY
            EXPECT_TRUE(clock.Sleeps().empty());
            EXPECT_EQ(w->CurrentState(), AspiExec::State::Parked);
        }
    }
}

TEST_F(WorkerFixture, NoMediumWithAQualifierIsLeftAloneAndTheWorkerKeepsWaiting) {
    for (Sense s : {Sense{0x02, 0x3A, 0x01}, Sense{0x02, 0x3A, 0x02}}) {
        drives[0]->unitReady = {s};
        clock.ClearRecords();
        const size_t before = devices.Commands().size();
        auto w = Worker(0);
        Run(*w);
        EXPECT_EQ(w->ResultCode, ResultFailed);
        EXPECT_EQ(devices.Commands().size(), before + 2);  // INQUIRY and the medium test only
        EXPECT_TRUE(clock.Sleeps().empty());
        EXPECT_EQ(w->RunFlag, 0);
        EXPECT_EQ(w->Link, kDetached);
        EXPECT_EQ(w->CurrentState(), AspiExec::State::Waiting);
        // The next hand-over starts a job at once.
        Run(*w);
        EXPECT_EQ(w->ResultCode, ResultOk);
        EXPECT_EQ(w->JobsEnded(), 2u);
    }
}

TEST_F(WorkerFixture, OtherMediumTestAnswersGoOnToTheWrite) {
    for (Sense s : {Sense{0x02, 0x3A, 0x00}, Sense{0x02, 0x04, 0x01}, Sense{0x06, 0x28, 0x00}, Sense{0x22, 0x3A, 0x01}}) {
        drives[0]->unitReady = {s};
        const size_t before = devices.Commands().size();
        auto w = Worker(0);
        Run(*w);
        EXPECT_EQ(w->ResultCode, ResultOk);
        EXPECT_EQ(devices.Commands().size(), before + 3 + 48);
    }
}

TEST_F(WorkerFixture, ARefusedBlockEndsTheWriteAndOnlyAResetOnTheLastBlockCountsAsSuccess) {
    struct Case {
        int block;
        Sense sense;
        int32_t result;
    };
    for (const Case& c : {Case{47, {0x06, 0x29, 0x00}, ResultOk}, Case{47, {0x06, 0x29, 0x02}, ResultOk},
                          Case{10, {0x06, 0x29, 0x00}, ResultFailed}, Case{0, {0x06, 0x29, 0x00}, ResultFailed},
                          Case{46, {0x06, 0x29, 0x00}, ResultFailed}, Case{47, {0x06, 0x28, 0x00}, ResultFailed},
                          Case{47, {0x26, 0x29, 0x00}, ResultFailed}, Case{10, {0x03, 0x0C, 0x00}, ResultFailed}}) {
        SCOPED_TRACE(c.block);
        drives[0]->refuseBlock = c.block;
        drives[0]->refusal = c.sense;
        clock.ClearRecords();
        const size_t before = devices.Commands().size();
        auto w = Worker(0);
        w->ReadBackSum = 0x1234;
        Run(*w, true);
        EXPECT_EQ(w->ResultCode, c.result);
        const auto cmds = devices.Commands();
        const size_t reads = c.result == ResultOk ? 1024 : 0;
        // Blocks 0..block, then the read-back if it ran.
        ASSERT_EQ(cmds.size(), before + 3 + c.block + 1 + reads);
        EXPECT_EQ(cmds[before + 3 + c.block].cdb[5], c.block);
        EXPECT_EQ(Sleeps(), WriteJobSleeps(c.block));
        EXPECT_EQ(w->ReadBackSum, c.result == ResultOk ? 0x8080 : 0x1234);
    }
}

// A block that never reaches the drive, or whose answer never comes back, after a medium test that
// left a unit attention (06/29/00): nothing of that earlier answer may count for the block.
TEST(WorkerTransport, ABlockLostInTheTransportFailsInBothModes) {
    using platform::fakes::ExecReply;
    struct Case {
        const char* name;
        bool aspi;
        PassThroughReply passThrough;
        ExecReply exec;
    };
    const Case cases[] = {
        {"pass-through time-out", false, PassThroughReply::Failed(ETIMEDOUT), {}},
        {"pass-through drive gone", false, PassThroughReply::Failed(ENODEV), {}},
        {"aspi time-out, aborted", true, {}, ExecReply::Hangs()},
        {"aspi time-out, abort fails", true, {}, ExecReply::Hangs(false)},
        {"aspi no device", true, {}, ExecReply::NoDevice()},
        {"aspi error without a status", true, {}, ExecReply::NoDevice(false)},
    };
    for (const Case& c : cases) {
        for (int block : {0, 20, 47}) {
            SCOPED_TRACE(std::string(c.name) + ", block " + std::to_string(block));
            platform::fakes::FakePlatform p;
            ScriptedDrive drive;
            drive.unitReady = {{0x06, 0x29, 0x00}};
            auto answer = [&](const PassThroughRecord& r) -> PassThroughReply {
                if (r.cdb[0] == 0xFA && r.cdb[5] == block) return c.passThrough;
                return drive.Answer(r);
            };
            if (c.aspi) {
                p.process.family = platform::PlatformAspiFamily;
                p.aspi.supportInfo = (platform::SS_COMP << 8) | 1;
                p.aspi.AddDevice(0, 0);
                p.aspi.SetResponder([&](const platform::fakes::ExecRecord& e) {
                    if (e.cdb[0] == 0xFA && e.cdb[5] == block) return c.exec;
                    PassThroughRecord r{};
                    std::memcpy(r.cdb, e.cdb, 16);
                    r.length = e.bufLen;
                    const PassThroughReply reply = drive.Answer(r);
                    ExecReply out;
                    out.mode = ExecReply::PendingThenComplete;
                    out.status = reply.status == 0 ? platform::SS_COMP : platform::SS_ERR;
                    out.sense = reply.sense;
                    out.data = reply.data;
                    return out;
                });
            } else {
                p.Drives(1);
                p.devices.SetResponder(answer);
            }
            DeviceTable table(p.platform);
            ScopedDeviceTable scope(table);
            AspiExec w(true, p.clock);
            w.DeviceIndex = 0;
            w.HandOver(0, true);
            w.WaitIdle();
            EXPECT_EQ(w.ResultCode, ResultFailed);
            int blocksSent = 0;
            if (c.aspi) {
                for (const auto& e : p.aspi.Execs()) blocksSent += e.cdb[0] == 0xFA;
            } else {
                for (const auto& r : p.devices.Commands()) blocksSent += r.cdb[0] == 0xFA;
            }
            EXPECT_EQ(blocksSent, block + 1);
        }
    }
}

TEST_F(WorkerFixture, ReadBackRetriesAPieceOnceAndGivesZeroAfterTwoFailures) {
    auto w = Worker(0);
    drives[0]->failReadsAt = {0x800};
    Run(*w, true);
    EXPECT_EQ(w->ReadBackSum, 0x8080);
    EXPECT_EQ(devices.Commands().size(), 3u + 48u + 1025u);

    drives[0]->failReadsAt = {0x100000, 0x100000};
    const size_t before = devices.Commands().size();
    Run(*w, true);
    EXPECT_EQ(w->ReadBackSum, 0);
    EXPECT_EQ(devices.Commands().size(), before + 3 + 48 + 0x100000 / 2048 + 2);

    Run(*w, false);  // no verification: the sum stays
    EXPECT_EQ(w->ReadBackSum, 0);
}

TEST_F(WorkerFixture, ADriveThatDoesNotAnswerTheInquiryIsNotWritten) {
    auto w = Worker(0);
    Run(*w);  // an earlier job leaves a good name behind
    ASSERT_EQ(w->ResultCode, ResultOk);
    drives[0]->inquiryFails = true;
    clock.ClearRecords();
    const size_t before = devices.Commands().size();
    Run(*w);
    EXPECT_EQ(w->ResultCode, ResultFailed);
    EXPECT_EQ(devices.Commands().size(), before + 1);
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(DeviceNames.Get(0), "");
    EXPECT_EQ(w->Link, kDetached);
}

TEST_F(WorkerFixture, AJobHandedOverDuringAnotherRunsAfterIt) {
    std::mutex m;
    std::condition_variable cv;
    bool inFirstJob = false, release = false;
    devices.SetResponder([&](const PassThroughRecord& r) {
        if (r.cdb[0] == 0x1B) {
            std::unique_lock<std::mutex> lock(m);
            if (!inFirstJob) {
                inFirstJob = true;
                cv.notify_all();
                cv.wait(lock, [&] { return release; });
            }
        }
        return drives[0]->Answer(r);
    });
    auto w = Worker(0);
    w->HandOver(0, false);
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return inFirstJob; });
    }
    w->HandOver(0, true);  // the worker is still inside the first job
    EXPECT_TRUE(w->Busy());
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    w->WaitIdle();
    EXPECT_EQ(w->JobsEnded(), 2u);
    const auto ops = Opcodes();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), 0x12), 2);
    EXPECT_EQ(w->ReadBackSum, 0x8080);  // the second job ran with its own VerifyFlag
    EXPECT_EQ(w->RunFlag, 0);
}

TEST_F(WorkerFixture, HandOversRacingTheEndOfJobsAreNeitherLostNorDoubled) {
    drives[0]->vendor = "OTHER   ";  // short jobs: INQUIRY only
    auto w = Worker(0);
    constexpr int kJobs = 300;
    std::thread feeder([&] {
        for (int i = 0; i < kJobs; ++i) w->HandOver(0, false);
    });
    feeder.join();
    w->WaitIdle();
    EXPECT_EQ(w->JobsEnded(), static_cast<uint64_t>(kJobs));
    EXPECT_EQ(devices.Commands().size(), static_cast<size_t>(kJobs));
    EXPECT_EQ(w->RunFlag, 0);
}

TEST_F(WorkerFixture, TenWorkersFlashTenDrivesAtOnce) {
    drives.clear();
    scope.reset();
    Bay(10);
    drives[3]->vendor = "OTHER   ";
    drives[7]->refuseBlock = 47;
    drives[7]->refusal = {0x06, 0x29, 0x00};
    drives[8]->refuseBlock = 5;
    drives[8]->refusal = {0x03, 0x0C, 0x00};
    std::vector<std::unique_ptr<AspiExec>> workers;
    for (int d = 0; d < 10; ++d) workers.push_back(Worker(d));
    for (auto& w : workers) w->HandOver(w->DeviceIndex, true);
    for (auto& w : workers) w->WaitIdle();
    for (int d = 0; d < 10; ++d) {
        SCOPED_TRACE(d);
        const int32_t expected = d == 3 ? ResultWrongDrive : d == 8 ? ResultFailed : ResultOk;
        EXPECT_EQ(workers[d]->ResultCode, expected);
        EXPECT_EQ(WrongDrive[d], d == 3 ? 1 : 0);
        if (expected == ResultOk) {
            EXPECT_EQ(workers[d]->ReadBackSum, 0x8080);
        }
    }
    for (int d = 0; d < 10; ++d) EXPECT_EQ(table->HandleOf(d), 0);
}

}  // namespace
