// The window's widgets as plain values, so the console logic runs without a GUI.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "main/ConsoleView.h"

class RecordingView : public console::ConsoleView {
public:
    struct Slot {
        std::string caption;
        bool visible = false;
        bool checked = false;
        bool enabled = true;
        int32_t colour = console::clBlack;
        std::string node;
        std::string serial;
        std::string state;
        std::vector<std::string> states;  // every state shown, in order, without repeats
    };

    void SetSlotCaption(int slot, const std::string& caption) override { slots[slot].caption = caption; }
    std::string SlotCaption(int slot) const override { return slots[slot].caption; }
    void SetSlotVisible(int slot, bool visible) override { slots[slot].visible = visible; }
    void SetSlotChecked(int slot, bool checked) override { slots[slot].checked = checked; }
    bool SlotChecked(int slot) const override { return slots[slot].checked; }
    void SetSlotEnabled(int slot, bool enabled) override { slots[slot].enabled = enabled; }
    void SetSlotColour(int slot, int32_t colour) override { slots[slot].colour = colour; }
    void SetSlotDetails(int slot, const std::string& node, const std::string& serial) override {
        slots[slot].node = node;
        slots[slot].serial = serial;
    }
    void SetSlotState(int slot, const std::string& state) override {
        slots[slot].state = state;
        if (!state.empty() && (slots[slot].states.empty() || slots[slot].states.back() != state))
            slots[slot].states.push_back(state);
    }
    void SetNoDrivesText(const std::string& text) override { noDrives = text; }

    void SetButtonEnabled(console::Button button, bool enabled) override { buttons[button] = enabled; }
    bool ButtonEnabled(console::Button button) const override {
        auto it = buttons.find(button);
        return it == buttons.end() || it->second;
    }
    void SetProgress(int position) override { progress = position; }
    void SetPanelText(int panel, const std::string& text) override { panels.at(panel) = text; }
    void SetTimerEnabled(bool enabled) override { timer = enabled; }
    void SetEdit1Text(const std::string& text) override { edit1 = text; }
    void SetEditCSText(const std::string& text) override { editCS = text; }
    std::string Caption() const override { return "Romwright V0.59 by Orvex QTRX-IV"; }
    void ProcessPendingEvents() override { ++eventPumps; }
    bool ChooseFirmwareFile(std::string*) override { return false; }

    std::array<Slot, console::kSlotCount> slots;
    std::map<console::Button, bool> buttons;
    int progress = 0;
    std::array<std::string, 3> panels{"Progress", "Percent", ""};
    bool timer = false;
    std::string edit1;
    std::string editCS;
    int eventPumps = 0;
    std::string noDrives;
};
