#include <QApplication>
#include <QFileDialog>
#include <QTimer>

#include "WindowFixture.h"
#include "main/QtDialogs.h"
#include "firmware/FlashRomChecksum.h"
#include "settings/Profile.h"

using virtual_drives::Medium;
using virtual_drives::Sense;

namespace {

using ServiceTest = WindowFixture;

int32_t Key(const std::string& key) { return settings::GetProfileInt("DRIVE_PRIORITY", key, -99, "FLASH.INI"); }

int Pauses(const platform::fakes::VirtualClock& clock) {
    int n = 0;
    for (const auto& s : clock.Sleeps()) n += s.ms == 1000;
    return n;
}

TEST_F(ServiceTest, CaptureWithNoDriveStoresNothing) {
    Start(0);
    form->ButCSClick();
    EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{"No Valid Drive"});
    EXPECT_FALSE(std::filesystem::exists(dir / "FLASH.INI"));
    EXPECT_TRUE(form->ButCS->isEnabled());
}

TEST_F(ServiceTest, CaptureReadsTheFirstAcceptableDrive) {
    auto description = virtual_drives::GoodDrives(3);
    description.drives[0].medium = Medium::TrayClosed;
    description.drives[1].testUnitReadyScript = {Sense{0x06, 0x29, 0x00}};
    Start(description);
    host->events.clear();
    const int commandsOfDrive2 = bay->Drive(2).CommandCount();
    form->ButCSClick();
    const auto flash = bay->Drive(1).Flash();
    const uint16_t sum = firmware::AddPiece(0, flash.data(), 0, firmware::kFlashSize);
    EXPECT_EQ(host->events, (std::vector<std::string>{"open 0", "close 0", "open 1", "close 1"}));
    EXPECT_EQ(bay->Drive(2).CommandCount(), commandsOfDrive2);  // never tested
    EXPECT_EQ(settings::GetProfileInt("FLASHROM", "CHECKSUM", -1, "FLASH.INI"), sum);
    EXPECT_EQ(C().StoredChecksum, sum);
    char shown[16];
    std::snprintf(shown, sizeof shown, "%04Xh", sum);
    EXPECT_EQ(form->EditCS->text().toStdString(), shown);
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_TRUE(form->ButCS->isEnabled());
}

TEST_F(ServiceTest, CaptureFormatsSmallSumsWithLeadingZeros) {
    // A flash of zeros but one FF byte sums to 0x00FF.
    platform::fakes::FakeDeviceHost fake;
    fake.SetDrives({{0, "/dev/sr0"}});
    fake.SetResponder([](const platform::fakes::PassThroughRecord& r) {
        std::vector<uint8_t> data(r.length, 0);
        if (r.cdb[0] == 0xA0 && r.cdb[8] == 0 && r.cdb[9] == 0 && r.cdb[7] == 0) data[0] = 0xFF;
        return platform::fakes::PassThroughReply::Good(data);
    });
    platform = platform::Platform{&clock, &fake, nullptr, &process, &dialogs};
    table = std::make_unique<drive_access::DeviceTable>(platform);
    scope = std::make_unique<drive_access::ScopedDeviceTable>(*table);
    form = std::make_unique<TForm1>(platform);
    form->FormCreate();
    form->ButCSClick();
    EXPECT_EQ(settings::GetProfileString("FLASHROM", "CHECKSUM", "", 128, "FLASH.INI"), "255");
    EXPECT_EQ(form->EditCS->text().toStdString(), "00FFh");
    form.reset();
}

TEST_F(ServiceTest, ACaptureTakesEffectEvenWhenTheSettingsCannotBeWritten) {
    std::filesystem::create_directory(dir / "FLASH.INI");  // not a file: every write fails
    Start(1);
    form->ButCSClick();
    const auto flash = bay->Drive(0).Flash();
    const uint16_t sum = firmware::AddPiece(0, flash.data(), 0, firmware::kFlashSize);
    EXPECT_EQ(C().StoredChecksum, sum);
    EXPECT_FALSE(form->EditCS->text().isEmpty());
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "FLASH.INI"));
}

TEST_F(ServiceTest, AFailedCaptureTellsTheOperatorAndKeepsTheOldReference) {
    auto description = virtual_drives::GoodDrives(1);
    description.drives[0].readFailures = {{0x100000, false, Sense{0x03, 0x11, 0x00}}};
    Settings("[FLASHROM]\r\nCHECKSUM=4660\r\n");
    Start(description);
    form->ButCSClick();
    EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{"Read Flash NG"});
    EXPECT_EQ(settings::GetProfileInt("FLASHROM", "CHECKSUM", -1, "FLASH.INI"), 4660);
    EXPECT_EQ(C().StoredChecksum, 4660);
    EXPECT_EQ(form->EditCS->text().toStdString(), "");
}

TEST_F(ServiceTest, ArrangementWithNoDrivesMakesOnePass) {
    Start(0);
    form->ButADClick();
    EXPECT_EQ(Pauses(clock), 0);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(Key(std::to_string(k)), -1);
    EXPECT_EQ(Key("TOTAL_DRIVE"), 0);
    EXPECT_TRUE(form->ButAD->isEnabled());
}

TEST_F(ServiceTest, ArrangementPlacesDrivesAsTheyReportNoMediumAndStartUpFollowsIt) {
    auto description = virtual_drives::GoodDrives(3);
    for (int d = 0; d < 3; ++d) description.drives[d].revision = "R" + std::to_string(d) + "  ";
    description.drives[2].medium = Medium::NoMedium;
    for (int d : {0, 1}) {
        description.drives[d].medium = Medium::NoMedium;
        // Two passes of "tray closed" first; the listing's INQUIRY does not count.
        description.drives[d].testUnitReadyScript = {Sense{0x02, 0x3A, 0x01}, Sense{0x02, 0x3A, 0x01}};
    }
    Start(description);
    bool flashDuringPause = true;
    QTimer::singleShot(0, [&] { flashDuringPause = form->ButtonFlash->isEnabled() || form->ButCS->isEnabled(); });
    form->ButADClick();
    EXPECT_FALSE(flashDuringPause);
    EXPECT_TRUE(form->ButtonFlash->isEnabled());
    EXPECT_EQ(Pauses(clock), 2);
    EXPECT_EQ((std::vector<int32_t>(C().SlotDevice.begin(), C().SlotDevice.begin() + 3)),
              (std::vector<int32_t>{2, 0, 1}));
    EXPECT_EQ(form->Slots[0]->text().toStdString(), "ORVEX   DVD RW LMX2097  R2  ");
    EXPECT_EQ(Key("0"), 2);
    EXPECT_EQ(Key("1"), 0);
    EXPECT_EQ(Key("2"), 1);
    for (int k = 3; k < 10; ++k) EXPECT_EQ(Key(std::to_string(k)), -1);
    EXPECT_EQ(Key("TOTAL_DRIVE"), 3);
    for (int s = 0; s < 3; ++s) EXPECT_TRUE(form->Slots[s]->isEnabled());

    // The next start shows the drives in that order.
    const std::string ini = SettingsFile();
    Reset();
    Settings(ini);
    Start(description);
    EXPECT_EQ((std::vector<int32_t>(C().SlotDevice.begin(), C().SlotDevice.begin() + 3)),
              (std::vector<int32_t>{2, 0, 1}));
    EXPECT_EQ(form->Slots[2]->text().toStdString(), "ORVEX   DVD RW LMX2097  R1  ");
}

TEST_F(ServiceTest, ArrangementGivesUpAfterSixtyOnePasses) {
    Settings("[DRIVE_PRIORITY]\r\n0=7\r\n1=8\r\n");
    Start(2);  // ready drives never report "no medium"
    form->ButADClick();
    EXPECT_EQ(Pauses(clock), 60);
    EXPECT_EQ(Key("TOTAL_DRIVE"), 0);
    EXPECT_EQ(Key("0"), 7);
    EXPECT_EQ(Key("1"), 8);
    for (int k = 2; k < 10; ++k) EXPECT_EQ(Key(std::to_string(k)), -1);
    // Unplaced drives keep one slot each, in device order, and stay usable.
    EXPECT_EQ(C().SlotDevice[0], 0);
    EXPECT_EQ(C().SlotDevice[1], 1);
    EXPECT_TRUE(form->Slots[0]->isEnabled());
    EXPECT_TRUE(form->Slots[1]->isEnabled());
    EXPECT_TRUE(form->ButAD->isEnabled());
}

TEST_F(ServiceTest, ClosingTheWindowStopsAnArrangementWithoutWritingIt) {
    Settings("[DRIVE_PRIORITY]\r\nTOTAL_DRIVE=2\r\n0=1\r\n1=0\r\n");
    Start(2);  // ready drives never report "no medium": the arrangement would take a minute
    const std::string before = SettingsFile();
    form->show();
    QTimer::singleShot(0, form.get(), [this] { form->close(); });
    form->ButADClick();
    EXPECT_EQ(Pauses(clock), 1);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(SettingsFile(), before);
    EXPECT_TRUE(dialogs.Questions().empty());
}

TEST(QtDialogsTest, AQuestionWhoseMatterHasPassedGoesAway) {
    QtDialogs dialogs;
    dialogs.DismissOpenQuestion();  // none open: nothing happens
    QTimer::singleShot(0, [&] { dialogs.DismissOpenQuestion(); });
    EXPECT_FALSE(dialogs.OkCancel("Drives are being updated. Close anyway?", "Romwright"));
}

TEST_F(ServiceTest, TheFirmwareFileNamedInTheSettingsIsCheckedAtStartUp) {
    Start(1);
    EXPECT_FALSE(std::filesystem::exists(dir / "FLASH.INI"));  // empty PATH: no check, no write
    EXPECT_TRUE(dialogs.Messages().empty());

    Reset();
    Settings("[FIRMWARE]\r\nPATH=missing.cvt\r\n");
    Start(1);
    EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{"Read NG"});
    EXPECT_EQ(form->Edit1->text().toStdString(), "missing.cvt");
    EXPECT_EQ(settings::GetProfileString("FIRMWARE", "PATH", "", 128, (dir / "FLASH.INI").string()), "missing.cvt");
}

TEST_F(ServiceTest, LoadButtonOnlyPicksAFile) {
    Start(1);
    form->ButtonFlash->setEnabled(false);
    const std::string chosen = (dir / "new.CVT").string();
    std::ofstream(chosen) << "x";
    for (bool accept : {false, true}) {
        QTimer::singleShot(0, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<QFileDialog*>(w);
                if (!dialog || !dialog->isVisible()) continue;
                if (accept) {
                    dialog->selectFile(QString::fromStdString(chosen));
                    QMetaObject::invokeMethod(dialog, "accept");
                } else {
                    dialog->reject();
                }
            }
        });
        form->ButtonLoadClick();
        EXPECT_EQ(form->ButtonFlash->isEnabled(), accept);
        EXPECT_EQ(form->Edit1->text().toStdString(), accept ? chosen : "");
    }
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "FLASH.INI"));
}

}  // namespace
