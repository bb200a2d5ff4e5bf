// The two transports of the bay, spoken to directly where the device table would hide the detail.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "BayFixture.h"

using namespace vd_test;
using namespace platform;

namespace {

PassThroughBlock Request(std::initializer_list<uint8_t> cdb, uint8_t dataIn = TransferNone, void* buffer = nullptr,
                         uint32_t length = 0) {
    PassThroughBlock b{};
    std::copy(cdb.begin(), cdb.end(), b.Spt.Cdb);
    b.Spt.CdbLength = 12;
    b.Spt.SenseInfoLength = kSenseBufferSize;
    b.Spt.DataDirection = dataIn;
    b.Spt.DataBuffer = buffer;
    b.Spt.DataTransferLength = length;
    b.Spt.TimeOutValue = 15;
    return b;
}

BayDescription WithDisk() {
    BayDescription bay = GoodDrives(3);
    bay.drives[1].deviceType = 0;
    bay.drives[2].medium = Medium::TrayOpen;
    return bay;
}

TEST(PassThroughHost, ListsOpticalDrivesAndAnswersOnOpenHandles) {
    fakes::VirtualClock clock;
    VirtualBay bay(WithDisk(), clock);
    DeviceHost& host = bay.Devices();
    const auto drives = host.ListOpticalDrives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].id, 0);
    EXPECT_EQ(drives[0].node, "virtual:sr0");
    EXPECT_EQ(drives[1].id, 1);
    EXPECT_EQ(drives[1].node, "virtual:sr1");

    int error = 0;
    const Handle a = host.Open(1, &error);
    const Handle b = host.Open(1, &error);
    EXPECT_NE(a, kInvalidHandle);
    EXPECT_NE(a, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(host.Open(2, &error), kInvalidHandle);
    EXPECT_EQ(error, ENOENT);

    // sr1 is the third unit of the bay: its tray is open.
    PassThroughBlock tur = Request({0x00});
    ASSERT_EQ(host.SendPassThrough(a, tur, &error), 1);
    EXPECT_EQ(tur.Spt.ScsiStatus, 2);
    const uint8_t expected[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x02, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(tur.SenseBuffer, expected, 18), 0);

    // Only as much sense as the request has room for.
    tur = Request({0x00});
    tur.Spt.SenseInfoLength = 3;
    ASSERT_EQ(host.SendPassThrough(b, tur, &error), 1);
    EXPECT_EQ(tur.SenseBuffer[2], 0x02);
    EXPECT_EQ(tur.SenseBuffer[12], 0);

    // No data moves without a direction.
    uint8_t data[36];
    std::memset(data, 0xEE, sizeof data);
    PassThroughBlock inquiry = Request({0x12, 0, 0, 0, 36}, TransferNone, data, 36);
    ASSERT_EQ(host.SendPassThrough(a, inquiry, &error), 1);
    EXPECT_EQ(inquiry.Spt.ScsiStatus, 0);
    EXPECT_EQ(data[0], 0xEE);

    host.Close(a);
    error = 0;
    EXPECT_EQ(host.SendPassThrough(a, tur, &error), 0);
    EXPECT_EQ(error, EBADF);
    EXPECT_EQ(host.SendPassThrough(b, inquiry, &error), 1);
}

TEST(PassThroughHost, AHungCommandCostsItsTimeOutOnTheClock) {
    DriveConfig config;
    config.hangAtCommand = 1;
    fakes::VirtualClock clock;
    VirtualBay bay(OneDrive(config), clock);
    int error = 0;
    const Handle h = bay.Devices().Open(0, &error);
    PassThroughBlock tur = Request({0x00});
    tur.Spt.TimeOutValue = 50;
    EXPECT_EQ(bay.Devices().SendPassThrough(h, tur, &error), 0);
    EXPECT_EQ(error, ETIMEDOUT);
    EXPECT_EQ(clock.Sleeps().size(), 1u);
    EXPECT_EQ(clock.Sleeps()[0].ms, 50000);
}

struct Aspi : ::testing::Test {
    Aspi() : bay(WithDisk(), clock) {
        library = bay.Aspi().Load("wnaspi32.dll");
        send = bay.Aspi().SendCommand(library);
    }
    SrbExecScsiCmd Exec(int adapter, int target, std::initializer_list<uint8_t> cdb, uint8_t flags,
                        uint8_t* buffer = nullptr, uint32_t length = 0) {
        SrbExecScsiCmd srb{};
        srb.Hdr.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.Hdr.SRB_HaId = static_cast<uint8_t>(adapter);
        srb.Hdr.SRB_Flags = flags;
        srb.SRB_Target = static_cast<uint8_t>(target);
        srb.SRB_BufPointer = buffer;
        srb.SRB_BufLen = length;
        srb.SRB_SenseLen = kAspiSenseLength;
        srb.SRB_CDBLen = 12;
        std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
        return srb;
    }
    fakes::VirtualClock clock;
    VirtualBay bay;
    void* library = nullptr;
    SendCommandFn send;
};

TEST_F(Aspi, LoadsByItsNameAndReportsItsAdapters) {
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(bay.Aspi().Load("OTHER.DLL"), nullptr);
    int other = 0;
    EXPECT_FALSE(bay.Aspi().GetSupportInfo(&other));
    EXPECT_FALSE(bay.Aspi().SendCommand(&other));
    EXPECT_EQ(bay.Aspi().GetSupportInfo(library)(), (SS_COMP << 8) | 1u);

    BayDescription wide = GoodDrives(10);
    wide.drives[0].adapter = 3;
    wide.drives[0].target = 7;
    VirtualBay big(wide, clock);
    void* lib = big.Aspi().Load("WNASPI32.DLL");
    EXPECT_EQ(big.Aspi().GetSupportInfo(lib)(), (SS_COMP << 8) | 4u);
    EXPECT_EQ(big.AspiPosition(0), (std::pair<int, int>{3, 7}));
    EXPECT_EQ(big.AspiPosition(1), (std::pair<int, int>{0, 0}));
    EXPECT_EQ(big.AspiPosition(9), (std::pair<int, int>{1, 0}));
}

TEST_F(Aspi, DeviceTypesByPlace) {
    const struct {
        int adapter, target;
        uint8_t status, type;
    } cases[] = {{0, 0, SS_COMP, 5}, {0, 1, SS_COMP, 0}, {0, 2, SS_COMP, 5}, {0, 3, SS_NO_DEVICE, 0xEE},
                 {1, 0, SS_NO_DEVICE, 0xEE}};
    for (const auto& c : cases) {
        SrbGetDevType q{};
        q.Hdr.SRB_Cmd = SC_GET_DEV_TYPE;
        q.Hdr.SRB_HaId = static_cast<uint8_t>(c.adapter);
        q.SRB_Target = static_cast<uint8_t>(c.target);
        q.SRB_DeviceType = 0xEE;
        EXPECT_EQ(send(&q.Hdr), c.status);
        EXPECT_EQ(AspiStatus(q.Hdr), c.status);
        EXPECT_EQ(q.SRB_DeviceType, c.type);
    }
    SrbGetDevType lun1{};
    lun1.Hdr.SRB_Cmd = SC_GET_DEV_TYPE;
    lun1.SRB_Lun = 1;
    EXPECT_EQ(send(&lun1.Hdr), SS_NO_DEVICE);
}

TEST_F(Aspi, CommandsEndThroughTheEventOrAtOnce) {
    auto event = clock.CreateEvent();
    uint8_t data[36] = {};
    SrbExecScsiCmd inquiry = Exec(0, 0, {0x12, 0, 0, 0, 36}, SRB_DIR_IN | SRB_EVENT_NOTIFY, data, 36);
    inquiry.SRB_PostProc = event.get();
    EXPECT_EQ(send(&inquiry.Hdr), SS_PENDING);
    EXPECT_TRUE(event->IsSignalled());
    EXPECT_EQ(AspiStatus(inquiry.Hdr), SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 5), "ORVEX");

    // Without notification the status comes back from the call; a check fills the sense area.
    SrbExecScsiCmd tur = Exec(0, 2, {0x00}, 0);
    std::memset(tur.SenseArea, 0xEE, sizeof tur.SenseArea);
    EXPECT_EQ(send(&tur.Hdr), SS_ERR);
    EXPECT_EQ(AspiStatus(tur.Hdr), SS_ERR);
    EXPECT_EQ(tur.SRB_TargStat, 2);
    EXPECT_EQ(tur.SenseArea[2], 0x02);
    EXPECT_EQ(tur.SenseArea[12], 0x3A);
    EXPECT_EQ(tur.SenseArea[13], 0x02);
    EXPECT_EQ(tur.SenseArea[18], 0xEE);

    // A good command leaves the sense area alone.
    SrbExecScsiCmd good = Exec(0, 0, {0x00}, 0);
    std::memset(good.SenseArea, 0xEE, sizeof good.SenseArea);
    EXPECT_EQ(send(&good.Hdr), SS_COMP);
    EXPECT_EQ(good.SenseArea[0], 0xEE);

    SrbExecScsiCmd nobody = Exec(0, 5, {0x00}, SRB_EVENT_NOTIFY);
    EXPECT_EQ(send(&nobody.Hdr), SS_NO_DEVICE);
    EXPECT_EQ(nobody.SRB_HaStat, 0x11);

    SrbHeader unknown{};
    unknown.SRB_Cmd = 9;
    EXPECT_EQ(send(&unknown), SS_INVALID_CMD);
}

TEST_F(Aspi, AHungCommandStaysPendingUntilAborted) {
    DriveConfig config;
    config.hangAtCommand = 2;
    VirtualBay hangs(OneDrive(config), clock);
    auto sendTo = hangs.Aspi().SendCommand(hangs.Aspi().Load("WNASPI32.DLL"));
    auto event = clock.CreateEvent();

    SrbExecScsiCmd first = Exec(0, 0, {0x00}, SRB_EVENT_NOTIFY);
    first.SRB_PostProc = event.get();
    EXPECT_EQ(sendTo(&first.Hdr), SS_PENDING);
    // Aborting a command that has ended changes nothing.
    SrbAbort late{};
    late.Hdr.SRB_Cmd = SC_ABORT_SRB;
    late.SRB_ToAbort = &first;
    EXPECT_EQ(sendTo(&late.Hdr), SS_COMP);
    EXPECT_EQ(AspiStatus(first.Hdr), SS_COMP);

    auto second = clock.CreateEvent();
    SrbExecScsiCmd hung = Exec(0, 0, {0x00}, SRB_EVENT_NOTIFY);
    hung.SRB_PostProc = second.get();
    EXPECT_EQ(sendTo(&hung.Hdr), SS_PENDING);
    EXPECT_FALSE(second->IsSignalled());
    EXPECT_EQ(AspiStatus(hung.Hdr), SS_PENDING);
    SrbAbort abort{};
    abort.Hdr.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_ToAbort = &hung;
    EXPECT_EQ(sendTo(&abort.Hdr), SS_COMP);
    EXPECT_EQ(AspiStatus(abort.Hdr), SS_COMP);
    EXPECT_EQ(AspiStatus(hung.Hdr), SS_ABORTED);
}

TEST(AspiDiscovery, TheDeviceTableSkipsOtherTypesAndOrdersByPlace) {
    BayDescription bay = GoodDrives(5);
    bay.drives[0].deviceType = 0;
    bay.drives[0].adapter = 0;
    bay.drives[0].target = 0;
    bay.drives[1].adapter = 1;
    bay.drives[1].target = 3;
    bay.drives[3].adapter = 0;
    bay.drives[3].target = 5;
    BayPlatform p(bay, PlatformAspiFamily);
    ASSERT_EQ(p.table->DeviceCount(), 4);
    EXPECT_EQ(p.table->DeviceId(0), 1);    // unit 2 took the first free place
    EXPECT_EQ(p.table->DeviceId(1), 2);    // unit 4 the next one
    EXPECT_EQ(p.table->DeviceId(2), 5);    // unit 3
    EXPECT_EQ(p.table->DeviceId(3), 259);  // unit 1

    // Commands reach the unit at the selected place.
    drive_access::DriveLink link = Attached(3);
    EXPECT_EQ(drive_access::TestUnitReady(link), 1);
    drive_access::Detach(link);
    EXPECT_EQ(p.bay.Drive(1).CommandCount(), 1);
    EXPECT_EQ(p.bay.Drive(2).CommandCount(), 0);
}

}  // namespace
