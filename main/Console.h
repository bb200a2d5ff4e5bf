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
#include "platform/Session.h"
#include "run/Engine.h"
#include "run/Report.h"

namespace console {

extern const char* const kWindowCaption;

using run::Outcome;

// How the job of one slot ended, as the report tells it.
struct SlotOutcome {
    int slot;
    int device;
    Outcome outcome;
    std::string reason;
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
    // Where every job is recorded; empty: nowhere (tests that do not look).
    std::string HistoryPath;
    bool VirtualDrives = false;  // for the record

    // The node and serial of a device as listed ("sr2", "OVX2401001").
    std::string NodeOf(int device) const;
    std::string SerialOf(int device) const;

private:
    struct Identity {
        std::string caption;
        std::string serial;
    };
    // The identity and serial of the device ConsoleLink is attached to.
    Identity ReadIdentity();
    void ShowSlot(int slot, const Identity& identity);
    void RefreshStates();
    // Judges and records the jobs that ended; true while any is still under way.
    bool JobsStillRunning();
    void EndRun();
    void SetServiceButtons(bool enabled);

    ConsoleView& view_;
    platform::Platform& platform_;
    bool running_ = false;
    std::vector<int> runDevices_;  // the devices handed a job by the current run
    std::vector<int> runSlots_;    // ...and the slot each was handed for
    std::vector<SlotOutcome> lastOutcomes_;
    std::array<std::string, kSlotCount> listedCaptions_;
    std::array<std::string, kSlotCount> serials_;  // by device
    class RunObserver;
    std::unique_ptr<RunObserver> observer_;
    std::unique_ptr<run::Engine> engine_;  // the current or last run
    std::array<std::string, kSlotCount> identities_;  // by device, as the run found them
    bool arranging_ = false;
    bool stopArrangement_ = false;
};

}  // namespace console
