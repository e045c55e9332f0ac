// Exclusion entries from a text: the one rule of the memo and --exclude-from;
// and which files they leave out.
#include "exclusion_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pkg {
namespace {

TEST(ExclusionLinesTest, SplitsAtEachLineBreakAndDropsAnEmptyLastLine) {
  using V = std::vector<std::string>;
  const struct {
    const char* what;
    const char* text;
    V lines;
  } kCases[] = {
      {"empty text", "", V{}},
      {"one line", "\\a.bin", V{"\\a.bin"}},
      {"ends with CR LF", "\\a.bin\r\n", V{"\\a.bin"}},
      {"ends with LF", "\\a.bin\n", V{"\\a.bin"}},
      {"ends with a lone CR", "\\a.bin\r", V{"\\a.bin"}},
      {"ends with two breaks", "\\a.bin\r\n\r\n", V{"\\a.bin", ""}},
      {"ends with two LF", "\\a\n\n", V{"\\a", ""}},
      {"empty line inside", "\\a\r\n\r\n\\b", V{"\\a", "", "\\b"}},
      {"blanks kept", "  \\a.bin \r\n\t", V{"  \\a.bin ", "\t"}},
      {"only a break", "\r\n", V{""}},
      {"only LF", "\n", V{""}},
      {"lone LF and CR", "\\a\n\\b\r\\c", V{"\\a", "\\b", "\\c"}},
      {"LF CR is two breaks", "\\a\n\r\\b", V{"\\a", "", "\\b"}},
      {"CR CR LF is two breaks", "\\a\r\r\n\\b", V{"\\a", "", "\\b"}},
      {"code page 936 bytes", "\\\xd3\xce\r\n", V{"\\\xd3\xce"}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ExclusionLines(c.text), c.lines) << c.what;
}

// The job removes what this finds and pkgtool reports it: whole relative
// paths, letter case ignored, the first entry that names a file taking it.
TEST(ExcludingEntriesTest, NamesTheFirstEntryEqualToTheWholePath) {
  using V = std::vector<std::size_t>;
  constexpr std::size_t kKept = kNotExcluded;
  std::vector<SourceFile> files(4);
  files[0].relative = "\\a.bin";
  files[1].relative = "\\data\\a.bin";
  files[2].relative = "\\Data\\B.bin";
  files[3].relative = "\\readme";
  const struct {
    const char* what;
    std::vector<std::string> entries;
    V by;
  } kCases[] = {
      {"no entries", {}, V{kKept, kKept, kKept, kKept}},
      {"case ignored", {"\\DATA\\b.BIN"}, V{kKept, kKept, 0, kKept}},
      {"the first entry naming a file", {"\\x", "\\A.bin", "\\a.bin"}, V{1, kKept, kKept, kKept}},
      {"a folder leaves out nothing", {"\\data", "\\data\\"}, V{kKept, kKept, kKept, kKept}},
      {"no backslash, no match", {"a.bin", "data\\a.bin"}, V{kKept, kKept, kKept, kKept}},
      {"blanks kept", {"\\readme ", " \\readme"}, V{kKept, kKept, kKept, kKept}},
      {"slashes are not backslashes", {"/data/a.bin"}, V{kKept, kKept, kKept, kKept}},
      {"each file its entry", {"\\readme", "\\a.bin", "\\data\\a.bin"}, V{1, 2, kKept, 0}},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(ExcludingEntries(SystemPlatform(), files, c.entries), c.by) << c.what;
}

}  // namespace
}  // namespace pkg
