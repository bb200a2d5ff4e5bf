// Ten drives driven from ten threads at once, as an update run does (run under TSan too).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "BayFixture.h"

using namespace drive_access;
using namespace vd_test;

namespace {

class TenDrives : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Modes, TenDrives,
                         ::testing::Values(platform::PlatformPassThroughFamily, platform::PlatformAspiFamily),
                         [](const auto& info) {
                             return info.param == platform::PlatformAspiFamily ? "Aspi" : "PassThrough";
                         });

TEST_P(TenDrives, UpdateAtOnceEachWithItsOwnImage) {
    // Neighbours get different images, so a block that reached the wrong drive would show.
    static const Payload odd = [] {
        Payload p;
        p.image = TestImage(1);
        p.blocks = Pack(Deflate(p.image));
        return p;
    }();
    const Payload* payloads[2] = {&TestPayload(), &odd};

    BayDescription description = GoodDrives(10);
    for (int i = 0; i < 10; ++i) {
        description.drives[i].latency = 1 + i;
        description.drives[i].writeLatency = 20;
    }
    BayPlatform p(description, GetParam());
    ASSERT_EQ(DeviceCount(), 10);
    std::vector<std::vector<uint8_t>> areas;
    for (int i = 0; i < 10; ++i) areas.push_back(p.bay.Drive(i).Flash());

    std::atomic<bool> running{true};
    std::thread observer([&] {
        while (running) {
            for (int i = 0; i < 10; ++i) {
                VirtualDrive& d = p.bay.Drive(i);
                (void)d.Log();
                (void)d.MediumState();
                (void)d.BlocksReceived();
            }
            std::this_thread::yield();
        }
    });

    std::vector<std::string> problems(10);
    std::vector<std::thread> workers;
    for (int i = 0; i < 10; ++i) {
        workers.emplace_back([&, i] {
            std::string& problem = problems[i];
            DriveLink link = Attached(i);
            uint8_t id[33] = {};
            if (!Inquiry(link, id, 32) || std::memcmp(id + 16, "DVD RW LMX2097", 14) != 0) problem += "identity ";
            if (!TestUnitReadyWait(link, 50000)) problem += "not ready ";
            StartStopUnit(link, 2, 0);
            const WriteOutcome w = WriteBlocks(link, payloads[i % 2]->blocks);
            if (w.refused >= 0) problem += "refused " + std::to_string(w.refused) + " ";
            if (TestUnitReady(link) || SenseCode(link) != kSenseReset) problem += "no restart ";
            const auto flash = ReadWholeFlash(link);
            if (!flash || SumOutsideDriveArea(*flash) != SumOutsideDriveArea(payloads[i % 2]->image))
                problem += "read-back ";
            Detach(link);
        });
    }
    for (auto& t : workers) t.join();
    running = false;
    observer.join();

    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(problems[i], "");
        VirtualDrive& d = p.bay.Drive(i);
        EXPECT_EQ(d.Updates(), 1);
        EXPECT_EQ(d.BlocksReceived(), 48);
        const auto flash = d.Flash();
        EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + kDriveAreaStart, payloads[i % 2]->image.begin()));
        EXPECT_TRUE(std::equal(flash.begin() + kDriveAreaStart, flash.begin() + kDriveAreaStart + kDriveAreaSize,
                               areas[i].begin() + kDriveAreaStart));
    }
}

TEST(OneDriveManyThreads, AnswersStayWhole) {
    platform::fakes::VirtualClock clock;
    VirtualBay bay(GoodDrives(1), clock);
    const auto flash = bay.Drive(0).Flash();
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            int error = 0;
            const platform::Handle h = bay.Devices().Open(0, &error);
            std::vector<uint8_t> piece(2048);
            for (int k = 0; k < 200; ++k) {
                const uint32_t a = static_cast<uint32_t>(((k * 4 + t) * 2048) % kFlashSize);
                platform::PassThroughBlock b{};
                const uint8_t cdb[12] = {0xA0, 0x15, 0x0A, 0, 0, 0, uint8_t(a >> 24), uint8_t(a >> 16),
                                         uint8_t(a >> 8), uint8_t(a), 0x08, 0x00};
                std::memcpy(b.Spt.Cdb, cdb, 12);
                b.Spt.CdbLength = 12;
                b.Spt.DataDirection = platform::TransferIn;
                b.Spt.DataBuffer = piece.data();
                b.Spt.DataTransferLength = 2048;
                if (!bay.Devices().SendPassThrough(h, b, &error) || b.Spt.ScsiStatus != 0 ||
                    !std::equal(piece.begin(), piece.end(), flash.begin() + a))
                    ++bad;
                // Trays open and close under the readers.
                platform::PassThroughBlock tray{};
                tray.Spt.Cdb[0] = 0x1B;
                tray.Spt.Cdb[4] = (k % 2) ? 0x03 : 0x02;
                tray.Spt.CdbLength = 12;
                tray.Spt.DataDirection = platform::TransferNone;
                if (!bay.Devices().SendPassThrough(h, tray, &error) || tray.Spt.ScsiStatus != 0) ++bad;
            }
            bay.Devices().Close(h);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(bay.Drive(0).CommandCount(), 4 * 200 * 2);
    EXPECT_EQ(bay.Drive(0).Log().size(), 4u * 200 * 2);
}

}  // namespace
