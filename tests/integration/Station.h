// A whole station without a window: a virtual bay, the device table in either transport, the
// console logic over a recording view, and the truth of each drive read from the bay.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "AspiThread/AspiExec.h"
#include "RecordingView.h"
#include "drive_access/DeviceTable.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FlashRomChecksum.h"
#include "main/Console.h"
#include "platform/fakes/Fakes.h"
#include "platform/fakes/VirtualClock.h"
#include "virtual_drives/BayFile.h"
#include "virtual_drives/VirtualBay.h"

enum class Transport { PassThrough, Aspi };

inline const char* Name(Transport t) { return t == Transport::PassThrough ? "pass-through" : "aspi"; }

// The flash a drive holds after it has taken the built-in image.
inline const std::vector<uint8_t>& UpdatedFlash() {
    static const std::vector<uint8_t> flash = [] {
        const uint8_t* blocks = firmware::BuiltInFirmware.Blocks;
        const uLong length = blocks[0] | blocks[1] << 8 | blocks[2] << 16 | uLong{blocks[3]} << 24;
        std::vector<uint8_t> out(firmware::kFlashSize);
        uLongf size = out.size();
        if (uncompress(out.data(), &size, blocks + 4, length) != Z_OK || size != out.size()) out.clear();
        return out;
    }();
    return flash;
}

inline uint16_t FlashSum(const std::vector<uint8_t>& flash) {
    return firmware::AddPiece(0, flash.data(), 0, static_cast<uint32_t>(flash.size()));
}

// The checksum a drive reads back after a good update.
inline uint16_t UpdatedSum() { return FlashSum(UpdatedFlash()); }

// Whether the drive took the image (since it had taken `updatesBefore`), its own area aside.
inline bool Programmed(const virtual_drives::VirtualDrive& drive, int updatesBefore = 0) {
    if (drive.Updates() <= updatesBefore) return false;
    const auto flash = drive.Flash();
    const auto& image = UpdatedFlash();
    if (flash.size() != image.size() || image.empty()) return false;
    const size_t areaFirst = firmware::kPerDriveAreaFirst;
    const size_t areaEnd = firmware::kPerDriveAreaLast + 1;
    return std::equal(flash.begin(), flash.begin() + areaFirst, image.begin()) &&
           std::equal(flash.begin() + areaEnd, flash.end(), image.begin() + areaEnd);
}

class Station {
public:
    Station(const virtual_drives::BayDescription& description, Transport transport) {
        for (auto& w : WrongDrive) w = 0;
        DeviceNames.Clear();
        bay = std::make_unique<virtual_drives::VirtualBay>(description, clock);
        process.family =
            transport == Transport::Aspi ? platform::PlatformAspiFamily : platform::PlatformPassThroughFamily;
        platform = platform::Platform{&clock, &bay->Devices(), &bay->Aspi(), &process, &dialogs};
        table = std::make_unique<drive_access::DeviceTable>(platform);
        scope = std::make_unique<drive_access::ScopedDeviceTable>(*table);
        console = std::make_unique<console::Console>(view, platform);
    }
    ~Station() {
        if (console)
            for (auto& w : console->Workers)
                if (w) w->WaitIdle();
        console.reset();
        scope.reset();
    }

    // The start-up as the window runs it.
    void Start() {
        console->CreateWorkers();
        console->ListDrives();
        console->ExplainUnusableDrives();
        console->ReadSettings();
        console->CheckFirmwareFileAtStartup();
    }

    // Presses Flash and ticks until the run has been reported.
    void Run() {
        Flash();
        TickToEnd();
    }
    void Flash() {
        before.clear();
        for (int i = 0; i < bay->DriveCount(); ++i) before.push_back({bay->Drive(i).BlocksReceived(), bay->Drive(i).Updates()});
        console->ButtonFlashClick();
    }
    void TickToEnd() {
        for (int ticks = 0; console->Running() && ticks < 300; ++ticks) {
            if (console->ProgressPercent >= 100)
                for (auto& w : console->Workers) w->WaitIdle();
            console->TimerPBTimer();
        }
        ASSERT_FALSE(console->Running()) << "the run never ended";
    }

    // The bay's drive behind a device of the table.
    virtual_drives::VirtualDrive& DriveOf(int device) { return bay->Drive(BayIndexOf(device)); }
    int BayIndexOf(int device) {
        const int32_t id = table->DeviceId(device);
        if (table->TransportMode() == drive_access::PassThroughMode) {
            int optical = -1;
            for (int i = 0; i < bay->DriveCount(); ++i)
                if (bay->Drive(i).Config().deviceType == virtual_drives::kTypeCdDvd && ++optical == id) return i;
        } else {
            for (int i = 0; i < bay->DriveCount(); ++i)
                if (bay->AspiPosition(i) == std::make_pair(id / 256, id % 256)) return i;
        }
        throw std::runtime_error("no drive behind device " + std::to_string(device));
    }

    std::vector<std::string> ReportMessages() const {
        std::vector<std::string> out;
        for (const auto& m : dialogs.Messages())
            if (m.rfind("Update\n", 0) == 0) out.push_back(m);
        return out;
    }

    platform::fakes::VirtualClock clock;
    platform::fakes::FakeProcess process;
    platform::fakes::FakeDialogs dialogs;
    std::unique_ptr<virtual_drives::VirtualBay> bay;
    platform::Platform platform{};
    std::unique_ptr<drive_access::DeviceTable> table;
    std::unique_ptr<drive_access::ScopedDeviceTable> scope;
    RecordingView view;
    std::unique_ptr<console::Console> console;
    // Per bay drive, before the latest run: blocks received and updates.
    struct Before {
        int blocks;
        int updates;
    };
    std::vector<Before> before;
};

// Checks the one promise of a run against the drives themselves: a drive is left out of the report
// exactly when it holds the image (and, with a reference stored, reads back as the reference),
// and the restart is offered exactly when every drive that had a job is such a drive.
inline void ExpectReportTellsTheTruth(Station& s) {
    const uint16_t reference = s.console->StoredChecksum;
    const auto& outcomes = s.console->LastOutcomes();
    std::vector<int> devicesWithJobs;
    std::vector<std::string> named_;  // the start of each line the report must have
    int named = 0;
    for (const console::SlotOutcome& o : outcomes) {
        SCOPED_TRACE("slot " + std::to_string(o.slot) + ", device " + std::to_string(o.device));
        EXPECT_EQ(std::count(devicesWithJobs.begin(), devicesWithJobs.end(), o.device), 0) << "a drive had two jobs";
        devicesWithJobs.push_back(o.device);
        EXPECT_EQ(s.console->SlotDevice[o.slot], o.device);
        const auto& drive = s.DriveOf(o.device);
        const bool programmed = Programmed(drive, s.before.at(s.BayIndexOf(o.device)).updates);
        const bool good =
            programmed && (reference == 0 || (drive.FlashReadable() && FlashSum(drive.Flash()) == reference));
        EXPECT_EQ(run::Good(o.outcome), good)
            << "programmed " << programmed << ", readable " << drive.FlashReadable();
        EXPECT_EQ(s.view.slots[o.slot].colour, good ? console::clGreen : console::clRed);
        if (!good) {
            ++named;
            named_.push_back(s.console->NodeOf(o.device) + "  ");
            // Every drive not updated says why, but a drive of another model, which needs no reason.
            if (o.outcome != console::Outcome::WrongDrive) {
                EXPECT_FALSE(o.reason.empty());
            }
        }
    }
    // Every checked slot's drive had its job; no other drive was touched.
    for (int slot = 0; slot < console::kSlotCount; ++slot) {
        if (s.view.slots[slot].visible && s.view.slots[slot].checked) {
            EXPECT_EQ(std::count(devicesWithJobs.begin(), devicesWithJobs.end(), s.console->SlotDevice[slot]), 1)
                << "slot " << slot << " had no job";
        }
    }
    for (int d = 0; d < s.table->DeviceCount(); ++d) {
        if (std::count(devicesWithJobs.begin(), devicesWithJobs.end(), d) == 0) {
            EXPECT_EQ(s.DriveOf(d).BlocksReceived(), s.before.at(s.BayIndexOf(d)).blocks)
                << "device " << d << " was written without a job";
        }
    }

    const auto reports = s.ReportMessages();
    const auto questions = s.dialogs.Questions();
    if (named == 0) {
        EXPECT_TRUE(reports.empty()) << reports.front();
        ASSERT_EQ(questions.size(), 1u);
        EXPECT_EQ(questions[0].first, "Update OK. Please close all programs. This computer will be rebooted.");
        EXPECT_EQ(s.process.restarts, 1);
    } else {
        EXPECT_TRUE(questions.empty()) << "restart offered after a run that left drives not updated";
        EXPECT_EQ(s.process.restarts, 0);
        ASSERT_EQ(reports.size(), 1u);
        // "Update", one line per drive not updated, in slot order, each starting with its node, "NG.".
        std::vector<std::string> lines;
        std::stringstream text(reports[0]);
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        ASSERT_EQ(lines.size(), named_.size() + 2) << reports[0];
        EXPECT_EQ(lines.front(), "Update");
        EXPECT_EQ(lines.back(), "NG.");
        for (size_t i = 0; i < named_.size(); ++i) EXPECT_EQ(lines[i + 1].rfind(named_[i], 0), 0u) << lines[i + 1];
    }
}

// A fresh working directory for each test: the console reads and writes FLASH.INI there.
struct ScratchDirectory : ::testing::Test {
    std::filesystem::path dir;
    std::filesystem::path oldDir;
    void SetUp() override {
        oldDir = std::filesystem::current_path();
        dir = std::filesystem::temp_directory_path() /
              ("rw-station-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        std::filesystem::current_path(oldDir);
        std::filesystem::remove_all(dir);
    }
};

inline virtual_drives::BayDescription Bay(const std::string& text) {
    virtual_drives::BayDescription description;
    std::string error;
    EXPECT_TRUE(virtual_drives::ParseBay(text, description, error)) << error;
    return description;
}
