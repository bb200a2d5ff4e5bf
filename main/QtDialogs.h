// Operator messages as modal Qt message boxes.
#pragma once

#include "platform/Platform.h"

class QtDialogs : public platform::Dialogs {
public:
    void Message(const std::string& text) override;
    bool OkCancel(const std::string& text, const std::string& title) override;
};
