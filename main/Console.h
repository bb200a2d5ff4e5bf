// What the window decides: start-up, the update run, its report, and the service functions.
// Plain C++ over the drive links, the workers and the settings file; the window only shows it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AspiThread/AspiExec.h"
#include "drive_access/DriveLink.h"
#include "main/ConsoleView.h"
#include "platform/Platform.h"

namespace console {

extern const char* const kWindowCaption;

// How the job of one slot ended, as the report tells it.
enum class Outcome { Updated, WrongDrive, Failed, Busy, VerifyNg };

struct SlotOutcome {
    int slot;
    int device;
    Outcome outcome;
};

class Console {
public:
    Console(ConsoleView& view, platform::Platform& platform);
    ~Console();

    // Start-up, in this order; ListDrives ends the process when a listed device cannot be attached.
    void CreateWorkers();
    void ListDrives();
    void ExplainUnusableDrives();
    void ReadSettings();
    void CheckFirmwareFileAtStartup();

    void RefreshSlotCaption(int slot);

    // The update run.
    void ButtonFlashClick();
    void TimerPBTimer();
    void ShowProgress(int percent);
    bool AllCheckedWrong() const;
    int RebootComputer();
    void Button1Click();
    bool Running() const { return running_; }
    // One entry per job of the last run that ended, in slot order.
    const std::vector<SlotOutcome>& LastOutcomes() const { return lastOutcomes_; }

    // Leaving.
    void ButExitClick();
    // The close box: false keeps the window (the operator cancelled during a run).
    bool CloseRequested();
    void Close();

    // Service functions.
    uint16_t ReadBackChecksum(drive_access::DriveLink link, bool* readFailed = nullptr);
    void ButCSClick();
    void ButADClick();
    void ButtonLoadClick();
    void LoadCvtFile(const std::string& fileName);

    // Shared with the window and the tests.
    drive_access::DriveLink ConsoleLink = drive_access::kDetached;
    std::array<int32_t, kSlotCount> SlotDevice{};
    std::array<std::unique_ptr<AspiExec>, kWorkerCount> Workers;
    int32_t ListedCount = 0;
    uint16_t StoredChecksum = 0;
    uint8_t TimerStarted = 0;
    int32_t ProgressPercent = 0;
    std::string StartDirectory;
    std::string FirmwarePath;

private:
    bool JobsStillRunning() const;
    void EndRun();
    std::vector<SlotOutcome> RunOutcomes() const;
    void SetServiceButtons(bool enabled);
    std::string ReportName(int slot, int device) const;

    ConsoleView& view_;
    platform::Platform& platform_;
    bool running_ = false;
    std::vector<int> runDevices_;  // the devices handed a job by the current run
    std::vector<int> runSlots_;    // ...and the slot each was handed for
    bool verifying_ = false;
    std::vector<SlotOutcome> lastOutcomes_;
    std::array<std::string, kSlotCount> listedCaptions_;
};

}  // namespace console
