// Romwright: flashes the firmware it carries to every checked DVD writer at once.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <iostream>
#include <memory>

#include "drive_access/DeviceTable.h"
#include "main/Main.h"
#include "main/QtDialogs.h"
#include "platform/AppendLog.h"
#include "platform/LinuxHost.h"
#include "platform/LogindSession.h"
#include "platform/RealClock.h"
#include "virtual_drives/BayFile.h"

namespace {

// Scripted stations and the end-to-end test: every message goes to standard output and every
// question is answered OK.
class ScriptDialogs : public platform::Dialogs {
public:
    void Message(const std::string& text) override { std::cout << "message: " << text << std::endl; }
    bool OkCancel(const std::string& text, const std::string& title) override {
        std::cout << "question: " << title << ": " << text << std::endl;
        return true;
    }
};

int Fail(const std::string& text) {
    std::cerr << "romwright: " << text << std::endl;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Romwright writes the firmware it carries to every checked DVD writer at once.\n"
        "Without options it works on the machine's optical drives (it needs read and write\n"
        "access to their SCSI generic nodes: run it as root or as a member of group cdrom).");
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption virtualDrives(
        "virtual-drives",
        "Work on simulated drives instead of the machine's: a bay file (see virtual_drives/README.md) or a "
        "number N of good drives of the right model. The machine is never restarted.",
        "FILE|N");
    const QCommandLineOption speed("speed",
                                   "Virtual drives only: run every modelled time N times faster (the workers' "
                                   "waits, the drives' latencies and the 900 ms progress tick), e.g. 20.",
                                   "N", "1");
    const QCommandLineOption aspi("aspi", "Virtual drives only: reach them through the ASPI-style manager.");
    QCommandLineOption script("scripted-run",
                              "Virtual drives only: press Flash at once, print every message, answer every "
                              "question OK and exit when the run has been reported.");
    script.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(help);
    parser.addOption(virtualDrives);
    parser.addOption(speed);
    parser.addOption(aspi);
    parser.addOption(script);
    if (!parser.parse(arguments)) return Fail(parser.errorText().toStdString());
    if (parser.isSet(help)) {
        std::cout << parser.helpText().toStdString();
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) return Fail("unexpected argument: " + parser.positionalArguments()[0].toStdString());

    const bool onVirtualBay = parser.isSet(virtualDrives);
    bool speedOk = false;
    const double factor = parser.value(speed).toDouble(&speedOk);
    if (!speedOk || factor <= 0 || factor > 1000) return Fail("--speed takes a number above 0 and up to 1000");
    if (!onVirtualBay && (parser.isSet(speed) || parser.isSet(aspi) || parser.isSet(script)))
        return Fail("--speed, --aspi and --scripted-run work on virtual drives only (--virtual-drives)");

    // Everything below lives until the process ends, as the workers may use it to the last; the
    // process ends through _exit, so nothing here is torn down under a running worker.
    static platform::RealClock clock(onVirtualBay ? factor : 1.0);
    static platform::LinuxProcess process;
    static platform::Platform platform;
    static std::unique_ptr<virtual_drives::VirtualBay> bay;
    static platform::LinuxDeviceHost linuxDevices;
    static platform::LogindSession session;
    platform.session = &session;
    platform.clock = &clock;
    platform.process = &process;
    if (onVirtualBay) {
        std::string error;
        bay = virtual_drives::OpenBay(parser.value(virtualDrives).toStdString(), clock, error);
        if (!bay) return Fail(error);
        platform.devices = &bay->Devices();
        platform.aspi = &bay->Aspi();
        if (parser.isSet(aspi)) process.family = platform::PlatformAspiFamily;
    } else {
        // The ASPI-style transport exists here only on virtual bays.
        platform.devices = &linuxDevices;
    }

    // The drives are found before the window exists.
    static drive_access::DeviceTable table(platform);
    drive_access::InstallDeviceTable(&table);

    QApplication app(argc, argv);
    QApplication::setApplicationName("romwright");
    const bool scripted = parser.isSet(script);
    static ScriptDialogs scriptDialogs;
    static QtDialogs qtDialogs;
    platform.dialogs = scripted ? static_cast<platform::Dialogs*>(&scriptDialogs) : &qtDialogs;
    if (onVirtualBay) {
        process.restart = [] {
            platform.dialogs->Message("Restart skipped: virtual drives");
            return 0;
        };
    } else {
        process.restart = [] {
            std::string why;
            const int accepted = session.RequestRestart(&why);
            if (!accepted) std::cerr << "romwright: restart refused: " << why << std::endl;
            return accepted;
        };
    }

    const int tickMs = std::max(1, static_cast<int>(900 / (onVirtualBay ? factor : 1.0)));
    auto* form = new TForm1(platform, tickMs);
    form->Logic().HistoryPath = platform::DefaultHistoryPath();
    form->Logic().VirtualDrives = onVirtualBay;
    form->FormCreate();
    form->show();
    if (scripted) {
        QObject::connect(form, &TForm1::RunEnded, &app, [] { process.Exit(0); });
        QTimer::singleShot(0, form, [form] {
            form->ButtonFlashClick();
            if (!form->Logic().Running()) QApplication::quit();  // nothing was checked
        });
    }
    app.exec();
    process.Exit(0);
}
