#include <fstream>
#include <sstream>

#include "Station.h"

namespace {

using Arrangement = ScratchDirectory;

std::string Settings() {
    std::ifstream in("FLASH.INI", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(Arrangement, AnArrangedOrderIsWhatTheRunAndItsReportFollow) {
    // Device 2 reports no disc first, devices 0 and 1 from the third pass on; device 0 then fails.
    const std::string bay =
        "drive tur=ok,ok medium=none refuse-block=10:03/0C/00\n"
        "drive tur=ok,ok medium=none\n"
        "drive medium=none\n";
    for (Transport transport : {Transport::PassThrough, Transport::Aspi}) {
        SCOPED_TRACE(Name(transport));
        std::filesystem::remove("FLASH.INI");
        {
            Station s(Bay(bay), transport);
            s.Start();
            s.console->ButADClick();
            EXPECT_EQ(std::vector<int32_t>(s.console->SlotDevice.begin(), s.console->SlotDevice.begin() + 3),
                      (std::vector<int32_t>{2, 0, 1}));
            s.Run();
            ExpectReportTellsTheTruth(s);
            EXPECT_EQ(s.view.slots[1].colour, console::clRed);
        }
        // The next start applies the stored order.
        Station s(Bay(bay), transport);
        s.Start();
        EXPECT_EQ(std::vector<int32_t>(s.console->SlotDevice.begin(), s.console->SlotDevice.begin() + 3),
                  (std::vector<int32_t>{2, 0, 1}));
        s.Run();
        ExpectReportTellsTheTruth(s);
        EXPECT_EQ(s.view.slots[1].colour, console::clRed);
    }
}

TEST_F(Arrangement, OneThatRunsOutOfPassesStillGivesEveryDriveOneSlot) {
    for (Transport transport : {Transport::PassThrough, Transport::Aspi}) {
        SCOPED_TRACE(Name(transport));
        std::filesystem::remove("FLASH.INI");
        // Device 1 has a disc, so it never reports 02/3A/00.
        Station s(Bay("drive medium=none\ndrive\ndrive medium=none\n"), transport);
        s.Start();
        s.console->ButADClick();
        EXPECT_EQ(std::vector<int32_t>(s.console->SlotDevice.begin(), s.console->SlotDevice.begin() + 3),
                  (std::vector<int32_t>{0, 2, 1}));
        for (int slot = 0; slot < 3; ++slot) EXPECT_TRUE(s.view.slots[slot].enabled) << slot;
        EXPECT_NE(Settings().find("TOTAL_DRIVE=2"), std::string::npos) << Settings();
        s.Run();
        ExpectReportTellsTheTruth(s);
        for (int d = 0; d < 3; ++d) EXPECT_TRUE(Programmed(s.DriveOf(d))) << d;
    }
}

TEST_F(Arrangement, ADriveInTwoSlotsGetsOneJob) {
    Station s(Bay("drive\ndrive\n"), Transport::PassThrough);
    s.Start();
    s.console->SlotDevice[1] = 0;
    s.Run();
    EXPECT_EQ(s.console->Workers[0]->JobsEnded(), 1u);
    EXPECT_EQ(s.DriveOf(0).BlocksReceived(), 48);
    EXPECT_EQ(s.DriveOf(1).BlocksReceived(), 0);
    ASSERT_EQ(s.console->LastOutcomes().size(), 1u);
}

TEST_F(Arrangement, DrivesPastTheTenthAreNamedAndLeftAlone) {
    struct Case {
        Transport transport;
        int drives;
        std::string unused;
    };
    const Case cases[] = {
        {Transport::PassThrough, 12, "virtual:sr10, virtual:sr11"},
        {Transport::Aspi, 12, "adapter 1 target 2, adapter 1 target 3"},
        {Transport::PassThrough, 28,
         "virtual:sr10, virtual:sr11, virtual:sr12, virtual:sr13, virtual:sr14, virtual:sr15, virtual:sr16, "
         "virtual:sr17, virtual:sr18, virtual:sr19, virtual:sr20, virtual:sr21, virtual:sr22, virtual:sr23, "
         "virtual:sr24, virtual:sr25, virtual:sr26, virtual:sr27"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(Name(c.transport)) + ", " + std::to_string(c.drives));
        Station s(virtual_drives::GoodDrives(c.drives), c.transport);
        s.Start();
        EXPECT_EQ(s.dialogs.Messages(),
                  std::vector<std::string>{"Only ten drives can be updated at once. Not used: " + c.unused});
        s.Run();
        ExpectReportTellsTheTruth(s);
        for (int i = 10; i < c.drives; ++i) EXPECT_EQ(s.bay->Drive(i).CommandCount(), 0) << i;
    }
}

}  // namespace
