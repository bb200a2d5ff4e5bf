#include "run/History.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace run {
namespace {

// Identifies "a drive's update ended" entries in the journal, whatever their text.
constexpr const char* kJobMessageId = "5c7d0f4e2b8a4d1f9e63a1b07c2d94e8";

std::string Hex16(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

}  // namespace

std::string ToJsonLine(const JobRecord& r) {
    nlohmann::ordered_json j;
    j["time"] = r.time;
    j["run"] = r.runId;
    j["node"] = r.node;
    if (r.slot >= 0) j["slot"] = r.slot;
    j["serial"] = r.serial;
    j["identity"] = r.identity;
    j["outcome"] = r.outcome;
    j["reason"] = r.reason;
    j["sense"] = r.sense;
    if (r.readBack) j["read_back"] = Hex16(*r.readBack);
    if (r.reference) j["reference"] = Hex16(*r.reference);
    j["image"] = {{"additive_sum", Hex16(r.imageAdditiveSum)}, {"rotating_sum", Hex16(r.imageRotatingSum)}};
    j["version"] = r.version;
    j["virtual"] = r.virtualDrives;
    // Bytes a drive answered with need not be UTF-8: keep them visible, never fail the record.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::vector<std::pair<std::string, std::string>> ToJournalFields(const JobRecord& r) {
    std::string message = "Romwright: " + r.node + " " + r.outcome;
    if (!r.reason.empty()) message += ": " + r.reason;
    std::vector<std::pair<std::string, std::string>> f = {
        {"MESSAGE", message},
        {"MESSAGE_ID", kJobMessageId},
        {"PRIORITY", r.outcome == "updated" || r.outcome == "verified" ? "6" : "4"},
        {"ROMWRIGHT_RUN", r.runId},
        {"ROMWRIGHT_NODE", r.node},
        {"ROMWRIGHT_SERIAL", r.serial},
        {"ROMWRIGHT_IDENTITY", r.identity},
        {"ROMWRIGHT_OUTCOME", r.outcome},
        {"ROMWRIGHT_REASON", r.reason},
        {"ROMWRIGHT_SENSE", r.sense},
        {"ROMWRIGHT_VERSION", r.version},
        {"ROMWRIGHT_VIRTUAL", r.virtualDrives ? "1" : "0"},
    };
    if (r.slot >= 0) f.push_back({"ROMWRIGHT_SLOT", std::to_string(r.slot)});
    if (r.readBack) f.push_back({"ROMWRIGHT_READ_BACK", Hex16(*r.readBack)});
    if (r.reference) f.push_back({"ROMWRIGHT_REFERENCE", Hex16(*r.reference)});
    return f;
}

std::string IsoTime(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace run
