#include "main/Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QPalette>

TForm1* Form1 = nullptr;

namespace {

// Wide enough for each slot's node, serial and state beside its caption.
constexpr int kFormWidth = 760;
constexpr int kDesignWidth = 394;
constexpr int kPanelTop = 105;
constexpr int kPanelHeight = 70;

QFont PixelFont(int pixels, bool bold) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QString Q(const std::string& text) { return QString::fromLocal8Bit(text.data(), static_cast<int>(text.size())); }

}  // namespace

TForm1::TForm1(platform::Platform& platform, int tickMs)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      platform_(platform),
      console_(*this, platform) {
    setObjectName("Form1");
    setFont(PixelFont(14, false));
    setWindowTitle(console::kWindowCaption);
    move(343, 183);
    setFixedSize(kDesignWidth, kPanelTop + kPanelHeight);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setGeometry(0, kPanelTop, kDesignWidth, kPanelHeight);

    auto button = [this](QWidget* parent, const char* name, const char* text, QRect geometry) {
        auto* b = new QPushButton(text, parent);
        b->setObjectName(name);
        b->setGeometry(geometry);
        return b;
    };
    ButtonFlash = button(Panel1, "ButtonFlash", "&Flash", QRect(78, 10, 92, 31));
    ButExit = button(Panel1, "ButExit", "E&XIT", QRect(214, 10, 92, 31));
    ButtonFlash->setFont(PixelFont(17, true));
    ButExit->setFont(PixelFont(17, true));

    StatusBar = new QStatusBar(Panel1);
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setGeometry(1, 49, kFormWidth, 20);
    const char* panelTexts[3] = {"Progress", "Percent", ""};
    const int panelWidths[3] = {250, 100, 100};
    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new QLabel(panelTexts[i], StatusBar);
        StatusPanels[i]->setObjectName(QString("StatusPanel%1").arg(i));
        StatusPanels[i]->setFont(PixelFont(12, false));
        // The percent panel fits "Waiting for drives"; notices take the rest.
        if (i == 0)
            StatusPanels[i]->setFixedWidth(panelWidths[i]);
        else
            StatusPanels[i]->setMinimumWidth(panelWidths[i]);
        StatusBar->addWidget(StatusPanels[i], i == 2 ? 1 : 0);
    }
    StatusBar->setContentsMargins(0, 0, 0, 0);

    ProgressBar = new QProgressBar(Panel1);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    ProgressBar->setGeometry(0, 49, 251, 21);

    TimerPB = new QTimer(this);
    TimerPB->setObjectName("TimerPB");
    TimerPB->setInterval(tickMs);

    // Controls that exist with their texts but are never shown.
    ButtonLoad = button(Panel1, "ButtonLoad", "&Load CVT", QRect(310, 10, 80, 25));
    Label1 = new QLabel("File:", this);
    Label1->setObjectName("Label1");
    Label1->setFont(PixelFont(14, true));
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName("Edit1");
    LabelCS = new QLabel("CS:", this);
    LabelCS->setObjectName("LabelCS");
    LabelCS->setFont(PixelFont(14, true));
    EditCS = new QLineEdit(this);
    EditCS->setObjectName("EditCS");
    EditCS->setFont(PixelFont(14, true));
    ButCS = button(Panel1, "ButCS", "Get CS", QRect(8, 10, 60, 25));
    ButAD = button(Panel1, "ButAD", "ArgDrv", QRect(8, 38, 60, 25));
    Button1 = button(Panel1, "Button1", "Button1", QRect(310, 38, 75, 25));
    CheckBoxEject = new QCheckBox("&Eject before update", this);
    CheckBoxEject->setObjectName("CheckBoxEject");
    CheckBoxEject->setChecked(true);
    CheckBoxForcedFlash = new QCheckBox("Forced Update", this);
    CheckBoxForcedFlash->setObjectName("CheckBoxForcedFlash");
    CheckBoxReset = new QCheckBox("Reset after flash", this);
    CheckBoxReset->setObjectName("CheckBoxReset");
    CheckBoxReset->setChecked(true);
    for (QWidget* hidden : std::initializer_list<QWidget*>{Label1, Edit1, LabelCS, EditCS, ButtonLoad, ButCS, ButAD,
                                                           CheckBoxForcedFlash})
        hidden->setVisible(false);

    connect(ButtonLoad, &QPushButton::clicked, this, &TForm1::ButtonLoadClick);
    connect(ButtonFlash, &QPushButton::clicked, this, &TForm1::ButtonFlashClick);
    connect(TimerPB, &QTimer::timeout, this, &TForm1::TimerPBTimer);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(ButExit, &QPushButton::clicked, this, &TForm1::ButExitClick);
    connect(ButCS, &QPushButton::clicked, this, &TForm1::ButCSClick);
    connect(ButAD, &QPushButton::clicked, this, &TForm1::ButADClick);
    Form1 = this;
}

TForm1::~TForm1() {
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::FormCreate() {
    // 1
    setFixedWidth(kFormWidth);
    Panel1->setFixedWidth(kFormWidth);
    StatusBar->setFixedWidth(kFormWidth);
    ProgressBar->setFixedWidth(StatusPanels[0]->width() + 1);
    // 2
    for (int i = 0; i < console::kSlotCount; ++i) {
        auto* slot = new QCheckBox(QString::number(i), this);
        slot->setObjectName(QString("Slot%1").arg(i));
        slot->setGeometry(10, 20 + 20 * i, 310, 17);
        slot->setVisible(false);
        QFont font = PixelFont(14, true);
        font.setPointSize(10);
        slot->setFont(font);
        slot->setChecked(false);
        Slots[i] = slot;
        auto column = [this, i](const char* name, int x, int width) {
            auto* label = new QLabel(this);
            label->setObjectName(QString("%1%2").arg(name).arg(i));
            label->setGeometry(x, 20 + 20 * i, width, 17);
            label->setFont(PixelFont(13, false));
            label->setVisible(false);
            return label;
        };
        SlotNodes[i] = column("SlotNode", 325, 95);
        SlotSerials[i] = column("SlotSerial", 425, 120);
        SlotStates[i] = column("SlotState", 550, 200);
    }
    NoDrives = new QLabel(this);
    NoDrives->setObjectName("NoDrives");
    NoDrives->setWordWrap(true);
    NoDrives->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    NoDrives->setGeometry(10, 10, kFormWidth - 20, kPanelTop - 15);
    NoDrives->setVisible(false);
    console_.CreateWorkers();
    // 3
    console_.ListDrives();
    LayOutForSlots();
    console_.ExplainUnusableDrives();
    // 4
    setWindowTitle(console::kWindowCaption);
    ButtonLoad->setText("&Load CVT");
    ButtonFlash->setText("&Flash");
    ButExit->setText("E&XIT");
    ButCS->setText("Get CS");
    Label1->setText("File:");
    Edit1->clear();
    CheckBoxEject->setText("&Eject before update");
    CheckBoxForcedFlash->setText("Forced Update");
    CheckBoxReset->setText("Reset after flash");
    // 5
    CheckBoxForcedFlash->setChecked(false);
    Button1->setVisible(false);
    CheckBoxEject->setVisible(false);
    CheckBoxReset->setVisible(false);
    // 6, 7
    ProgressBar->move(0, Panel1->height() - ProgressBar->height());
    ButCS->setVisible(false);
    // 9
    EditCS->clear();
    LabelCS->setText("CS:");
    ButAD->setText("ArgDrv");
    ButAD->move(ButAD->x(), ButCS->y());
    // 8, 10, 11, 12
    console_.ReadSettings();
    // The firmware file named in the settings is checked last.
    console_.CheckFirmwareFileAtStartup();
}

void TForm1::LayOutForSlots() {
    // Up to four slots fit above the button panel; more push it down.
    const int listed = console_.ListedCount;
    const int panelTop = std::max(kPanelTop, 20 + 20 * listed);
    Panel1->move(0, panelTop);
    setFixedHeight(panelTop + kPanelHeight);
}

void TForm1::ButtonLoadClick() { console_.ButtonLoadClick(); }
void TForm1::ButtonFlashClick() { console_.ButtonFlashClick(); }
void TForm1::Button1Click() { console_.Button1Click(); }
void TForm1::ButExitClick() { console_.ButExitClick(); }
void TForm1::ButCSClick() { console_.ButCSClick(); }
void TForm1::ButADClick() { console_.ButADClick(); }

void TForm1::TimerPBTimer() {
    const bool wasRunning = console_.Running();
    console_.TimerPBTimer();
    if (wasRunning && !console_.Running()) emit RunEnded();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (console_.CloseRequested())
        event->accept();
    else
        event->ignore();
}

// ---------------------------------------------------------------- ConsoleView

void TForm1::SetSlotCaption(int slot, const std::string& caption) { Slots[slot]->setText(Q(caption)); }

std::string TForm1::SlotCaption(int slot) const { return Slots[slot]->text().toLocal8Bit().toStdString(); }

void TForm1::SetSlotVisible(int slot, bool visible) {
    Slots[slot]->setVisible(visible);
    SlotNodes[slot]->setVisible(visible);
    SlotSerials[slot]->setVisible(visible);
    SlotStates[slot]->setVisible(visible);
}

void TForm1::SetSlotDetails(int slot, const std::string& node, const std::string& serial) {
    SlotNodes[slot]->setText(Q(node));
    SlotSerials[slot]->setText(Q(serial));
}

void TForm1::SetSlotState(int slot, const std::string& state) { SlotStates[slot]->setText(Q(state)); }

void TForm1::SetNoDrivesText(const std::string& text) {
    NoDrives->setText(Q(text));
    NoDrives->setVisible(!text.empty());
}

void TForm1::SetSlotChecked(int slot, bool checked) { Slots[slot]->setChecked(checked); }

bool TForm1::SlotChecked(int slot) const { return Slots[slot]->isChecked(); }

void TForm1::SetSlotEnabled(int slot, bool enabled) { Slots[slot]->setEnabled(enabled); }

void TForm1::SetSlotColour(int slot, int32_t colour) {
    // The colour value keeps red in its low byte.
    QPalette palette = Slots[slot]->palette();
    const QColor color(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, color);
        palette.setColor(group, QPalette::Text, color);
        palette.setColor(group, QPalette::ButtonText, color);
    }
    Slots[slot]->setPalette(palette);
    Slots[slot]->setProperty("fontColour", colour);
}

QPushButton* TForm1::ButtonOf(console::Button button) const {
    switch (button) {
    case console::Button::ButtonFlash:
        return ButtonFlash;
    case console::Button::ButtonLoad:
        return ButtonLoad;
    case console::Button::ButExit:
        return ButExit;
    case console::Button::ButCS:
        return ButCS;
    case console::Button::ButAD:
        return ButAD;
    }
    return ButtonFlash;
}

void TForm1::SetButtonEnabled(console::Button button, bool enabled) { ButtonOf(button)->setEnabled(enabled); }

bool TForm1::ButtonEnabled(console::Button button) const { return ButtonOf(button)->isEnabled(); }

void TForm1::SetProgress(int position) { ProgressBar->setValue(position); }

void TForm1::SetPanelText(int panel, const std::string& text) {
    if (panel < 0 || panel >= 3) return;
    StatusPanels[panel]->setText(Q(text));
    // A notice may be longer than its panel: the whole of it on hovering.
    StatusPanels[panel]->setToolTip(Q(text));
}

void TForm1::SetTimerEnabled(bool enabled) {
    if (enabled)
        TimerPB->start();
    else
        TimerPB->stop();
}

void TForm1::SetEdit1Text(const std::string& text) { Edit1->setText(Q(text)); }

void TForm1::SetEditCSText(const std::string& text) { EditCS->setText(Q(text)); }

std::string TForm1::Caption() const { return windowTitle().toStdString(); }

void TForm1::ProcessPendingEvents() { QApplication::processEvents(); }

bool TForm1::ChooseFirmwareFile(std::string* fileName) {
    QFileDialog dialog(this);
    dialog.setObjectName("OpenDialogLoad");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter("Firmeare P(*.CVT)");
    // .cvt in any case.
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    *fileName = dialog.selectedFiles().front().toLocal8Bit().toStdString();
    return true;
}
