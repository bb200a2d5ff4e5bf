#include "virtual_drives/BayFile.h"

#include <cctype>
#include <charconv>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

namespace virtual_drives {
namespace {

constexpr int64_t kMaxLatencyMs = 600000;

struct Setting {
    std::string key;
    std::optional<std::string> value;  // nullopt: a bare word, no '='
};

// Splits a line into words; double quotes keep spaces inside a word, a word starting with '#'
// starts a comment.
bool Words(const std::string& line, std::vector<std::string>& words, std::string& error) {
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        std::string word;
        bool quoted = false;
        for (; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"')
                quoted = !quoted;
            else if (!quoted && std::isspace(static_cast<unsigned char>(c)))
                break;
            else
                word += c;
        }
        if (quoted) {
            error = "a quote is not closed";
            return false;
        }
        words.push_back(word);
    }
    return true;
}

std::optional<int64_t> Number(const std::string& text, int64_t low, int64_t high) {
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    int64_t value = 0;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, value, base);
    if (text.empty() || ec != std::errc() || end != last || value < low || value > high) return std::nullopt;
    return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

std::optional<Sense> ParseSense(const std::string& text) {
    const auto parts = Split(text, '/');
    if (parts.size() != 3) return std::nullopt;
    uint8_t bytes[3];
    for (int k = 0; k < 3; ++k) {
        if (parts[k].empty() || parts[k].size() > 2) return std::nullopt;
        auto v = Number("0x" + parts[k], 0, 255);
        if (!v) return std::nullopt;
        bytes[k] = static_cast<uint8_t>(*v);
    }
    return Sense{bytes[0], bytes[1], bytes[2]};
}

bool Printable(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

// Keys a `defaults` line may set: what describes a model, not one unit of it.
const std::set<std::string> kDefaultable = {"vendor",        "product",       "revision",     "type",
                                            "medium",        "firmware-seed", "latency",      "read-latency",
                                            "write-latency", "eject-latency", "program-latency"};
const std::set<std::string> kDriveOnly = {"serial", "tur",        "inquiry-fail", "refuse-block", "read-fail",
                                          "hang",   "hang-block", "vanish-after", "at",           "busy"};
const std::set<std::string> kRepeatable = {"refuse-block", "read-fail"};

class LineReader {
public:
    LineReader(DriveConfig& drive, std::string& error) : d_(drive), error_(error) {}

    bool Apply(const Setting& s) {
        key_ = s.key;
        const std::string& key = s.key;
        if (key == "inquiry-fail") {
            if (!s.value) {
                d_.inquiryFailure = sense::InternalFailure;
                return true;
            }
            return SenseValue(*s.value, d_.inquiryFailure);
        }
        if (!s.value) return Fail("'" + key + "' needs a value (" + key + "=...)");
        const std::string& v = *s.value;
        if (key == "vendor") return Text(v, 8, d_.vendor);
        if (key == "product") return Text(v, 16, d_.product);
        if (key == "revision") return Text(v, 4, d_.revision);
        if (key == "serial") return Text(v, 32, d_.serial) && (!v.empty() || Fail("'serial' is empty"));
        if (key == "type") {
            auto n = Number(v, 0, 31);
            if (!n) return Fail("'type' wants a device type 0 to 31, got '" + v + "'");
            d_.deviceType = static_cast<uint8_t>(*n);
            return true;
        }
        if (key == "medium") {
            static const std::map<std::string, Medium> names = {{"ready", Medium::Ready},
                                                                {"none", Medium::NoMedium},
                                                                {"tray-closed", Medium::TrayClosed},
                                                                {"tray-open", Medium::TrayOpen}};
            auto it = names.find(v);
            if (it == names.end()) return Fail("'medium' is ready, none, tray-closed or tray-open, got '" + v + "'");
            d_.medium = it->second;
            return true;
        }
        if (key == "firmware-seed") {
            auto n = Number(v, 0, 0xFFFFFFFF);
            if (!n) return Fail("'firmware-seed' wants a number, got '" + v + "'");
            d_.firmwareSeed = static_cast<uint32_t>(*n);
            return true;
        }
        if (key == "latency") return Ms(v, d_.latency);
        if (key == "read-latency") return Ms(v, d_.readLatency);
        if (key == "write-latency") return Ms(v, d_.writeLatency);
        if (key == "eject-latency") return Ms(v, d_.ejectLatency);
        if (key == "program-latency") return Ms(v, d_.programLatency);
        if (key == "tur") {
            d_.testUnitReadyScript.clear();
            for (const auto& item : Split(v, ',')) {
                if (item == "ok") {
                    d_.testUnitReadyScript.push_back(std::nullopt);
                    continue;
                }
                std::optional<Sense> s2;
                if (!SenseValue(item, s2)) return false;
                d_.testUnitReadyScript.push_back(s2);
            }
            return true;
        }
        if (key == "refuse-block") {
            auto parts = Split(v, ':');
            std::optional<int64_t> block = parts.size() == 2 ? Number(parts[0], 0, 255) : std::nullopt;
            if (!block) return Fail("'refuse-block' wants BLOCK:KK/AA/QQ, got '" + v + "'");
            std::optional<Sense> s2;
            if (!SenseValue(parts[1], s2)) return false;
            d_.refuseBlocks.push_back({static_cast<int>(*block), *s2});
            return true;
        }
        if (key == "read-fail") {
            auto parts = Split(v, ':');
            ReadFailure failure;
            auto address = Number(parts[0], 0, kFlashSize - 1);
            if (!address || parts.size() > 3)
                return Fail("'read-fail' wants ADDRESS[:once|always][:KK/AA/QQ] with an address below 0x200000, "
                            "got '" + v + "'");
            failure.address = static_cast<uint32_t>(*address);
            for (size_t k = 1; k < parts.size(); ++k) {
                if (parts[k] == "once" || parts[k] == "always") {
                    failure.once = parts[k] == "once";
                    continue;
                }
                std::optional<Sense> s2;
                if (!SenseValue(parts[k], s2)) return false;
                failure.sense = *s2;
            }
            d_.readFailures.push_back(failure);
            return true;
        }
        if (key == "hang") return Count(v, 1, 1000000000, d_.hangAtCommand);
        if (key == "hang-block") return Count(v, 0, 255, d_.hangAtBlock);
        if (key == "vanish-after") return Count(v, 1, 1000000000, d_.vanishAfter);
        if (key == "busy") return Count(v, 1, 4194304, d_.busyHolder);
        if (key == "at") {
            auto parts = Split(v, ':');
            auto adapter = parts.size() == 2 ? Number(parts[0], 0, 15) : std::nullopt;
            auto target = parts.size() == 2 ? Number(parts[1], 0, 7) : std::nullopt;
            if (!adapter || !target) return Fail("'at' wants ADAPTER:TARGET (0-15:0-7), got '" + v + "'");
            d_.adapter = static_cast<int>(*adapter);
            d_.target = static_cast<int>(*target);
            return true;
        }
        return Fail("unknown setting '" + key + "'");
    }

private:
    bool Fail(const std::string& message) {
        error_ = message;
        return false;
    }
    bool Text(const std::string& v, size_t width, std::string& into) {
        if (v.size() > width || !Printable(v))
            return Fail("'" + key_ + "' takes up to " + std::to_string(width) + " printable characters, got '" + v +
                        "'");
        into = v;
        return true;
    }
    bool Ms(const std::string& v, int32_t& into) {
        auto n = Number(v, 0, kMaxLatencyMs);
        if (!n) return Fail("'" + key_ + "' wants milliseconds 0 to 600000, got '" + v + "'");
        into = static_cast<int32_t>(*n);
        return true;
    }
    bool Count(const std::string& v, int64_t low, int64_t high, int& into) {
        auto n = Number(v, low, high);
        if (!n)
            return Fail("'" + key_ + "' wants a number from " + std::to_string(low) + " to " + std::to_string(high) +
                        ", got '" + v + "'");
        into = static_cast<int>(*n);
        return true;
    }
    bool SenseValue(const std::string& v, std::optional<Sense>& into) {
        into = ParseSense(v);
        return into.has_value() || Fail("'" + key_ + "': '" + v + "' is not a sense (KK/AA/QQ, hexadecimal)");
    }

    DriveConfig& d_;
    std::string& error_;
    std::string key_;
};

bool ParseLine(const std::vector<std::string>& words, DriveConfig& into, bool defaultsLine, std::string& error) {
    std::set<std::string> seen;
    LineReader reader(into, error);
    for (size_t k = 1; k < words.size(); ++k) {
        Setting s;
        const size_t eq = words[k].find('=');
        s.key = words[k].substr(0, eq);
        if (eq != std::string::npos) s.value = words[k].substr(eq + 1);
        if (defaultsLine && !kDefaultable.count(s.key)) {
            error = kDriveOnly.count(s.key) ? "'" + s.key + "' belongs on a drive line"
                                            : "unknown setting '" + s.key + "'";
            return false;
        }
        if (!kRepeatable.count(s.key) && !seen.insert(s.key).second) {
            error = "'" + s.key + "' is given twice";
            return false;
        }
        if (!reader.Apply(s)) return false;
    }
    return true;
}

BayDescription Drives(int count, const DriveConfig& model) {
    BayDescription bay;
    bay.drives.assign(static_cast<size_t>(count < 0 ? 0 : count), model);
    return bay;
}

DriveConfig DemoModel() {
    DriveConfig d;
    d.latency = 5;
    d.readLatency = 3;
    d.writeLatency = 120;
    d.ejectLatency = 1500;
    d.programLatency = 3000;
    return d;
}

}  // namespace

bool ParseBay(const std::string& text, BayDescription& out, std::string& error) {
    BayDescription bay;
    DriveConfig defaults;
    std::map<std::pair<int, int>, int> places;  // -> line
    std::istringstream in(text);
    int lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string problem;
        std::vector<std::string> words;
        auto fail = [&](const std::string& message) {
            error = "line " + std::to_string(lineNumber) + ": " + message;
            return false;
        };
        if (!Words(line, words, problem)) return fail(problem);
        if (words.empty()) continue;
        if (words[0] == "defaults") {
            if (!ParseLine(words, defaults, true, problem)) return fail(problem);
            continue;
        }
        if (words[0] != "drive") return fail("a line starts with 'drive' or 'defaults', not '" + words[0] + "'");
        if (static_cast<int>(bay.drives.size()) == kMaxBayDrives)
            return fail("a bay holds at most " + std::to_string(kMaxBayDrives) + " drives");
        DriveConfig drive = defaults;
        if (!ParseLine(words, drive, false, problem)) return fail(problem);
        if (drive.adapter >= 0) {
            auto [it, fresh] = places.emplace(std::make_pair(drive.adapter, drive.target), lineNumber);
            if (!fresh)
                return fail("place " + std::to_string(drive.adapter) + ":" + std::to_string(drive.target) +
                            " is taken by the drive on line " + std::to_string(it->second));
        }
        bay.drives.push_back(std::move(drive));
    }
    out = std::move(bay);
    return true;
}

bool LoadBayFile(const std::string& path, BayDescription& out, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        error = path + ": cannot be read";
        return false;
    }
    if (!ParseBay(text.str(), out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

BayDescription GoodDrives(int count) { return Drives(count, DriveConfig{}); }

BayDescription DemoDrives(int count) { return Drives(count, DemoModel()); }

bool DescribeBay(const std::string& argument, BayDescription& out, std::string& error) {
    const bool number = !argument.empty() && argument.size() <= 9 &&
                        argument.find_first_not_of("0123456789") == std::string::npos;
    if (!number) return LoadBayFile(argument, out, error);
    const int count = std::stoi(argument);
    if (count > kMaxBayDrives) {
        error = "a bay holds at most " + std::to_string(kMaxBayDrives) + " drives, not " + argument;
        return false;
    }
    out = DemoDrives(count);
    return true;
}

std::unique_ptr<VirtualBay> OpenBay(const std::string& argument, platform::Clock& clock, std::string& error) {
    BayDescription description;
    if (!DescribeBay(argument, description, error)) return nullptr;
    return std::make_unique<VirtualBay>(description, clock);
}

}  // namespace virtual_drives
