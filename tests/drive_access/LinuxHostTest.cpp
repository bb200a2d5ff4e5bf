#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/LinuxHost.h"
#include "platform/SgIoResult.h"

namespace fs = std::filesystem;

namespace {

struct FakeTree : ::testing::Test {
    fs::path root;
    void SetUp() override {
        root = fs::temp_directory_path() / ("rw-sysfs-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "sys" / "class" / "block");
        fs::create_directories(root / "dev");
    }
    void TearDown() override { fs::remove_all(root); }
    void Block(const std::string& name, const std::string& generic = "") {
        fs::create_directories(root / "sys/class/block" / name / "device");
        if (!generic.empty()) fs::create_directories(root / "sys/class/block" / name / "device/scsi_generic" / generic);
    }
    platform::LinuxDeviceHost Host() {
        return platform::LinuxDeviceHost((root / "sys/class/block").string(), (root / "dev").string());
    }
};

TEST_F(FakeTree, ListsOpticalDrivesInNumericOrder) {
    for (const char* n : {"sr10", "sda", "sr2", "sda1", "sr0", "srx", "loop0", "sr1a"}) Block(n);
    auto host = Host();
    const auto drives = host.ListOpticalDrives();
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].id, 0);
    EXPECT_EQ(drives[1].id, 2);
    EXPECT_EQ(drives[2].id, 10);
    EXPECT_EQ(drives[2].node, (root / "dev/sr10").string());
}

TEST_F(FakeTree, MissingSysfsListsNothing) {
    platform::LinuxDeviceHost host((root / "nowhere").string(), "/dev");
    EXPECT_TRUE(host.ListOpticalDrives().empty());
}

TEST_F(FakeTree, CommandsGoThroughTheGenericNodeWhenThereIsOne) {
    Block("sr0", "sg3");
    Block("sr1");
    Block("sr2", "sg4");  // sysfs names it, but /dev has no such node (no udev)
    std::ofstream(root / "dev/sg3") << "";
    auto host = Host();
    EXPECT_EQ(host.CommandNode(0), (root / "dev/sg3").string());
    EXPECT_EQ(host.CommandNode(1), (root / "dev/sr1").string());
    EXPECT_EQ(host.CommandNode(2), (root / "dev/sr2").string());
}

TEST_F(FakeTree, ADriveOpenElsewhereIsBusyAndItsHolderIsNamed) {
    Block("sr0", "sg0");
    const fs::path node = root / "dev/sg0";
    std::ofstream(node) << "";
    auto host = Host();
    int error = 0;
    const auto first = host.Open(0, &error);
    ASSERT_GT(first, 0);
    // A second open (another program's, as far as the lock can tell) finds the drive held.
    EXPECT_EQ(host.Open(0, &error), platform::kInvalidHandle);
    EXPECT_EQ(error, EBUSY);
    host.Close(first);
    const auto again = host.Open(0, &error);
    EXPECT_GT(again, 0);
    host.Close(again);

    // The holder comes from the lock table, matched by file system and inode.
    struct stat st {};
    ASSERT_EQ(::stat(node.c_str(), &st), 0);
    char line[160];
    std::snprintf(line, sizeof line, "1: FLOCK  ADVISORY  WRITE 4242 %02x:%02x:%llu 0 EOF\n", major(st.st_dev),
                  minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
    std::ofstream(root / "locks") << "1: POSIX  ADVISORY  WRITE 17 00:01:2 0 EOF\n" << line;
    platform::LinuxDeviceHost listed((root / "sys/class/block").string(), (root / "dev").string(),
                                     (root / "locks").string());
    EXPECT_EQ(listed.LockHolder(node.string()), 4242);
    const auto problem = listed.Access(0);
    EXPECT_EQ(problem.error, EBUSY);
    EXPECT_EQ(problem.node, node.string());
    EXPECT_EQ(problem.holder, 4242);
    EXPECT_EQ(listed.LockHolder((root / "dev/nothing").string()), 0);
}

TEST(SgIoResult, EveryWayARequestCanEnd) {
    using platform::SgIoFacts;
    struct Case {
        const char* name;
        SgIoFacts facts;
        int carriedOut, error;
        uint8_t status;
        uint32_t transferred;
    };
    auto facts = [](int ioctl, int err, uint32_t info, uint8_t status, uint16_t host, uint16_t driver, int32_t resid) {
        SgIoFacts f;
        f.ioctlResult = ioctl;
        f.ioctlErrno = err;
        f.info = info;
        f.status = status;
        f.hostStatus = host;
        f.driverStatus = driver;
        f.resid = resid;
        f.requested = 2048;
        return f;
    };
    const Case cases[] = {
        {"good", facts(0, 0, 0, 0, 0, 0, 0), 1, 0, 0, 2048},
        {"ioctl refused", facts(-1, EPERM, 0, 0, 0, 0, 0), 0, EPERM, 0, 0},
        {"info not OK, status GOOD", facts(0, 0, 1, 0, 0, 0, 0), 0, EIO, 0, 0},
        {"host: time-out", facts(0, 0, 1, 0, 0x03, 0, 0), 0, ETIMEDOUT, 0, 0},
        {"host: no connect", facts(0, 0, 1, 0, 0x01, 0, 0), 0, ENODEV, 0, 0},
        {"host: error with a CHECK CONDITION", facts(0, 0, 1, 2, 0x07, 0, 0), 0, EIO, 0, 0},
        {"driver: time-out", facts(0, 0, 1, 0, 0, 0x06, 0), 0, ETIMEDOUT, 0, 0},
        {"driver: error, no sense", facts(0, 0, 1, 0, 0, 0x04, 0), 0, EIO, 0, 0},
        {"driver: sense with CHECK CONDITION", facts(0, 0, 1, 2, 0, 0x08, 0), 1, 0, 2, 2048},
        {"CHECK CONDITION", facts(0, 0, 1, 2, 0, 0, 0), 1, 0, 2, 2048},
        {"BUSY", facts(0, 0, 1, 0x08, 0, 0, 0), 1, 0, 0x08, 2048},
        {"GOOD, short by 512", facts(0, 0, 0, 0, 0, 0, 512), 1, 0, 0, 1536},
        {"GOOD, nothing moved", facts(0, 0, 0, 0, 0, 0, 4096), 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = platform::DecideSgIo(c.facts);
        EXPECT_EQ(r.carriedOut, c.carriedOut);
        EXPECT_EQ(r.error, c.error);
        if (c.carriedOut) {
            EXPECT_EQ(r.scsiStatus, c.status);
            EXPECT_EQ(r.transferred, c.transferred);
        }
    }
    EXPECT_EQ(platform::SgTimeoutMs(0), 1000u);
    EXPECT_EQ(platform::SgTimeoutMs(60), 60000u);
    EXPECT_EQ(platform::SgTimeoutMs(0xFFFFFFFF), 0xFFFFFFFFu);
}

TEST_F(FakeTree, OpenAndCommandFailuresCarryTheirReason) {
    Block("sr0");
    auto host = Host();
    int error = 0;
    EXPECT_EQ(host.Open(0, &error), platform::kInvalidHandle);
    EXPECT_EQ(error, ENOENT);

    // A node that is not a SCSI device opens, but the pass-through is refused.
    std::ofstream(root / "dev/sr0") << "not a drive";
    const auto handle = host.Open(0, &error);
    ASSERT_GT(handle, 0);
    platform::PassThroughBlock block{};
    block.Spt.CdbLength = 12;
    error = 0;
    EXPECT_EQ(host.SendPassThrough(handle, block, &error), 0);
    EXPECT_NE(error, 0);
    host.Close(handle);
    EXPECT_EQ(host.SendPassThrough(0, block, &error), 0);
    EXPECT_EQ(error, EBADF);
}

}  // namespace
