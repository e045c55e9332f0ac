// The decisions inside pkgtool that need no archive: which names may become
// paths below a folder, how an exclusion file splits into entries, and how
// the progress line is laid out.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "archive_names.h"
#include "exclude_file.h"
#include "platform.h"
#include "progress.h"
#include "test_support.h"

namespace pkgtool {
namespace {

using Names = std::vector<std::string>;

struct PathCase {
  const char* name;
  const char* anySystem;  // part of the refusal under kAnySystem, or "" to accept
  const char* windows;    // the same under kWindows
};

const PathCase kPathCases[] = {
    // Accepted everywhere.
    {"\\a.txt", "", ""},
    {"\\数据\\子目录\\空.bin", "", ""},
    {"\\.hidden\\..name\\a..b", "", ""},
    {"\\CONSOLE\\COM10\\LPT\\nul-not.txt", "", ""},
    // Refused everywhere: they lead out of the folder or are no relative path.
    {"", "the name is empty", "the name is empty"},
    {"a.txt", "does not begin with a backslash", "does not begin with a backslash"},
    {"/etc/passwd", "does not begin with a backslash", "does not begin with a backslash"},
    {"C:\\a.txt", "does not begin with a backslash", "does not begin with a backslash"},
    {"\\", "empty folder or file name", "empty folder or file name"},
    {"\\\\server\\share", "empty folder or file name", "empty folder or file name"},
    {"\\a\\\\b", "empty folder or file name", "empty folder or file name"},
    {"\\a\\", "empty folder or file name", "empty folder or file name"},
    {"\\..", "\"..\"", "\"..\""},
    {"\\a\\..\\..\\b", "\"..\"", "\"..\""},
    {"\\.\\a", "\".\"", "\".\""},
    {"\\a/../../b", "\"/\"", "\"/\""},
    {"\\a\tb", "control character \\x09", "control character \\x09"},
    {"\\a\x7F", "control character \\x7F", "control character \\x7F"},
    // Refused on Windows only.
    {"\\C:\\a.txt", "", "drive letter"},
    {"\\a.txt:stream", "", "alternate data stream"},
    {"\\a.txt::$DATA", "", "alternate data stream"},
    {"\\CON", "", "device"},
    {"\\sub\\con.txt", "", "device"},
    {"\\Nul .tar.gz", "", "device"},
    {"\\AUX", "", "device"},
    {"\\prn.x", "", "device"},
    {"\\COM1", "", "device"},
    {"\\lpt9.log", "", "device"},
    {"\\COM\xC2\xB9", "", "device"},
    {"\\CONIN$", "", "device"},
    {"\\a.", "", "ends in a dot or a blank"},
    {"\\a \\b", "", "ends in a dot or a blank"},
    {"\\a<b", "", "does not allow"},
    {"\\a|b", "", "does not allow"},
    {"\\a*", "", "does not allow"},
};

TEST(CheckEntryPathTest, RefusesWhatWouldLeaveTheFolderOrMeanSomethingElse) {
  for (const PathCase& c : kPathCases) {
    for (const auto& [rules, expected] : {std::pair{PathRules::kAnySystem, c.anySystem},
                                          std::pair{PathRules::kWindows, c.windows}}) {
      SCOPED_TRACE(std::string(c.name) + (rules == PathRules::kWindows ? " (Windows)" : ""));
      Names components;
      const std::string why = CheckEntryPath(c.name, rules, components);
      if (*expected == '\0') {
        EXPECT_EQ(why, "");
        EXPECT_FALSE(components.empty());
      } else {
        EXPECT_NE(why.find(expected), std::string::npos) << why;
        EXPECT_TRUE(components.empty());
      }
    }
  }
}

TEST(CheckEntryPathTest, NulInNameIsRefused) {
  Names components;
  const std::string why =
      CheckEntryPath(std::string_view("\\a\0b", 4), PathRules::kAnySystem, components);
  EXPECT_NE(why.find("control character \\x00"), std::string::npos) << why;
}

TEST(CheckEntryPathTest, SplitsIntoFolderAndFileNames) {
  Names components;
  ASSERT_EQ(CheckEntryPath("\\数据\\sub dir\\a b.txt", PathRules::kWindows, components), "");
  EXPECT_EQ(components, (Names{"数据", "sub dir", "a b.txt"}));
}

// A blank or a dot sorts before a backslash, so a name below a folder need
// not follow the folder's own name in plain order: "\\a b" lies between
// "\\a" and "\\a\\b".
TEST(FindFolderClashesTest, FindsEachNameThatIsAlsoAFolderInEitherOrder) {
#ifdef _WIN32
  constexpr bool kIgnoresCase = true;
#else
  constexpr bool kIgnoresCase = false;
#endif
  const struct {
    const char* what;
    std::vector<std::string> names;
    std::vector<std::pair<std::size_t, std::size_t>> clashes;  // file, below
  } kCases[] = {
      {"file first", {"\\a", "\\a\\b"}, {{0, 1}}},
      {"folder first", {"\\a\\b", "\\a"}, {{1, 0}}},
      {"deeper", {"\\x\\a\\b\\c", "\\x\\a"}, {{1, 0}}},
      {"names in between", {"\\a", "\\a b", "\\a.txt", "\\a\\b"}, {{0, 3}}},
      {"a longer name is no folder", {"\\a", "\\ab", "\\ab\\c"}, {{1, 2}}},
      {"one name twice", {"\\a", "\\a"}, {}},
      {"one folder, many files", {"\\a", "\\a\\b", "\\a\\c"}, {{0, 1}}},
      {"two clashes", {"\\b\\x", "\\a", "\\b", "\\a\\y"}, {{1, 3}, {2, 0}}},
      {"letter case",
       {"\\Data", "\\data\\a.bin"},
       kIgnoresCase ? std::vector<std::pair<std::size_t, std::size_t>>{{0, 1}}
                    : std::vector<std::pair<std::size_t, std::size_t>>{}},
      {"no clash", {"\\a\\b", "\\b\\a", "\\c"}, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<std::pair<std::size_t, std::string>> names;
    for (std::size_t i = 0; i < c.names.size(); ++i) names.emplace_back(i, c.names[i]);
    std::vector<std::pair<std::size_t, std::size_t>> got;
    for (const FolderClash& f : FindFolderClashes(names)) got.emplace_back(f.file, f.below);
    EXPECT_EQ(got, c.clashes);
  }
}

// Windows' notion of case on every system: what NTFS takes for one name,
// and nothing it keeps apart.
TEST(FindCaseCollisionsTest, PairsNamesWindowsTakesForOne) {
  using Pairs = std::vector<std::tuple<std::size_t, std::size_t, bool>>;  // first, second, folder
  const struct {
    const char* what;
    std::vector<std::string> names;
    Pairs found;
  } kCases[] = {
      {"two files", {"\\a.txt", "\\b", "\\A.TXT"}, {{0, 2, false}}},
      {"in a folder", {"\\Z\\x", "\\z\\X"}, {{0, 1, false}}},
      {"three spellings: each with the first",
       {"\\ab", "\\AB", "\\aB"},
       {{0, 1, false}, {0, 2, false}}},
      {"the same name twice is no case", {"\\a", "\\a"}, {}},
      {"a repeated spelling once", {"\\a", "\\A", "\\A"}, {{0, 1, false}}},
      {"accented", {"\\\xC3\xA9t\xC3\xA9", "\\\xC3\x89T\xC3\x89"}, {{0, 1, false}}},
      {"y with diaeresis upper-cases to U+0178", {"\\\xC3\xBF", "\\\xC5\xB8"}, {{0, 1, false}}},
      {"Greek", {"\\\xCE\xB1", "\\\xCE\x91"}, {{0, 1, false}}},
      {"final sigma is not sigma to Windows", {"\\\xCF\x82", "\\\xCF\x83"}, {}},
      {"dotless i is not I to Windows", {"\\\xC4\xB1", "\\I"}, {}},
      {"file and folder", {"\\Data", "\\data\\a.bin"}, {{0, 1, true}}},
      {"folder first", {"\\data\\a.bin", "\\x", "\\DATA"}, {{2, 0, true}}},
      {"exactly a folder is not a case", {"\\data", "\\data\\a.bin"}, {}},
      {"folders merging are no collision", {"\\Data\\a", "\\data\\b"}, {}},
      {"a longer name is no folder", {"\\A", "\\ab\\c"}, {}},
      {"Chinese names have no case", {"\\\xE6\x95\xB0", "\\\xE6\x95\xB0\\x"}, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<std::pair<std::size_t, std::string>> names;
    for (std::size_t i = 0; i < c.names.size(); ++i) names.emplace_back(i, c.names[i]);
    Pairs got;
    for (const CaseCollision& f : FindCaseCollisions(names))
      got.emplace_back(f.first, f.second, f.folder);
    EXPECT_EQ(got, c.found);
  }
}

TEST(DisplayNameTest, EscapesControlCharactersAndBytesThatAreNotText) {
  pkg::Platform& p = pkg::SystemPlatform();
  EXPECT_EQ(DisplayName(p, "\\\xCA\xFD\xBE\xDD\\a.txt"), "\\数据\\a.txt");
  EXPECT_EQ(DisplayName(p, "\\a\x1B[31mb\r"), "\\a\\x1B[31mb\\x0D");
  EXPECT_EQ(DisplayName(p, "\\ok\x81"), "\\ok\\x81");
}

TEST(DisplayTextTest, EscapesControlCharactersAndBytesThatAreNotUtf8) {
  const struct {
    std::string text, shown;
  } kCases[] = {
      {"\\数据\\a b.txt", "\\数据\\a b.txt"},
      {"a\nb\r\tc", "a\\x0Ab\\x0D\\x09c"},
      {"\x1B[2J\x7F", "\\x1B[2J\\x7F"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\xC2\x9B"
       "31m\xC2\x85",
       "\\xC2\\x9B31m\\xC2\\x85"},               // C1 controls: CSI, NEL
      {"\xC2\xA0\xC3\xA9", "\xC2\xA0\xC3\xA9"},  // U+00A0, U+00E9 stay
      {"\xFF\x80", "\\xFF\\x80"},
      {"\xE6\x95", "\\xE6\\x95"},                    // cut short at the end
      {"\xE6\x95x", "\\xE6\\x95x"},                  // cut short before an ASCII byte
      {"\xC0\xAF", "\\xC0\\xAF"},                    // overlong "/"
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},      // U+1F600 stays
      {"\\x1B", "\\x1B"},                            // already shown: unchanged
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(DisplayText(c.text), c.shown);
  }
}

// Pack's progress names files as the scan found them; on Linux a name may
// hold any byte but "/" and NUL.
TEST(ProgressTest, NamesAreShownEscapedOnLinesAndOnTheTerminalLine) {
  pkg::PackProgress event;
  event.step = pkg::PackStep::kStore;
  event.relative = "\\a\x1B]0;title\x07\nb\xFF";
  const std::string shown = "(3/5) 正在打包文件: \\a\\x1B]0;title\\x07\\x0Ab\\xFF\n";
  for (bool terminal : {false, true}) {
    SCOPED_TRACE(terminal ? "terminal" : "lines");
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    if (terminal) {
      TerminalProgress progress(out);
      progress.OnProgress(event);
      progress.Clear();
    } else {
      ProgressLog log(out);
      log.OnProgress(event);
    }
    std::fflush(out);
    std::rewind(out);
    std::string written;
    for (int c; (c = std::fgetc(out)) != EOF;) written.push_back(static_cast<char>(c));
    std::fclose(out);
    EXPECT_EQ(written.find('\x1B'), std::string::npos) << written;
    EXPECT_EQ(written.find('\x07'), std::string::npos) << written;
    if (terminal)
      EXPECT_NE(written.find("\\x1B]0;title\\x07\\x0Ab\\xFF"), std::string::npos) << written;
    else
      EXPECT_EQ(written, shown);
  }
}

TEST(ExcludeFileTest, SplitsAsTheExclusionMemoDoes) {
  pkgtest::TempDir dir;
  const struct {
    const char* what;
    std::string bytes;
    Names entries;
  } kCases[] = {
      {"empty file", "", {}},
      {"a byte order mark only", "\xEF\xBB\xBF", {}},
      {"LF, CR LF and a lone CR", "\\a\n\\b\r\n\\c\r\\d", {"\\a", "\\b", "\\c", "\\d"}},
      {"old Mac line ends", "\xEF\xBB\xBF\\a\r\\b\r", {"\\a", "\\b"}},
      {"empty lines kept but the last", " \\a \r\r\n\t\\b\n\n", {" \\a ", "", "\t\\b", ""}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    pkgtest::WriteFile(dir / "list.txt", c.bytes);
    Names entries = {"\\before"};
    const pkg::Status s =
        ReadExcludeFile(pkg::SystemPlatform(), pkgtest::U8(dir / "list.txt"), entries);
    ASSERT_TRUE(s.ok()) << s.message();
    Names expected = {"\\before"};
    expected.insert(expected.end(), c.entries.begin(), c.entries.end());
    EXPECT_EQ(entries, expected);
  }
}

TEST(ProgressTest, FiguresShowRateAndTimeLeftOnceKnown) {
  const struct {
    ProgressFigures f;
    const char* text;
  } kCases[] = {
      {{0, 4, 0, 1000, 0.0}, "0/4 files, 0 B of 1000 B, -- /s, -- left"},
      {{0, 4, 0, 3 << 20, 2.0}, "0/4 files, 0 B of 3.0 MiB, -- /s, -- left"},
      {{1, 4, 1 << 20, 3 << 20, 2.0}, "1/4 files, 1.0 MiB of 3.0 MiB, 512.0 KiB/s, 0:04 left"},
      {{9, 10, 9ull << 30, 10ull << 30, 3600.0},
       "9/10 files, 9.0 GiB of 10.0 GiB, 2.6 MiB/s, 6:40 left"},
      {{1, 2, 1 << 20, 1ull << 40, 1.0},
       "1/2 files, 1.0 MiB of 1.0 TiB, 1.0 MiB/s, 291:16:15 left"},
      {{3, 3, 500, 500, 0.5}, "3/3 files, 500 B of 500 B, 1000 B/s, 0:00 left"},
  };
  for (const auto& c : kCases) EXPECT_EQ(FormatProgress(c.f), c.text);
}

TEST(ProgressTest, LineKeepsTheFiguresAndTheEndOfTheNameWithinTheColumns) {
  const std::string figures = "(3/5) 1/2 files";  // 15 columns
  const struct {
    std::string name;
    std::size_t columns;
    const char* line;
  } kCases[] = {
      {"\\a\\b.txt", 80, "(3/5) 1/2 files  \\a\\b.txt"},
      {"\\folder\\name.txt", 30, "(3/5) 1/2 files  ...r\\name.txt"},
      // Chinese characters take two columns each.
      {"\\数据\\文件文件.txt", 30, "(3/5) 1/2 files  ...件文件.txt"},
      {"\\a\\b.txt", 20, "(3/5) 1/2 files"},
      {"\\a\\b.txt", 10, "(3/5) 1/2 "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.columns);
    const std::string line = ProgressLine(figures, c.name, c.columns);
    EXPECT_EQ(line, c.line);
    EXPECT_LE(DisplayWidth(line), c.columns);
  }
}

}  // namespace
}  // namespace pkgtool
