#include "name_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "source_scan.h"
#include "test_support.h"

namespace {

struct OrderCase {
  const char* before;
  const char* after;
  const char* why;
};

// Each row: the first name is listed before the second, as NTFS lists them.
const OrderCase kOrderCases[] = {
    {"Z", "_", "'_' (0x5F) after upper-case letters"},
    {"a", "_", "lower case compares as upper case: 'A' (0x41) before '_'"},
    {"~", "\xC3\xA9", "U+00E9 upper-cases to U+00C9, after '~'"},
    {"b-c", "B.c", "'-' before '.', case ignored"},
    {"abc", "ABD", "case ignored in the first difference"},
    {"ab", "AB.txt", "a name before a longer name it begins"},
    {"10", "9", "digits compare as characters, not numbers"},
    {"a", "[", "'A' (0x41) before '[' (0x5B)"},
    {"\xCE\xB1", "\xCE\x92", "Greek alpha upper-cases to U+0391, before beta U+0392"},
    {"\xF0\x9F\x98\x80", "\xEF\xBC\xA1", "U+1F600 is D83D DE00, before U+FF21"},
    {"\xEF\xBD\x81", "\xEF\xBC\xA2", "U+FF41 upper-cases to U+FF21, before U+FF22"},
    {"\xE4\xB8\x80", "\xE9\xBE\x99", "CJK by code unit: U+4E00 before U+9F99"},
    {"A", "a", "names equal but for case: by their own code units"},
    {"README.txt", "readme.txt", "the same for longer names"},
    {"zzz", "\xFF", "a name that is not UTF-8 after every other"},
    {"\xFE", "\xFF", "names not UTF-8 by their bytes"},
};

TEST(NameOrder, EachPairInTheTableIsOrdered) {
  for (const auto& c : kOrderCases) {
    SCOPED_TRACE(c.why);
    EXPECT_TRUE(pkg::NameBefore(c.before, c.after)) << c.before << " < " << c.after;
    EXPECT_FALSE(pkg::NameBefore(c.after, c.before)) << c.after << " < " << c.before;
  }
}

TEST(NameOrder, UpperCaseMapping) {
  const struct {
    char16_t in, upper;
    const char* why;
  } kCases[] = {
      // clang-format off
      {u'a',      u'A',      "ASCII"},
      {u'_',      u'_',      "no case"},
      {u'\u00E9', u'\u00C9', "Latin-1"},
      {u'\u03C9', u'\u03A9', "Greek"},
      {u'\u00FF', u'\u0178', "Latin-1 to Latin Extended-A"},
      {u'\uFF41', u'\uFF21', "full-width"},
      {u'\u00DF', u'\u00DF', "no simple mapping: the full one is two characters"},
      {u'\u1F80', u'\u1F88', "the simple mapping where the full one is two characters"},
      {u'\u00B5', u'\u00B5', "a mapping that does not map back, left out as Windows leaves it"},
      {u'\u0131', u'\u0131', "a mapping that does not map back (dotless i)"},
      {u'\u03C2', u'\u03C2', "a mapping that does not map back (final sigma)"},
      {u'\xD83D', u'\xD83D', "a lone surrogate"},
      // clang-format on
  };
  for (const auto& c : kCases) EXPECT_EQ(pkg::UpperCodeUnit(c.in), c.upper) << c.why;
}

TEST(NameOrder, NoNameBeforeItself) {
  for (const auto& c : kOrderCases) {
    EXPECT_FALSE(pkg::NameBefore(c.before, c.before));
    EXPECT_FALSE(pkg::NameBefore(c.after, c.after));
  }
}

#ifndef _WIN32
// A real folder: readdir's order is the file system's, the scan's is the names'.
TEST(NameOrder, ScanListsARealTreeInNameOrderBreadthFirst) {
  pkgtest::TempDir dir;
  const std::vector<std::string> names = {"readme.txt", ".hidden",    "NOEXT",   "_u", "b-c",
                                          "B.c",        "\xC3\xA9",   "~t",      "Z9", "10",
                                          "9",          "Readme.TXT", "\xCE\xB1"};
  for (const auto& n : names) pkgtest::WriteFile(dir / n, n);
  std::filesystem::create_directories(dir / "zsub" / "deep");
  std::filesystem::create_directories(dir / "Asub");
  pkgtest::WriteFile(dir / "zsub" / "b", "b");
  pkgtest::WriteFile(dir / "zsub" / "A", "a");
  pkgtest::WriteFile(dir / "zsub" / "deep" / "x", "x");
  pkgtest::WriteFile(dir / "Asub" / "y", "y");
  std::vector<pkg::SourceFile> files;
  ASSERT_TRUE(
      pkg::BuildFileList(pkg::SystemPlatform(), pkgtest::U8(dir.path()), files).status.ok());
  std::vector<std::string> got;
  for (const auto& f : files) got.push_back(f.relative);
  const std::vector<std::string> want = {
      "\\.hidden",    "\\10",         "\\9",       "\\b-c",     "\\B.c",          "\\NOEXT",
      "\\Readme.TXT", "\\readme.txt", "\\Z9",      "\\_u",      "\\~t",           "\\\xC3\xA9",
      "\\\xCE\xB1",   "\\Asub\\y",    "\\zsub\\A", "\\zsub\\b", "\\zsub\\deep\\x"};
  EXPECT_EQ(got, want);
}
#endif

}  // namespace
