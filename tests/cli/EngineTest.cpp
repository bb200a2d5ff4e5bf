// The run engine over a virtual bay: what it hands out when asked to stop, what it records,
// and that devices past the program-wide ten-entry tables are judged from their own workers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "drive_access/DeviceTable.h"
#include "platform/fakes/FakeSession.h"
#include "platform/fakes/Fakes.h"
#include "platform/fakes/VirtualClock.h"
#include "run/Engine.h"
#include "virtual_drives/BayFile.h"
#include "virtual_drives/VirtualBay.h"

namespace {

using platform::fakes::FakeSession;

// Stops the run once `stopAfter` jobs have ended; notes whether the inhibitor was held meanwhile.
class Observer : public run::EngineObserver {
public:
    Observer(int stopAfter, FakeSession& session) : stopAfter_(stopAfter), session_(session) {}
    void StateChanged(const run::DriveJob&, const run::DriveProgress&) override {
        heldWhileRunning = heldWhileRunning && session_.held == 1;
    }
    void Finished(const run::DriveResult&) override { ++finished; }
    bool StopRequested() override { return finished >= stopAfter_; }
    int finished = 0;
    bool heldWhileRunning = true;

private:
    int stopAfter_;
    FakeSession& session_;
};

virtual_drives::BayDescription Bay(const std::string& text) {
    virtual_drives::BayDescription description;
    std::string error;
    EXPECT_TRUE(virtual_drives::ParseBay(text, description, error)) << error;
    return description;
}

struct Bench {
    explicit Bench(int drives) : Bench(virtual_drives::GoodDrives(drives)) {}
    explicit Bench(const virtual_drives::BayDescription& description) : bay(description, clock) {
        platform = {&clock, &bay.Devices(), &bay.Aspi(), &process, &dialogs};
        table = std::make_unique<drive_access::DeviceTable>(platform);
        scope = std::make_unique<drive_access::ScopedDeviceTable>(*table);
        dir = std::filesystem::temp_directory_path() /
              ("rw-engine-" + std::to_string(::getpid()) + "-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
    }
    ~Bench() { std::filesystem::remove_all(dir); }
    std::vector<run::DriveJob> Jobs() const {
        std::vector<run::DriveJob> jobs;
        for (int i = 0; i < table->DeviceCount(); ++i) jobs.push_back({i, run::ShortNode(table->DeviceNode(i)), ""});
        return jobs;
    }
    run::EngineOptions Options(int parallel) {
        run::EngineOptions o;
        o.historyPath = (dir / "history.jsonl").string();
        o.session = &session;
        o.maxParallel = parallel;
        return o;
    }
    size_t Records() const {
        std::ifstream in(dir / "history.jsonl");
        size_t n = 0;
        for (std::string line; std::getline(in, line);) ++n;
        return n;
    }

    platform::fakes::VirtualClock clock;
    platform::fakes::FakeProcess process;
    platform::fakes::FakeDialogs dialogs;
    virtual_drives::VirtualBay bay;
    platform::Platform platform{};
    std::unique_ptr<drive_access::DeviceTable> table;
    std::unique_ptr<drive_access::ScopedDeviceTable> scope;
    FakeSession session;
    std::filesystem::path dir;
};

TEST(Engine, AStopBeforeTheHandOutStartsNothing) {
    Bench b(3);
    Observer observer(0, b.session);
    run::Engine engine(b.clock, b.Options(0));
    const auto results = engine.Run(b.Jobs(), observer);
    ASSERT_EQ(results.size(), 3u);
    for (const auto& r : results) {
        EXPECT_FALSE(r.started);
        EXPECT_FALSE(run::Good(r.report.outcome));
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(b.bay.Drive(i).BlocksReceived(), 0);
    EXPECT_TRUE(engine.StopRequested());
    EXPECT_TRUE(b.session.Calls().empty());
    EXPECT_TRUE(b.session.Entries().empty());
    EXPECT_EQ(b.Records(), 0u);
}

// Twelve drives, four at a time, stopped once the first job has ended: the jobs under way end
// as updates, the rest are never touched, and only the jobs that ran are recorded.
TEST(Engine, AStopInAWaveLetsTheWaveEndAndStartsNoMore) {
    Bench b(12);
    Observer observer(1, b.session);
    run::Engine engine(b.clock, b.Options(4));
    const auto results = engine.Run(b.Jobs(), observer);
    ASSERT_EQ(results.size(), 12u);
    int started = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& r = results[i];
        const auto& drive = b.bay.Drive(static_cast<int>(i));
        if (r.started) {
            ++started;
            EXPECT_EQ(r.report.outcome, run::Outcome::Updated);
            EXPECT_EQ(drive.Updates(), 1);
            EXPECT_EQ(r.identity, "ORVEX   DVD RW LMX2097");
        } else {
            EXPECT_EQ(drive.BlocksReceived(), 0);
        }
    }
    EXPECT_GE(started, 4);
    EXPECT_LT(started, 12);
    EXPECT_TRUE(observer.heldWhileRunning);
    EXPECT_EQ(b.session.held, 0);
    EXPECT_EQ(static_cast<int>(b.session.Entries().size()), started);
    EXPECT_EQ(b.Records(), static_cast<size_t>(started));
}

// Devices past the tenth have no entry in the program-wide tables: the wrong model is still
// told, with the identity its own worker read.
TEST(Engine, DevicesPastTheTenthAreJudgedFromTheirOwnWorkers) {
    std::string text;
    for (int i = 0; i < 11; ++i) text += "drive\n";
    Bench b(Bay(text + "drive product=\"DVD RW LMX2000\"\n"));
    Observer observer(1000, b.session);
    run::Engine engine(b.clock, b.Options(0));
    const auto results = engine.Run(b.Jobs(), observer);
    ASSERT_EQ(results.size(), 12u);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(results[i].report.outcome, run::Outcome::Updated) << i;
    EXPECT_EQ(results[11].report.outcome, run::Outcome::WrongDrive);
    EXPECT_EQ(results[11].identity, "ORVEX   DVD RW LMX2000");
    EXPECT_EQ(b.bay.Drive(11).BlocksReceived(), 0);
}

}  // namespace
