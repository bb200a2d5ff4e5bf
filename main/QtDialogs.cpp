#include "main/QtDialogs.h"

#include <QApplication>
#include <QMessageBox>

#include "main/Console.h"

void QtDialogs::Message(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, console::kWindowCaption, QString::fromLocal8Bit(text.c_str()),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setObjectName("PlainMessage");
    // A report names one drive a line: wide enough that a line stays one line.
    if (text.find('\n') != std::string::npos) box.setStyleSheet("QLabel { min-width: 720px; }");
    box.exec();
}

bool QtDialogs::OkCancel(const std::string& text, const std::string& title) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromLocal8Bit(title.c_str()), QString::fromLocal8Bit(text.c_str()),
                    QMessageBox::Ok | QMessageBox::Cancel, nullptr);
    box.setObjectName("OkCancelMessage");
    QPointer<QMessageBox> outer = question_;
    question_ = &box;
    const bool ok = box.exec() == QMessageBox::Ok;
    question_ = outer;
    return ok;
}

void QtDialogs::DismissOpenQuestion() {
    if (question_) question_->reject();
}
