#include "settings/Profile.h"

#include "platform/FileSync.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace settings {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kLineEnd = "\r\n";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view Unquote(std::string_view s)
{
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
        return s.substr(1, s.size() - 2);
    }
    return s;
}

// Where a section and key are, or where they would go. Offsets index the whole file text.
struct Match {
    bool sectionFound = false;
    bool keyFound = false;
    size_t valueBegin = 0;  // after the '=' and the blanks that follow it
    size_t valueEnd = 0;    // end of the line's content
    size_t insertAt = 0;    // after the section's header or its last key line
    bool insertNeedsLineEnd = false;  // that line is the last one and has no line end
};

// One pass over the lines; both names arrive trimmed.
Match Locate(std::string_view text, std::string_view section, std::string_view key)
{
    Match m;
    size_t pos = text.starts_with(kBom) ? kBom.size() : 0;
    bool inSection = false;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        size_t next;
        if (end == std::string_view::npos) {
            end = next = text.size();
        } else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
            next = end + 2;
        } else {
            next = end + 1;
        }
        const std::string_view line = text.substr(pos, end - pos);
        size_t first = 0;
        while (first < line.size() && IsBlank(line[first])) {
            ++first;
        }

        if (first < line.size() && line[first] == '[') {
            const size_t close = line.find(']', first + 1);
            if (close != std::string_view::npos) {
                if (inSection) {
                    return m;
                }
                if (SameName(Trim(line.substr(first + 1, close - first - 1)), section)) {
                    inSection = true;
                    m.sectionFound = true;
                    m.insertAt = next;
                    m.insertNeedsLineEnd = next == end;
                }
            }
        } else if (inSection && first < line.size() && line[first] != ';' && line[first] != '#') {
            const size_t eq = line.find('=', first);
            if (eq != std::string_view::npos) {
                if (SameName(Trim(line.substr(first, eq - first)), key)) {
                    size_t value = eq + 1;
                    while (value < line.size() && IsBlank(line[value])) {
                        ++value;
                    }
                    m.keyFound = true;
                    m.valueBegin = pos + value;
                    m.valueEnd = end;
                    return m;
                }
                m.insertAt = next;
                m.insertNeedsLineEnd = next == end;
            }
        }
        pos = next;
    }
    return m;
}

enum class FileState { Missing, Loaded, Unreadable };

FileState LoadFile(const std::string& path, std::string& text)
{
    if (path.empty()) {
        return FileState::Missing;
    }
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        return FileState::Missing;
    }
    // Directories, FIFOs and devices are never settings files; opening a FIFO could even block.
    if (ec || status.type() != fs::file_type::regular) {
        return FileState::Unreadable;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        return FileState::Unreadable;
    }
    std::string bytes;
    char buffer[16384];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        return FileState::Unreadable;
    }
    text = std::move(bytes);
    return FileState::Loaded;
}

// What could not be written so that it reads back as the same section, key and value.
bool Storable(std::string_view section, std::string_view key, std::string_view value)
{
    constexpr std::string_view kBreaks("\r\n\0", 3);
    for (std::string_view s : {section, key, value}) {
        if (s.find_first_of(kBreaks) != std::string_view::npos) {
            return false;
        }
    }
    if (section.find(']') != std::string_view::npos) {
        return false;
    }
    const std::string_view name = Trim(key);
    if (name.find('=') != std::string_view::npos) {
        return false;
    }
    return name.empty() || (name.front() != ';' && name.front() != '#' && name.front() != '[');
}

std::string Edit(const std::string& text, std::string_view section, std::string_view key,
                 std::string_view value)
{
    const Match m = Locate(text, section, key);
    std::string out;
    out.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (m.keyFound) {
        out.append(text, 0, m.valueBegin).append(value).append(text, m.valueEnd);
        return out;
    }
    if (m.sectionFound) {
        out.append(text, 0, m.insertAt);
        if (m.insertNeedsLineEnd) {
            out.append(kLineEnd);
        }
        out.append(key).append("=").append(value).append(kLineEnd);
        out.append(text, m.insertAt);
        return out;
    }
    out = text;
    if (!out.empty() && out.back() != '\n' && out.back() != '\r') {
        out.append(kLineEnd);
    }
    out.append("[").append(section).append("]").append(kLineEnd);
    out.append(key).append("=").append(value).append(kLineEnd);
    return out;
}

void Discard(const std::string& temp)
{
    std::error_code ec;
    fs::remove(temp, ec);
}

// Write beside, flush, rename over: a crash leaves the old file or the new one, never half of one.
int ReplaceFile(const std::string& path, const std::string& bytes, bool existed)
{
    const std::string temp = path + kTempSuffix;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.is_open()) {
            return 0;  // nothing of ours to clean up
        }
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            Discard(temp);
            return 0;
        }
    }
    std::error_code ec;
    if (existed) {
        const fs::perms perms = fs::status(path, ec).permissions();
        if (!ec) {
            fs::permissions(temp, perms, ec);
        }
    }
    if (!platform::SyncFile(temp)) {
        Discard(temp);
        return 0;
    }
    fs::rename(temp, path, ec);
    if (ec) {
        Discard(temp);
        return 0;
    }
    // The new file is in place; syncing the directory only makes the rename survive a power cut.
    const fs::path parent = fs::path(path).parent_path();
    platform::SyncFile(parent.empty() ? std::string(".") : parent.string());
    return 1;
}

}  // namespace

std::string IniPathIn(const std::string& directory)
{
    if (directory.empty()) {
        return kIniFileName;
    }
    std::string path = directory;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (path.back() != '/') {
        path.push_back('/');
    }
    return path + kIniFileName;
}

int32_t GetProfileInt(std::string_view section, std::string_view key, int32_t defaultValue,
                      const std::string& path)
{
    try {
        std::string text;
        if (LoadFile(path, text) != FileState::Loaded) {
            return defaultValue;
        }
        const Match m = Locate(text, Trim(section), Trim(key));
        if (!m.keyFound) {
            return defaultValue;
        }
        std::string_view value =
            Unquote(Trim(std::string_view(text).substr(m.valueBegin, m.valueEnd - m.valueBegin)));
        if (value.empty()) {
            return defaultValue;
        }
        size_t i = 0;
        while (i < value.size() && IsBlank(value[i])) {
            ++i;
        }
        const bool negative = i < value.size() && value[i] == '-';
        if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
            ++i;
        }
        // Unsigned arithmetic wraps where signed overflow would be undefined.
        uint32_t magnitude = 0;
        for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
            magnitude = magnitude * 10u + static_cast<uint32_t>(value[i] - '0');
        }
        return static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
    } catch (...) {
        return defaultValue;
    }
}

std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view defaultValue, size_t size, const std::string& path)
{
    try {
        if (size == 0) {
            return {};
        }
        std::string text;
        std::string_view result = defaultValue;
        if (LoadFile(path, text) == FileState::Loaded) {
            const Match m = Locate(text, Trim(section), Trim(key));
            if (m.keyFound) {
                result = Unquote(
                    Trim(std::string_view(text).substr(m.valueBegin, m.valueEnd - m.valueBegin)));
            }
        }
        return std::string(result.substr(0, size - 1));
    } catch (...) {
        return {};
    }
}

int WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                       const std::string& path)
{
    try {
        if (path.empty() || !Storable(section, key, value)) {
            return 0;
        }
        std::string text;
        const FileState state = LoadFile(path, text);
        if (state == FileState::Unreadable) {
            return 0;  // replacing it would lose what we could not read
        }
        if (state == FileState::Loaded) {
            // A read-only file stays as it is, even though its directory would allow a rename.
            std::ofstream probe(path, std::ios::binary | std::ios::app);
            if (!probe.is_open()) {
                return 0;
            }
        }
        return ReplaceFile(path, Edit(text, Trim(section), Trim(key), value),
                           state == FileState::Loaded);
    } catch (...) {
        return 0;
    }
}

}  // namespace settings
