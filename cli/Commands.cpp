#include "cli/Commands.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "drive_access/DeviceTable.h"
#include "drive_access/DriveLink.h"
#include "firmware/CvtFile.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FlashRomChecksum.h"
#include "platform/Signals.h"
#include "run/Engine.h"
#include "run/Report.h"
#include "settings/Profile.h"

using nlohmann::ordered_json;

namespace cli {
namespace {


void Say(const std::string& text) { std::cerr << "romwright-cli: " << text << std::endl; }

// Bytes a drive answered with need not be UTF-8: keep them visible, never fail the output.
void PrintJson(const ordered_json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

std::string Hex16(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

// Printable ASCII only, without the padding drives put around their fields.
std::string Field(const uint8_t* bytes, size_t length) {
    std::string s(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), length));
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// What a drive is, as far as it can be asked without writing to it.
struct Probe {
    int device = -1;
    std::string node;       // the report's name: "sr2", "virtual:sr2", "adapter 0 target 1"
    std::string fullNode;   // the table's: "/dev/sr2"
    platform::AccessProblem access;
    bool answered = false;  // INQUIRY
    std::string vendor, product, revision, serial;
    bool modelMatch = false;
    bool mediumKnown = false;
    bool ready = false;
    uint32_t sense = 0;
};

bool Unusable(int error) { return error == EACCES || error == EPERM || error == EBUSY; }

std::string AccessText(const platform::AccessProblem& a) {
    if (a.error == EBUSY)
        return "busy" + (a.holder > 0 ? " (process " + std::to_string(a.holder) + ")" : std::string());
    if (a.error == EACCES || a.error == EPERM) return "no permission (" + a.node + ")";
    return "yes";
}

const char* AccessWord(const platform::AccessProblem& a) {
    return a.error == EBUSY ? "busy" : (a.error == EACCES || a.error == EPERM) ? "no-permission" : "";
}

Probe ProbeDrive(drive_access::DeviceTable& table, int device, bool medium) {
    using namespace drive_access;
    Probe p;
    p.device = device;
    p.fullNode = table.DeviceNode(device);
    p.node = run::ShortNode(p.fullNode);
    p.access = table.Access(device);
    // Nothing is sent to a drive another program holds or this process may not use.
    if (Unusable(p.access.error)) return p;
    DriveLink link = kDetached;
    if (!Attach(link, device)) {
        p.access = table.Access(device);
        return p;
    }
    uint8_t answer[40] = {};
    if (Inquiry(link, answer, 36)) {
        p.answered = true;
        p.vendor = Field(answer + 8, 8);
        p.product = Field(answer + 16, 16);
        p.revision = Field(answer + 32, 4);
        // The same test the worker makes before it writes.
        p.modelMatch = IsModelToUpdate(answer);
        uint8_t page[68] = {};
        if (InquirySerial(link, page, 64) && page[1] == 0x80) p.serial = Field(page + 4, std::min<size_t>(page[3], 60));
    }
    if (medium && p.answered) {
        p.ready = TestUnitReady(link);
        p.sense = p.ready ? 0 : SenseCode(link);
        // A drive that restarted (after an update, say) says so once before it tells its medium.
        if (!p.ready && p.sense == kSenseReset) {
            p.ready = TestUnitReady(link);
            p.sense = p.ready ? 0 : SenseCode(link);
        }
        p.mediumKnown = p.ready || (p.sense != 0 && p.sense != kNoSense);
    }
    Detach(link);
    if (!p.answered) p.access = table.Access(device);
    return p;
}

const char* MediumWord(const Probe& p) {
    if (!p.mediumKnown) return "unknown";
    if (p.ready) return "ready";
    switch (p.sense) {
    case 0x023A00:
        return "no-disc";
    case 0x023A01:
        return "tray-closed";
    case 0x023A02:
        return "tray-open";
    }
    return (p.sense & 0xFF0000) == 0x020000 ? "not-ready" : "unknown";
}

std::string MediumText(const Probe& p) {
    if (!p.answered) return "-";
    if (p.ready) return "ready";
    if (!p.mediumKnown) return "unknown";
    return run::DescribeSense(p.sense);
}

// The device a name given on the command line means, or -1.
int FindNode(drive_access::DeviceTable& table, const std::string& name) {
    for (int i = 0; i < table.DeviceCount(); ++i) {
        const std::string full = table.DeviceNode(i);
        if (name == full || name == run::ShortNode(full) || run::ShortNode(name) == run::ShortNode(full)) return i;
    }
    return -1;
}

// Columns padded to their widest cell; the last column is not padded.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            if (width.size() <= c) width.push_back(0);
            width[c] = std::max(width[c], row[c].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << '\n';
    }
    std::cout.flush();
}

const char* StateWord(JobState s) {
    switch (s) {
    case JobState::Idle:
        return "idle";
    case JobState::Identifying:
        return "identifying";
    case JobState::WaitingForDrive:
        return "waiting-for-drive";
    case JobState::Ejecting:
        return "ejecting";
    case JobState::Writing:
        return "writing";
    case JobState::Programming:
        return "programming";
    case JobState::Verifying:
        return "verifying";
    case JobState::Updated:
        return "updated";
    case JobState::Verified:
        return "verified";
    case JobState::Failed:
        return "failed";
    case JobState::WrongModel:
        return "wrong-model";
    case JobState::Busy:
        return "busy";
    }
    return "idle";
}

bool Final(JobState s) {
    return s == JobState::Updated || s == JobState::Verified || s == JobState::Failed || s == JobState::WrongModel ||
           s == JobState::Busy;
}

// ---------------------------------------------------------------- flash

struct Entry {
    std::string node;
    std::string serial;
    std::string identity;
    std::string outcome;  // OutcomeWord, "not-started" or "not-found"
    std::string reason;
    std::string sense;
    bool good = false;
    bool unusable = false;  // could not be used, nothing written
    std::optional<uint16_t> readBack, reference;
};

Entry EntryOf(const run::DriveResult& r) {
    Entry e;
    e.node = r.job.node;
    e.serial = r.job.serial;
    if (!r.started) {
        e.outcome = "not-started";
        e.reason = r.report.reason;
        return e;
    }
    e.identity = r.identity;
    e.outcome = run::OutcomeWord(r.report.outcome);
    e.reason = r.report.reason;
    if (r.facts.stopSense != 0 && r.report.outcome == run::Outcome::Failed) e.sense = run::SenseText(r.facts.stopSense);
    e.good = run::Good(r.report.outcome);
    e.unusable = r.report.outcome == run::Outcome::Busy ||
                 (r.report.outcome == run::Outcome::Failed && r.facts.stop == JobStop::NoAnswer &&
                  (r.facts.stopError == EACCES || r.facts.stopError == EPERM));
    if (r.facts.verifying && r.facts.result == ResultOk) {
        e.readBack = r.facts.readBackSum;
        e.reference = r.facts.reference;
    }
    return e;
}

ordered_json ResultJson(const Entry& e, const std::string& runId) {
    ordered_json j;
    j["event"] = "result";
    j["run"] = runId;
    j["node"] = e.node;
    j["serial"] = e.serial;
    j["identity"] = e.identity;
    j["outcome"] = e.outcome;
    j["reason"] = e.reason;
    j["sense"] = e.sense;
    if (e.readBack) j["read_back"] = Hex16(*e.readBack);
    if (e.reference) j["reference"] = Hex16(*e.reference);
    return j;
}

class CliObserver : public run::EngineObserver {
public:
    CliObserver(bool json, const run::Engine& engine) : json_(json), engine_(engine) {}

    void StateChanged(const run::DriveJob& job, const run::DriveProgress& p) override {
        // A job's last state is told with its reason when the job has ended.
        if (!Final(p.state)) std::cerr << job.node << "  " << p.text << std::endl;
        if (!json_) return;
        ordered_json j;
        j["event"] = "state";
        j["node"] = job.node;
        j["state"] = StateWord(p.state);
        if (p.state == JobState::Writing) {
            j["block"] = p.block;
            j["blocks"] = p.blockCount;
        }
        j["text"] = p.text;
        PrintJson(j);
    }
    void Finished(const run::DriveResult& r) override {
        std::string line = r.job.node + "  " + run::StateWord(r.report.outcome);
        if (!r.report.reason.empty()) line += ": " + r.report.reason;
        std::cerr << line << std::endl;
        if (json_) PrintJson(ResultJson(EntryOf(r), engine_.RunId()));
    }
    void Notice(const std::string& text) override { Say(text); }
    bool StopRequested() override {
        const int n = platform::Interrupts();
        for (; seen_ < n; ++seen_) {
            if (seen_ == 0)
                Say("interrupted: no further drive is started; waiting for the drives being written");
            else
                Say("drives are still being written; waiting for them to end (stopping a transfer could leave "
                    "a drive unusable)");
        }
        return n > 0;
    }

private:
    bool json_;
    const run::Engine& engine_;
    int seen_ = 0;
};

}  // namespace

bool ParseChecksum(const std::string& text, uint16_t* value) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > 6) return false;
    unsigned long v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * base + d;
    }
    if (v < 1 || v > 0xFFFF) return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

int ListCommand(const Common& common) {
    drive_access::DeviceTable& table = *drive_access::InstalledDeviceTable();
    std::vector<Probe> probes;
    for (int i = 0; i < table.DeviceCount(); ++i) probes.push_back(ProbeDrive(table, i, true));
    if (common.json) {
        ordered_json doc;
        doc["version"] = run::kVersion;
        doc["virtual"] = common.virtualDrives;
        doc["transport"] = table.TransportMode() == drive_access::AspiMode ? "aspi" : "pass-through";
        doc["model"] = {{"vendor", kModelVendor}, {"product", kModelProduct}};
        ordered_json drives = ordered_json::array();
        for (const Probe& p : probes) {
            ordered_json d;
            d["node"] = p.node;
            d["path"] = p.fullNode;
            d["vendor"] = p.vendor;
            d["product"] = p.product;
            d["revision"] = p.revision;
            d["serial"] = p.serial;
            d["answered"] = p.answered;
            d["medium"] = p.answered ? MediumWord(p) : "unknown";
            d["sense"] = p.answered && !p.ready && p.mediumKnown ? run::SenseText(p.sense) : "";
            d["usable"] = !Unusable(p.access.error);
            d["problem"] = AccessWord(p.access);
            if (p.access.error == EBUSY && p.access.holder > 0) d["holder"] = p.access.holder;
            d["model_match"] = p.modelMatch;
            drives.push_back(d);
        }
        doc["drives"] = drives;
        doc["unlisted"] = table.UnlistedNodes();
        PrintJson(doc);
    } else {
        std::vector<std::vector<std::string>> rows = {
            {"NODE", "VENDOR", "PRODUCT", "REV", "SERIAL", "MEDIUM", "USABLE", "MODEL"}};
        for (const Probe& p : probes) {
            auto dash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
            rows.push_back({p.node, dash(p.answered ? p.vendor : "(no answer)"), dash(p.product), dash(p.revision),
                            dash(p.serial), MediumText(p), AccessText(p.access),
                            p.modelMatch ? "yes" : p.answered ? "no" : "unknown"});
        }
        if (probes.empty())
            Say("no optical drive was found (check the cables, and that the sr_mod and sg modules are loaded)");
        else
            PrintTable(rows);
        for (const std::string& node : table.UnlistedNodes()) Say("not listed (the bus holds no more): " + node);
    }
    return kExitDone;
}

int FlashCommand(const Common& common, const FlashOptions& options) {
    // From here on an interrupt ends the run at its next safe point, never in a transfer.
    platform::CountInterrupts();

    uint16_t reference = 0;
    if (!options.verify.empty() && options.noVerify) {
        Say("--verify and --no-verify exclude each other");
        return kExitUsage;
    }
    if (!options.verify.empty()) {
        if (!ParseChecksum(options.verify, &reference)) {
            Say("--verify takes a checksum from 1 to 65535, decimal or 0x hexadecimal, not '" + options.verify + "'");
            return kExitUsage;
        }
    } else if (!options.noVerify) {
        reference = static_cast<uint16_t>(settings::GetProfileInt("FLASHROM", "CHECKSUM", 0, common.settingsPath) & 0xFFFF);
    }

    drive_access::DeviceTable& table = *drive_access::InstalledDeviceTable();
    std::vector<run::DriveJob> jobs;
    std::vector<Entry> missing;
    if (!options.nodes.empty()) {
        for (const std::string& name : options.nodes) {
            const int device = FindNode(table, name);
            if (device < 0) {
                Say("no drive " + name + " (see romwright-cli list)");
                Entry e;
                e.node = name;
                e.outcome = "not-found";
                e.reason = "no such drive";
                missing.push_back(e);
                continue;
            }
            if (std::any_of(jobs.begin(), jobs.end(), [&](const run::DriveJob& j) { return j.device == device; }))
                continue;
            const Probe p = ProbeDrive(table, device, false);
            jobs.push_back({device, p.node, p.serial});
        }
        if (jobs.empty()) return kExitNothingToDo;
    } else {
        for (int i = 0; i < table.DeviceCount(); ++i) {
            const Probe p = ProbeDrive(table, i, false);
            // A drive that cannot be used is named in the results rather than passed over.
            if (p.modelMatch || Unusable(p.access.error)) {
                jobs.push_back({i, p.node, p.serial});
            } else if (p.answered) {
                Say("skipping " + p.node + ": " + p.vendor + " " + p.product + " is not the model the image is for");
            } else {
                Say("skipping " + p.node + ": it does not answer INQUIRY");
            }
        }
        if (jobs.empty()) {
            Say(std::string("no drive of the model ") + kModelVendor + " " + kModelProduct + " was found");
            return kExitNothingToDo;
        }
    }

    run::EngineOptions engineOptions;
    engineOptions.verify = reference != 0;
    engineOptions.reference = reference;
    engineOptions.historyPath = options.historyPath;
    engineOptions.virtualDrives = common.virtualDrives;
    engineOptions.session = common.platform->session;
    engineOptions.maxParallel = options.parallel;
    // About every 10 ms of real time, whatever the speed of a virtual bay.
    engineOptions.pollMs = std::max(1, static_cast<int>(10 * common.speed));
    if (options.historyPath.empty()) Say("no record is kept: no state folder or home was found (use --history)");

    run::Engine engine(*common.platform->clock, engineOptions);
    CliObserver observer(common.json, engine);
    const std::vector<run::DriveResult> results = engine.Run(jobs, observer);
    // A signal that came after the last look is still honoured.
    const bool interrupted = engine.StopRequested() || observer.StopRequested();

    std::vector<Entry> entries;
    for (const run::DriveResult& r : results) entries.push_back(EntryOf(r));
    if (common.json)
        for (const run::DriveResult& r : results)
            if (!r.started) PrintJson(ResultJson(EntryOf(r), engine.RunId()));
    for (const Entry& e : missing) {
        entries.push_back(e);
        if (common.json) PrintJson(ResultJson(e, engine.RunId()));
    }

    int good = 0, notStarted = 0;
    bool allUnusable = true;
    for (const Entry& e : entries) {
        good += e.good ? 1 : 0;
        notStarted += e.outcome == "not-started" ? 1 : 0;
        if (!e.good && !e.unusable) allUnusable = false;
    }
    const int total = static_cast<int>(entries.size());
    const int code = interrupted          ? kExitInterrupted
                     : good == total      ? kExitDone
                     : allUnusable        ? kExitUnusable
                                          : kExitNotDone;

    if (common.json) {
        ordered_json s;
        s["event"] = "summary";
        s["run"] = engine.RunId();
        s["version"] = run::kVersion;
        s["virtual"] = common.virtualDrives;
        s["drives"] = total;
        s["updated"] = good;
        s["not_updated"] = total - good - notStarted;
        s["not_started"] = notStarted;
        s["verify"] = reference != 0;
        if (reference != 0) s["reference"] = Hex16(reference);
        s["interrupted"] = interrupted;
        s["history"] = options.historyPath;
        s["exit_code"] = code;
        PrintJson(s);
    } else {
        std::vector<std::vector<std::string>> rows = {{"NODE", "SERIAL", "OUTCOME", "REASON"}};
        for (size_t k = 0; k < entries.size(); ++k) {
            const Entry& e = entries[k];
            std::string reason = e.reason;
            if (reason.empty() && k < results.size() && results[k].started) reason = results[k].report.tag;
            rows.push_back({e.node, e.serial.empty() ? "-" : e.serial, e.outcome, reason});
        }
        PrintTable(rows);
        std::cout << good << " of " << total << " drives updated"
                  << (reference != 0 ? " and verified against " + Hex16(reference) : std::string())
                  << (interrupted ? "; interrupted" : "") << std::endl;
    }
    return code;
}

int ChecksumCommand(const Common& common, const std::string& node, bool store) {
    using namespace drive_access;
    DeviceTable& table = *InstalledDeviceTable();
    const int device = FindNode(table, node);
    if (device < 0) {
        Say("no drive " + node + " (see romwright-cli list)");
        return kExitNothingToDo;
    }
    const platform::AccessProblem access = table.Access(device);
    if (Unusable(access.error)) {
        Say(run::ShortNode(table.DeviceNode(device)) + " cannot be used: " + AccessText(access));
        return kExitUnusable;
    }
    DriveLink link = kDetached;
    if (!Attach(link, device)) {
        Say("cannot open " + node + ": " + AccessText(table.Access(device)));
        return Unusable(table.Access(device).error) ? kExitUnusable : kExitNotDone;
    }
    // Takes a pending restart notice (after an update, say), which the first read would meet.
    TestUnitReady(link);
    bool failed = false;
    const uint16_t sum =
        firmware::FlashRomChecksum(link, firmware::OnFailedRead::StopWithPartialSum, [] { Say("Read Flash NG"); }, &failed);
    Detach(link);
    const std::string name = run::ShortNode(table.DeviceNode(device));
    if (failed) {
        // A partial sum as the reference would fail every later verification: keep nothing.
        Say("the flash of " + name + " could not be read whole" + (store ? "; nothing stored" : ""));
        return kExitNotDone;
    }
    bool stored = false;
    if (store) {
        if (!settings::WriteProfileString("FLASHROM", "CHECKSUM", std::to_string(sum), common.settingsPath)) {
            Say("cannot write " + common.settingsPath);
            return kExitUsage;
        }
        stored = true;
    }
    if (common.json) {
        ordered_json j;
        j["node"] = name;
        j["checksum"] = Hex16(sum);
        j["value"] = sum;
        j["stored"] = stored;
        if (stored) j["settings"] = common.settingsPath;
        PrintJson(j);
    } else {
        std::cout << name << "  " << Hex16(sum) << " (" << sum << ")" << std::endl;
        if (stored) Say("stored as the reference in " + common.settingsPath);
    }
    return kExitDone;
}

int CheckCvtCommand(const Common& common, const std::string& file) {
    std::vector<std::string> messages;
    bool good = false;
    firmware::CvtCallbacks callbacks;
    callbacks.message = [&](const std::string& text) {
        messages.push_back(text);
        std::cerr << text << std::endl;
    };
    callbacks.enableFlash = [&] { good = true; };
    firmware::LoadCvtFile(file, callbacks);
    if (common.json) {
        ordered_json j;
        j["file"] = file;
        j["ok"] = good;
        j["blocks"] = good ? firmware::CvtBlockCount : 0;
        j["additive_sum"] = Hex16(firmware::CvtAdditiveSum);
        j["rotating_sum"] = Hex16(firmware::CvtRotatingSum);
        j["messages"] = messages;
        PrintJson(j);
    } else if (good) {
        std::cout << file << ": " << firmware::CvtBlockCount << " blocks, additive sum "
                  << Hex16(firmware::CvtAdditiveSum) << ", rotating sum " << Hex16(firmware::CvtRotatingSum) << ", OK"
                  << std::endl;
    }
    return good ? kExitDone : kExitUsage;
}

int ImageCommand(const Common& common) {
    const firmware::FirmwareImage& image = firmware::BuiltInFirmware;
    const uint8_t* blocks = image.Blocks;
    const size_t size = static_cast<size_t>(image.BlockCount) * firmware::FlashBlockSize;
    // What a drive programs: the zlib stream after the little-endian length in bytes 0-3.
    const uLong length = blocks[0] | blocks[1] << 8 | blocks[2] << 16 | uLong{blocks[3]} << 24;
    std::vector<uint8_t> flash(firmware::kFlashSize);
    uLongf inflated = flash.size();
    if (length > size - 4 || uncompress(flash.data(), &inflated, blocks + 4, length) != Z_OK ||
        inflated != flash.size()) {
        Say("the built-in image does not inflate to a whole flash");
        return kExitNotDone;
    }
    const uint16_t readBack = firmware::AddPiece(0, flash.data(), 0, static_cast<uint32_t>(flash.size()));
    if (common.json) {
        ordered_json j;
        j["version"] = run::kVersion;
        j["size"] = size;
        j["blocks"] = image.BlockCount;
        j["additive_sum"] = Hex16(image.AdditiveSum);
        j["rotating_sum"] = Hex16(image.RotatingSum);
        j["read_back"] = Hex16(readBack);
        j["read_back_value"] = readBack;
        PrintJson(j);
    } else {
        std::cout << "size          " << size << " bytes\n"
                  << "blocks        " << image.BlockCount << " of " << firmware::FlashBlockSize << " bytes\n"
                  << "additive sum  " << Hex16(image.AdditiveSum) << "\n"
                  << "rotating sum  " << Hex16(image.RotatingSum) << "\n"
                  << "read back     " << Hex16(readBack) << " (" << readBack << "), the flash checksum of an updated drive\n";
        std::cout.flush();
    }
    return kExitDone;
}

}  // namespace cli
