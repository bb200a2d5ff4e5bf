// The narrow view of the window's widgets through which the console logic drives it. The Qt
// window implements it; tests use a recording one.
#pragma once

#include <cstdint>
#include <string>

namespace console {

constexpr int kSlotCount = 10;

enum class Button { ButtonFlash, ButtonLoad, ButExit, ButCS, ButAD };

// Status bar panels: 0 under the progress bar, 1 the completion, 2 notices (what the run could
// not do for the operator: block sleep, keep the record, restart).
constexpr int kProgressPanel = 0;
constexpr int kPercentPanel = 1;
constexpr int kNoticePanel = 2;

// Colour values as the slots' fonts take them.
constexpr int32_t clBlack = 0;
constexpr int32_t clGreen = 0x8000;
constexpr int32_t clRed = 255;

class ConsoleView {
public:
    virtual ~ConsoleView() = default;

    virtual void SetSlotCaption(int slot, const std::string& caption) = 0;
    virtual std::string SlotCaption(int slot) const = 0;
    virtual void SetSlotVisible(int slot, bool visible) = 0;
    virtual void SetSlotChecked(int slot, bool checked) = 0;
    virtual bool SlotChecked(int slot) const = 0;
    virtual void SetSlotEnabled(int slot, bool enabled) = 0;
    virtual void SetSlotColour(int slot, int32_t colour) = 0;
    // Where the slot's drive is ("sr2", "virtual:sr2") and its serial number (may be empty).
    virtual void SetSlotDetails(int slot, const std::string& node, const std::string& serial) = 0;
    // What the slot's drive is going through, refreshed on every tick of a run.
    virtual void SetSlotState(int slot, const std::string& state) = 0;
    // Shown in the slot area when no drive was found; empty hides it.
    virtual void SetNoDrivesText(const std::string& text) = 0;

    virtual void SetButtonEnabled(Button button, bool enabled) = 0;
    virtual bool ButtonEnabled(Button button) const = 0;
    virtual void SetProgress(int position) = 0;
    virtual void SetPanelText(int panel, const std::string& text) = 0;
    virtual void SetTimerEnabled(bool enabled) = 0;
    virtual void SetEdit1Text(const std::string& text) = 0;
    virtual void SetEditCSText(const std::string& text) = 0;
    virtual std::string Caption() const = 0;

    // Lets the window repaint and take input during a long service function.
    virtual void ProcessPendingEvents() = 0;
    // Runs the open-file dialog; false when the operator cancelled.
    virtual bool ChooseFirmwareFile(std::string* fileName) = 0;
};

}  // namespace console
