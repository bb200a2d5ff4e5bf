#include <atomic>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Station.h"
#include "platform/fakes/FakeSession.h"
#include "run/History.h"

namespace {

enum class Reference { None, Right, Wrong };

struct Case {
    const char* name;
    const char* drive;  // the line of the drive under test; a good drive is listed before it
    Reference reference = Reference::None;
};

// Command numbers as a drive counts them in a run: 1 and 2 the listing's INQUIRY and serial, 3 the
// worker's INQUIRY, 4 the medium test, 5 the eject, 6 + i block i, 54 on the read-back.
const Case kCases[] = {
    {"good", "drive"},
    {"good, verified", "drive", Reference::Right},
    {"wrong reference", "drive", Reference::Wrong},
    {"restart at the medium test", "drive tur=06/29/00"},
    {"restart on block 0", "drive refuse-block=0:06/29/00"},
    {"restart on block 20", "drive refuse-block=20:06/29/00"},
    {"restart on block 20 after one at the medium test", "drive tur=06/29/00 refuse-block=20:06/29/00"},
    {"restart on the last block", "drive refuse-block=47:06/29/00"},
    {"restart on the last block, verified", "drive refuse-block=47:06/29/00", Reference::Right},
    {"other reset sense on block 20", "drive refuse-block=20:06/28/00"},
    {"write error on block 0", "drive refuse-block=0:03/0C/00"},
    {"write error on block 20", "drive tur=06/29/00 refuse-block=20:03/0C/00"},
    {"write error on the last block", "drive tur=06/29/00 refuse-block=47:03/0C/00"},
    {"hung block 0", "drive tur=06/29/00 hang-block=0"},
    {"hung block 20", "drive tur=06/29/00 hang-block=20"},
    {"hung last block", "drive tur=06/29/00 hang-block=47"},
    {"hung INQUIRY", "drive hang=3"},
    {"hung medium test", "drive hang=4"},
    {"hung eject", "drive tur=06/29/00 hang=5"},
    {"hung read-back, retried", "drive hang=54", Reference::Right},
    {"gone before the write", "drive tur=06/29/00 vanish-after=5"},
    {"gone after block 0", "drive tur=06/29/00 vanish-after=6"},
    {"gone mid-transfer", "drive tur=06/29/00 vanish-after=29"},
    {"gone before the last block", "drive tur=06/29/00 vanish-after=52"},
    {"gone during the wait", "drive vanish-after=53"},
    {"gone during the wait, verified", "drive vanish-after=53", Reference::Right},
    {"gone during the read-back", "drive vanish-after=300", Reference::Right},
    {"gone after the listing", "drive vanish-after=2"},
    {"failed INQUIRY", "drive inquiry-fail"},
    {"no disc", "drive medium=none"},
    {"no disc, tray closed", "drive medium=tray-closed"},
    {"no disc, tray open", "drive tur=06/29/00 medium=tray-open"},
    {"becoming ready", "drive tur=02/04/01,02/04/01"},
    {"other model", "drive product=\"DVD RW LMX2000\""},
    {"held by another program", "drive busy=4242"},
    {"other model, verified", "drive product=\"DVD RW LMX2000\"", Reference::Right},
    {"read-back fails", "drive read-fail=0x100000", Reference::Right},
    {"read-back fails once", "drive read-fail=0x100000:once", Reference::Right},
    {"read-back fails unverified", "drive read-fail=0x100000"},
};

uint16_t ReferenceSum(Reference r) {
    return r == Reference::None ? 0 : r == Reference::Right ? UpdatedSum() : static_cast<uint16_t>(UpdatedSum() ^ 0x1234);
}

using RunTruth = ScratchDirectory;

TEST_F(RunTruth, EveryFaultAtEveryPlaceInBothTransports) {
    for (Transport transport : {Transport::PassThrough, Transport::Aspi}) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(Name(transport)) + ": " + c.name);
            Station s(Bay(std::string("drive\n") + c.drive + "\n"), transport);
            s.Start();
            ASSERT_EQ(s.console->ListedCount, 2);
            s.console->StoredChecksum = ReferenceSum(c.reference);
            s.Run();
            ExpectReportTellsTheTruth(s);
        }
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(RunTruth, ExampleBaysOfTenDrives) {
    for (const char* file : {"faults.bay", "restarts.bay", "mixed.bay", "ten.bay"}) {
        const std::string text = ReadFile(std::string(RW_VIRTUAL_DRIVES_EXAMPLES) + "/" + file);
        ASSERT_FALSE(text.empty()) << file;
        for (Transport transport : {Transport::PassThrough, Transport::Aspi}) {
            for (Reference reference : {Reference::None, Reference::Right}) {
                SCOPED_TRACE(std::string(file) + ", " + Name(transport) +
                             (reference == Reference::Right ? ", verified" : ""));
                Station s(Bay(text), transport);
                s.Start();
                s.console->StoredChecksum = ReferenceSum(reference);
                s.Run();
                ExpectReportTellsTheTruth(s);
            }
        }
    }
}

TEST_F(RunTruth, ADriveAnotherProgramHoldsIsNamedAndNeverSentAnything) {
    Station s(Bay("drive\ndrive busy=4242\n"), Transport::PassThrough);
    s.Start();
    EXPECT_EQ(s.dialogs.Messages(),
              std::vector<std::string>{"In use by another program: virtual:sr1 (process 4242). Romwright sends "
                                       "nothing to a drive another program holds."});
    s.Run();
    ExpectReportTellsTheTruth(s);
    EXPECT_EQ(s.bay->Drive(1).CommandCount(), 0);
    ASSERT_EQ(s.console->LastOutcomes().size(), 2u);
    EXPECT_EQ(s.console->LastOutcomes()[1].outcome, console::Outcome::Busy);
    EXPECT_EQ(s.console->Workers[1]->BusyHolder, 4242);
}

TEST_F(RunTruth, UncheckedSlotsAndASecondRun) {
    for (Transport transport : {Transport::PassThrough, Transport::Aspi}) {
        SCOPED_TRACE(Name(transport));
        Station s(Bay("drive\ndrive refuse-block=20:06/29/00\ndrive\n"), transport);
        s.Start();
        s.view.slots[2].checked = false;
        s.Run();
        ExpectReportTellsTheTruth(s);
        EXPECT_EQ(s.view.slots[2].colour, console::clBlack);
        EXPECT_EQ(s.view.panels[1], "Complete: 100%");

        // The drive that failed is still on the old firmware; a second run on it alone fails again.
        s.dialogs.Clear();
        s.view.slots[0].checked = false;
        s.view.slots[2].checked = false;
        s.Run();
        ExpectReportTellsTheTruth(s);
        EXPECT_EQ(s.console->LastOutcomes().size(), 1u);
    }
}

}  // namespace

namespace {

using platform::fakes::FakeSession;

using Record = ScratchDirectory;

TEST_F(Record, EveryJobLeavesOneJsonLineAndOneJournalEntryAndTheRunHoldsTheInhibitor) {
    const std::string text = ReadFile(std::string(RW_VIRTUAL_DRIVES_EXAMPLES) + "/faults.bay");
    FakeSession session;
    Station s(Bay(text), Transport::PassThrough);
    s.platform.session = &session;
    s.console->HistoryPath = (dir / "state/romwright/history.jsonl").string();
    s.console->VirtualDrives = true;
    s.Start();
    s.console->StoredChecksum = UpdatedSum();
    s.Flash();
    EXPECT_EQ(session.held, 1);  // from Flash ...
    s.TickToEnd();
    EXPECT_EQ(session.held, 0);  // ... to the end of the run
    ExpectReportTellsTheTruth(s);
    EXPECT_EQ(s.dialogs.dismissals, 1);  // a close question left open goes before the report
    ASSERT_EQ(session.Calls().size(), 1u);
    EXPECT_EQ(session.Calls()[0],
              "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch|"
              "Romwright|Updating DVD writer firmware|block");

    std::ifstream in(dir / "state/romwright/history.jsonl");
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    const auto& outcomes = s.console->LastOutcomes();
    ASSERT_EQ(lines.size(), outcomes.size());
    ASSERT_EQ(session.Entries().size(), outcomes.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto& j = lines[i];
        SCOPED_TRACE(j.dump());
        for (const char* key : {"time", "run", "node", "serial", "identity", "outcome", "reason", "sense", "version"})
            EXPECT_TRUE(j.at(key).is_string()) << key;
        EXPECT_EQ(j.at("run"), lines[0].at("run"));
        EXPECT_EQ(j.at("slot"), outcomes[i].slot);
        EXPECT_EQ(j.at("node"), "virtual:sr" + std::to_string(outcomes[i].device));
        const auto& drive = s.DriveOf(outcomes[i].device);
        EXPECT_EQ(j.at("serial"), drive.Config().inquiryFailure ? "" : drive.Serial());
        EXPECT_EQ(j.at("outcome"), run::OutcomeWord(outcomes[i].outcome));
        EXPECT_EQ(j.at("reason"), outcomes[i].reason);
        EXPECT_EQ(j.at("virtual"), true);
        EXPECT_EQ(j.at("image").at("additive_sum"), "0x27CE");
        // A read-back is recorded for the jobs that read back, with the reference it met.
        EXPECT_EQ(j.contains("read_back"), outcomes[i].outcome == console::Outcome::Verified ||
                                               outcomes[i].outcome == console::Outcome::VerifyNg);
    }
    EXPECT_EQ(lines[1].at("sense"), "");                                // lost in the transport
    EXPECT_EQ(lines[2].at("sense"), "03/0C/00");                        // refused
    EXPECT_EQ(lines[0].at("read_back"), lines[0].at("reference"));      // verified
}

TEST_F(Record, ARecordThatCannotBeWrittenIsSaidAndTheRunGoesOn) {
    FakeSession session;
    session.refuse = true;
    Station s(Bay("drive\n"), Transport::Aspi);
    s.platform.session = &session;
    std::ofstream(dir / "plain") << "a file where a folder should be";
    s.console->HistoryPath = (dir / "plain/romwright/history.jsonl").string();
    s.Start();
    s.Flash();
    EXPECT_EQ(s.view.panels[2], "Sleep not blocked: no login manager");
    s.TickToEnd();
    ExpectReportTellsTheTruth(s);
    EXPECT_EQ(s.view.panels[2].rfind("Record not written: cannot make ", 0), 0u) << s.view.panels[2];
}

}  // namespace
