#include <gtest/gtest.h>

#include <cerrno>

#include "run/History.h"
#include "run/Report.h"

namespace {

using run::JobFacts;
using run::Outcome;

TEST(Report, EachWayAJobEndsHasItsTagAndReason) {
    struct Case {
        const char* name;
        JobFacts facts;
        Outcome outcome;
        const char* line;  // as the report shows it for node sr2 and a drive of the model
    };
    auto failed = [](JobStop stop, int block, uint32_t sense, int error) {
        JobFacts f;
        f.result = ResultFailed;
        f.stop = stop;
        f.stopBlock = block;
        f.stopSense = sense;
        f.stopError = error;
        return f;
    };
    JobFacts wrong;
    wrong.result = ResultWrongDrive;
    wrong.wrongDrive = true;
    JobFacts busy;
    busy.result = ResultBusy;
    busy.busyHolder = 4242;
    JobFacts verified;
    verified.verifying = true;
    verified.reference = verified.readBackSum = 0x2EE6;
    JobFacts mismatch = verified;
    mismatch.readBackSum = 0x1234;
    JobFacts unreadable = verified;
    unreadable.readBackSum = 0;
    unreadable.readBackFailed = true;
    const Case cases[] = {
        {"updated", JobFacts{}, Outcome::Updated, nullptr},
        {"verified", verified, Outcome::Verified, nullptr},
        {"wrong model", wrong, Outcome::WrongDrive, "sr2  NAME  (Wrong Drive, Can't flash)"},
        {"busy", busy, Outcome::Busy, "sr2  NAME  (Update failed: in use by another program (process 4242))"},
        {"tray closed", failed(JobStop::NoMedium, -1, 0x023A01, 0), Outcome::Failed,
         "sr2  NAME  (Update failed: no disc, tray closed)"},
        {"write error", failed(JobStop::BlockRefused, 20, 0x030C00, 0), Outcome::Failed,
         "sr2  NAME  (Update failed: block 20 refused: write error (03/0C/00))"},
        {"unknown sense", failed(JobStop::BlockRefused, 3, 0x098000, 0), Outcome::Failed,
         "sr2  NAME  (Update failed: block 3 refused: sense 09/80/00)"},
        {"restart", failed(JobStop::BlockRestarted, 7, 0x062900, 0), Outcome::Failed,
         "sr2  NAME  (Update failed: the drive restarted during the transfer (block 7))"},
        {"hung", failed(JobStop::BlockLost, 47, 0, ETIMEDOUT), Outcome::Failed,
         "sr2  NAME  (Update failed: the drive stopped answering (block 47))"},
        {"gone", failed(JobStop::BlockLost, 0, 0, ENODEV), Outcome::Failed,
         "sr2  NAME  (Update failed: the drive left the bus (block 0))"},
        {"no answer", failed(JobStop::NoAnswer, -1, 0, ETIMEDOUT), Outcome::Failed,
         "sr2  NAME  (Update failed: the drive stopped answering)"},
        {"inquiry refused", failed(JobStop::NoAnswer, -1, 0x044400, 0), Outcome::Failed,
         "sr2  NAME  (Update failed: INQUIRY refused: internal drive failure (04/44/00))"},
        {"read back differs", mismatch, Outcome::VerifyNg, "sr2  NAME  (Verify NG: read back 0x1234, expected 0x2EE6)"},
        {"read back failed", unreadable, Outcome::VerifyNg, "sr2  NAME  (Verify NG: the flash could not be read)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const run::JobReport r = run::Judge(c.facts);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(run::Good(r.outcome), c.line == nullptr);
        if (c.line) {
            EXPECT_EQ(run::ReportLine("sr2", "NAME", r), c.line);
        }
    }
}

TEST(Report, SenseWordsForWhatDvdWritersSay) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0x020401, "becoming ready (02/04/01)"},   {0x020408, "not ready, long write in progress (02/04/08)"},
        {0x023A00, "no disc (02/3A/00)"},          {0x023A02, "no disc, tray open (02/3A/02)"},
        {0x031100, "read error (03/11/00)"},       {0x030000, "medium error (03/00/00)"},
        {0x044400, "internal drive failure (04/44/00)"}, {0x052000, "invalid command (05/20/00)"},
        {0x052400, "invalid field in the command (05/24/00)"}, {0x052602, "invalid value in the data (05/26/02)"},
        {0x062800, "the disc may have changed (06/28/00)"}, {0x062902, "the drive restarted (06/29/02)"},
        {0x0B0000, "command aborted (0B/00/00)"},  {0x262900, "sense 26/29/00"},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(run::DescribeSense(code), text);
}

TEST(Report, StatesAsTheSlotsShowThem) {
    EXPECT_EQ(run::StateText(JobState::Writing, 11, 48, 3), "writing block 12 of 48");
    EXPECT_EQ(run::StateText(JobState::WaitingForDrive, 0, 48, 7), "waiting for the drive, 7 s");
    EXPECT_EQ(run::StateText(JobState::Programming, 0, 48, 15), "programming, 45 s left");
    EXPECT_EQ(run::StateText(JobState::Programming, 0, 48, 75), "programming, 0 s left");
    EXPECT_EQ(run::ShortNode("/dev/sr2"), "sr2");
    EXPECT_EQ(run::ShortNode("virtual:sr2"), "virtual:sr2");
}

TEST(History, ALineOfJsonWhateverBytesADriveAnswered) {
    run::JobRecord r;
    r.time = run::IsoTime(951868799);  // the last second of a leap-year February
    r.identity = std::string("ORVEX\xff\n\"x", 9);
    r.outcome = "failed";
    const std::string line = run::ToJsonLine(r);
    EXPECT_EQ(r.time, "2000-02-29T23:59:59Z");
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line, whatever the identity held
    EXPECT_EQ(line.find("\"slot\""), std::string::npos);  // no slot where there are none
}

}  // namespace
