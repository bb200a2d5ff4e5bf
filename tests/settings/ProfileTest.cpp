#include "settings/Profile.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using settings::GetProfileInt;
using settings::GetProfileString;
using settings::IniPathIn;
using settings::WriteProfileString;

constexpr int32_t kDefault = -7;
constexpr char kDefaultText[] = "dflt";

void Put(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string Bytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file as an editor saves it in UTF-16: the BOM, then the code units in the given byte order.
std::string Utf16(std::u16string_view text, bool bigEndian = false)
{
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes.push_back(bigEndian ? high : low);
        bytes.push_back(bigEndian ? low : high);
    }
    return bytes;
}

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device random;
        dir_ = fs::temp_directory_path() /
               ("rw-settings-" + std::to_string(random()) + "-" + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(dir_));
        path_ = (dir_ / "FLASH.INI").string();
    }

    void TearDown() override
    {
        std::error_code ec;
        if (!savedCwd_.empty()) {
            fs::current_path(savedCwd_, ec);
        }
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }

    std::set<std::string> Entries() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    fs::path dir_;
    std::string path_;
    fs::path savedCwd_;
};

// ---------------------------------------------------------------- reads

struct ReadCase {
    const char* what;
    std::string file;
    const char* section;
    const char* key;
    std::optional<std::string> text;  // nullopt: the key is missing
    int32_t number;
};

TEST_F(ProfileTest, ReadsValuesAsTheProfileFunctionsDo)
{
    const std::vector<ReadCase> cases = {
        {"names ignore case", "[flashrom]\nchecksum=5\n", "FLASHROM", "CHECKSUM", "5", 5},
        {"blanks around names and =", "  [ FLASHROM ]\t\n \tCHECKSUM \t=\t 7 \t\n", "FLASHROM",
         "CHECKSUM", "7", 7},
        {"blanks around the asked names", "[A]\nK=1\n", " A ", "\tK ", "1", 1},
        {"double quotes", "[F]\nPATH=\" /a b/c.cvt \"\n", "F", "PATH", " /a b/c.cvt ", 0},
        {"single quotes", "[F]\nPATH='x'\n", "F", "PATH", "x", 0},
        {"one pair of quotes only", "[F]\nPATH=\"\"x\"\"\n", "F", "PATH", "\"x\"", 0},
        {"unmatched quotes kept", "[F]\nPATH=\"x'\n", "F", "PATH", "\"x'", 0},
        {"comments and lines without =", "[A]\n;K=1\n  #K=2\nK\nK=3\n", "A", "K", "3", 3},
        {"first matching section wins", "[A]\nK=1\n[a]\nK=2\n", "A", "K", "1", 1},
        {"first matching key wins", "[A]\nk=1\nK=2\n", "A", "K", "1", 1},
        {"lines before any section", "K=9\n[A]\n", "A", "K", std::nullopt, kDefault},
        {"key of another section", "[B]\nK=1\n[A]\nX=2\n", "A", "K", std::nullopt, kDefault},
        {"section ends at the next header", "[A]\nX=1\n[B]\nK=2\n", "A", "K", std::nullopt,
         kDefault},
        {"missing section", "[B]\nK=1\n", "A", "K", std::nullopt, kDefault},
        {"unterminated header is no header", "[A]\nK=1\n[B\nL=2\n", "A", "L", "2", 2},
        {"text after a header", "[A] ; note\nK=6\n", "A", "K", "6", 6},
        {"CRLF", "[A]\r\nK=1\r\nL=2\r\n", "A", "L", "2", 2},
        {"CR", "[A]\rK=1\rL=2\r", "A", "L", "2", 2},
        {"mixed, no final line end", "[A]\r\nK=1\rL=2\nM=3", "A", "M", "3", 3},
        {"BOM", "\xEF\xBB\xBF[A]\r\nK=4\r\n", "A", "K", "4", 4},
        {"NUL and binary junk", "\0\xff\x01 junk\n[A]\nK=1\0"s "2\n", "A", "K", "1\0"s "2", 1},
        {"= inside the value", "[A]\nK=a=b\n", "A", "K", "a=b", 0},
        {"digits up to another character", "[A]\nK=12abc\n", "A", "K", "12abc", 12},
        {"no digits", "[A]\nK=abc\n", "A", "K", "abc", 0},
        {"minus one", "[A]\nK=-1\n", "A", "K", "-1", -1},
        {"leading blanks and plus", "[A]\nK=\"  +7\"\n", "A", "K", "  +7", 7},
        {"lone sign", "[A]\nK=-\n", "A", "K", "-", 0},
        {"empty value", "[A]\nK=\n", "A", "K", "", kDefault},
        {"blank value", "[A]\nK= \t \n", "A", "K", "", kDefault},
        {"quoted empty value", "[A]\nK=\"\"\n", "A", "K", "", kDefault},
        {"wraps to 32 bits", "[A]\nK=4294967297\n", "A", "K", "4294967297", 1},
        {"wraps past INT32_MAX", "[A]\nK=2147483648\n", "A", "K", "2147483648",
         std::numeric_limits<int32_t>::min()},
        {"wraps below INT32_MIN", "[A]\nK=-2147483649\n", "A", "K", "-2147483649",
         std::numeric_limits<int32_t>::max()},
        {"many digits", "[A]\nK=99999999999999999999\n", "A", "K", "99999999999999999999",
         1661992959},
        {"checksum above 16 bits kept whole", "[FLASHROM]\nCHECKSUM=70000\n", "FLASHROM",
         "CHECKSUM", "70000", 70000},
        {"TOTAL_DRIVE missing beside slot keys", "[DRIVE_PRIORITY]\n0=1\n1=0\n",
         "DRIVE_PRIORITY", "TOTAL_DRIVE", std::nullopt, kDefault},
        {"hexadecimal", "[A]\nK=0x10\n", "A", "K", "0x10", 16},
        {"hexadecimal, capital X and mixed case", "[A]\nK=0XfF\n", "A", "K", "0XfF", 255},
        {"hexadecimal all ones", "[A]\nK=0xFFFFFFFF\n", "A", "K", "0xFFFFFFFF", -1},
        {"hexadecimal with minus", "[A]\nK=-0x10\n", "A", "K", "-0x10", -16},
        {"hexadecimal after blanks and plus", "[A]\nK=\"  +0x1f\"\n", "A", "K", "  +0x1f", 31},
        {"hexadecimal up to another character", "[A]\nK=0x1Fg2\n", "A", "K", "0x1Fg2", 31},
        {"hexadecimal wraps to 32 bits", "[A]\nK=0x123456789\n", "A", "K", "0x123456789",
         0x23456789},
        {"0x without digits", "[A]\nK=0x\n", "A", "K", "0x", 0},
        {"0x after other digits is junk", "[A]\nK=00x10\n", "A", "K", "00x10", 0},
        {"x without 0", "[A]\nK=x10\n", "A", "K", "x10", 0},
        {"hex digits without 0x", "[A]\nK=ff\n", "A", "K", "ff", 0},
        {"blank between sign and 0x", "[A]\nK=- 0x10\n", "A", "K", "- 0x10", 0},
        {"Ctrl-Z after the last value", "[A]\r\nK=0x20\x1A", "A", "K", "0x20", 32},
        {"Ctrl-Z after blanks and several of them", "[A]\r\nK='x' \x1A\x1A", "A", "K", "x", 0},
        {"Ctrl-Z after the final line end", "[A]\r\nK=5\r\n\x1A", "A", "K", "5", 5},
        {"Ctrl-Z inside a value is text", "[A]\nK=a\x1A" "b\n", "A", "K", "a\x1A" "b", 0},
        {"BOM before blanks and the first section", "\xEF\xBB\xBF  [FLASHROM]\nCHECKSUM=9\n",
         "FLASHROM", "CHECKSUM", "9", 9},
        {"UTF-16 LE", Utf16(u"[FLASHROM]\r\nCHECKSUM=0x27CE\r\n"), "FLASHROM", "CHECKSUM",
         "0x27CE", 0x27CE},
        {"UTF-16 BE", Utf16(u"[flashrom]\r\nchecksum = 10190\r\n", true), "FLASHROM",
         "CHECKSUM", "10190", 10190},
        {"UTF-16 characters above ASCII become UTF-8",
         Utf16(u"[FIRMWARE]\r\nPATH=/fw/\u00e9\u20ac\U0001F600.cvt\r\n"), "FIRMWARE", "PATH",
         "/fw/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80.cvt", 0},
        {"UTF-16 lone surrogates become ?", Utf16(u"[A]\nK=a\xD800" "b\xDC00\n"), "A", "K",
         "a?b?", 0},
        {"UTF-16 Ctrl-Z and an odd last byte", Utf16(u"[A]\nK=7\x1A") + "\n", "A", "K", "7", 7},
        {"UTF-16 names match as 8-bit ones", Utf16(u" [ a ]\r\n\tk\t=\t'v'\r\n", true), "A",
         "K", "v", 0},
        {"UTF-16 without its BOM is not guessed", Utf16(u"[A]\nK=1\n").substr(2), "A", "K",
         std::nullopt, kDefault},
        {"UTF-16 BOM alone", Utf16(u""), "A", "K", std::nullopt, kDefault},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        Put(path_, c.file);
        EXPECT_EQ(GetProfileInt(c.section, c.key, kDefault, path_), c.number);
        EXPECT_EQ(GetProfileString(c.section, c.key, kDefaultText, 128, path_),
                  c.text.value_or(kDefaultText));
    }
}

TEST_F(ProfileTest, StringsAreCutToOneLessThanTheSize)
{
    std::string longPath = "/";
    for (int i = 0; longPath.size() < 200; ++i) {
        longPath += static_cast<char>('a' + i % 26);
    }
    Put(path_, "[FIRMWARE]\r\nPATH=" + longPath + "\r\n");

    EXPECT_EQ(GetProfileString("FIRMWARE", "PATH", "", 128, path_), longPath.substr(0, 127));
    EXPECT_EQ(GetProfileString("FIRMWARE", "PATH", "", 1, path_), "");
    EXPECT_EQ(GetProfileString("FIRMWARE", "PATH", "", 0, path_), "");
    EXPECT_EQ(GetProfileString("FIRMWARE", "NONE", "abcdef", 4, path_), "abc");

    Put(path_, "[FIRMWARE]\r\nPATH=" + longPath.substr(0, 127) + "\r\n");
    EXPECT_EQ(GetProfileString("FIRMWARE", "PATH", "", 128, path_), longPath.substr(0, 127));
}

TEST_F(ProfileTest, UnusableFilesReadAsMissingAndReadsCreateNothing)
{
    EXPECT_EQ(GetProfileInt("FLASHROM", "CHECKSUM", 0, path_), 0);
    EXPECT_EQ(GetProfileInt("DRIVE_PRIORITY", "TOTAL_DRIVE", -1, path_), -1);
    EXPECT_EQ(GetProfileString("FIRMWARE", "PATH", "", 128, path_), "");
    EXPECT_TRUE(Entries().empty());

    // Neither may block or be replaced; a FIFO without a writer would block a plain open.
    fs::create_directory(path_);
    EXPECT_EQ(GetProfileInt("A", "K", kDefault, path_), kDefault);
    EXPECT_EQ(GetProfileString("A", "K", kDefaultText, 128, path_), kDefaultText);
    fs::remove(path_);
    ASSERT_EQ(::mkfifo(path_.c_str(), 0666), 0);
    EXPECT_EQ(GetProfileInt("A", "K", kDefault, path_), kDefault);
    EXPECT_EQ(GetProfileString("A", "K", kDefaultText, 128, path_), kDefaultText);
    EXPECT_EQ(WriteProfileString("A", "K", "1", path_), 0);
    EXPECT_TRUE(fs::is_fifo(path_));
    fs::remove(path_);

    EXPECT_EQ(GetProfileInt("A", "K", kDefault, ""), kDefault);
    EXPECT_EQ(GetProfileInt("A", "K", kDefault, (dir_ / "none" / "FLASH.INI").string()),
              kDefault);
}

// ---------------------------------------------------------------- writes

struct WriteCase {
    const char* what;
    std::optional<std::string> before;  // nullopt: no file yet
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

TEST_F(ProfileTest, WritesChangeOnlyTheirLine)
{
    // Comments, blank lines, odd spacing, quotes, a BOM, mixed line ends and no final line end.
    const std::string odd =
        "\xEF\xBB\xBF; Romwright\r\n\r\n  [ flashrom ]  \r\n\tChecksum\t=  1  \r\n# note\r"
        "[DRIVE_PRIORITY]\n0 = 1\n\n\nTOTAL_DRIVE=2\n\n[FIRMWARE]\r\nPATH=\"/x y.cvt\"";
    const std::vector<WriteCase> cases = {
        {"creates the file", std::nullopt, "FIRMWARE", "PATH", "/a b.cvt",
         "[FIRMWARE]\r\nPATH=/a b.cvt\r\n"},
        {"fills an empty file", "", "A", "K", "1", "[A]\r\nK=1\r\n"},
        {"replaces in place", odd, "FLASHROM", "CHECKSUM", "10190",
         "\xEF\xBB\xBF; Romwright\r\n\r\n  [ flashrom ]  \r\n\tChecksum\t=  10190\r\n# note\r"
         "[DRIVE_PRIORITY]\n0 = 1\n\n\nTOTAL_DRIVE=2\n\n[FIRMWARE]\r\nPATH=\"/x y.cvt\""},
        {"adds a key after the last key of a middle section", odd, "DRIVE_PRIORITY", "1", "0",
         "\xEF\xBB\xBF; Romwright\r\n\r\n  [ flashrom ]  \r\n\tChecksum\t=  1  \r\n# note\r"
         "[DRIVE_PRIORITY]\n0 = 1\n\n\nTOTAL_DRIVE=2\n1=0\r\n\n[FIRMWARE]\r\nPATH=\"/x y.cvt\""},
        {"replaces on a last line without line end", odd, "firmware", "path", "/n.cvt",
         "\xEF\xBB\xBF; Romwright\r\n\r\n  [ flashrom ]  \r\n\tChecksum\t=  1  \r\n# note\r"
         "[DRIVE_PRIORITY]\n0 = 1\n\n\nTOTAL_DRIVE=2\n\n[FIRMWARE]\r\nPATH=/n.cvt"},
        {"adds a key to a last section without line end", odd, "FIRMWARE", "X", "1",
         odd + "\r\nX=1\r\n"},
        {"adds a section", odd, "NEW", "K", "v", odd + "\r\n[NEW]\r\nK=v\r\n"},
        {"adds a section after a final line end", "[A]\nK=1\n", "B", "X", "2",
         "[A]\nK=1\n[B]\r\nX=2\r\n"},
        {"adds a key to an empty section", "[A]\n[B]\n", "A", "L", "3", "[A]\nL=3\r\n[B]\n"},
        {"adds a key before a comment of the next section", "[A]\nK=1\n; about B\n[B]\n", "A",
         "L", "3", "[A]\nK=1\nL=3\r\n; about B\n[B]\n"},
        {"adds a key to a CR file", "[A]\rK=1\r", "A", "L", "2", "[A]\rK=1\rL=2\r\n"},
        {"first section and first key", "[A]\nK=1\nK=2\n[A]\nK=3\n", "a", "k", "9",
         "[A]\nK=9\nK=2\n[A]\nK=3\n"},
        {"ignores keys before any section", "K=9\n", "A", "K", "1", "K=9\n[A]\r\nK=1\r\n"},
        {"keeps binary junk", "\x01\0junk\xff\n[A]\nK=1\n"s, "A", "K", "22",
         "\x01\0junk\xff\n[A]\nK=22\n"s},
        {"empty value", "[A]\nK=1\n", "A", "K", "", "[A]\nK=\n"},
        {"trims the new names", "", " A ", " K ", "1", "[A]\r\nK=1\r\n"},
        {"a file of a BOM alone gains no blank line", "\xEF\xBB\xBF", "A", "K", "1",
         "\xEF\xBB\xBF[A]\r\nK=1\r\n"},
        {"Ctrl-Z stays last after a replaced last value", "[A]\r\nK=1\x1A", "A", "K", "22",
         "[A]\r\nK=22\x1A"},
        {"Ctrl-Z stays last after an added key", "[A]\r\nK=1\x1A\x1A", "A", "L", "2",
         "[A]\r\nK=1\r\nL=2\r\n\x1A\x1A"},
        {"Ctrl-Z stays last after an added section", "[A]\r\nK=1\r\n\x1A", "B", "X", "2",
         "[A]\r\nK=1\r\n[B]\r\nX=2\r\n\x1A"},
        {"UTF-16 LE value replaced in UTF-16", Utf16(u"\u00e9;\r\n[A]\r\nK=1\r\n"), "a", "k",
         "0x10", Utf16(u"\u00e9;\r\n[A]\r\nK=0x10\r\n")},
        {"UTF-16 BE key added in UTF-16", Utf16(u"[A]\nK=1\n[B]\n", true), "A", "L", "2",
         Utf16(u"[A]\nK=1\nL=2\r\n[B]\n", true)},
        {"UTF-16 section added, non-ASCII value",
         Utf16(u"[A]\r\nK=1"), "FIRMWARE", "PATH", "/fw/\xC3\xA9\xF0\x9F\x98\x80.cvt",
         Utf16(u"[A]\r\nK=1\r\n[FIRMWARE]\r\nPATH=/fw/\u00e9\U0001F600.cvt\r\n")},
        {"UTF-16 keeps lone surrogates, Ctrl-Z and an odd last byte",
         Utf16(u"[\xD800]\r\nK=\xDC00\r\n\x1A") + "!", "A", "K", "1",
         Utf16(u"[\xD800]\r\nK=\xDC00\r\n[A]\r\nK=1\r\n\x1A") + "!"},
        {"UTF-16 BOM alone", Utf16(u"", true), "A", "K", "1", Utf16(u"[A]\r\nK=1\r\n", true)},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(path_);
        if (c.before) {
            Put(path_, *c.before);
        }
        EXPECT_EQ(WriteProfileString(c.section, c.key, c.value, path_), 1);
        EXPECT_EQ(Bytes(path_), c.after);
        EXPECT_EQ(GetProfileString(c.section, c.key, kDefaultText, 128, path_), c.value);
        EXPECT_EQ(Entries(), std::set<std::string>{"FLASH.INI"});
    }
}

TEST_F(ProfileTest, ArrangementAndCaptureRoundTrip)
{
    // Device 1 in slot 0 and device 0 in slot 1 of two drives, then a capture of 0x27CE.
    auto arrange = [&](const char* slot0, const char* slot1) {
        WriteProfileString("DRIVE_PRIORITY", "0", slot0, path_);
        WriteProfileString("DRIVE_PRIORITY", "1", slot1, path_);
        for (int slot = 2; slot <= 9; ++slot) {
            WriteProfileString("DRIVE_PRIORITY", std::to_string(slot), "-1", path_);
        }
        WriteProfileString("DRIVE_PRIORITY", "TOTAL_DRIVE", "2", path_);
    };
    arrange("1", "0");
    EXPECT_EQ(WriteProfileString("FLASHROM", "CHECKSUM", std::to_string(0x27CE), path_), 1);
    arrange("0", "1");

    EXPECT_EQ(Bytes(path_),
              "[DRIVE_PRIORITY]\r\n0=0\r\n1=1\r\n2=-1\r\n3=-1\r\n4=-1\r\n5=-1\r\n6=-1\r\n7=-1\r\n"
              "8=-1\r\n9=-1\r\nTOTAL_DRIVE=2\r\n[FLASHROM]\r\nCHECKSUM=10190\r\n");
    EXPECT_EQ(GetProfileInt("FLASHROM", "CHECKSUM", 0, path_), 10190);
    EXPECT_EQ(GetProfileInt("DRIVE_PRIORITY", "TOTAL_DRIVE", -1, path_), 2);
    EXPECT_EQ(GetProfileInt("DRIVE_PRIORITY", "0", -1, path_), 0);
    EXPECT_EQ(GetProfileInt("DRIVE_PRIORITY", "1", -1, path_), 1);
    EXPECT_EQ(GetProfileInt("DRIVE_PRIORITY", "9", 5, path_), -1);
}

TEST_F(ProfileTest, RelativeNameAndDirectoryJoinNameTheSameFile)
{
    savedCwd_ = fs::current_path();
    fs::current_path(dir_);
    EXPECT_EQ(WriteProfileString("FIRMWARE", "PATH", "/f.cvt", settings::kIniRelativePath), 1);
    EXPECT_EQ(GetProfileString("FIRMWARE", "PATH", "", 128, IniPathIn(dir_.string())), "/f.cvt");
    EXPECT_EQ(GetProfileString("FIRMWARE", "PATH", "", 128, IniPathIn(dir_.string() + "/")),
              "/f.cvt");
    EXPECT_EQ(Entries(), std::set<std::string>{"FLASH.INI"});
}

TEST(IniPathIn, JoinsWithExactlyOneSeparator)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/work/tools", "/work/tools/FLASH.INI"},
        {"/work/tools/", "/work/tools/FLASH.INI"},
        {"/work/tools//", "/work/tools/FLASH.INI"},
        {"/", "/FLASH.INI"},
        {"//", "/FLASH.INI"},
        {"rel", "rel/FLASH.INI"},
        {"", "FLASH.INI"},
    };
    for (const auto& [directory, path] : cases) {
        EXPECT_EQ(IniPathIn(directory), path) << '"' << directory << '"';
    }
    EXPECT_STREQ(settings::kIniRelativePath, "FLASH.INI");
}

// ---------------------------------------------------------------- failed writes

TEST_F(ProfileTest, TextThatCannotBeStoredIsRefused)
{
    const std::string before = "[A]\r\nK=1\r\n";
    const std::vector<std::vector<std::string>> cases = {
        {"A", "K", "a\nb"}, {"A", "K", "a\rb"},  {"A", "K", "a\0b"s}, {"A", "K=X", "1"},
        {"A", ";K", "1"},   {"A", " #K", "1"},   {"A", "[K]", "1"},   {"A]B", "K", "1"},
        {"A\nB", "K", "1"}, {"A", "K\r\n", "1"}, {"A", "K", "1\x1A"}, {"A\x1A", "K", "1"},
    };
    Put(path_, before);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c));
        EXPECT_EQ(WriteProfileString(c[0], c[1], c[2], path_), 0);
        EXPECT_EQ(Bytes(path_), before);
    }
    EXPECT_EQ(WriteProfileString("A", "K", "1", ""), 0);
    EXPECT_EQ(Entries(), std::set<std::string>{"FLASH.INI"});

    // A UTF-16 file takes only text that reads back the same: well-formed UTF-8.
    const std::string wide = Utf16(u"[A]\r\nK=1\r\n");
    Put(path_, wide);
    for (const char* bad : {"\xE9", "\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(bad)));
        EXPECT_EQ(WriteProfileString("A", "K", bad, path_), 0);
        EXPECT_EQ(WriteProfileString(bad, "K", "1", path_), 0);
        EXPECT_EQ(Bytes(path_), wide);
    }
}

TEST_F(ProfileTest, FailedWriteKeepsTheOldFileAndLeavesNothingBehind)
{
    const std::string before = "; keep\n[FLASHROM]\r\nCHECKSUM=1\r\n";
    Put(path_, before);

    // The disk fills up while the new file is written: a file size limit fails the write
    // itself, whoever we are.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = 8;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const int written = WriteProfileString("FLASHROM", "CHECKSUM", "2", path_);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(written, 0);
    EXPECT_EQ(Bytes(path_), before);
    EXPECT_EQ(Entries(), std::set<std::string>{"FLASH.INI"}) << "the temporary file must go";
}

TEST_F(ProfileTest, PlantedLinksNeverRedirectAWrite)
{
    // Anyone may add names here, as in /tmp; the write runs as root.
    fs::permissions(dir_, fs::perms::all | fs::perms::sticky_bit);
    const fs::path victim = dir_ / "victim";
    Put(victim, "precious\n");
    const std::vector<std::string> planted = {"FLASH.INI.tmp", "FLASH.INI~", ".FLASH.INI.tmp",
                                              "FLASH.INI.new", "FLASH.INI.bak", "FLASH.tmp"};
    for (const std::string& name : planted) {
        fs::create_symlink(victim, dir_ / name);
    }
    auto linksIntact = [&] {
        for (const std::string& name : planted) {
            EXPECT_TRUE(fs::is_symlink(dir_ / name)) << name;
        }
        EXPECT_EQ(Bytes(victim), "precious\n");
    };

    // A new file, then a replaced one.
    EXPECT_EQ(WriteProfileString("FLASHROM", "CHECKSUM", "1", path_), 1);
    EXPECT_EQ(WriteProfileString("FLASHROM", "CHECKSUM", "2", path_), 1);
    EXPECT_EQ(Bytes(path_), "[FLASHROM]\r\nCHECKSUM=2\r\n");
    EXPECT_FALSE(fs::is_symlink(path_));
    linksIntact();

    // A link at FLASH.INI itself that someone else made is not followed.
    fs::remove(path_);
    fs::create_symlink(victim, path_);
    if (::lchown(path_.c_str(), 65534, 65534) != 0 || ::geteuid() == 65534) {
        GTEST_SKIP() << "cannot give the link another owner";
    }
    EXPECT_EQ(WriteProfileString("FLASHROM", "CHECKSUM", "3", path_), 0);
    EXPECT_TRUE(fs::is_symlink(path_));
    linksIntact();
    std::set<std::string> expected(planted.begin(), planted.end());
    expected.insert({"FLASH.INI", "victim"});
    EXPECT_EQ(Entries(), expected);
}

TEST_F(ProfileTest, LinkedIniStaysALinkAndItsTargetIsReplaced)
{
    // A relative link into another directory, and a link to that link.
    fs::create_directory(dir_ / "shared");
    const fs::path target = dir_ / "shared" / "station.ini";
    Put(target, "; station\r\n[A]\r\nK=1\r\n");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("shared/station.ini", dir_ / "middle");
    fs::create_symlink("middle", path_);

    EXPECT_EQ(WriteProfileString("A", "K", "2", path_), 1);
    EXPECT_EQ(fs::read_symlink(path_), "middle");
    EXPECT_EQ(fs::read_symlink(dir_ / "middle"), "shared/station.ini");
    EXPECT_EQ(Bytes(target), "; station\r\n[A]\r\nK=2\r\n");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(GetProfileInt("A", "K", kDefault, path_), 2);
    EXPECT_EQ(Entries(), (std::set<std::string>{"FLASH.INI", "middle", "shared"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "shared"), fs::directory_iterator()), 1);

    // A dangling link would choose where a new file appears: refused, nothing created.
    fs::remove(target);
    EXPECT_EQ(WriteProfileString("A", "K", "3", path_), 0);
    EXPECT_TRUE(fs::is_empty(dir_ / "shared"));
    EXPECT_EQ(GetProfileInt("A", "K", kDefault, path_), kDefault);
}

TEST_F(ProfileTest, UnwritablePlacesFailQuietly)
{
    const fs::path missing = dir_ / "missing" / "FLASH.INI";
    EXPECT_EQ(WriteProfileString("A", "K", "1", missing.string()), 0);
    EXPECT_FALSE(fs::exists(missing.parent_path()));

    // A directory where the file should be: nothing of it may be replaced.
    fs::create_directory(path_);
    Put(fs::path(path_) / "inside", "x");
    EXPECT_EQ(WriteProfileString("A", "K", "1", path_), 0);
    EXPECT_EQ(Bytes(fs::path(path_) / "inside"), "x");
    EXPECT_EQ(Entries(), std::set<std::string>{"FLASH.INI"});
}

TEST_F(ProfileTest, ReadOnlyDirectoryAndFileStayUnchanged)
{
    const std::string before = "[A]\r\nK=1\r\n";
    Put(path_, before);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (std::ofstream(path_, std::ios::app).is_open()) {
        GTEST_SKIP() << "file permissions are not enforced for this user (root); "
                        "UnwritablePlacesFailQuietly covers the failure path";
    }
    EXPECT_EQ(WriteProfileString("A", "K", "2", path_), 0);
    EXPECT_EQ(Bytes(path_), before);

    fs::permissions(path_, fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(WriteProfileString("A", "K", "2", path_), 0);
    EXPECT_EQ(WriteProfileString("B", "K", "2", (dir_ / "OTHER.INI").string()), 0);
    EXPECT_EQ(Bytes(path_), before);
    EXPECT_EQ(Entries(), std::set<std::string>{"FLASH.INI"});
}

TEST_F(ProfileTest, ReplacedFileKeepsItsModeAndOwner)
{
    Put(path_, "[A]\r\nK=1\r\n");
    const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(path_, mode);
    // Root may hand the file to someone else; anyone else keeps their own.
    const bool chowned = ::chown(path_.c_str(), 65534, 65534) == 0;
    struct stat before {};
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);

    EXPECT_EQ(WriteProfileString("A", "K", "2", path_), 1);
    EXPECT_EQ(Bytes(path_), "[A]\r\nK=2\r\n");
    struct stat after {};
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not rewritten in place";
    EXPECT_EQ(after.st_mode & 07777, static_cast<mode_t>(mode));
    EXPECT_EQ(after.st_uid, before.st_uid) << "chowned: " << chowned;
    EXPECT_EQ(after.st_gid, before.st_gid);
}

TEST_F(ProfileTest, NewFileGetsThePlainCreateMode)
{
    for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{002}}) {
        SCOPED_TRACE(mask);
        fs::remove(path_);
        const mode_t saved = ::umask(mask);
        const int written = WriteProfileString("A", "K", "1", path_);
        ::umask(saved);
        EXPECT_EQ(written, 1);
        struct stat st {};
        ASSERT_EQ(::stat(path_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    }
}

}  // namespace
