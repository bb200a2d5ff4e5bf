#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "BayFixture.h"

using namespace drive_access;
using namespace vd_test;

namespace {

std::string Example(const char* name) { return std::string(RW_VIRTUAL_DRIVES_EXAMPLES) + "/" + name; }

// The run's view of one job: identity, medium, eject, all blocks.
std::string Job(int index) {
    DriveLink link = Attached(index);
    uint8_t id[33] = {};
    Inquiry(link, id, 32);
    std::string outcome;
    if (std::string(reinterpret_cast<char*>(id + 16), 14) != "DVD RW LMX2097") {
        outcome = "wrong drive";
    } else if (!TestUnitReadyWait(link, 50000) && (SenseCode(link) & 0xFFFF00) == 0x023A00 &&
               (SenseCode(link) & 0xFF) != 0) {
        outcome = "no medium";
    } else {
        StartStopUnit(link, 2, 0);
        const WriteOutcome w = WriteBlocks(link, TestPayload().blocks);
        char text[32];
        std::snprintf(text, sizeof text, "block %d: %06X", w.refused, w.sense);
        outcome = w.refused < 0 ? "ok" : text;
    }
    Detach(link);
    return outcome;
}

TEST(BayFile, ExamplesLoadAndBehaveAsTheySay) {
    const std::pair<const char*, std::vector<std::string>> examples[] = {
        {"three.bay", std::vector<std::string>(3, "ok")},
        {"ten.bay", std::vector<std::string>(10, "ok")},
        {"mixed.bay", {"ok", "wrong drive", "no medium", "block 20: 030C00", "block 47: 062900"}},
    };
    for (const auto& [name, outcomes] : examples) {
        SCOPED_TRACE(name);
        BayDescription description;
        std::string error;
        ASSERT_TRUE(LoadBayFile(Example(name), description, error)) << error;
        BayPlatform p(description);
        ASSERT_EQ(DeviceCount(), static_cast<int>(outcomes.size()));
        std::set<std::string> serials;
        for (int i = 0; i < DeviceCount(); ++i) {
            EXPECT_EQ(Job(i), outcomes[i]) << i;
            EXPECT_GT(p.bay.Drive(i).Config().writeLatency, 0);
            serials.insert(p.bay.Drive(i).Serial());
        }
        EXPECT_EQ(serials.size(), outcomes.size());
    }
}

TEST(BayFile, ReadsEverySetting) {
    const std::string text =
        "# a station\r\n"
        "\n"
        "defaults vendor=ACME product=\"DVD RW X\" revision=9.9 latency=4 write-latency=0x10   # trailing\n"
        "   drive serial=\"A 1\" medium=none firmware-seed=7 read-latency=2 eject-latency=900 program-latency=50\n"
        "drive tur=02/04/01,ok,6/28/0 inquiry-fail refuse-block=3:03/0C/00 refuse-block=47:06/29/00\n"
        "drive read-fail=0x100000 read-fail=2048:once:04/3e/01 hang=5 hang-block=9 vanish-after=12 at=1:3\n"
        "defaults medium=tray-open\n"
        "drive type=0 inquiry-fail=02/04/00 serial=x#1\n";
    BayDescription bay;
    std::string error;
    ASSERT_TRUE(ParseBay(text, bay, error)) << error;
    ASSERT_EQ(bay.drives.size(), 4u);

    const DriveConfig& a = bay.drives[0];
    EXPECT_EQ(a.vendor, "ACME");
    EXPECT_EQ(a.product, "DVD RW X");
    EXPECT_EQ(a.revision, "9.9");
    EXPECT_EQ(a.serial, "A 1");
    EXPECT_EQ(a.medium, Medium::NoMedium);
    EXPECT_EQ(a.firmwareSeed, 7u);
    EXPECT_EQ(a.latency, 4);
    EXPECT_EQ(a.readLatency, 2);
    EXPECT_EQ(a.writeLatency, 16);
    EXPECT_EQ(a.ejectLatency, 900);
    EXPECT_EQ(a.programLatency, 50);

    const DriveConfig& b = bay.drives[1];
    EXPECT_EQ(b.vendor, "ACME");
    EXPECT_EQ(b.medium, Medium::Ready);
    EXPECT_EQ(b.serial, "");
    EXPECT_EQ(b.readLatency, -1);
    ASSERT_EQ(b.testUnitReadyScript.size(), 3u);
    EXPECT_EQ(b.testUnitReadyScript[0], (Sense{0x02, 0x04, 0x01}));
    EXPECT_FALSE(b.testUnitReadyScript[1]);
    EXPECT_EQ(b.testUnitReadyScript[2], (Sense{0x06, 0x28, 0x00}));
    EXPECT_EQ(b.inquiryFailure, sense::InternalFailure);
    ASSERT_EQ(b.refuseBlocks.size(), 2u);
    EXPECT_EQ(b.refuseBlocks[1].block, 47);
    EXPECT_EQ(b.refuseBlocks[1].sense, sense::Reset);

    const DriveConfig& c = bay.drives[2];
    ASSERT_EQ(c.readFailures.size(), 2u);
    EXPECT_EQ(c.readFailures[0].address, 0x100000u);
    EXPECT_FALSE(c.readFailures[0].once);
    EXPECT_EQ(c.readFailures[0].sense, sense::ReadError);
    EXPECT_EQ(c.readFailures[1].address, 2048u);
    EXPECT_TRUE(c.readFailures[1].once);
    EXPECT_EQ(c.readFailures[1].sense, (Sense{0x04, 0x3E, 0x01}));
    EXPECT_EQ(c.hangAtCommand, 5);
    EXPECT_EQ(c.hangAtBlock, 9);
    EXPECT_EQ(c.vanishAfter, 12);
    EXPECT_EQ(c.adapter, 1);
    EXPECT_EQ(c.target, 3);

    const DriveConfig& d = bay.drives[3];
    EXPECT_EQ(d.deviceType, 0);
    EXPECT_EQ(d.medium, Medium::TrayOpen);
    EXPECT_EQ(d.vendor, "ACME");
    EXPECT_EQ(d.inquiryFailure, (Sense{0x02, 0x04, 0x00}));
    EXPECT_EQ(d.serial, "x#1");
}

TEST(BayFile, AnythingItCannotReadNamesTheLineAndLoadsNothing) {
    std::string tooMany;
    for (int i = 0; i < kMaxBayDrives + 1; ++i) tooMany += "drive\n";
    const struct {
        std::string text;
        int line;
        const char* says;
    } cases[] = {
        {"drive\nfoo\n", 2, "starts with 'drive' or 'defaults'"},
        {"drive laterncy=5", 1, "unknown setting 'laterncy'"},
        {"drive latency=abc", 1, "'latency' wants milliseconds"},
        {"drive latency=600001", 1, "'latency' wants milliseconds"},
        {"drive latency=-1", 1, "'latency' wants milliseconds"},
        {"drive latency", 1, "'latency' needs a value"},
        {"\n# x\ndrive latency=5 latency=6", 3, "'latency' is given twice"},
        {"drive vendor=ORVEXORVEX", 1, "'vendor' takes up to 8"},
        {"drive product=\"DVD RW LMX2097 PLUS\"", 1, "'product' takes up to 16"},
        {"drive revision=1.000", 1, "'revision' takes up to 4"},
        {"drive product=\"DVD RW", 1, "quote is not closed"},
        {"drive serial=", 1, "'serial' is empty"},
        {"drive medium=open", 1, "'medium' is ready, none, tray-closed or tray-open"},
        {"drive type=32", 1, "'type' wants"},
        {"drive tur=ok,2/3A", 1, "'2/3A' is not a sense"},
        {"drive tur=ok,02/3A/100", 1, "is not a sense"},
        {"drive inquiry-fail=xx", 1, "is not a sense"},
        {"drive refuse-block=48", 1, "'refuse-block' wants BLOCK:KK/AA/QQ"},
        {"drive refuse-block=256:03/0C/00", 1, "'refuse-block' wants"},
        {"drive refuse-block=4:03/0C/00/", 1, "is not a sense"},
        {"drive read-fail=0x200000", 1, "below 0x200000"},
        {"drive read-fail=0x1000:sometimes", 1, "'sometimes' is not a sense"},
        {"drive read-fail=1:once:03/11/00:x", 1, "'read-fail' wants"},
        {"drive hang=0", 1, "'hang' wants a number from 1"},
        {"drive hang-block=256", 1, "'hang-block' wants"},
        {"drive vanish-after=x", 1, "'vanish-after' wants"},
        {"drive at=0:8", 1, "'at' wants ADAPTER:TARGET"},
        {"drive at=0", 1, "'at' wants"},
        {"drive at=0:1\n\ndrive at=0:1", 3, "place 0:1 is taken by the drive on line 1"},
        {"defaults serial=X", 1, "'serial' belongs on a drive line"},
        {"defaults refuse-block=1:03/0C/00", 1, "belongs on a drive line"},
        {"defaults bogus=1", 1, "unknown setting 'bogus'"},
        {tooMany, kMaxBayDrives + 1, "at most 64 drives"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        BayDescription bay = GoodDrives(2);
        std::string error;
        EXPECT_FALSE(ParseBay(c.text, bay, error));
        EXPECT_EQ(error.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(bay.drives.size(), 2u);
    }
}

TEST(BayFile, FileErrorsStartWithThePath) {
    const std::string path = ::testing::TempDir() + "broken.bay";
    std::ofstream(path) << "drive\ndrive\ndrive medium=wet\n";
    BayDescription bay;
    std::string error;
    EXPECT_FALSE(LoadBayFile(path, bay, error));
    EXPECT_EQ(error.rfind(path + ": line 3: ", 0), 0u) << error;
    EXPECT_TRUE(bay.drives.empty());
    std::remove(path.c_str());

    EXPECT_FALSE(LoadBayFile(path, bay, error));
    EXPECT_EQ(error, path + ": cannot be read");
}

TEST(BayFile, TheCommandLineTakesACountOrAFile) {
    platform::fakes::VirtualClock clock;
    std::string error;
    auto bay = OpenBay("4", clock, error);
    ASSERT_TRUE(bay) << error;
    EXPECT_EQ(bay->DriveCount(), 4);
    EXPECT_GT(bay->Drive(3).Config().writeLatency, 0);
    EXPECT_EQ(bay->Drive(3).Config().product, "DVD RW LMX2097");

    bay = OpenBay("0", clock, error);
    ASSERT_TRUE(bay);
    EXPECT_EQ(bay->DriveCount(), 0);
    EXPECT_EQ(bay->HostAdapterCount(), 1);

    bay = OpenBay(Example("mixed.bay"), clock, error);
    ASSERT_TRUE(bay) << error;
    EXPECT_EQ(bay->DriveCount(), 5);

    EXPECT_FALSE(OpenBay("65", clock, error));
    EXPECT_NE(error.find("at most 64"), std::string::npos);
    EXPECT_FALSE(OpenBay("no-such.bay", clock, error));
    EXPECT_EQ(error, "no-such.bay: cannot be read");
}

}  // namespace
