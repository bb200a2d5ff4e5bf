// The main window. Its components carry the names the operators' documentation uses; what the
// handlers decide lives in console::Console.
#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>

#include "main/Console.h"
#include "main/ConsoleView.h"
#include "platform/Platform.h"

class TForm1 : public QWidget, public console::ConsoleView {
    Q_OBJECT
public:
    // `tickMs` is the timer's interval: 900 on real drives, shorter on a sped-up virtual bay.
    TForm1(platform::Platform& platform, int tickMs = 900);
    ~TForm1() override;

    // Start-up; may end the process (a device that cannot be attached).
    void FormCreate();

    // Handlers.
    void ButtonLoadClick();
    void ButtonFlashClick();
    void TimerPBTimer();
    void Button1Click();
    void ButExitClick();
    void ButCSClick();
    void ButADClick();
    uint16_t ReadBackChecksum(drive_access::DriveLink link) { return console_.ReadBackChecksum(link); }

    console::Console& Logic() { return console_; }

    // ConsoleView.
    void SetSlotCaption(int slot, const std::string& caption) override;
    std::string SlotCaption(int slot) const override;
    void SetSlotVisible(int slot, bool visible) override;
    void SetSlotChecked(int slot, bool checked) override;
    bool SlotChecked(int slot) const override;
    void SetSlotEnabled(int slot, bool enabled) override;
    void SetSlotColour(int slot, int32_t colour) override;
    void SetSlotDetails(int slot, const std::string& node, const std::string& serial) override;
    void SetSlotState(int slot, const std::string& state) override;
    void SetNoDrivesText(const std::string& text) override;
    void SetButtonEnabled(console::Button button, bool enabled) override;
    bool ButtonEnabled(console::Button button) const override;
    void SetProgress(int position) override;
    void SetPanelText(int panel, const std::string& text) override;
    void SetTimerEnabled(bool enabled) override;
    void SetEdit1Text(const std::string& text) override;
    void SetEditCSText(const std::string& text) override;
    std::string Caption() const override;
    void ProcessPendingEvents() override;
    bool ChooseFirmwareFile(std::string* fileName) override;

    // Components.
    QFrame* Panel1;
    QPushButton* ButtonLoad;
    QLabel* Label1;
    QLineEdit* Edit1;
    QLineEdit* EditCS;
    QPushButton* ButtonFlash;
    QTimer* TimerPB;
    QPushButton* Button1;
    QCheckBox* CheckBoxEject;
    QCheckBox* CheckBoxForcedFlash;
    QCheckBox* CheckBoxReset;
    QPushButton* ButExit;
    QStatusBar* StatusBar;
    std::array<QLabel*, 3> StatusPanels;
    QPushButton* ButCS;
    QLabel* LabelCS;
    QPushButton* ButAD;
    QProgressBar* ProgressBar;
    std::array<QCheckBox*, console::kSlotCount> Slots{};
    // Beside each slot: the drive's node, its serial number and what its job is doing.
    std::array<QLabel*, console::kSlotCount> SlotNodes{};
    std::array<QLabel*, console::kSlotCount> SlotSerials{};
    std::array<QLabel*, console::kSlotCount> SlotStates{};
    QLabel* NoDrives = nullptr;

signals:
    // Emitted when a run has ended and its report has been closed (tests and scripted stations).
    void RunEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QPushButton* ButtonOf(console::Button button) const;
    void LayOutForSlots();

    platform::Platform& platform_;
    console::Console console_;
};

// The window's one instance.
extern TForm1* Form1;
