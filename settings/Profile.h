// FLASH.INI access with the semantics of the Windows private-profile functions.
//
// Section and key names match without regard to ASCII case and to surrounding blanks; the first
// matching section, and the first matching key in it, win. Values lose surrounding blanks and one
// pair of surrounding quotes. CRLF, LF and CR line ends all read, a leading UTF-8 BOM is skipped
// and Ctrl-Z at the end of the file is an end mark, not text. A file that starts with a UTF-16
// BOM (either byte order) reads as UTF-16, handed out as UTF-8, a lone surrogate as '?', and is
// written back in UTF-16. A missing, unreadable or non-regular file reads as empty. Nothing here
// throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace settings {

inline constexpr char kIniFileName[] = "FLASH.INI";
// FLASH.INI in the working directory of the moment.
inline constexpr char kIniRelativePath[] = "FLASH.INI";

// directory + "/FLASH.INI" with exactly one separator; an empty directory gives the relative name.
std::string IniPathIn(const std::string& directory);

// Optional blanks, an optional sign and decimal digits, or hexadecimal ones after 0x or 0X, up
// to the first other character, wrapped to 32 bits ("0xFFFFFFFF" is -1). defaultValue when the
// file, section or key is missing or the value is empty.
int32_t GetProfileInt(std::string_view section, std::string_view key, int32_t defaultValue,
                      const std::string& path);

// The value, or defaultValue when the file, section or key is missing, cut to size - 1
// characters as a zero-terminated buffer of that size would hold it.
std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view defaultValue, size_t size, const std::string& path);

// Replaces the value of the key, or adds the key to its section, or adds the section, or creates
// the file; every other byte of the file stays as it was and new lines end in CRLF. The file is
// replaced atomically, as platform::ReplaceFile does it (a symlink at path is followed only when
// it cannot have been planted). 1 on success; 0 on any failure, the file then untouched. Also 0
// for text that cannot be stored as given: a line break, NUL or Ctrl-Z anywhere, ']' in the
// section name, '=' in the key, a key that would read as a comment or a section, or text that is
// not UTF-8 for a UTF-16 file.
int WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                       const std::string& path);

}  // namespace settings
