#include "main/Console.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "drive_access/DeviceTable.h"
#include "firmware/FirmwareImage.h"
#include "run/Engine.h"
#include "firmware/CvtFile.h"
#include "firmware/FlashRomChecksum.h"
#include "settings/Profile.h"

using namespace drive_access;

namespace console {

const char* const kWindowCaption = "Romwright V0.59 by Orvex QTRX-IV";

namespace {

constexpr const char* kIni = settings::kIniRelativePath;

std::string Format(const char* format, int value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The text from byte 8 of an identity answer up to its first zero byte, at most 28 characters.
std::string IdentityText(const uint8_t* answer) {
    const char* text = reinterpret_cast<const char*>(answer + 8);
    return std::string(text, strnlen(text, 28));
}

}  // namespace

// What the engine tells while a run goes: the window reads the states itself on every tick, and
// shows the notices.
class Console::RunObserver : public run::EngineObserver {
public:
    explicit RunObserver(ConsoleView& view) : view_(view) {}
    void Notice(const std::string& text) override {
        std::string shown = text;
        if (!shown.empty()) shown[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(shown[0])));
        view_.SetPanelText(kNoticePanel, shown);
    }

private:
    ConsoleView& view_;
};

Console::Console(ConsoleView& view, platform::Platform& platform)
    : view_(view), platform_(platform), observer_(std::make_unique<RunObserver>(view)) {
    for (int i = 0; i < kSlotCount; ++i) SlotDevice[i] = i;
}

Console::~Console() { engine_.reset(); }

void Console::CreateWorkers() {
    for (int i = 0; i < kWorkerCount; ++i) {
        Workers[i] = std::make_unique<AspiExec>(true, *platform_.clock);
        Workers[i]->DeviceIndex = i;
        Workers[i]->SetPriorityNormal();
    }
}

Console::Identity Console::ReadIdentity() {
    Identity id;
    uint8_t answer[40] = {};
    if (Inquiry(ConsoleLink, answer, 36)) {
        answer[36] = 0;
    } else {
        std::memcpy(answer + 8, "NG", 3);
    }
    id.caption = IdentityText(answer);
    uint8_t page[68] = {};
    if (InquirySerial(ConsoleLink, page, 64) && page[1] == 0x80) {
        const size_t length = std::min<size_t>(page[3], 60);
        const char* text = reinterpret_cast<const char*>(page + 4);
        std::string serial(text, strnlen(text, length));
        // Serials come padded, and only printable ASCII is shown.
        while (!serial.empty() && static_cast<unsigned char>(serial.back()) <= 32) serial.pop_back();
        size_t first = 0;
        while (first < serial.size() && static_cast<unsigned char>(serial[first]) <= 32) ++first;
        serial.erase(0, first);
        for (char& c : serial)
            if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
        id.serial = serial;
    }
    return id;
}

void Console::ShowSlot(int slot, const Identity& identity) {
    view_.SetSlotCaption(slot, identity.caption);
    view_.SetSlotDetails(slot, NodeOf(SlotDevice[slot]), identity.serial);
}

std::string Console::NodeOf(int device) const {
    DeviceTable* table = InstalledDeviceTable();
    return table ? run::ShortNode(table->DeviceNode(device)) : std::string();
}

std::string Console::SerialOf(int device) const {
    return device >= 0 && device < kSlotCount ? serials_[device] : std::string();
}

void Console::ListDrives() {
    ListedCount = 0;
    const int found = DeviceCount();
    // Ten slots and ten workers: devices past the tenth are not touched.
    const int n = found < kSlotCount ? found : kSlotCount;
    for (int i = 0; i < n; ++i) {
        if (!Attach(ConsoleLink, i)) {
            char text[64];
            std::snprintf(text, sizeof text, "Link NG %d/%d", i, n);
            platform_.dialogs->Message(text);
            platform_.process->Exit(1);
        }
        const Identity identity = ReadIdentity();
        const int slot = ListedCount;
        listedCaptions_[slot] = identity.caption;
        serials_[i] = identity.serial;
        ShowSlot(slot, identity);
        view_.SetSlotVisible(slot, true);
        view_.SetSlotChecked(slot, true);
        ++ListedCount;
        Detach(ConsoleLink);
    }
    if (ListedCount == 0)
        view_.SetNoDrivesText(
            "No optical drive was found. Check that the drives are attached and powered, that the "
            "sr_mod and sg kernel modules are loaded (lsmod), and, in a virtual machine, that the "
            "drives are passed through to it.");
    // Ten slots and ten workers: say which drives are left out rather than drop them unseen.
    std::string unused;
    if (DeviceTable* table = InstalledDeviceTable()) {
        for (int i = n; i < found; ++i) unused += (unused.empty() ? "" : ", ") + table->DeviceNode(i);
        for (const std::string& node : table->UnlistedNodes()) unused += (unused.empty() ? "" : ", ") + node;
    }
    if (!unused.empty()) platform_.dialogs->Message("Only ten drives can be updated at once. Not used: " + unused);
}

void Console::ExplainUnusableDrives() {
    DeviceTable* table = InstalledDeviceTable();
    if (table == nullptr) return;
    std::string refused;
    std::string busy;
    for (int i = 0; i < ListedCount; ++i) {
        // The node that refused: the one commands go through, which may not be the one listed.
        const platform::AccessProblem problem = table->Access(i);
        if (problem.error == EACCES || problem.error == EPERM) {
            refused += (refused.empty() ? "" : ", ") + problem.node;
        } else if (problem.error == EBUSY) {
            busy += (busy.empty() ? "" : ", ") + problem.node;
            if (problem.holder > 0) busy += " (process " + std::to_string(problem.holder) + ")";
        }
    }
    if (!refused.empty())
        platform_.dialogs->Message("No permission to use " + refused +
                                   ". Run as root or add the user to the cdrom group.");
    if (!busy.empty())
        platform_.dialogs->Message("In use by another program: " + busy +
                                   ". Romwright sends nothing to a drive another program holds.");
}

void Console::ReadSettings() {
    StoredChecksum = static_cast<uint16_t>(settings::GetProfileInt("FLASHROM", "CHECKSUM", 0, kIni) & 0xFFFF);

    const int32_t total = settings::GetProfileInt("DRIVE_PRIORITY", "TOTAL_DRIVE", -1, kIni);
    if (total == ListedCount) {
        for (int i = 0; i < kSlotCount; ++i) {
            const int32_t device = settings::GetProfileInt("DRIVE_PRIORITY", Format("%d", i), -1, kIni);
            if (device == -1) {
                SlotDevice[i] = i;
            } else {
                SlotDevice[i] = device;
                RefreshSlotCaption(i);
            }
        }
        // The run indexes workers and report tables with these: keep only an arrangement that
        // gives every listed device exactly one listed slot and leaves the other slots alone.
        bool sound = true;
        std::array<int, kSlotCount> seen{};
        for (int i = 0; i < kSlotCount && sound; ++i) {
            const int32_t d = SlotDevice[i];
            if (i < ListedCount)
                sound = d >= 0 && d < ListedCount && seen[d]++ == 0;
            else
                sound = d == i;
        }
        if (!sound) {
            for (int i = 0; i < kSlotCount; ++i) SlotDevice[i] = i;
            for (int i = 0; i < ListedCount; ++i) ShowSlot(i, {listedCaptions_[i], serials_[i]});
        }
    } else {
        for (int i = 0; i < kSlotCount; ++i) SlotDevice[i] = i;
    }

    StartDirectory = platform_.process->WorkingDirectory();
    FirmwarePath = settings::GetProfileString("FIRMWARE", "PATH", "", 128, kIni);
    view_.SetEdit1Text(FirmwarePath);
}

void Console::CheckFirmwareFileAtStartup() {
    if (!FirmwarePath.empty()) LoadCvtFile(FirmwarePath);
}

void Console::RefreshSlotCaption(int slot) {
    if (slot < 0 || slot >= kSlotCount) return;
    if (Attach(ConsoleLink, SlotDevice[slot])) ShowSlot(slot, ReadIdentity());
    Detach(ConsoleLink);
}

// ---------------------------------------------------------------- the update run

void Console::ButtonFlashClick() {
    bool any = false;
    for (int i = 0; i < kSlotCount; ++i) any = any || view_.SlotChecked(i);
    if (!any) {
        platform_.dialogs->Message("No drive is selected");
        return;
    }
    view_.SetButtonEnabled(Button::ButtonFlash, false);
    view_.SetButtonEnabled(Button::ButtonLoad, false);
    view_.SetButtonEnabled(Button::ButExit, false);
    view_.SetButtonEnabled(Button::ButCS, false);
    view_.SetButtonEnabled(Button::ButAD, false);
    ProgressPercent = 0;
    TimerStarted = 0;
    for (int i = 0; i < kSlotCount; ++i) {
        view_.SetSlotEnabled(i, false);
        WrongDrive[i] = 0;
    }
    runDevices_.clear();
    runSlots_.clear();
    running_ = true;
    for (int i = 0; i < kSlotCount; ++i) view_.SetSlotState(i, "");
    view_.SetPanelText(kNoticePanel, "");
    std::vector<run::DriveJob> jobs;
    for (int i = 0; i < kSlotCount; ++i) {
        const int d = SlotDevice[i];
        if (!view_.SlotChecked(i)) {
            Workers[d]->ReportIndex = d;
            continue;
        }
        // Two jobs on one drive in one run would interleave two transfers.
        if (std::find(runDevices_.begin(), runDevices_.end(), d) != runDevices_.end()) continue;
        if (TimerStarted == 0) {
            view_.SetTimerEnabled(true);
            TimerStarted = 1;
        }
        jobs.push_back({d, NodeOf(d), SerialOf(d), i, Workers[d].get()});
        runDevices_.push_back(d);
        runSlots_.push_back(i);
    }
    // A stored reference is checked against every drive written.
    run::EngineOptions options;
    options.verify = StoredChecksum != 0;
    options.reference = StoredChecksum;
    options.historyPath = HistoryPath;
    options.virtualDrives = VirtualDrives;
    options.session = platform_.session;
    engine_ = std::make_unique<run::Engine>(*platform_.clock, options);
    engine_->Begin(jobs, *observer_);
    RefreshStates();
}

void Console::RefreshStates() {
    const int64_t now = platform_.clock->NowSeconds();
    for (size_t k = 0; k < runSlots_.size(); ++k) {
        const AspiExec& w = *Workers[runDevices_[k]];
        view_.SetSlotState(runSlots_[k], run::StateText(w.Phase, w.PhaseBlock, firmware::BuiltInFirmware.BlockCount,
                                                        now - w.PhaseSince));
    }
}

bool Console::JobsStillRunning() { return engine_ && !engine_->Step(*observer_); }

void Console::TimerPBTimer() {
    if (!running_) return;
    RefreshStates();
    const bool allWrong = AllCheckedWrong();
    if (ProgressPercent < 100 && !allWrong) {
        ++ProgressPercent;
        ShowProgress(ProgressPercent);
        return;
    }
    // No report while a worker may still be writing.
    if (JobsStillRunning()) {
        if (!allWrong) view_.SetPanelText(1, "Waiting for drives");
        return;
    }
    EndRun();
}

void Console::EndRun() {
    view_.SetTimerEnabled(false);
    running_ = false;
    // A question the operator has not answered yet (closing, say) no longer applies.
    platform_.dialogs->DismissOpenQuestion();
    const std::vector<run::DriveResult> results = engine_->End(*observer_);
    std::vector<SlotOutcome> outcomes;
    std::string list;
    for (int i = 0; i < kSlotCount; ++i) view_.SetSlotColour(i, clBlack);
    for (const run::DriveResult& r : results) {
        const SlotOutcome o{r.job.slot, r.job.device, r.report.outcome, r.report.reason};
        outcomes.push_back(o);
        const bool good = run::Good(r.report.outcome);
        view_.SetSlotColour(o.slot, good ? clGreen : clRed);
        view_.SetSlotState(o.slot, run::StateWord(r.report.outcome));
        const std::string name = r.identity.empty() ? "(no answer)" : r.identity;
        if (!good) list += run::ReportLine(r.job.node, name, r.report) + "\n";
    }
    lastOutcomes_ = outcomes;

    bool restart = false;
    if (list.empty()) {
        ShowProgress(100);
        restart = platform_.dialogs->OkCancel(
            "Update OK. Please close all programs. This computer will be rebooted.", view_.Caption());
    } else {
        // A run that waited for its drives ends with how far it got, not with the wait.
        if (ProgressPercent > 0) ShowProgress(ProgressPercent);
        platform_.dialogs->Message("Update\n" + list + "NG.");
    }
    view_.SetButtonEnabled(Button::ButtonFlash, true);
    view_.SetButtonEnabled(Button::ButtonLoad, true);
    view_.SetButtonEnabled(Button::ButExit, true);
    view_.SetButtonEnabled(Button::ButCS, true);
    view_.SetButtonEnabled(Button::ButAD, true);
    for (int i = 0; i < kSlotCount; ++i) view_.SetSlotEnabled(i, true);
    if (restart) RebootComputer();
}

void Console::ShowProgress(int percent) {
    view_.SetProgress(percent);
    view_.SetPanelText(1, Format("Complete: %d%%", percent));
}

bool Console::AllCheckedWrong() const {
    for (int i = 0; i < kSlotCount; ++i)
        if (view_.SlotChecked(i) && WrongDrive[SlotDevice[i]] == 0) return false;
    return true;
}

int Console::RebootComputer() {
    const int accepted = platform_.process->RestartComputer();
    if (!accepted) view_.SetPanelText(kNoticePanel, "Restart refused");
    return accepted;
}

void Console::Button1Click() { RebootComputer(); }

// ---------------------------------------------------------------- leaving

void Console::ButExitClick() { platform_.process->Exit(1); }

bool Console::CloseRequested() {
    if (arranging_) {
        // The arrangement stops at its next pause and writes nothing.
        stopArrangement_ = true;
        return true;
    }
    if (!running_) return true;
    return platform_.dialogs->OkCancel(
        "Drives are being updated. Closing now may leave them unusable. Close anyway?", view_.Caption());
}

void Console::Close() { platform_.process->Exit(0); }

// ---------------------------------------------------------------- service functions

uint16_t Console::ReadBackChecksum(DriveLink link, bool* readFailed) {
    return firmware::FlashRomChecksum(
        link, firmware::OnFailedRead::StopWithPartialSum, [this] { platform_.dialogs->Message("Read Flash NG"); },
        readFailed);
}

void Console::ButCSClick() {
    view_.SetButtonEnabled(Button::ButCS, false);
    bool chosen = false;
    const int n = DeviceCount();
    for (int i = 0; i < n && !chosen; ++i) {
        if (!Attach(ConsoleLink, i)) {
            Detach(ConsoleLink);
            continue;
        }
        if (TestUnitReady(ConsoleLink)) {
            chosen = true;
        } else {
            const uint32_t code = SenseCode(ConsoleLink);
            chosen = code == kSenseNoMedium || code == kSenseReset;
        }
        if (!chosen) Detach(ConsoleLink);
    }
    if (chosen) {
        bool failed = false;
        const uint16_t sum = ReadBackChecksum(ConsoleLink, &failed);
        Detach(ConsoleLink);
        // A partial sum as the reference would fail every later verification: keep nothing.
        if (!failed) {
            settings::WriteProfileString("FLASHROM", "CHECKSUM", Format("%d", sum), kIni);
            StoredChecksum = sum;
            view_.SetEditCSText(Format("%04Xh", sum));
        }
    } else {
        platform_.dialogs->Message("No Valid Drive");
    }
    view_.SetButtonEnabled(Button::ButCS, true);
}

void Console::SetServiceButtons(bool enabled) {
    view_.SetButtonEnabled(Button::ButAD, enabled);
    // No run and no capture may start while the arrangement holds the console's link.
    view_.SetButtonEnabled(Button::ButtonFlash, enabled);
    view_.SetButtonEnabled(Button::ButCS, enabled);
}

void Console::ButADClick() {
    std::array<bool, kWorkerCount> pending;
    pending.fill(true);
    int placed = 0;
    int passes = 0;
    arranging_ = true;
    stopArrangement_ = false;
    SetServiceButtons(false);
    for (int s = 0; s < ListedCount; ++s) view_.SetSlotEnabled(s, false);
    for (;;) {
        for (int d = 0; d < ListedCount; ++d) {
            if (!pending[d]) continue;
            Attach(ConsoleLink, d);
            TestUnitReady(ConsoleLink);
            if (SenseCode(ConsoleLink) == kSenseNoMedium) {
                SlotDevice[placed] = d;
                pending[d] = false;
                RefreshSlotCaption(placed);
                view_.SetSlotEnabled(placed, true);
                ++placed;
            }
            Detach(ConsoleLink);
        }
        ++passes;
        if (placed == ListedCount || passes > 60) break;
        platform_.clock->SleepMs(1000);
        view_.ProcessPendingEvents();
        if (stopArrangement_) break;
    }
    // Drives never placed keep a slot of their own, after the placed ones in device order: a slot
    // left with its old device could give one drive two slots and another none.
    for (int d = 0, s = placed; d < ListedCount; ++d) {
        if (!pending[d]) continue;
        SlotDevice[s] = d;
        RefreshSlotCaption(s);
        view_.SetSlotEnabled(s, true);
        ++s;
    }
    // The order is stored whole or not at all: an arrangement cut short by closing the window
    // leaves the settings as they were.
    if (!stopArrangement_) {
        for (int s = 0; s < placed; ++s)
            settings::WriteProfileString("DRIVE_PRIORITY", Format("%d", s), Format("%d", SlotDevice[s]), kIni);
        for (int s = ListedCount; s < kSlotCount; ++s)
            settings::WriteProfileString("DRIVE_PRIORITY", Format("%d", s), "-1", kIni);
        settings::WriteProfileString("DRIVE_PRIORITY", "TOTAL_DRIVE", Format("%d", placed), kIni);
    }
    arranging_ = false;
    SetServiceButtons(true);
}

void Console::ButtonLoadClick() {
    std::string fileName;
    if (!view_.ChooseFirmwareFile(&fileName)) return;
    view_.SetEdit1Text(fileName);
    view_.SetButtonEnabled(Button::ButtonFlash, true);
}

void Console::LoadCvtFile(const std::string& fileName) {
    firmware::CvtCallbacks callbacks;
    callbacks.message = [this](const std::string& text) { platform_.dialogs->Message(text); };
    callbacks.enableFlash = [this] { view_.SetButtonEnabled(Button::ButtonFlash, true); };
    callbacks.writePath = [this](const std::string& path) {
        settings::WriteProfileString("FIRMWARE", "PATH", path, settings::IniPathIn(StartDirectory));
    };
    firmware::LoadCvtFile(fileName, callbacks);
}

}  // namespace console
