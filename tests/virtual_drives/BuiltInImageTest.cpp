// The image the program carries is one a virtual drive takes.
#include <gtest/gtest.h>

#include "BayFixture.h"
#include "firmware/FirmwareImage.h"

using namespace drive_access;
using namespace vd_test;

namespace {

TEST(BuiltInImage, LandsInAVirtualDrive) {
    const firmware::FirmwareImage& image = firmware::BuiltInFirmware;
    BayPlatform p(GoodDrives(1));
    DriveLink link = Attached(0);
    for (int i = 0; i < image.BlockCount; ++i)
        ASSERT_EQ(WriteFlashBlock(link, image.Block(i), image.AdditiveSum, image.RotatingSum, static_cast<uint8_t>(i),
                                  static_cast<uint8_t>(image.BlockCount), 1),
                  1)
            << "block " << i << std::hex << " sense " << SenseCode(link);
    EXPECT_EQ(p.bay.Drive(0).Updates(), 1);
    EXPECT_EQ(TestUnitReady(link), 0);
    EXPECT_EQ(SenseCode(link), kSenseReset);
    Detach(link);
}

}  // namespace
