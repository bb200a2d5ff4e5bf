// The record of every job: one JSON object a line, as `history.jsonl` keeps it, and one journal
// entry with the same facts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace run {

struct JobRecord {
    std::string time;    // UTC, ISO 8601
    std::string runId;
    std::string node;
    int slot = -1;       // -1 where there are no slots (the command line)
    std::string serial;
    std::string identity;  // the drive's INQUIRY identity before the update
    std::string outcome;   // OutcomeWord
    std::string reason;
    std::string sense;     // "KK/AA/QQ" of the stop, or empty
    std::optional<uint16_t> readBack;
    std::optional<uint16_t> reference;
    uint16_t imageAdditiveSum = 0;
    uint16_t imageRotatingSum = 0;
    std::string version;
    bool virtualDrives = false;
};

// One line of JSON, ending in a newline. Field names are stable: see the README.
std::string ToJsonLine(const JobRecord& record);

// The same facts as journal fields (MESSAGE, MESSAGE_ID, ROMWRIGHT_*).
std::vector<std::pair<std::string, std::string>> ToJournalFields(const JobRecord& record);

// 2026-12-11T16:30:05Z
std::string IsoTime(int64_t secondsSinceEpoch);

}  // namespace run
