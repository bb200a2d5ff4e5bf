// Feeds arbitrary bytes to the FLASH.INI reader and writer and checks that a write lands where a
// read finds it, disturbs no other key and keeps the file's encoding. Seeds: corpus/ini_fuzz.
#include "settings/Profile.h"

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace {

namespace fs = std::filesystem;

// One file per process, its directory removed when the fuzzer exits.
struct FuzzFile {
    FuzzFile()
    {
        // tmpfs, when there is one, makes the flush of every write nearly free.
        std::error_code ec;
        const fs::path base =
            fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        // mkdtemp: a directory of our own, not one someone planted under a guessed name.
        std::string pattern = (base / "rw-ini-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        dir = pattern;
        path = (dir / settings::kIniFileName).string();
    }
    ~FuzzFile()
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path dir;
    std::string path;
};

// The reader's notion of a name: ASCII case and surrounding blanks do not count.
bool SameName(std::string_view name, std::string_view upper)
{
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) {
        name.remove_prefix(1);
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
        name.remove_suffix(1);
    }
    if (name.size() != upper.size()) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 32) : name[i];
        if (c != upper[i]) {
            return false;
        }
    }
    return true;
}

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool PutInput(const std::string& path, std::string_view input)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
    return static_cast<bool>(out);
}

std::string GetAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool IsUtf16(std::string_view bytes)
{
    return bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzFile file;
    const std::string& path = file.path;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!PutInput(path, input)) {
        return 0;
    }

    static const char* const kNames[][2] = {
        {"FLASHROM", "CHECKSUM"}, {"DRIVE_PRIORITY", "TOTAL_DRIVE"}, {"DRIVE_PRIORITY", "0"},
        {"FIRMWARE", "PATH"},     {"", ""},                          {" a ", "\tk"},
    };
    for (const auto& [section, key] : kNames) {
        settings::GetProfileInt(section, key, -1, path);
        settings::GetProfileString(section, key, "", 128, path);
    }
    const std::string pathBefore = settings::GetProfileString("FIRMWARE", "PATH", "?", 4096, path);

    // Each write starts from the input as it came: a key the program uses, short names that
    // random input easily contains, and names taken from the input itself. Whatever the writer
    // accepts must read back and must leave another key alone.
    static const char* const kShort[][2] = {{"a", "k"}, {"A", " K"}, {"b", "0"}, {" a ", "k"}};
    const auto& [shortSection, shortKey] = kShort[size > 0 ? data[size - 1] % 4 : 0];
    struct Write {
        std::string_view section, key;
        bool storable;  // names from the input may be refused
    };
    const Write writes[] = {
        {"FLASHROM", "CHECKSUM", true},
        {shortSection, shortKey, true},
        {input.substr(0, std::min<size_t>(size, 12)), input.substr(std::min<size_t>(size, 12), 8),
         false},
    };
    for (const auto& [section, key, storable] : writes) {
        if (!PutInput(path, input)) {
            return 0;
        }
        const int written = settings::WriteProfileString(section, key, "4242", path);
        Check(written == 1 || !storable);
        if (written == 1) {
            Check(settings::GetProfileString(section, key, "?", 128, path) == "4242");
            Check(settings::GetProfileInt(section, key, -1, path) == 4242);
            if (!SameName(section, "FIRMWARE") || !SameName(key, "PATH")) {
                Check(settings::GetProfileString("FIRMWARE", "PATH", "?", 4096, path) ==
                      pathBefore);
            }
            // A UTF-16 file stays UTF-16 in its byte order, never gains 8-bit text, and keeps a
            // stray odd byte; an 8-bit file keeps its final Ctrl-Z last.
            const std::string after = GetAll(path);
            if (IsUtf16(input)) {
                Check(after.compare(0, 2, input.substr(0, 2)) == 0);
                Check(after.size() % 2 == size % 2);
            } else if (!input.empty() && input.back() == '\x1A') {
                Check(!after.empty() && after.back() == '\x1A');
            }
        }
    }
    return 0;
}
