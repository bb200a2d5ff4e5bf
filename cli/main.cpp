// romwright-cli: the command line for scripted stations. Lists drives, writes the built-in
// firmware to many at once, reads flash checksums, checks CVT files. No Qt.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>

#include "cli/Commands.h"
#include "drive_access/DeviceTable.h"
#include "platform/AppendLog.h"
#include "platform/LinuxHost.h"
#include "platform/LogindSession.h"
#include "platform/RealClock.h"
#include "run/Report.h"
#include "virtual_drives/BayFile.h"

namespace {

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0    every drive asked for was updated (and verified where a reference applies)\n"
    "  1    one or more drives were not updated\n"
    "  2    nothing to do: no drive of the model, or none of the drives named exists\n"
    "  3    usage or input error (unknown option, unreadable bay or CVT file, bad checksum)\n"
    "  4    every drive not updated could not be used (no permission, busy); nothing was written to it\n"
    "  130  interrupted (SIGINT, SIGTERM): no further drive was started, transfers under way ended on\n"
    "       their own\n"
    "Nodes are named as `list` shows them: sr2 (or /dev/sr2), virtual:sr2, \"adapter 0 target 1\".";

int Usage(const std::string& text) {
    std::cerr << "romwright-cli: " << text << "\n(see romwright-cli --help)" << std::endl;
    return cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"romwright-cli writes the firmware it carries to DVD writers of the model ORVEX DVD RW LMX2097,\n"
                 "many at once, for scripted stations.",
                 "romwright-cli"};
    app.set_version_flag("--version", std::string(run::kVersion), "Print the version and exit.");
    app.footer(kExitCodes);
    // Common options are taken before or after the command.
    app.fallthrough();
    app.require_subcommand(0, 1);

    std::string virtualDrives;
    double speed = 1.0;
    bool aspi = false;
    cli::Common common;
    auto* virtualOption = app.add_option("--virtual-drives", virtualDrives,
                                         "Work on simulated drives: a bay file (virtual_drives/README.md) or a number N "
                                         "of good drives.")
                              ->type_name("FILE|N");
    auto* speedOption =
        app.add_option("--speed", speed, "Virtual drives only: run every modelled time N times faster.")->type_name("N");
    app.add_flag("--aspi", aspi, "Virtual drives only: reach them through the ASPI-style manager.");
    app.add_option("--settings", common.settingsPath, "The settings file (default FLASH.INI in the working directory).")
        ->type_name("FILE");
    app.add_flag("--json", common.json, "Machine-readable output on standard output (JSON lines; `list`: one document).");

    auto* list = app.add_subcommand("list", "List every optical drive: identity, serial, medium, whether it may be used "
                                            "and whether it is the model the image is for.");

    cli::FlashOptions flashOptions;
    std::string historyPath;
    auto* flash = app.add_subcommand("flash", "Write the built-in firmware to the drives named, or to every drive of "
                                              "the model when none is named.");
    flash->add_option("NODE", flashOptions.nodes, "Drives to write, as `list` names them.");
    flash->add_option("--verify", flashOptions.verify,
                      "Read every drive back and compare with CHECKSUM (1-65535, decimal or 0x hex) instead of the "
                      "settings file's reference.")
        ->type_name("CHECKSUM");
    flash->add_flag("--no-verify", flashOptions.noVerify, "Do not read the drives back, whatever the settings file says.");
    flash->add_option("--parallel", flashOptions.parallel, "Write at most N drives at once (default: all).")
        ->type_name("N")
        ->check(CLI::Range(1, 255));
    auto* historyOption =
        flash->add_option("--history", historyPath, "Record every job in FILE instead of the default history file.")
            ->type_name("FILE");

    std::string checksumNode;
    bool store = false;
    auto* checksum = app.add_subcommand("checksum", "Read a drive's flash checksum.");
    checksum->add_option("NODE", checksumNode, "The drive, as `list` names it.")->required();
    checksum->add_flag("--store", store, "Store it as the reference in the settings file (never a partial sum).");

    std::string cvtFile;
    auto* checkCvt = app.add_subcommand("check-cvt", "Check a CVT firmware file: header, blocks and sums.");
    checkCvt->add_option("FILE", cvtFile, "The CVT file.")->required();

    auto* image = app.add_subcommand("image", "Show the built-in image: size, blocks, sums, and the checksum a drive "
                                              "reads back after a good update.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return Usage(e.what());
    }

    const bool onVirtualBay = virtualOption->count() > 0;
    if (speedOption->count() > 0 && !(speed > 0 && speed <= 1000)) return Usage("--speed takes a number above 0 and up to 1000");
    if (!onVirtualBay && (speedOption->count() > 0 || aspi))
        return Usage("--speed and --aspi work on virtual drives only (--virtual-drives)");

    platform::RealClock clock(onVirtualBay ? speed : 1.0);
    platform::LinuxProcess process;
    platform::LinuxDeviceHost linuxDevices;
    platform::LogindSession session;
    platform::Platform platform;
    platform.clock = &clock;
    platform.process = &process;
    platform.session = &session;
    std::unique_ptr<virtual_drives::VirtualBay> bay;
    if (onVirtualBay) {
        std::string error;
        bay = virtual_drives::OpenBay(virtualDrives, clock, error);
        if (!bay) {
            std::cerr << "romwright-cli: " << error << std::endl;
            return cli::kExitUsage;
        }
        platform.devices = &bay->Devices();
        platform.aspi = &bay->Aspi();
        if (aspi) process.family = platform::PlatformAspiFamily;
    } else {
        // The ASPI-style transport exists here only on virtual bays.
        platform.devices = &linuxDevices;
    }
    common.platform = &platform;
    common.virtualDrives = onVirtualBay;
    common.speed = onVirtualBay ? speed : 1.0;

    if (image->parsed()) return cli::ImageCommand(common);
    if (checkCvt->parsed()) return cli::CheckCvtCommand(common, cvtFile);

    drive_access::DeviceTable table(platform);
    drive_access::ScopedDeviceTable installed(table);
    if (list->parsed()) return cli::ListCommand(common);
    if (checksum->parsed()) return cli::ChecksumCommand(common, checksumNode, store);
    if (flash->parsed()) {
        flashOptions.historyPath = historyOption->count() > 0 ? historyPath : platform::DefaultHistoryPath();
        if (historyOption->count() > 0 && historyPath.empty()) return Usage("--history needs a file name");
        return cli::FlashCommand(common, flashOptions);
    }
    return Usage("no command given: list, flash, checksum, check-cvt or image");
}
