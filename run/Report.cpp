#include "run/Report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace run {
namespace {

struct Known {
    int key, asc, ascq;  // -1: any
    const char* text;
};

// What DVD writers report while being written and read, in words an operator can act on.
constexpr Known kSense[] = {
    {0x02, 0x04, 0x01, "becoming ready"},
    {0x02, 0x04, 0x02, "not ready, needs a start"},
    {0x02, 0x04, 0x08, "not ready, long write in progress"},
    {0x02, 0x04, -1, "not ready"},
    {0x02, 0x3A, 0x00, "no disc"},
    {0x02, 0x3A, 0x01, "no disc, tray closed"},
    {0x02, 0x3A, 0x02, "no disc, tray open"},
    {0x02, 0x3A, -1, "no disc"},
    {0x03, 0x0C, -1, "write error"},
    {0x03, 0x11, -1, "read error"},
    {0x03, -1, -1, "medium error"},
    {0x04, 0x44, -1, "internal drive failure"},
    {0x04, -1, -1, "hardware error"},
    {0x05, 0x20, 0x00, "invalid command"},
    {0x05, 0x24, 0x00, "invalid field in the command"},
    {0x05, 0x26, 0x00, "invalid field in the data"},
    {0x05, 0x26, 0x02, "invalid value in the data"},
    {0x05, 0x26, -1, "invalid data"},
    {0x05, 0x2C, 0x00, "command out of sequence"},
    {0x05, -1, -1, "command refused"},
    {0x06, 0x28, -1, "the disc may have changed"},
    {0x06, 0x29, -1, "the drive restarted"},
    {0x06, -1, -1, "unit attention"},
    {0x0B, -1, -1, "command aborted"},
};

const char* Lookup(uint32_t code) {
    const int key = (code >> 16) & 0xFF, asc = (code >> 8) & 0xFF, ascq = code & 0xFF;
    for (const Known& k : kSense) {
        if (k.key != key || (k.asc != -1 && k.asc != asc) || (k.ascq != -1 && k.ascq != ascq)) continue;
        return k.text;
    }
    return nullptr;
}

std::string TransportWords(int error) {
    switch (error) {
    case ETIMEDOUT:
        return "the drive stopped answering";
    case ENODEV:
    case ENXIO:
        return "the drive left the bus";
    case EBUSY:
        return "another program holds the drive";
    case EACCES:
    case EPERM:
        return "no permission to send the command";
    default:
        return std::string("the command was lost: ") + std::strerror(error != 0 ? error : EIO);
    }
}

std::string Hex16(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

}  // namespace

std::string SenseText(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X/%02X/%02X", (code >> 16) & 0xFF, (code >> 8) & 0xFF, code & 0xFF);
    return text;
}

std::string DescribeSense(uint32_t code) {
    const char* known = Lookup(code);
    return known ? std::string(known) + " (" + SenseText(code) + ")" : "sense " + SenseText(code);
}

JobFacts FactsOf(const AspiExec& worker, bool wrongDrive, bool verifying, uint16_t reference) {
    JobFacts f;
    f.result = worker.ResultCode;
    f.stop = worker.Stop;
    f.stopBlock = worker.StopBlock;
    f.stopSense = worker.StopSense;
    f.stopError = worker.StopError;
    f.busyHolder = worker.BusyHolder;
    f.wrongDrive = wrongDrive;
    f.verifying = verifying;
    f.reference = reference;
    f.readBackSum = worker.ReadBackSum;
    f.readBackFailed = worker.ReadBackFailed != 0;
    return f;
}

JobReport Judge(const JobFacts& f) {
    JobReport r;
    if (f.wrongDrive || f.result == ResultWrongDrive) {
        r.outcome = Outcome::WrongDrive;
        r.tag = "Wrong Drive, Can't flash";
        return r;
    }
    if (f.result == ResultBusy) {
        r.outcome = Outcome::Busy;
        r.tag = "Update failed";
        r.reason = "in use by another program";
        if (f.busyHolder > 0) r.reason += " (process " + std::to_string(f.busyHolder) + ")";
        return r;
    }
    if (f.result != ResultOk) {
        r.outcome = Outcome::Failed;
        r.tag = "Update failed";
        const std::string block = "block " + std::to_string(f.stopBlock);
        switch (f.stop) {
        case JobStop::NoAnswer:
            r.reason = f.stopSense != 0   ? "INQUIRY refused: " + DescribeSense(f.stopSense)
                       : f.stopError != 0 ? TransportWords(f.stopError)
                                          : "the drive did not answer INQUIRY";
            break;
        case JobStop::NoMedium:
            r.reason = Lookup(f.stopSense) ? Lookup(f.stopSense) : DescribeSense(f.stopSense);
            break;
        case JobStop::BlockRefused:
            r.reason = block + " refused: " + DescribeSense(f.stopSense);
            break;
        case JobStop::BlockRestarted:
            r.reason = "the drive restarted during the transfer (" + block + ")";
            break;
        case JobStop::BlockLost:
            r.reason = TransportWords(f.stopError) + " (" + block + ")";
            break;
        case JobStop::Busy:
            r.reason = "in use by another program";
            break;
        case JobStop::None:
            break;
        }
        return r;
    }
    if (!f.verifying) {
        r.outcome = Outcome::Updated;
        return r;
    }
    if (f.readBackFailed) {
        r.outcome = Outcome::VerifyNg;
        r.tag = "Verify NG";
        r.reason = "the flash could not be read";
    } else if (f.readBackSum != f.reference) {
        r.outcome = Outcome::VerifyNg;
        r.tag = "Verify NG";
        r.reason = "read back " + Hex16(f.readBackSum) + ", expected " + Hex16(f.reference);
    } else {
        r.outcome = Outcome::Verified;
    }
    return r;
}

std::string ReportLine(const std::string& node, const std::string& name, const JobReport& report) {
    std::string line = node + "  " + name + "  (" + report.tag;
    if (!report.reason.empty()) line += ": " + report.reason;
    return line + ")";
}

const char* const kVersion = RW_VERSION;

const char* StateWord(Outcome o) {
    switch (o) {
    case Outcome::Updated:
        return "updated";
    case Outcome::Verified:
        return "updated and verified";
    case Outcome::WrongDrive:
        return "wrong model";
    case Outcome::Failed:
        return "failed";
    case Outcome::Busy:
        return "busy";
    case Outcome::VerifyNg:
        return "verify NG";
    }
    return "failed";
}

const char* OutcomeWord(Outcome o) {
    switch (o) {
    case Outcome::Updated:
        return "updated";
    case Outcome::Verified:
        return "verified";
    case Outcome::WrongDrive:
        return "wrong-drive";
    case Outcome::Failed:
        return "failed";
    case Outcome::Busy:
        return "busy";
    case Outcome::VerifyNg:
        return "verify-ng";
    }
    return "failed";
}

std::string StateText(JobState state, int32_t block, int32_t blockCount, int64_t secondsInState) {
    const int64_t seconds = secondsInState < 0 ? 0 : secondsInState;
    switch (state) {
    case JobState::Idle:
        return "";
    case JobState::Identifying:
        return "identifying";
    case JobState::WaitingForDrive:
        return "waiting for the drive, " + std::to_string(seconds) + " s";
    case JobState::Ejecting:
        return "ejecting";
    case JobState::Writing:
        return "writing block " + std::to_string(block + 1) + " of " + std::to_string(blockCount);
    case JobState::Programming: {
        const int64_t left = seconds >= 60 ? 0 : 60 - seconds;
        return "programming, " + std::to_string(left) + " s left";
    }
    case JobState::Verifying:
        return "verifying";
    case JobState::Updated:
        return "updated";
    case JobState::Verified:
        return "updated, read back";
    case JobState::Failed:
        return "failed";
    case JobState::WrongModel:
        return "wrong model";
    case JobState::Busy:
        return "busy";
    }
    return "";
}

std::string ShortNode(const std::string& node) {
    return node.rfind("/dev/", 0) == 0 ? node.substr(5) : node;
}

}  // namespace run
