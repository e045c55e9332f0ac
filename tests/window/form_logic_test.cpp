// The window's decisions that need no window.
#include "form_logic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pkg_format.h"

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

// One row per input: the first failing check's message and where the focus
// goes, or the type number and key a job gets.
TEST(CheckStartInputsTest, ReportsTheFirstFailingCheckInTheTablesOrder) {
  using K = std::vector<std::uint8_t>;
  const K game1(pkg::kGame1Key.begin(), pkg::kGame1Key.end());
  const K game2(pkg::kGame2Key.begin(), pkg::kGame2Key.end());
  const struct {
    const char* what;
    TStartInputs in;      // source "D:\src" is the one existing folder
    const char* message;  // nullptr: passes
    bool focus;
    std::int32_t type;
    K key;
  } kCases[] = {
      {"all empty", {L"", L"", L"", L"", 3}, "请选择打包目录！", false, 0, {}},
      {"output and type empty",
       {L"D:\\src", L"", L"", L"", 1},
       "请选择输出PKG文件！",
       false,
       0,
       {}},
      {"type empty", {L"D:\\no", L"o.pkg", L"", L"", 3}, "请填写封包类型！", true, 0, {}},
      {"key empty before the folder",
       {L"D:\\no", L"o.pkg", L"x", L"", 3},
       "请填写封包密码（HEX）！",
       false,
       0,
       {}},
      {"key of three characters",
       {L"D:\\no", L"o.pkg", L"x", L"3A7", 3},
       "密钥格式错误！",
       false,
       0,
       {}},
      {"key with a trailing blank, odd",
       {L"D:\\src", L"o.pkg", L"1", L"3A ", 3},
       "密钥格式错误！",
       false,
       0,
       {}},
      {"key with a blank inside, even",
       {L"D:\\src", L"o.pkg", L"1", L"3A 7", 3},
       "密钥格式错误！",
       false,
       0,
       {}},
      {"key with a Chinese character",
       {L"D:\\src", L"o.pkg", L"1", L"3A中F", 3},
       "密钥格式错误！",
       false,
       0,
       {}},
      {"key with a prefix",
       {L"D:\\src", L"o.pkg", L"1", L"0x3A", 3},
       "密钥格式错误！",
       false,
       0,
       {}},
      {"folder before the type",
       {L"D:\\no", L"o.pkg", L"abc", L"zz", 1},
       "打包目录不存在！",
       false,
       0,
       {}},
      {"type of spaces", {L"D:\\src", L"o.pkg", L"  ", L"", 1}, "封包类型为纯数字！", true, 0, {}},
      {"type with a trailing space",
       {L"D:\\src", L"o.pkg", L"5 ", L"", 1},
       "封包类型为纯数字！",
       true,
       0,
       {}},
      {"type past the largest",
       {L"D:\\src", L"o.pkg", L"2147483648", L"", 1},
       "封包类型为纯数字！",
       true,
       0,
       {}},
      {"type in full-width digits",
       {L"D:\\src", L"o.pkg", L"１", L"", 1},
       "封包类型为纯数字！",
       true,
       0,
       {}},
      {"game 1 ignores a bad key",
       {L"D:\\src", L"o.pkg", L"  7", L"zz!", 1},
       nullptr,
       false,
       7,
       game1},
      {"game 2, the smallest type",
       {L"D:\\src", L"o.pkg", L"-2147483648", L"", 2},
       nullptr,
       false,
       INT32_MIN,
       game2},
      {"custom key, mixed case, hex type",
       {L"D:\\src", L"o.pkg", L"$1f", L"3a7F0c", 3},
       nullptr,
       false,
       31,
       K{0x3A, 0x7F, 0x0C}},
      {"the largest type",
       {L"D:\\src", L"o.pkg", L"2147483647", L"AB", 3},
       nullptr,
       false,
       INT32_MAX,
       K{0xAB}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const TStartDecision d =
        CheckStartInputs(c.in, [](const std::wstring& p) { return p == L"D:\\src"; });
    EXPECT_EQ(d.passed, c.message == nullptr);
    EXPECT_EQ(d.message, c.message ? c.message : "");
    EXPECT_EQ(d.focusTypeField, c.focus);
    if (!c.message) {
      EXPECT_EQ(d.PKGType, c.type);
      EXPECT_EQ(d.key, c.key);
    }
  }
}

TEST(CheckStartInputsTest, AsksTheFolderOnlyOnceTheKeyPassed) {
  int asked = 0;
  const auto isDirectory = [&asked](const std::wstring&) {
    ++asked;
    return true;
  };
  (void)CheckStartInputs({L"D:\\src", L"o.pkg", L"1", L"3A7", 3}, isDirectory);
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(CheckStartInputs({L"D:\\src", L"o.pkg", L"1", L"", 1}, isDirectory).passed);
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace pkgui
