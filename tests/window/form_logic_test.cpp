// The window's decisions that need no window.
#include "form_logic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pkgui {
namespace {

TEST(TypeFieldKeyTest, PassesBackspaceEnterAndDigitsOnly) {
  for (wchar_t c : {L'\b', L'\r', L'0', L'5', L'9'}) EXPECT_TRUE(TypeFieldKeyPasses(c)) << int(c);
  for (wchar_t c : {L'a', L'-', L'+', L' ', L'$', L'x', L'/', L':', L'\t', L'\n', L'\x1b',
                    L'\x16' /* Ctrl+V */, L'\x7f', L'\0', L'\u4e2d' /* 中 */,
                    L'\uff11' /* full-width 1 */, L'\u0661' /* Arabic-Indic 1 */, L'\xd83d'})
    EXPECT_FALSE(TypeFieldKeyPasses(c)) << int(c);
}

TEST(WithFullStopTest, AddsAFullStopAfterCharactersAboveIt) {
  const struct {
    const wchar_t* message;
    const wchar_t* shown;
  } kCases[] = {
      {L"", L""},
      {L"Unable to write to C:\\z\\Zerith_DURAdazov.ini",
       L"Unable to write to C:\\z\\Zerith_DURAdazov.ini."},
      {L"Done.", L"Done."},
      {L"(see above)", L"(see above)"},
      {L"trailing blank ", L"trailing blank "},
      {L"ends with a comma,", L"ends with a comma,"},
      {L"ends with a hyphen-", L"ends with a hyphen-"},
      {L"code 7", L"code 7."},
      {L"path/", L"path/."},
      {L"无法写入", L"无法写入."},
      {L"已完成。", L"已完成。."},  // the ideographic full stop is above "."
  };
  for (const auto& c : kCases) EXPECT_EQ(WithFullStop(c.message), c.shown);
}

TEST(MemoLinesTest, SplitsAtEachLineBreakAndDropsAnEmptyLastLine) {
  using V = std::vector<std::string>;
  const struct {
    const char* what;
    const char* text;
    V lines;
  } kCases[] = {
      {"empty memo", "", V{}},
      {"one line", "\\a.bin", V{"\\a.bin"}},
      {"ends with a break", "\\a.bin\r\n", V{"\\a.bin"}},
      {"ends with two breaks", "\\a.bin\r\n\r\n", V{"\\a.bin", ""}},
      {"empty line inside", "\\a\r\n\r\n\\b", V{"\\a", "", "\\b"}},
      {"blanks kept", "  \\a.bin \r\n\t", V{"  \\a.bin ", "\t"}},
      {"only a break", "\r\n", V{""}},
      {"lone LF and CR", "\\a\n\\b\r\\c", V{"\\a", "\\b", "\\c"}},
      {"LF CR is two breaks", "\\a\n\r\\b", V{"\\a", "", "\\b"}},
      {"code page 936 bytes", "\\\xd3\xce\r\n", V{"\\\xd3\xce"}},
  };
  for (const auto& c : kCases) EXPECT_EQ(MemoLines(c.text), c.lines) << c.what;
}

}  // namespace
}  // namespace pkgui
