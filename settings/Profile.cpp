#include "settings/Profile.h"

#include "platform/FileSync.h"

#include <optional>
#include <vector>

namespace settings {
namespace {

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

enum class Encoding { Bytes, Utf16Le, Utf16Be };

// The file as read, and the text its lines are looked up in.
struct Document {
    Encoding encoding = Encoding::Bytes;
    std::string raw;
    // The bytes of an 8-bit file, or a UTF-16 file as UTF-8; without a final Ctrl-Z, the end
    // mark of DOS editors, which is kept in raw and stays last.
    std::string text;
    // UTF-16 only: where in raw the character holding each byte of text starts, one more entry
    // for the end of the text. rawAt[0] is past the BOM, so that it stays in front.
    std::vector<size_t> rawAt;

    size_t RawOffset(size_t textOffset) const
    {
        return encoding == Encoding::Bytes ? textOffset : rawAt[textOffset];
    }
};

void AppendUtf8(uint32_t c, std::string& out)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Strict UTF-8 to UTF-16 code units in the file's byte order; false for anything that is not
// well-formed UTF-8, which could not read back as written.
bool AppendUtf16(std::string_view utf8, bool bigEndian, std::string& out)
{
    auto unit = [&](uint32_t u) {
        const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
        out.push_back(bigEndian ? high : low);
        out.push_back(bigEndian ? low : high);
    };
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2
                            : lead >= 0xE0 && lead <= 0xEF              ? 3
                            : lead >= 0xF0 && lead <= 0xF4              ? 4
                                                                        : 0;
        if (length == 0 || utf8.size() - i < length) {
            return false;
        }
        uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        if (c >= 0x10000) {
            unit(0xD800 | ((c - 0x10000) >> 10));
            unit(0xDC00 | ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
        i += length;
    }
    return true;
}

void Decode(Document& doc)
{
    const std::string& raw = doc.raw;
    if (raw.starts_with("\xFF\xFE") || raw.starts_with("\xFE\xFF")) {
        doc.encoding = raw[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
        const bool big = doc.encoding == Encoding::Utf16Be;
        auto unitAt = [&](size_t at) {
            const auto a = static_cast<unsigned char>(raw[at]);
            const auto b = static_cast<unsigned char>(raw[at + 1]);
            return static_cast<uint32_t>(big ? (a << 8 | b) : (b << 8 | a));
        };
        // A stray odd byte and a final Ctrl-Z stay in raw after the text.
        size_t end = raw.size() - raw.size() % 2;
        while (end > 2 && unitAt(end - 2) == 0x1A) {
            end -= 2;
        }
        for (size_t at = 2; at < end;) {
            const size_t start = at;
            uint32_t c = unitAt(at);
            at += 2;
            if (c >= 0xD800 && c <= 0xDBFF && at < end) {
                const uint32_t low = unitAt(at);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    at += 2;
                }
            }
            if (c >= 0xD800 && c <= 0xDFFF) {
                c = '?';  // a lone surrogate has no 8-bit form
            }
            const size_t before = doc.text.size();
            AppendUtf8(c, doc.text);
            doc.rawAt.insert(doc.rawAt.end(), doc.text.size() - before, start);
        }
        doc.rawAt.push_back(end);
        return;
    }
    doc.encoding = Encoding::Bytes;
    size_t end = raw.size();
    while (end > 0 && raw[end - 1] == '\x1A') {
        --end;
    }
    doc.text.assign(raw, 0, end);
}

enum class FileState { Missing, Loaded, Unreadable };

FileState Load(const std::string& path, Document& doc)
{
    if (path.empty()) {
        return FileState::Missing;
    }
    switch (platform::ReadRegularFile(path, doc.raw)) {
    case platform::ReadResult::Missing:
        return FileState::Missing;
    case platform::ReadResult::Unusable:
        return FileState::Unreadable;
    case platform::ReadResult::Read:
        break;
    }
    Decode(doc);
    return FileState::Loaded;
}

// The value of a key, trimmed and unquoted; nullopt when the file, section or key is missing.
std::optional<std::string> Lookup(const std::string& path, std::string_view section,
                                  std::string_view key)
{
    Document doc;
    if (Load(path, doc) != FileState::Loaded) {
        return std::nullopt;
    }
    const Match m = Locate(doc.text, Trim(section), Trim(key));
    if (!m.keyFound) {
        return std::nullopt;
    }
    return std::string(
        Unquote(Trim(std::string_view(doc.text).substr(m.valueBegin, m.valueEnd - m.valueBegin))));
}

// What could not be written so that it reads back as the same section, key and value.
bool Storable(std::string_view section, std::string_view key, std::string_view value)
{
    constexpr std::string_view kBreaks("\r\n\0\x1A", 4);
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

// The text between begin and end of the document's text gives way to insert.
struct Splice {
    size_t begin = 0;
    size_t end = 0;
    std::string insert;
};

Splice Edit(std::string_view text, std::string_view section, std::string_view key,
            std::string_view value)
{
    const Match m = Locate(text, section, key);
    if (m.keyFound) {
        return {m.valueBegin, m.valueEnd, std::string(value)};
    }
    std::string insert;
    if (m.sectionFound) {
        if (m.insertNeedsLineEnd) {
            insert.append(kLineEnd);
        }
        insert.append(key).append("=").append(value).append(kLineEnd);
        return {m.insertAt, m.insertAt, insert};
    }
    const std::string_view body = text.starts_with(kBom) ? text.substr(kBom.size()) : text;
    if (!body.empty() && body.back() != '\n' && body.back() != '\r') {
        insert.append(kLineEnd);
    }
    insert.append("[").append(section).append("]").append(kLineEnd);
    insert.append(key).append("=").append(value).append(kLineEnd);
    return {text.size(), text.size(), insert};
}

// The whole new file: every byte outside the splice as it was, the insert in the file's encoding.
bool Render(const Document& doc, const Splice& splice, std::string& out)
{
    out.assign(doc.raw, 0, doc.RawOffset(splice.begin));
    if (doc.encoding == Encoding::Bytes) {
        out.append(splice.insert);
    } else if (!AppendUtf16(splice.insert, doc.encoding == Encoding::Utf16Be, out)) {
        return false;
    }
    out.append(doc.raw, doc.RawOffset(splice.end));
    return true;
}

int32_t DigitValue(char c, uint32_t base)
{
    int32_t d = -1;
    if (c >= '0' && c <= '9') {
        d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        d = c - 'A' + 10;
    }
    return d < static_cast<int32_t>(base) ? d : -1;
}

int32_t ParseInt(std::string_view value)
{
    size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) {
        ++i;
    }
    const bool negative = i < value.size() && value[i] == '-';
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
        ++i;
    }
    uint32_t base = 10;
    if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    // Unsigned arithmetic wraps where signed overflow would be undefined.
    uint32_t magnitude = 0;
    for (int32_t d; i < value.size() && (d = DigitValue(value[i], base)) >= 0; ++i) {
        magnitude = magnitude * base + static_cast<uint32_t>(d);
    }
    return static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
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
        const std::optional<std::string> value = Lookup(path, section, key);
        return value && !value->empty() ? ParseInt(*value) : defaultValue;
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
        const std::optional<std::string> value = Lookup(path, section, key);
        return std::string(std::string_view(value ? *value : defaultValue).substr(0, size - 1));
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
        Document doc;
        if (Load(path, doc) == FileState::Unreadable) {
            return 0;  // replacing it would lose what we could not read
        }
        std::string bytes;
        if (!Render(doc, Edit(doc.text, Trim(section), Trim(key), value), bytes)) {
            return 0;
        }
        return platform::ReplaceFile(path, bytes);
    } catch (...) {
        return 0;
    }
}

}  // namespace settings
