#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "drive_access/DeviceTable.h"
#include "firmware/FlashRomChecksum.h"
#include "platform/fakes/FakePlatform.h"

using namespace firmware;
using platform::fakes::PassThroughRecord;
using platform::fakes::PassThroughReply;

namespace {

// One drive whose flash is `flash`; reads at the addresses in `failAt` fail (each entry once).
struct FlashDrive : ::testing::Test, platform::fakes::FakePlatform {
    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlashSize, 0xFF);
    std::vector<uint32_t> failAt;
    std::vector<uint32_t> reads;
    drive_access::DriveLink link = drive_access::kDetached;
    std::unique_ptr<drive_access::DeviceTable> table;
    std::unique_ptr<drive_access::ScopedDeviceTable> scope;

    void SetUp() override {
        devices.SetDrives({{0, "/dev/sr0"}});
        devices.SetResponder([this](const PassThroughRecord& r) {
            const uint32_t address = (r.cdb[6] << 24) | (r.cdb[7] << 16) | (r.cdb[8] << 8) | r.cdb[9];
            reads.push_back(address);
            if (auto it = std::find(failAt.begin(), failAt.end(), address); it != failAt.end()) {
                failAt.erase(it);
                auto reply = PassThroughReply::Check(0x03, 0x11, 0x00);
                reply.data.assign(r.length, 0xAA);  // a failed read may still leave bytes behind
                return reply;
            }
            return PassThroughReply::Good(std::vector<uint8_t>(flash.begin() + address,
                                                               flash.begin() + address + r.length));
        });
        table = std::make_unique<drive_access::DeviceTable>(platform);
        scope = std::make_unique<drive_access::ScopedDeviceTable>(*table);
        ASSERT_EQ(drive_access::Attach(link, 0), 1);
    }

    uint16_t Worker() { return FlashRomChecksum(link, OnFailedRead::RetryOnceThenZero); }
    uint16_t Window(bool* failed = nullptr) {
        return FlashRomChecksum(
            link, OnFailedRead::StopWithPartialSum, [this] { dialogs.Message("Read Flash NG"); }, failed);
    }
};

TEST_F(FlashDrive, SumsTheWholeFlashButThePerDriveArea) {
    EXPECT_EQ(Worker(), 0x8080);
    EXPECT_EQ(reads.size(), 1024u);
    for (size_t i = 0; i < reads.size(); ++i) ASSERT_EQ(reads[i], i * 2048);
    EXPECT_EQ(drive_access::Attach(link, 0), 1);  // left attached

    struct Case {
        uint32_t address;
        bool counts;
    };
    for (const Case& c : {Case{0x1F8000, false}, Case{0x1F807F, false}, Case{0x1F8040, false},
                          Case{0x1F7FFF, true}, Case{0x1F8080, true}, Case{0, true}, Case{0x1FFFFF, true}}) {
        SCOPED_TRACE(c.address);
        flash.assign(kFlashSize, 0xFF);
        flash[c.address] = 0x00;
        EXPECT_EQ(Worker() != 0x8080, c.counts);
        EXPECT_EQ(Window() != 0x8080, c.counts);
    }
    flash.assign(kFlashSize, 0x00);
    EXPECT_EQ(Worker(), 0);
}

TEST_F(FlashDrive, WorkerRetriesOnceAndGivesZeroAfterTheSecondFailure) {
    failAt = {0x800};
    EXPECT_EQ(Worker(), 0x8080);
    EXPECT_EQ(reads.size(), 1025u);
    reads.clear();
    failAt = {0x100000, 0x100000};
    EXPECT_EQ(Worker(), 0);
    EXPECT_EQ(reads.back(), 0x100000u);
    EXPECT_EQ(reads.size(), 0x100000 / 2048 + 2);
    EXPECT_TRUE(dialogs.Messages().empty());
}

TEST_F(FlashDrive, WindowStopsAtTheFirstFailureWithWhatItHad) {
    for (size_t i = 0; i < kFlashSize; ++i) flash[i] = static_cast<uint8_t>(i * 7);
    const uint16_t firstHalf = AddPiece(0, flash.data(), 0, 0x100000);
    failAt = {0x100000};
    bool failed = false;
    EXPECT_EQ(Window(&failed), firstHalf);
    EXPECT_TRUE(failed);
    EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{"Read Flash NG"});
    EXPECT_EQ(reads.back(), 0x100000u);

    reads.clear();
    failAt = {0};
    EXPECT_EQ(Window(&failed), 0);
    EXPECT_EQ(reads.size(), 1u);
    EXPECT_EQ(dialogs.Messages().size(), 2u);
}

}  // namespace
