#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>

#include "AspiThread/AspiExec.h"
#include "drive_access/DeviceTable.h"
#include "firmware/CvtFile.h"
#include "main/Main.h"
#include "platform/fakes/Fakes.h"
#include "platform/fakes/VirtualClock.h"
#include "virtual_drives/BayFile.h"
#include "virtual_drives/VirtualBay.h"

// Passes commands on to the bay, but can hold one drive's block writes until released, and can
// refuse to open a drive.
class GatedHost : public platform::DeviceHost {
public:
    explicit GatedHost(platform::DeviceHost& inner) : inner_(inner) {}
    std::vector<platform::OpticalDrive> ListOpticalDrives() override { return inner_.ListOpticalDrives(); }
    platform::Handle Open(int id, int* error) override {
        if (refuseOpen.count(id)) {
            *error = EACCES;
            return platform::kInvalidHandle;
        }
        const auto h = inner_.Open(id, error);
        std::lock_guard<std::mutex> lock(mutex_);
        ids_[h] = id;
        events.push_back("open " + std::to_string(id));
        return h;
    }
    void Close(platform::Handle handle) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events.push_back("close " + std::to_string(ids_[handle]));
        }
        inner_.Close(handle);
    }
    int SendPassThrough(platform::Handle handle, platform::PassThroughBlock& block, int* error) override {
        int id;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            id = ids_[handle];
        }
        if (id == heldDrive && block.Spt.Cdb[0] == 0xFA) {
            std::unique_lock<std::mutex> lock(mutex_);
            held_ = true;
            cv_.notify_all();
            cv_.wait(lock, [this] { return released_; });
        }
        return inner_.SendPassThrough(handle, block, error);
    }
    void WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return held_; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

    int heldDrive = -1;
    std::set<int> refuseOpen;
    std::vector<std::string> events;  // opens and closes, in order (the window's thread only)

private:
    platform::DeviceHost& inner_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<platform::Handle, int> ids_;
    bool held_ = false;
    bool released_ = false;
};

// A window over a virtual bay, the virtual clock and recording dialogs, in a fresh working
// directory.
struct WindowFixture : ::testing::Test {
    std::filesystem::path dir;
    std::filesystem::path oldDir;
    platform::fakes::VirtualClock clock;
    platform::fakes::FakeProcess process;
    platform::fakes::FakeDialogs dialogs;
    std::unique_ptr<virtual_drives::VirtualBay> bay;
    std::unique_ptr<GatedHost> host;
    platform::Platform platform{};
    std::unique_ptr<drive_access::DeviceTable> table;
    std::unique_ptr<drive_access::ScopedDeviceTable> scope;
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        oldDir = std::filesystem::current_path();
        dir = std::filesystem::temp_directory_path() /
              ("rw-window-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
        process.workingDirectory = dir.string();
        for (auto& w : WrongDrive) w = 0;
        DeviceNames.Clear();
        firmware::CloseCvtFile();
        firmware::CvtChecksumOk = false;
    }
    void TearDown() override {
        Reset();
        std::filesystem::current_path(oldDir);
        std::filesystem::remove_all(dir);
    }
    // Back to no window, no bay and no settings, for a test that starts several times.
    void Reset() {
        form.reset();  // workers finish their jobs before the bay goes
        scope.reset();
        table.reset();
        host.reset();
        bay.reset();
        std::filesystem::remove(dir / "FLASH.INI");
        dialogs.Clear();
        process.restarts = 0;
        for (auto& w : WrongDrive) w = 0;
        DeviceNames.Clear();
    }

    void Settings(const std::string& text) { std::ofstream(dir / "FLASH.INI", std::ios::binary) << text; }
    std::string SettingsFile() const {
        std::ifstream in(dir / "FLASH.INI", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Builds the bay and the window and runs the start-up.
    void Start(const virtual_drives::BayDescription& description) {
        bay = std::make_unique<virtual_drives::VirtualBay>(description, clock);
        host = std::make_unique<GatedHost>(bay->Devices());
        platform = platform::Platform{&clock, host.get(), &bay->Aspi(), &process, &dialogs};
        table = std::make_unique<drive_access::DeviceTable>(platform);
        scope = std::make_unique<drive_access::ScopedDeviceTable>(*table);
        form = std::make_unique<TForm1>(platform);
        form->FormCreate();
    }
    void Start(int goodDrives) { Start(virtual_drives::GoodDrives(goodDrives)); }

    console::Console& C() { return form->Logic(); }
    bool Visible(QWidget* w) const { return !w->isHidden(); }
    int32_t Colour(int slot) const { return form->Slots[slot]->property("fontColour").toInt(); }

    void WaitForJobs() {
        for (auto& w : C().Workers) w->WaitIdle();
    }
    // Ticks until the run has ended; returns the ticks taken.
    int TickToEnd(int limit = 200) {
        int ticks = 0;
        while (C().Running() && ticks < limit) {
            if (C().ProgressPercent >= 100) WaitForJobs();
            form->TimerPBTimer();
            ++ticks;
        }
        return ticks;
    }
};
