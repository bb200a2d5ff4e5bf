// Operator messages as modal Qt message boxes.
#pragma once

#include <QPointer>

#include "platform/Platform.h"

class QMessageBox;

class QtDialogs : public platform::Dialogs {
public:
    void Message(const std::string& text) override;
    bool OkCancel(const std::string& text, const std::string& title) override;
    void DismissOpenQuestion() override;

private:
    // The question box whose answer is awaited (window thread only).
    QPointer<QMessageBox> question_;
};
