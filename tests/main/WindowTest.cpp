#include <zlib.h>

#include "WindowFixture.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FlashRomChecksum.h"

using platform::fakes::ExitCalled;

namespace {

const char* kOkText = "Update OK. Please close all programs. This computer will be rebooted.";
const std::string kCaption = "ORVEX   DVD RW LMX2097  1.00";
const std::string kName = "ORVEX   DVD RW LMX2097";

// The read-back sum of a drive that took the built-in image.
uint16_t UpdatedSum() {
    const auto& image = firmware::BuiltInFirmware;
    const uint32_t length = image.Blocks[0] | (image.Blocks[1] << 8) | (image.Blocks[2] << 16) | (image.Blocks[3] << 24);
    std::vector<uint8_t> flash(firmware::kFlashSize);
    uLongf size = flash.size();
    EXPECT_EQ(uncompress(flash.data(), &size, image.Blocks + 4, length), Z_OK);
    return firmware::AddPiece(0, flash.data(), 0, firmware::kFlashSize);
}

using WindowTest = WindowFixture;

TEST_F(WindowTest, NoDrivesShowsOnlyTheButtonsAndTheProgress) {
    Start(0);
    EXPECT_EQ(C().ListedCount, 0);
    for (auto* slot : form->Slots) EXPECT_FALSE(Visible(slot));
    EXPECT_TRUE(Visible(form->ButtonFlash));
    EXPECT_TRUE(Visible(form->ButExit));
    EXPECT_TRUE(Visible(form->ProgressBar));
    EXPECT_TRUE(Visible(form->StatusBar));
    for (QWidget* hidden : std::initializer_list<QWidget*>{form->ButtonLoad, form->ButCS, form->ButAD, form->Button1,
                                                           form->Edit1, form->EditCS, form->Label1, form->LabelCS,
                                                           form->CheckBoxEject, form->CheckBoxReset,
                                                           form->CheckBoxForcedFlash})
        EXPECT_FALSE(Visible(hidden)) << hidden->objectName().toStdString();
    EXPECT_TRUE(dialogs.Messages().empty());
    // The empty slot area says so, and what to check.
    EXPECT_TRUE(Visible(form->NoDrives));
    EXPECT_EQ(form->NoDrives->text().toStdString().rfind("No optical drive was found.", 0), 0u);
}

TEST_F(WindowTest, ComponentsCarryTheirNamesTextsAndGeometry) {
    Start(1);
    EXPECT_EQ(form->windowTitle().toStdString(), "Romwright V0.59 by Orvex QTRX-IV");
    EXPECT_EQ(form->width(), 760);
    struct Named {
        const char* name;
        const char* text;
    };
    for (const Named& n : {Named{"ButtonFlash", "&Flash"}, Named{"ButExit", "E&XIT"}, Named{"ButtonLoad", "&Load CVT"},
                           Named{"ButCS", "Get CS"}, Named{"ButAD", "ArgDrv"}, Named{"Button1", "Button1"}}) {
        auto* b = form->findChild<QPushButton*>(n.name);
        ASSERT_NE(b, nullptr) << n.name;
        EXPECT_EQ(b->text().toStdString(), n.text);
    }
    EXPECT_EQ(form->ButtonFlash->geometry(), QRect(78, 10, 92, 31));
    EXPECT_EQ(form->ButExit->geometry(), QRect(214, 10, 92, 31));
    EXPECT_EQ(form->ButAD->y(), form->ButCS->y());
    EXPECT_EQ(form->ProgressBar->width(), 251);
    EXPECT_EQ(form->ProgressBar->y(), form->Panel1->height() - form->ProgressBar->height());
    EXPECT_EQ(form->StatusPanels[0]->text().toStdString(), "Progress");
    EXPECT_EQ(form->StatusPanels[1]->text().toStdString(), "Percent");
    EXPECT_EQ(form->TimerPB->interval(), 900);
    EXPECT_FALSE(form->TimerPB->isActive());
    EXPECT_TRUE(form->CheckBoxEject->isChecked());
    EXPECT_FALSE(form->CheckBoxForcedFlash->isChecked());
    EXPECT_TRUE(form->CheckBoxReset->isChecked());
    EXPECT_EQ(form->CheckBoxEject->text().toStdString(), "&Eject before update");
    EXPECT_EQ(form->Slots[0]->geometry().topLeft(), QPoint(10, 20));
    EXPECT_EQ(form->Slots[3]->geometry().topLeft(), QPoint(10, 80));
    EXPECT_EQ(form->Slots[9]->text().toStdString(), "9");
    EXPECT_TRUE(form->Slots[0]->font().bold());
}

TEST_F(WindowTest, ThreeDrivesAndNoSettingsAreListedCheckedInOrder) {
    auto bayDescription = virtual_drives::GoodDrives(3);
    bayDescription.drives[1].revision = "1.01";
    Start(bayDescription);
    EXPECT_EQ(C().ListedCount, 3);
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Visible(form->Slots[i]), i < 3);
        EXPECT_EQ(form->Slots[i]->isChecked(), i < 3);
        EXPECT_EQ(C().SlotDevice[i], i);
    }
    EXPECT_EQ(form->Slots[0]->text().toStdString(), kCaption);
    EXPECT_EQ(form->Slots[1]->text().toStdString(), "ORVEX   DVD RW LMX2097  1.01");
    EXPECT_EQ(C().StoredChecksum, 0);
    EXPECT_EQ(C().StartDirectory, dir.string());
    EXPECT_FALSE(std::filesystem::exists(dir / "FLASH.INI"));
    EXPECT_EQ(form->height(), 175);  // four slots or fewer keep the design height
}

TEST_F(WindowTest, StoredArrangementIsAppliedOnlyWhenItFitsTheListing) {
    struct Case {
        const char* name;
        int drives;
        std::string ini;
        std::vector<int32_t> slotDevice;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {"applied", 2, "[DRIVE_PRIORITY]\r\nTOTAL_DRIVE=2\r\n0=1\r\n1=0\r\n", {1, 0}, {}},
        {"other count", 3, "[DRIVE_PRIORITY]\r\nTOTAL_DRIVE=2\r\n0=1\r\n1=0\r\n", {0, 1, 2}, {}},
        {"minus one and missing keys", 3, "[DRIVE_PRIORITY]\r\nTOTAL_DRIVE=3\r\n0=-1\r\n", {0, 1, 2}, {}},
        {"a device twice", 2, "[DRIVE_PRIORITY]\r\nTOTAL_DRIVE=2\r\n0=1\r\n", {0, 1}, {}},
        {"no such device", 2, "[DRIVE_PRIORITY]\r\nTOTAL_DRIVE=2\r\n0=1\r\n1=0\r\n5=0\r\n", {0, 1}, {}},
        {"the tired index", 2, "[DRIVE_PRIORITY]\r\nTOTAL_DRIVE=2\r\n0=1365\r\n",
         {0, 1}, {"Are you working too hard, Orvex man?"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Settings(c.ini);
        auto description = virtual_drives::GoodDrives(c.drives);
        for (int i = 0; i < c.drives; ++i) description.drives[i].revision = "R" + std::to_string(i) + "  ";
        Start(description);
        for (size_t s = 0; s < c.slotDevice.size(); ++s) {
            EXPECT_EQ(C().SlotDevice[s], c.slotDevice[s]) << "slot " << s;
            EXPECT_EQ(form->Slots[s]->text().toStdString(),
                      "ORVEX   DVD RW LMX2097  R" + std::to_string(c.slotDevice[s]) + "  ");
            EXPECT_TRUE(form->Slots[s]->isChecked());
        }
        for (int s = static_cast<int>(c.slotDevice.size()); s < 10; ++s) EXPECT_EQ(C().SlotDevice[s], s);
        EXPECT_EQ(dialogs.Messages(), c.messages);
    }
}

TEST_F(WindowTest, SettingsValuesAreReadAsStored) {
    Settings("[FLASHROM]\r\nCHECKSUM=70000\r\n[FIRMWARE]\r\nPATH=" + std::string(140, 'p') + "\r\n");
    Start(1);
    EXPECT_EQ(C().StoredChecksum, 70000 & 0xFFFF);
    EXPECT_EQ(C().FirmwarePath, std::string(127, 'p'));
    EXPECT_EQ(form->Edit1->text().toStdString(), std::string(127, 'p'));
}

TEST_F(WindowTest, CleanRunEndsInTheRestartQuestion) {
    for (bool ok : {true, false}) {
        SCOPED_TRACE(ok);
        Reset();
        Start(2);
        dialogs.QueueAnswer(ok);
        form->ButtonFlashClick();
        EXPECT_TRUE(form->TimerPB->isActive());
        EXPECT_FALSE(form->ButtonFlash->isEnabled());
        EXPECT_FALSE(form->ButExit->isEnabled());
        EXPECT_FALSE(form->Slots[0]->isEnabled());
        EXPECT_EQ(TickToEnd(), 101);
        EXPECT_FALSE(form->TimerPB->isActive());
        EXPECT_EQ(form->ProgressBar->value(), 100);
        EXPECT_EQ(form->StatusPanels[1]->text().toStdString(), "Complete: 100%");
        EXPECT_EQ(Colour(0), console::clGreen);
        EXPECT_EQ(Colour(1), console::clGreen);
        EXPECT_EQ(Colour(2), console::clBlack);
        const auto questions = dialogs.Questions();
        ASSERT_EQ(questions.size(), 1u);
        EXPECT_EQ(questions[0].first, kOkText);
        EXPECT_EQ(questions[0].second, "Romwright V0.59 by Orvex QTRX-IV");
        EXPECT_EQ(process.restarts, ok ? 1 : 0);
        EXPECT_TRUE(form->ButtonFlash->isEnabled());
        EXPECT_TRUE(form->ButExit->isEnabled());
        EXPECT_TRUE(form->Slots[0]->isEnabled());
        for (int d = 0; d < 2; ++d) EXPECT_EQ(bay->Drive(d).Updates(), 1);
    }
}

TEST_F(WindowTest, OnlyWrongModelsEndTheRunAtTheNextTick) {
    auto description = virtual_drives::GoodDrives(1);
    description.drives[0].product = "DVD RW LMX2000";
    Start(description);
    form->ButtonFlashClick();
    form->TimerPBTimer();  // the worker may not have looked yet
    WaitForJobs();
    const int before = C().ProgressPercent;
    form->TimerPBTimer();
    EXPECT_FALSE(C().Running());
    EXPECT_EQ(C().ProgressPercent, before);
    EXPECT_EQ(Colour(0), console::clRed);
    EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{
                                      "Update\nvirtual:sr0  ORVEX   DVD RW LMX2000  (Wrong Drive, Can't flash)\nNG."});
    EXPECT_TRUE(dialogs.Questions().empty());
    EXPECT_EQ(process.restarts, 0);
}

TEST_F(WindowTest, MixedRunNamesEveryDriveThatWasNotUpdated) {
    // Slots: good, other model, no medium (tray closed), write error, reset on the last block,
    // flash that cannot be read back.
    auto description = virtual_drives::GoodDrives(6);
    description.drives[1].product = "DVD RW LMX2000";
    description.drives[2].medium = virtual_drives::Medium::TrayClosed;
    description.drives[3].refuseBlocks = {{5, {0x03, 0x0C, 0x00}}};
    description.drives[4].refuseBlocks = {{47, {0x06, 0x29, 0x00}}};
    description.drives[5].readFailures = {{0x100000, false, {0x03, 0x11, 0x00}}};
    Settings("[FLASHROM]\r\nCHECKSUM=" + std::to_string(UpdatedSum()) + "\r\n");
    Start(description);
    form->ButtonFlashClick();
    TickToEnd();
    const std::vector<int32_t> colours = {console::clGreen, console::clRed,   console::clRed,
                                          console::clRed,   console::clGreen, console::clRed};
    for (int s = 0; s < 6; ++s) EXPECT_EQ(Colour(s), colours[s]) << s;
    EXPECT_EQ(dialogs.Messages(),
              std::vector<std::string>{"Update\n"
                                       "virtual:sr1  ORVEX   DVD RW LMX2000  (Wrong Drive, Can't flash)\n"
                                       "virtual:sr2  " + kName + "  (Update failed: no disc, tray closed)\n"
                                       "virtual:sr3  " + kName + "  (Update failed: block 5 refused: write error (03/0C/00))\n"
                                       "virtual:sr5  " + kName + "  (Verify NG: the flash could not be read)\n"
                                       "NG."});
    // Each slot shows where its drive is, its serial and how its job ended.
    const std::vector<std::string> states = {"updated and verified", "wrong model", "failed",
                                             "failed", "updated and verified", "verify NG"};
    for (int s = 0; s < 6; ++s) {
        EXPECT_EQ(form->SlotNodes[s]->text().toStdString(), "virtual:sr" + std::to_string(s));
        EXPECT_EQ(form->SlotSerials[s]->text().toStdString(), "VD00000" + std::to_string(s + 1));
        EXPECT_EQ(form->SlotStates[s]->text().toStdString(), states[s]) << s;
    }
    EXPECT_TRUE(dialogs.Questions().empty());
    EXPECT_EQ(C().Workers[4]->ReadBackSum, UpdatedSum());
    EXPECT_EQ(C().StoredChecksum, UpdatedSum());  // the reference outlives the run
}

TEST_F(WindowTest, TheRunWaitsForASlowDriveBeforeItReports) {
    auto description = virtual_drives::GoodDrives(2);
    description.drives[1].refuseBlocks = {{0, {0x03, 0x0C, 0x00}}};
    Start(description);
    host->heldDrive = 1;
    form->ButtonFlashClick();
    host->WaitUntilHeld();
    for (int i = 0; i < 110; ++i) form->TimerPBTimer();
    EXPECT_TRUE(C().Running());
    EXPECT_EQ(form->ProgressBar->value(), 100);
    EXPECT_EQ(form->StatusPanels[1]->text().toStdString(), "Waiting for drives");
    // The state column tells which drive the run waits for, and where it is.
    EXPECT_EQ(form->SlotStates[1]->text().toStdString(), "writing block 1 of 48");
    EXPECT_TRUE(dialogs.Questions().empty());
    EXPECT_FALSE(form->ButtonFlash->isEnabled());
    host->Release();
    WaitForJobs();
    form->TimerPBTimer();
    EXPECT_FALSE(C().Running());
    EXPECT_TRUE(dialogs.Questions().empty());
    EXPECT_EQ(dialogs.Messages(),
              std::vector<std::string>{"Update\nvirtual:sr1  " + kName +
                                       "  (Update failed: block 0 refused: write error (03/0C/00))\nNG."});
    // The wait is over: the panel says how the run ended.
    EXPECT_EQ(form->StatusPanels[1]->text().toStdString(), "Complete: 100%");
}

TEST_F(WindowTest, ASecondRunReportsOnlyWhatItFinds) {
    auto description = virtual_drives::GoodDrives(2);
    description.drives[1].product = "DVD RW LMX2000";
    Start(description);
    form->ButtonFlashClick();
    TickToEnd();
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    form->Slots[1]->setChecked(false);
    form->ButtonFlashClick();
    EXPECT_EQ(WrongDrive[1], 0);
    EXPECT_EQ(Colour(1), console::clRed);  // until the second run ends
    form->TimerPBTimer();
    EXPECT_EQ(form->ProgressBar->value(), 1);
    TickToEnd();
    EXPECT_EQ(Colour(1), console::clBlack);
    EXPECT_EQ(dialogs.Questions().size(), 1u);
}

TEST_F(WindowTest, FlashWithNothingCheckedOnlySaysSo) {
    Start(2);
    form->Slots[0]->setChecked(false);
    form->Slots[1]->setChecked(false);
    form->ButtonFlashClick();
    EXPECT_EQ(dialogs.Messages(), std::vector<std::string>{"No drive is selected"});
    EXPECT_FALSE(C().Running());
    EXPECT_FALSE(form->TimerPB->isActive());
    EXPECT_TRUE(form->ButtonFlash->isEnabled());
    EXPECT_TRUE(form->Slots[0]->isEnabled());
}

TEST_F(WindowTest, ExitEndsWithOneAndTheCloseBoxAsksDuringARun) {
    Start(1);
    try {
        form->ButExitClick();
        FAIL() << "no exit";
    } catch (const ExitCalled& e) {
        EXPECT_EQ(e.code, 1);
    }
    EXPECT_TRUE(C().CloseRequested());  // idle: no question
    EXPECT_TRUE(dialogs.Questions().empty());

    host->heldDrive = 0;
    form->ButtonFlashClick();
    dialogs.QueueAnswer(false);
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(C().Running());
    ASSERT_EQ(dialogs.Questions().size(), 1u);
    EXPECT_EQ(dialogs.Questions()[0].first,
              "Drives are being updated. Closing now may leave them unusable. Close anyway?");
    dialogs.QueueAnswer(true);
    EXPECT_TRUE(form->close());
    host->Release();
}

TEST_F(WindowTest, ADriveThatMayNotBeUsedIsExplained) {
    bay = nullptr;
    auto description = virtual_drives::GoodDrives(3);
    bay = std::make_unique<virtual_drives::VirtualBay>(description, clock);
    host = std::make_unique<GatedHost>(bay->Devices());
    host->refuseOpen = {0, 2};
    platform = platform::Platform{&clock, host.get(), &bay->Aspi(), &process, &dialogs};
    table = std::make_unique<drive_access::DeviceTable>(platform);
    scope = std::make_unique<drive_access::ScopedDeviceTable>(*table);
    form = std::make_unique<TForm1>(platform);
    form->FormCreate();
    EXPECT_EQ(dialogs.Messages(),
              std::vector<std::string>{"No permission to use virtual:sr0, virtual:sr2. Run as root or add the user "
                                       "to the cdrom group."});
    EXPECT_EQ(form->Slots[0]->text().toStdString(), "NG");
    EXPECT_EQ(form->Slots[1]->text().toStdString(), kCaption);
}

TEST_F(WindowTest, EverySlotSitsAboveTheButtonsAndOnlyTenAreListed) {
    Start(12);
    EXPECT_EQ(C().ListedCount, 10);
    EXPECT_GE(form->Panel1->y(), form->Slots[9]->geometry().bottom());
    EXPECT_EQ(form->height(), form->Panel1->y() + form->Panel1->height());
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(form->Slots[i]->isChecked());
}

}  // namespace
