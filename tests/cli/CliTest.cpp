// romwright-cli end to end: the real program on virtual bays, its exit codes, its JSON lines
// against the schema below, its lines for people and its behaviour on interrupts.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>

#include "CliRunner.h"
#include "firmware/Checksums.h"

using nlohmann::json;
using namespace cli_test;

namespace {

const std::string kExamples = RW_VIRTUAL_DRIVES_EXAMPLES;
const std::string kSpeed = "500";

// Good drives that answer at once, and ones slow enough to see every block at --speed 500.
const std::string kGood3 = "drive serial=A1\ndrive serial=A2\ndrive serial=A3\n";
const std::string kOtherModel = "drive product=\"DVD RW LMX2000\"\n";
const std::string kBusy = "drive busy=4242\n";

// ---------------------------------------------------------------- the schema of --json

enum class Type { String, Int, Bool };
struct Field {
    const char* name;
    Type type;
    bool required;
};

const std::map<std::string, std::vector<Field>> kSchema = {
    {"state",
     {{"event", Type::String, true},
      {"node", Type::String, true},
      {"state", Type::String, true},
      {"block", Type::Int, false},
      {"blocks", Type::Int, false},
      {"text", Type::String, true}}},
    {"result",
     {{"event", Type::String, true},
      {"run", Type::String, true},
      {"node", Type::String, true},
      {"serial", Type::String, true},
      {"identity", Type::String, true},
      {"outcome", Type::String, true},
      {"reason", Type::String, true},
      {"sense", Type::String, true},
      {"read_back", Type::String, false},
      {"reference", Type::String, false}}},
    {"summary",
     {{"event", Type::String, true},
      {"run", Type::String, true},
      {"version", Type::String, true},
      {"virtual", Type::Bool, true},
      {"drives", Type::Int, true},
      {"updated", Type::Int, true},
      {"not_updated", Type::Int, true},
      {"not_started", Type::Int, true},
      {"verify", Type::Bool, true},
      {"reference", Type::String, false},
      {"interrupted", Type::Bool, true},
      {"history", Type::String, true},
      {"exit_code", Type::Int, true}}},
};
const std::set<std::string> kStates = {"identifying", "waiting-for-drive", "ejecting", "writing", "programming",
                                       "verifying",   "updated",           "verified", "failed",  "wrong-model",
                                       "busy"};
const std::set<std::string> kOutcomes = {"updated", "verified",    "wrong-drive", "failed",
                                         "busy",    "verify-ng",   "not-started", "not-found"};

bool HasType(const json& v, Type t) {
    switch (t) {
    case Type::String:
        return v.is_string();
    case Type::Int:
        return v.is_number_integer();
    case Type::Bool:
        return v.is_boolean();
    }
    return false;
}

// Every line one object of a known event with exactly the documented fields; the summary last.
std::vector<json> ParseEvents(const Outcome& o) {
    std::vector<json> events;
    const auto lines = o.OutLines();
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        json j = json::parse(lines[i], nullptr, false);
        EXPECT_TRUE(j.is_object());
        if (!j.is_object()) continue;
        const auto schema = kSchema.find(j.value("event", ""));
        EXPECT_NE(schema, kSchema.end()) << "unknown event";
        if (schema == kSchema.end()) continue;
        for (const Field& f : schema->second) {
            if (!j.contains(f.name)) {
                EXPECT_FALSE(f.required) << "missing " << f.name;
                continue;
            }
            EXPECT_TRUE(HasType(j[f.name], f.type)) << f.name;
        }
        for (const auto& [key, value] : j.items())
            EXPECT_TRUE(std::any_of(schema->second.begin(), schema->second.end(),
                                    [&](const Field& f) { return key == f.name; }))
                << "undocumented field " << key;
        if (schema->first == "state") {
            EXPECT_EQ(kStates.count(j["state"]), 1u);
            EXPECT_EQ(j.contains("block"), j["state"] == "writing");
        }
        if (schema->first == "result") {
            EXPECT_EQ(kOutcomes.count(j["outcome"]), 1u) << j["outcome"];
        }
        if (schema->first == "summary") {
            EXPECT_EQ(i, lines.size() - 1) << "the summary comes last";
            EXPECT_EQ(j["exit_code"], o.code);
        }
        events.push_back(j);
    }
    return events;
}

std::map<std::string, json> ResultsByNode(const std::vector<json>& events) {
    std::map<std::string, json> results;
    for (const json& e : events)
        if (e["event"] == "result") {
            EXPECT_TRUE(results.emplace(e["node"], e).second) << "two results for " << e["node"];
        }
    return results;
}

std::optional<json> Summary(const std::vector<json>& events) {
    for (const json& e : events)
        if (e["event"] == "summary") return e;
    return std::nullopt;
}

std::vector<json> HistoryRecords(const Scratch& s) {
    std::vector<json> records;
    std::stringstream text(s.Read("history.jsonl"));
    for (std::string line; std::getline(text, line);) records.push_back(json::parse(line));
    return records;
}

// `args` after the bay options; flash gets a record in the scratch folder.
Outcome Cli(const Scratch& s, const std::string& bay, std::vector<std::string> args) {
    std::vector<std::string> all;
    if (!bay.empty()) all = {"--virtual-drives", bay, "--speed", kSpeed};
    const bool flash = std::find(args.begin(), args.end(), "flash") != args.end();
    all.insert(all.end(), args.begin(), args.end());
    if (flash) {
        all.push_back("--history");
        all.push_back(s.History());
    }
    Outcome o = RunCli(all, s.Dir());
    EXPECT_FALSE(o.timedOut);
    return o;
}

// The image's read-back checksum, as the program itself tells it.
std::string ImageReadBack(const Scratch& s) {
    const Outcome o = Cli(s, "", {"image", "--json"});
    EXPECT_EQ(o.code, 0) << o.err;
    const json j = json::parse(o.out);
    EXPECT_EQ(j["blocks"], 48);
    EXPECT_EQ(j["size"], 48 * 16384);
    return j["read_back"];
}

// ---------------------------------------------------------------- exit codes

struct ExitCase {
    const char* name;
    std::string bay;  // bay text, an example's file name (ending .bay), a number, or nothing
    std::vector<std::string> args;
    int code;
    const char* out = "";  // text standard output must hold
    const char* err = "";  // text standard error must hold
};

TEST(CliExitCodes, EveryCaseHasItsCode) {
    const std::vector<ExitCase> cases = {
        {"every drive updated", kGood3, {"flash"}, 0, "3 of 3 drives updated"},
        {"more than ten drives", "12", {"flash"}, 0, "12 of 12 drives updated"},
        {"options after the command", kGood3, {"flash", "virtual:sr1", "--json"}, 0, "\"exit_code\":0"},
        {"one drive not updated", "mixed.bay", {"flash"}, 1, "2 of 4 drives updated",
         "virtual:sr3  failed: block 20 refused: write error (03/0C/00)"},
        {"a named drive of another model", kOtherModel, {"flash", "virtual:sr0"}, 1, "wrong-drive",
         "virtual:sr0  wrong model"},
        {"a named drive among missing ones", kGood3, {"flash", "virtual:sr9", "virtual:sr0"}, 1, "not-found",
         "no drive virtual:sr9"},
        {"no drive of the model", kOtherModel, {"flash"}, 2, "", "no drive of the model ORVEX DVD RW LMX2097"},
        {"no drive of those named", kGood3, {"flash", "sr9", "/dev/sr8"}, 2, "", "no drive sr9"},
        {"checksum of a missing drive", kGood3, {"checksum", "virtual:sr5"}, 2, "", "no drive virtual:sr5"},
        {"no command", "", {}, 3, "", "romwright-cli"},
        {"unknown command", "", {"frobnicate"}, 3, "", "frobnicate"},
        {"unknown option", kGood3, {"flash", "--bogus"}, 3, "", "--bogus"},
        {"unreadable bay", "missing.bay", {"list"}, 3, "", "missing.bay"},
        {"bad bay line", "drive serial=A1\ndrive laterncy=5\n", {"list"}, 3, "", "line 2: unknown setting 'laterncy'"},
        {"too many virtual drives", "65", {"list"}, 3, "", "at most 64"},
        {"speed without virtual drives", "", {"--speed", "5", "list"}, 3, "", "virtual drives only"},
        {"zero checksum", kGood3, {"flash", "--verify", "0"}, 3, "", "--verify takes a checksum"},
        {"checksum too large", kGood3, {"flash", "--verify", "0x10000"}, 3, "", "--verify takes a checksum"},
        {"checksum not a number", kGood3, {"flash", "--verify", "12ab"}, 3, "", "--verify takes a checksum"},
        {"negative checksum", kGood3, {"flash", "--verify", "-5"}, 3, "", "--verify takes a checksum"},
        {"verify and no-verify", kGood3, {"flash", "--verify", "5", "--no-verify"}, 3, "", "exclude each other"},
        {"unreadable CVT file", "", {"check-cvt", "nothing.cvt"}, 3, "", "Read NG"},
        {"a busy drive", kBusy, {"flash"}, 4, "in use by another program (process 4242)"},
        {"a busy drive beside an updated one", "drive\n" + kBusy, {"flash"}, 4, "1 of 2 drives updated"},
        {"a busy drive beside a failed one", "drive refuse-block=0:03/0C/00\n" + kBusy, {"flash"}, 1},
        {"checksum of a busy drive", kBusy, {"checksum", "virtual:sr0"}, 4, "", "busy (process 4242)"},
        {"version", "", {"--version"}, 0, RW_VERSION},
        {"help names the exit codes", "", {"--help"}, 0, "130  interrupted"},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        std::string bay = c.bay;
        if (bay.size() > 4 && bay.find('\n') == std::string::npos && bay.ends_with(".bay"))
            bay = bay == "missing.bay" ? (s.Dir() / bay).string() : kExamples + "/" + bay;
        else if (bay.find('\n') != std::string::npos)
            bay = s.Write("station.bay", bay);
        const Outcome o = Cli(s, bay, c.args);
        EXPECT_EQ(o.code, c.code) << o.out << o.err;
        EXPECT_NE(o.out.find(c.out), std::string::npos) << o.out;
        EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
    }
}

// ---------------------------------------------------------------- output

TEST(CliOutput, JsonLinesFollowTheSchemaAndMatchTheRecord) {
    Scratch s;
    const Outcome o = Cli(s, kExamples + "/mixed.bay", {"--json", "flash"});
    EXPECT_EQ(o.code, 1) << o.err;
    const auto events = ParseEvents(o);
    const auto results = ResultsByNode(events);
    // The drive of another model is passed over, not written.
    const std::map<std::string, std::string> expected = {
        {"virtual:sr0", "updated"}, {"virtual:sr2", "failed"}, {"virtual:sr3", "failed"}, {"virtual:sr4", "updated"}};
    ASSERT_EQ(results.size(), expected.size());
    for (const auto& [node, outcome] : expected) EXPECT_EQ(results.at(node)["outcome"], outcome) << node;
    EXPECT_EQ(results.at("virtual:sr3")["sense"], "03/0C/00");
    EXPECT_EQ(results.at("virtual:sr3")["reason"], "block 20 refused: write error (03/0C/00)");
    EXPECT_EQ(results.at("virtual:sr2")["reason"], "no disc, tray closed");
    EXPECT_EQ(results.at("virtual:sr0")["serial"], "OVX2401101");
    EXPECT_NE(o.err.find("skipping virtual:sr1"), std::string::npos);

    // No state of a drive after its result; block indexes only grow.
    std::set<std::string> ended;
    std::map<std::string, int> lastBlock;
    for (const json& e : events) {
        const std::string node = e.value("node", "");
        if (e["event"] == "state") {
            EXPECT_EQ(ended.count(node), 0u) << "state after the result of " << node;
            if (e.contains("block")) {
                EXPECT_GT(e["block"].get<int>(), lastBlock.count(node) ? lastBlock[node] : -1);
                lastBlock[node] = e["block"];
                EXPECT_EQ(e["blocks"], 48);
            }
        } else if (e["event"] == "result") {
            ended.insert(node);
        }
    }

    const auto summary = Summary(events);
    ASSERT_TRUE(summary);
    EXPECT_EQ((*summary)["drives"], 4);
    EXPECT_EQ((*summary)["updated"], 2);
    EXPECT_EQ((*summary)["not_updated"], 2);
    EXPECT_EQ((*summary)["not_started"], 0);
    EXPECT_EQ((*summary)["interrupted"], false);
    EXPECT_EQ((*summary)["history"], s.History());

    // The record holds the same jobs with the same words, under the same run.
    const auto records = HistoryRecords(s);
    ASSERT_EQ(records.size(), results.size());
    for (const json& r : records) {
        SCOPED_TRACE(r.dump());
        ASSERT_EQ(results.count(r["node"]), 1u);
        const json& result = results.at(r["node"]);
        EXPECT_EQ(r["outcome"], result["outcome"]);
        EXPECT_EQ(r["reason"], result["reason"]);
        EXPECT_EQ(r["run"], result["run"]);
        EXPECT_EQ(r["serial"], result["serial"]);
        EXPECT_EQ(r["virtual"], true);
        EXPECT_FALSE(r.contains("slot"));
    }
}

TEST(CliOutput, ListDescribesEveryDrive) {
    Scratch s;
    const std::string bay = s.Write("list.bay",
                                    "drive serial=L1\n"
                                    "drive product=\"DVD RW LMX2000\" revision=1.10 serial=L2\n"
                                    "drive medium=tray-open\n"
                                    "drive busy=4242\n"
                                    "drive inquiry-fail\n");
    for (const bool aspi : {false, true}) {
        SCOPED_TRACE(aspi ? "aspi" : "pass-through");
        std::vector<std::string> args = {"list", "--json"};
        if (aspi) args.push_back("--aspi");
        const Outcome o = Cli(s, bay, args);
        ASSERT_EQ(o.code, 0) << o.err;
        const json doc = json::parse(o.out);  // one document
        EXPECT_EQ(doc["transport"], aspi ? "aspi" : "pass-through");
        const json& d = doc["drives"];
        ASSERT_EQ(d.size(), 5u);
        for (const json& drive : d)
            for (const char* f : {"node", "vendor", "product", "revision", "serial", "medium", "sense", "problem"})
                EXPECT_TRUE(drive[f].is_string()) << f;
        EXPECT_EQ(d[0]["node"], aspi ? "adapter 0 target 0" : "virtual:sr0");
        EXPECT_EQ(d[0]["serial"], "L1");
        EXPECT_EQ(d[0]["medium"], "ready");
        EXPECT_EQ(d[0]["model_match"], true);
        EXPECT_EQ(d[1]["product"], "DVD RW LMX2000");
        EXPECT_EQ(d[1]["revision"], "1.10");
        EXPECT_EQ(d[1]["model_match"], false);
        EXPECT_EQ(d[2]["medium"], "tray-open");
        EXPECT_EQ(d[2]["sense"], "02/3A/02");
        EXPECT_EQ(d[4]["answered"], false);
        EXPECT_EQ(d[4]["model_match"], false);
        // The ASPI-style manager has no lock: only pass-through sees the other program.
        EXPECT_EQ(d[3]["usable"], aspi);
        EXPECT_EQ(d[3]["problem"], aspi ? "" : "busy");
        if (!aspi) {
            EXPECT_EQ(d[3]["holder"], 4242);
        }
    }
    const Outcome people = Cli(s, bay, {"list"});
    EXPECT_EQ(people.code, 0);
    EXPECT_NE(people.out.find("no disc, tray open (02/3A/02)"), std::string::npos) << people.out;
    EXPECT_NE(people.out.find("busy (process 4242)"), std::string::npos) << people.out;
}

TEST(CliOutput, StandardErrorTellsEachDriveItsStates) {
    Scratch s;
    const std::string bay = s.Write("s.bay",
                                    "defaults write-latency=120 eject-latency=1500\n"
                                    "drive serial=P1\n"
                                    "drive serial=P2 refuse-block=20:03/0C/00\n");
    const Outcome o = Cli(s, bay, {"flash"});
    EXPECT_EQ(o.code, 1);
    const std::regex line(
        "(virtual:sr[01])  (identifying|waiting for the drive, \\d+ s|ejecting|writing block (\\d+) of 48|"
        "programming, \\d+ s left|verifying|updated|failed: block 20 refused: write error \\(03/0C/00\\))");
    std::map<std::string, std::vector<std::string>> byNode;
    std::map<std::string, int> lastBlock;
    for (const std::string& l : o.ErrLines()) {
        if (l.rfind("romwright-cli: ", 0) == 0) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        const std::string node = m[1];
        EXPECT_TRUE(byNode[node].empty() || byNode[node].back() != m[2]) << "repeated: " << l;
        if (m[3].matched) {
            EXPECT_GT(std::stoi(m[3]), lastBlock[node]) << l;
            lastBlock[node] = std::stoi(m[3]);
        }
        byNode[node].push_back(m[2]);
    }
    ASSERT_EQ(byNode.size(), 2u);
    EXPECT_EQ(byNode["virtual:sr0"].back(), "updated");
    EXPECT_EQ(byNode["virtual:sr1"].back(), "failed: block 20 refused: write error (03/0C/00)");
    EXPECT_LE(lastBlock["virtual:sr1"], 21);
    EXPECT_GT(lastBlock["virtual:sr0"], 21) << "a good drive's transfer is seen going";

    // The closing table: a header, every drive with outcome and reason, the count.
    const auto out = o.OutLines();
    ASSERT_EQ(out.size(), 4u) << o.out;
    EXPECT_TRUE(std::regex_match(out[0], std::regex("NODE +SERIAL +OUTCOME +REASON")));
    EXPECT_TRUE(std::regex_match(out[1], std::regex("virtual:sr0 +P1 +updated")));
    EXPECT_TRUE(std::regex_match(out[2], std::regex("virtual:sr1 +P2 +failed +block 20 refused: write error \\(03/0C/00\\)")));
    EXPECT_EQ(out[3], "1 of 2 drives updated");
}

// ---------------------------------------------------------------- the truth of the bays

// Which drives of the example bays end up holding the image, by place in the file (their
// comments say so); the others must be reported not updated, in either transport.
TEST(CliTruth, ResultsAgreeWithTheExampleBaysInBothTransports) {
    struct BayTruth {
        const char* file;
        std::set<int> updated;
        std::set<int> passedOver;  // another model, or no answer to INQUIRY
    };
    const BayTruth bays[] = {{"faults.bay", {0, 4, 9}, {7, 8}}, {"restarts.bay", {0, 4, 7}, {}}};
    for (const bool aspi : {false, true}) {
        for (const BayTruth& b : bays) {
            SCOPED_TRACE(std::string(aspi ? "aspi: " : "pass-through: ") + b.file);
            Scratch s;
            std::vector<std::string> args = {"flash", "--json"};
            if (aspi) args.push_back("--aspi");
            const Outcome o = Cli(s, kExamples + "/" + b.file, args);
            EXPECT_EQ(o.code, 1) << o.err;
            const auto results = ResultsByNode(ParseEvents(o));
            for (int i = 0; i < 10; ++i) {
                const std::string node = aspi ? "adapter " + std::to_string(i / 8) + " target " + std::to_string(i % 8)
                                              : "virtual:sr" + std::to_string(i);
                if (b.passedOver.count(i)) {
                    EXPECT_EQ(results.count(node), 0u) << node << " was written";
                    EXPECT_NE(o.err.find("skipping " + node), std::string::npos) << node;
                    continue;
                }
                if (results.count(node) == 0) continue;  // restarts.bay has eight drives
                const std::string outcome = results.at(node)["outcome"];
                EXPECT_EQ(outcome == "updated", b.updated.count(i) == 1) << node << ": " << outcome;
                if (outcome != "updated") {
                    EXPECT_EQ(outcome, "failed") << node;
                }
                if (outcome != "updated") {
                    EXPECT_FALSE(results.at(node)["reason"].get<std::string>().empty()) << node;
                }
            }
            EXPECT_EQ(results.size() + b.passedOver.size(), std::string(b.file) == "faults.bay" ? 10u : 8u);
        }
    }
}

// The reference: from the settings file when stored, else from the options; the image's own
// read-back checksum is what good drives read back.
TEST(CliTruth, VerificationFollowsTheSettingsAndTheOptions) {
    struct Case {
        const char* name;
        const char* stored;  // FLASH.INI's CHECKSUM; null: no file
        std::vector<std::string> options;
        const char* outcome;
        int code;
    };
    Scratch probe;
    const std::string readBack = ImageReadBack(probe);
    const uint16_t readBackValue = static_cast<uint16_t>(std::stoul(readBack, nullptr, 16));
    const std::string right = std::to_string(readBackValue);
    const std::vector<Case> cases = {
        {"no reference", nullptr, {}, "updated", 0},
        {"the right reference stored", right.c_str(), {}, "verified", 0},
        {"a wrong reference stored", "1234", {}, "verify-ng", 1},
        {"a wrong reference, not verified", "1234", {"--no-verify"}, "updated", 0},
        {"a wrong reference overridden", "1234", {"--verify", readBack}, "verified", 0},
        {"a wrong reference given", nullptr, {"--verify", "0x04D2"}, "verify-ng", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        if (c.stored) s.Write("FLASH.INI", std::string("[FLASHROM]\r\nCHECKSUM=") + c.stored + "\r\n");
        std::vector<std::string> args = {"flash", "--json"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const Outcome o = Cli(s, s.Write("g.bay", kGood3), args);
        EXPECT_EQ(o.code, c.code) << o.err;
        const auto results = ResultsByNode(ParseEvents(o));
        ASSERT_EQ(results.size(), 3u);
        for (const auto& [node, r] : results) {
            EXPECT_EQ(r["outcome"], c.outcome) << node;
            if (std::string(c.outcome) == "verify-ng") {
                EXPECT_EQ(r["reason"], "read back " + readBack + ", expected 0x04D2");
            }
            if (std::string(c.outcome) != "updated") {
                EXPECT_EQ(r["read_back"], readBack);
            }
        }
    }
    // The settings file is the one named.
    Scratch s;
    s.Write("other.ini", "[FLASHROM]\nCHECKSUM=1234\n");
    const Outcome o = Cli(s, s.Write("g.bay", kGood3), {"--settings", "other.ini", "flash"});
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.out.find("verify-ng"), std::string::npos) << o.out;
}

// ---------------------------------------------------------------- service commands

TEST(CliService, ChecksumStoresOnlyAWholeSum) {
    Scratch s;
    const std::string bay = s.Write("c.bay", "drive serial=C1\ndrive serial=C2\ndrive read-fail=0x100000\n");
    s.Write("FLASH.INI", "[FLASHROM]\r\nCHECKSUM=777\r\n[FIRMWARE]\r\nPATH=x.cvt\r\n");

    const Outcome one = Cli(s, bay, {"checksum", "virtual:sr0", "--json"});
    ASSERT_EQ(one.code, 0) << one.err;
    const json a = json::parse(one.out);
    EXPECT_EQ(a["stored"], false);
    EXPECT_NE(s.Read("FLASH.INI").find("CHECKSUM=777"), std::string::npos) << "stored without --store";

    // Drives on the same older firmware read back the same sum, their own areas aside.
    const Outcome two = Cli(s, bay, {"checksum", "virtual:sr1", "--store", "--json"});
    ASSERT_EQ(two.code, 0) << two.err;
    const json b = json::parse(two.out);
    EXPECT_EQ(b["checksum"], a["checksum"]);
    EXPECT_EQ(b["stored"], true);
    const std::string stored = "CHECKSUM=" + std::to_string(b["value"].get<int>());
    EXPECT_NE(s.Read("FLASH.INI").find(stored), std::string::npos) << s.Read("FLASH.INI");
    EXPECT_NE(s.Read("FLASH.INI").find("PATH=x.cvt"), std::string::npos) << "other lines kept";

    const Outcome failed = Cli(s, bay, {"checksum", "virtual:sr2", "--store"});
    EXPECT_EQ(failed.code, 1);
    EXPECT_NE(failed.err.find("Read Flash NG"), std::string::npos) << failed.err;
    EXPECT_NE(s.Read("FLASH.INI").find(stored), std::string::npos) << "a partial sum was stored";
}

std::string CvtFile(int blocks, bool goodHeader, bool goodSums) {
    std::string header(36, '\0');
    const std::string text = goodHeader ? "Quentar KRT5246 flash file" : "Quentar KRT5246 flesh file";
    header.replace(0, text.size(), text);
    std::vector<uint8_t> data(static_cast<size_t>(blocks) * 16384);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 300);
    uint16_t add = firmware::AdditiveSum(data), rot = firmware::RotatingSum(data);
    if (!goodSums) ++add;
    std::string file = header + std::string(data.begin(), data.end());
    file += {static_cast<char>(add & 0xFF), static_cast<char>(add >> 8), static_cast<char>(rot & 0xFF),
             static_cast<char>(rot >> 8)};
    return file;
}

TEST(CliService, CheckCvtSpeaksWithTheWindowsMessages) {
    struct Case {
        const char* name;
        std::string file;
        int code;
        const char* err;
    };
    const Case cases[] = {
        {"good", CvtFile(2, true, true), 0, ""},
        {"bad header", CvtFile(2, false, true), 3, "The .CVT file header NG"},
        {"bad sums", CvtFile(2, true, false), 3, "Checksum mismatch"},
        {"too large", CvtFile(65, true, true), 3, "The .CVT file is too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        s.Write("f.cvt", c.file);
        const Outcome o = Cli(s, "", {"check-cvt", "f.cvt", "--json"});
        EXPECT_EQ(o.code, c.code) << o.err;
        const json j = json::parse(o.out);
        EXPECT_EQ(j["ok"], c.code == 0);
        if (c.code == 0) {
            EXPECT_EQ(j["blocks"], 2);
        }
        EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
        EXPECT_FALSE(std::filesystem::exists(s.Dir() / "FLASH.INI")) << "a check wrote the settings";
    }
}

// ---------------------------------------------------------------- interrupts

// Sends `signals` the first time a drive is seen writing.
Outcome FlashInterrupted(const Scratch& s, const std::string& bay, std::vector<std::string> extra,
                         std::vector<int> signals) {
    std::vector<std::string> args = {"--virtual-drives", bay, "--speed", "200", "flash", "--json",
                                     "--history",        s.History()};
    args.insert(args.end(), extra.begin(), extra.end());
    bool sent = false;
    Outcome o = RunCli(args, s.Dir(), [&](const std::string& line, pid_t pid) {
        if (sent || line.find("\"state\":\"writing\"") == std::string::npos) return;
        sent = true;
        for (int sig : signals) kill(pid, sig);
    });
    EXPECT_TRUE(sent) << "no transfer was seen";
    EXPECT_FALSE(o.timedOut);
    return o;
}

// About half a second a transfer at --speed 200.
const std::string kSlow = "defaults write-latency=2000\ndrive serial=S1\ndrive serial=S2\n";

TEST(CliInterrupt, TheTransferUnderWayEndsAndNoNewJobStarts) {
    Scratch s;
    const Outcome o = FlashInterrupted(s, s.Write("slow.bay", kSlow), {"--parallel", "1"}, {SIGINT});
    EXPECT_EQ(o.code, 130) << o.err;
    const auto events = ParseEvents(o);
    const auto results = ResultsByNode(events);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results.at("virtual:sr0")["outcome"], "updated");
    EXPECT_EQ(results.at("virtual:sr1")["outcome"], "not-started");
    for (const json& e : events) EXPECT_FALSE(e["event"] == "state" && e["node"] == "virtual:sr1") << e.dump();
    const auto summary = Summary(events);
    ASSERT_TRUE(summary);
    EXPECT_EQ((*summary)["interrupted"], true);
    EXPECT_EQ((*summary)["not_started"], 1);
    EXPECT_EQ((*summary)["updated"], 1);
    EXPECT_NE(o.err.find("interrupted: no further drive is started"), std::string::npos) << o.err;
    // Only the job that ran is recorded.
    const auto records = HistoryRecords(s);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["node"], "virtual:sr0");
    EXPECT_EQ(records[0]["outcome"], "updated");
}

TEST(CliInterrupt, ASecondSignalKeepsWaitingForTheDrives) {
    Scratch s;
    const Outcome o = FlashInterrupted(s, s.Write("slow.bay", kSlow), {}, {SIGINT, SIGTERM});
    EXPECT_EQ(o.code, 130) << o.err;
    const auto results = ResultsByNode(ParseEvents(o));
    ASSERT_EQ(results.size(), 2u);
    for (const auto& [node, r] : results) EXPECT_EQ(r["outcome"], "updated") << node;
    EXPECT_NE(o.err.find("drives are still being written"), std::string::npos) << o.err;
    EXPECT_EQ(HistoryRecords(s).size(), 2u);
}

}  // namespace
