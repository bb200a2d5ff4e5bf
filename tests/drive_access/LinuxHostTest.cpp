#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/LinuxHost.h"

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
    auto host = Host();
    EXPECT_EQ(host.CommandNode(0), (root / "dev/sg3").string());
    EXPECT_EQ(host.CommandNode(1), (root / "dev/sr1").string());
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
