// What one job did to its drive, in the words the report, the window and the record use. Plain
// functions over what a worker left; no front end and no drive here.
#pragma once

#include <cstdint>
#include <string>

#include "AspiThread/AspiExec.h"

namespace run {

// What a DVD writer's sense means, with the raw code: "write error (03/0C/00)". Codes the table
// does not know come raw: "sense 09/80/00".
std::string DescribeSense(uint32_t code);
// "03/0C/00"
std::string SenseText(uint32_t code);

enum class Outcome { Updated, Verified, WrongDrive, Failed, Busy, VerifyNg };

// What a worker left after a job, copied so it can be judged and recorded on any thread.
struct JobFacts {
    int32_t result = ResultOk;
    JobStop stop = JobStop::None;
    int32_t stopBlock = -1;
    uint32_t stopSense = 0;
    int32_t stopError = 0;
    int32_t busyHolder = 0;
    bool wrongDrive = false;
    bool verifying = false;  // a reference was stored and the job read the flash back
    uint16_t reference = 0;
    uint16_t readBackSum = 0;
    bool readBackFailed = false;
};

JobFacts FactsOf(const AspiExec& worker, bool wrongDrive, bool verifying, uint16_t reference);

struct JobReport {
    Outcome outcome = Outcome::Updated;
    std::string tag;     // empty when updated
    std::string reason;  // empty when there is nothing to add to the tag
};

JobReport Judge(const JobFacts& facts);

// Whether the outcome leaves the drive on the new firmware (verified where a reference applies).
inline bool Good(Outcome o) { return o == Outcome::Updated || o == Outcome::Verified; }

// "sr2  ORVEX   DVD RW LMX2097  (Update failed: block 20 refused: write error (03/0C/00))"
std::string ReportLine(const std::string& node, const std::string& name, const JobReport& report);

// The state column's last word on a job: "updated", "updated and verified", "failed", ...
const char* StateWord(Outcome o);

// This program's version, as every front end and record shows it.
extern const char* const kVersion;

// A stable word for the outcome: updated, verified, wrong-drive, failed, busy, verify-ng.
const char* OutcomeWord(Outcome o);

// What a slot's state column shows: the job's phase while it runs, then its outcome.
std::string StateText(JobState state, int32_t block, int32_t blockCount, int64_t secondsInState);

// The node as an operator names it: "sr2" for "/dev/sr2", "virtual:sr2" as it is.
std::string ShortNode(const std::string& node);

}  // namespace run
