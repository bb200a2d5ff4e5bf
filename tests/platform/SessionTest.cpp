// LogindSession against a private dbus-daemon with a stand-in login manager; the real system bus
// is never touched.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/LogindSession.h"
#include "tests/platform/FakeLogind.h"

using platform::Inhibitor;
using platform::LogindSession;
using testbus::FakeLogind;
using testbus::PrivateBus;
using testbus::Refusal;

namespace {

const std::string kWhat =
    "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch";
const std::string kWho = "Romwright";
const std::string kWhy = "Updating DVD writer firmware";
const std::string kMode = "block";

// True once every copy of the lock is closed: the read end then sees EOF.
bool Released(int readEnd, int waitMs) {
    pollfd p{readEnd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    char c;
    return read(readEnd, &c, 1) == 0;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(bus_.Address().empty()) << bus_.Problem(); }

    // Started on demand: some tests want the bus without a login manager.
    FakeLogind& Logind() {
        if (!logind_) logind_ = std::make_unique<FakeLogind>(bus_.Address());
        EXPECT_EQ(logind_->Problem(), "");
        return *logind_;
    }

    PrivateBus bus_;
    std::unique_ptr<FakeLogind> logind_;  // stops before the daemon
};

TEST_F(SessionTest, InhibitSendsItsArgumentsAndHoldsTheLockUntilDestroyed) {
    FakeLogind& logind = Logind();
    LogindSession session(bus_.Address());
    std::string error = "stale";

    auto inhibitor = session.Inhibit(kWhat, kWho, kWhy, kMode, &error);
    ASSERT_NE(inhibitor, nullptr) << error;
    EXPECT_EQ(error, "");

    const auto calls = logind.Inhibits();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, kWhat);
    EXPECT_EQ(calls[0].who, kWho);
    EXPECT_EQ(calls[0].why, kWhy);
    EXPECT_EQ(calls[0].mode, kMode);

    EXPECT_FALSE(Released(calls[0].lockReadEnd, 300)) << "the lock went with the reply";
    inhibitor.reset();
    EXPECT_TRUE(Released(calls[0].lockReadEnd, 5000)) << "the lock outlived its Inhibitor";
}

TEST_F(SessionTest, DefaultSessionUsesTheSystemBusAddress) {
    // The daemon is up and no other thread runs yet, so changing the environment is safe here.
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string saved = previous ? previous : "";
    ASSERT_EQ(setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.Address().c_str(), 1), 0);
    ASSERT_STREQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), bus_.Address().c_str());
    {
        FakeLogind& logind = Logind();
        LogindSession session;
        std::string error;
        // Inhibit only: were the address ignored, nothing here may restart the machine.
        EXPECT_NE(session.Inhibit(kWhat, kWho, kWhy, kMode, &error), nullptr) << error;
        EXPECT_EQ(logind.Inhibits().size(), 1u);
        logind_.reset();
    }
    if (previous)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST_F(SessionTest, ConcurrentCallersEachHoldTheirOwnLock) {
    FakeLogind& logind = Logind();
    LogindSession session(bus_.Address());
    constexpr int kThreads = 4;
    std::vector<std::unique_ptr<Inhibitor>> locks(kThreads);
    std::vector<int> restarts(kThreads, -1);
    std::vector<std::string> errors(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            locks[i] = session.Inhibit(kWhat, kWho, kWhy, kMode, &errors[i]);
            restarts[i] = session.RequestRestart(&errors[i]);
        });
    for (auto& t : threads) t.join();

    const auto calls = logind.Inhibits();
    ASSERT_EQ(calls.size(), size_t(kThreads));
    EXPECT_EQ(logind.Reboots().size(), size_t(kThreads));
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_NE(locks[i], nullptr) << errors[i];
        EXPECT_EQ(restarts[i], 1) << errors[i];
    }
    // Dropping one lock leaves the others held.
    locks[0].reset();
    int released = 0;
    for (const auto& call : calls) released += Released(call.lockReadEnd, 300) ? 1 : 0;
    EXPECT_EQ(released, 1);
    locks.clear();
    for (const auto& call : calls) EXPECT_TRUE(Released(call.lockReadEnd, 5000));
}

TEST_F(SessionTest, RefusedInhibitGivesNoLockAndSaysWhy) {
    FakeLogind& logind = Logind();
    logind.RefuseInhibit(Refusal{"org.freedesktop.DBus.Error.AccessDenied", "Permission denied by policy"});
    LogindSession session(bus_.Address());
    std::string error;

    EXPECT_EQ(session.Inhibit(kWhat, kWho, kWhy, kMode, &error), nullptr);
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
    EXPECT_NE(error.find("Permission denied by policy"), std::string::npos) << error;
}

TEST_F(SessionTest, InhibitRefusesTextsThatDBusWouldCutShort) {
    FakeLogind& logind = Logind();
    LogindSession session(bus_.Address());
    std::string error;

    EXPECT_EQ(session.Inhibit(kWhat, kWho, std::string("Updating\0 firmware", 18), kMode, &error), nullptr);
    EXPECT_NE(error.find("NUL"), std::string::npos) << error;
    EXPECT_TRUE(logind.Inhibits().empty());
}

TEST_F(SessionTest, AcceptedRestartIsNeverInteractive) {
    FakeLogind& logind = Logind();
    LogindSession session(bus_.Address());
    std::string error = "stale";

    EXPECT_EQ(session.RequestRestart(&error), 1);
    EXPECT_EQ(error, "");
    EXPECT_EQ(logind.Reboots(), std::vector<bool>{false});
}

TEST_F(SessionTest, RefusedRestartGivesZeroAndSaysWhy) {
    FakeLogind& logind = Logind();
    LogindSession session(bus_.Address());
    const Refusal refusals[] = {
        {"org.freedesktop.DBus.Error.AccessDenied", "Access denied"},
        {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", "Interactive authentication required."},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        logind.RefuseReboot(refusal);
        std::string error;
        EXPECT_EQ(session.RequestRestart(&error), 0);
        EXPECT_NE(error.find("refused"), std::string::npos) << error;
        EXPECT_NE(error.find(refusal.message), std::string::npos) << error;
    }
    EXPECT_EQ(logind.Reboots(), (std::vector<bool>{false, false}));
}

TEST_F(SessionTest, NoLoginManagerOnTheBus) {
    LogindSession session(bus_.Address());
    std::string inhibitError, restartError;

    EXPECT_EQ(session.Inhibit(kWhat, kWho, kWhy, kMode, &inhibitError), nullptr);
    EXPECT_EQ(session.RequestRestart(&restartError), 0);
    EXPECT_NE(inhibitError.find("no login manager"), std::string::npos) << inhibitError;
    EXPECT_NE(restartError.find("no login manager"), std::string::npos) << restartError;
    // A null error pointer is allowed.
    EXPECT_EQ(session.Inhibit(kWhat, kWho, kWhy, kMode, nullptr), nullptr);
    EXPECT_EQ(session.RequestRestart(nullptr), 0);
}

TEST(SessionUnreachableBusTest, GivesNoLockNoRestartAndSaysWhy) {
    const std::string addresses[] = {"unix:path=/nonexistent/romwright/bus", "no-such-transport:x=1", ""};
    for (const std::string& address : addresses) {
        SCOPED_TRACE(address);
        LogindSession session(address);
        std::string inhibitError, restartError;
        EXPECT_EQ(session.Inhibit(kWhat, kWho, kWhy, kMode, &inhibitError), nullptr);
        EXPECT_EQ(session.RequestRestart(&restartError), 0);
        EXPECT_FALSE(inhibitError.empty());
        EXPECT_EQ(inhibitError, restartError);
    }
}

TEST(JournalTest, FieldNames) {
    const struct {
        const char* name;
        bool valid;
    } cases[] = {
        {"MESSAGE", true},
        {"ROMWRIGHT_NODE", true},
        {"PRIORITY", true},
        {"A1_B2", true},
        {"", false},
        {"message", false},
        {"ROMWRIGHT-NODE", false},
        {"ROMWRIGHT NODE", false},
        {"ROMWRIGHT=NODE", false},
        {"_PID", false},  // trusted fields are the journal's own
        {"1ST", false},
        {"NÖDE", false},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::IsJournalFieldName(c.name), c.valid) << '"' << c.name << '"';
    EXPECT_TRUE(platform::IsJournalFieldName(std::string(64, 'A')));
    EXPECT_FALSE(platform::IsJournalFieldName(std::string(65, 'A')));
}

TEST(JournalTest, RefusesEntriesTheJournalWouldDropOrMangle) {
    LogindSession session("unix:path=/nonexistent/romwright/bus");
    EXPECT_FALSE(session.Journal({}));
    EXPECT_FALSE(session.Journal({{"ROMWRIGHT_NODE", "/dev/sr0"}}));  // no MESSAGE
    EXPECT_FALSE(session.Journal({{"MESSAGE", "flashed"}, {"romwright_node", "/dev/sr0"}}));
    EXPECT_FALSE(session.Journal({{"MESSAGE", "flashed"}, {"ROMWRIGHT_NODE=/dev/sr1\nPRIORITY", "0"}}));
}

TEST(JournalTest, SendsAnyValueBytesWithoutCrashing) {
    // Whether journald listens depends on the machine; only the absence of a crash is checked.
    LogindSession session;
    const std::string binary("line one\nline two\0tail=\xff", 24);
    const bool sent = session.Journal({{"MESSAGE", "Romwright journal self-test"},
                                       {"ROMWRIGHT_NODE", binary},
                                       {"ROMWRIGHT_EMPTY", ""},
                                       {"ROMWRIGHT_LARGE", std::string(256 * 1024, 'x')}});
    (void)sent;
}

}  // namespace
