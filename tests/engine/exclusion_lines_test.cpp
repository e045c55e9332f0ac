// Exclusion entries from a text: the one rule of the memo and --exclude-from.
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

}  // namespace
}  // namespace pkg
