// The real program, started from a folder of its own under Wine and driven
// from outside with window messages, as a user's clicks and keys would.
#include <windows.h>

#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "form_driver.h"
#include "pkg_reader.h"
#include "test_support.h"

namespace pkgtest {
namespace {

const wchar_t kIni[] = L"Zerith_DURAdazov.ini";

class ProgramTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(ProgramPath().empty()) << "ZERITH_EXE is not set"; }
};

RECT RectInParent(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

TEST_F(ProgramTest, OpensInItsInitialStateAndClosesWithoutWritingSettings) {
  TempDir dir;
  ProgramRun run(ProgramPath(), dir.path().wstring());
  const HWND form = run.Form();
  ASSERT_TRUE(form);
  const FormControls c = FindControls(form);
  ASSERT_FALSE(testing::Test::HasFailure());

  // The window: caption, place, client size, fixed border, minimize and close only.
  EXPECT_EQ(Text(form), L"Zerith_DURAdazov");
  RECT frame, client;
  GetWindowRect(form, &frame);
  GetClientRect(form, &client);
  EXPECT_EQ(frame.left, 192);
  EXPECT_EQ(frame.top, 130);
  EXPECT_EQ(client.right, 601);
  EXPECT_EQ(client.bottom, 345);
  const LONG_PTR style = GetWindowLongPtrW(form, GWL_STYLE);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_TRUE(style & WS_SYSMENU);

  // Places in the parent, at 96 dots per inch.
  const struct {
    HWND hwnd;
    LONG left, top, width, height;  // -1: the height is the font's
  } kPlaces[] = {
      {c.cxGroupBox1, 16, 16, 569, 105},   {c.cxTextEdit1, 88, 28, 361, -1},
      {c.cxButton1, 456, 24, 89, 25},      {c.cxGroupBox2, 16, 128, 281, 153},
      {c.cxMemo1, 16, 24, 249, 97},        {c.cxGroupBox3, 304, 128, 281, 65},
      {c.cxTextEdit4, 208, 26, 57, -1},    {c.cxGroupBox4, 304, 200, 281, 81},
      {c.cxRadioButton3, 24, 48, 105, 17}, {c.cxTextEdit3, 128, 46, 137, -1},
      {c.cxButton3, 176, 288, 121, 25},    {c.cxButton4, 304, 288, 121, 25},
      {c.StatusBar1, 0, 328, 601, 17},
  };
  for (const auto& p : kPlaces) {
    const RECT r = RectInParent(p.hwnd);
    SCOPED_TRACE(Text(p.hwnd));
    EXPECT_EQ(r.left, p.left);
    EXPECT_EQ(r.top, p.top);
    EXPECT_EQ(r.right - r.left, p.width);
    if (p.height >= 0) {
      EXPECT_EQ(r.bottom - r.top, p.height);
    }
  }

  // The controls at start.
  EXPECT_EQ(Text(c.cxTextEdit1), L"");
  EXPECT_EQ(Text(c.cxTextEdit2), L"");
  EXPECT_EQ(Text(c.cxTextEdit3), L"");
  EXPECT_EQ(Text(c.cxTextEdit4), L"1");
  EXPECT_EQ(Text(c.cxMemo1), L"");
  EXPECT_FALSE(Checked(c.cxCheckBox1));
  EXPECT_TRUE(Checked(c.cxRadioButton1));
  EXPECT_FALSE(Checked(c.cxRadioButton2));
  EXPECT_FALSE(Checked(c.cxRadioButton3));
  EXPECT_FALSE(Enabled(c.cxTextEdit3));
  EXPECT_TRUE(Enabled(c.cxButton3));
  EXPECT_FALSE(Enabled(c.cxButton4));
  for (HWND h : {c.cxTextEdit1, c.cxTextEdit2, c.cxTextEdit4, c.cxButton1, c.cxButton2,
                 c.cxCheckBox1, c.cxRadioButton1, c.cxRadioButton2, c.cxRadioButton3, c.cxMemo1})
    EXPECT_TRUE(Enabled(h)) << Text(h);
  // No default button: Enter clicks nothing.
  for (HWND h : {c.cxButton1, c.cxButton2, c.cxButton3, c.cxButton4})
    EXPECT_EQ(GetWindowLongPtrW(h, GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON) << Text(h);
  EXPECT_TRUE(GetWindowLongPtrW(c.cxMemo1, GWL_STYLE) & ES_MULTILINE);
  EXPECT_EQ(PanelText(c.StatusBar1, 0).rfind(L"Version:1.00 - ", 0), 0u)
      << PanelText(c.StatusBar1, 0);
  EXPECT_GT(PanelText(c.StatusBar1, 0).size(), std::wstring(L"Version:1.00 - ").size());
  EXPECT_EQ(PanelText(c.StatusBar1, 1), L"就绪");
  EXPECT_EQ(Focus(form), c.cxTextEdit1);

  // Closing asks nothing and writes no settings.
  EXPECT_TRUE(run.Close());
  EXPECT_EQ(ListNames(dir.path()), std::vector<std::string>{"Zerith_DURAdazov.exe"});
}

// Where the settings file stands when the program starts.
enum class IniPlace {
  kNone,
  kFolder,  // a folder of that name
  kFile,
  kReadOnly,  // a file with the read-only attribute
  kHeld,      // a file another program holds open without sharing it, through the whole load
};

struct LoadCase {
  const char* what;
  IniPlace place;
  std::string ini;  // code page 936 bytes
  const wchar_t* source;
  const wchar_t* output;
  const wchar_t* key;
  bool compress;
  const wchar_t* type;
  int game;
};

const std::string k3000(3000, 'a');
const std::wstring k2047(2047, L'a');

TEST_F(ProgramTest, LoadsEveryCaseOfTheSettingsFile) {
  const std::string longSource = "[Config]\r\nSourceDirectory=" + k3000 +
                                 "\r\nOutputPKGPath=D:\\\xd3\xce\xcf\xb7\\out.pkg\r\n"
                                 "CustomPKGKey=3a7f0c\r\nPKGType=\r\nGame=3\r\n";
  // 50,000 times "游": the cut at 2047 bytes leaves a lead byte alone.
  std::string hugeSource = "[Config]\r\nSourceDirectory=";
  for (int i = 0; i < 50000; ++i) hugeSource += "\xd3\xce";
  hugeSource += "\r\nGame=2\r\n";
  // Code page 936 turns a lead byte without its trail byte, and a lead byte
  // with a trail byte it lacks (both taken), into "?"; 0x80 is the euro sign,
  // 0xFF a private-use character. Values are cut at line ends before that.
  const std::wstring cutSource = std::wstring(1023, L'游') + L"?";
  const std::string broken =
      "[Config]\r\nSourceDirectory=D:\\\xd3\xce\x81\r\nOutputPKGPath=\x81\x7f"
      "a\x81\xff"
      "b.pkg\r\nPKGType=7\xfe\r\nCompressData=1\r\nGame=3\r\nCustomPKGKey=\x80"
      "A\xff"
      "B\xfe";
  const Bytes noise = Deterministic(1 << 20, 936, false);
  const std::string valid =
      "[Config]\r\nSourceDirectory=D:\\\xd3\xce\xcf\xb7\r\nOutputPKGPath=D:\\o.pkg\r\n"
      "CustomPKGKey=0A0B\r\nCompressData=1\r\nPKGType=12\r\nGame=2\r\n";
  const LoadCase kCases[] = {
      {"no file", IniPlace::kNone, "", L"", L"", L"", false, L"1", 1},
      {"a folder of the name", IniPlace::kFolder, "", L"", L"", L"", false, L"1", 1},
      {"held without sharing", IniPlace::kHeld, valid, L"", L"", L"", false, L"1", 1},
      {"read-only", IniPlace::kReadOnly, valid, L"D:\\游戏", L"D:\\o.pkg", L"0A0B", true, L"12", 2},
      {"1 MiB of random bytes", IniPlace::kFile, std::string(noise.begin(), noise.end()), L"", L"",
       L"", false, L"1", 1},
      {"no Config section", IniPlace::kFile, "[Other]\r\nGame=3\r\nPKGType=5\r\nCompressData=1\r\n",
       L"", L"", L"", false, L"1", 1},
      {"empty Config section", IniPlace::kFile, "[Config]\r\n", L"", L"", L"", false, L"1", 1},
      {"Game 0, PKGType hex, CompressData 2", IniPlace::kFile,
       "[Config]\r\nGame=0\r\nPKGType=$1F\r\nCompressData=2\r\n", L"", L"", L"", true, L"31", 1},
      {"Game 4, PKGType 0x, CompressData a word", IniPlace::kFile,
       "[Config]\r\nGame=4\r\nPKGType=0x10\r\nCompressData=true\r\n", L"", L"", L"", false, L"16",
       1},
      {"Game a word, leading zeros, CompressData -1", IniPlace::kFile,
       "[Config]\r\nGame=two\r\nPKGType=007\r\nCompressData=-1\r\n", L"", L"", L"", true, L"7", 1},
      {"Game 2, negative PKGType", IniPlace::kFile,
       "[Config]\r\nGame=2\r\nCustomPKGKey=3A7F\r\nPKGType=-5\r\n", L"", L"", L"3A7F", false, L"-5",
       2},
      {"Game 3, empty PKGType, a 3000-byte value, code page 936", IniPlace::kFile, longSource,
       k2047.c_str(), L"D:\\游戏\\out.pkg", L"3a7f0c", false, L"1", 3},
      {"a 100,000-byte value cut inside a character", IniPlace::kFile, hugeSource,
       cutSource.c_str(), L"", L"", false, L"1", 2},
      {"bytes code page 936 lacks, a lead byte last in a line and in the file", IniPlace::kFile,
       broken, L"D:\\游?", L"?a?b.pkg", L"€A\uf8f5B?", true, L"1", 3},
      {"Game 1, PKGType a word, key kept while disabled", IniPlace::kFile,
       "[Config]\r\nGame=1\r\nPKGType=abc\r\nCustomPKGKey=XY\r\nCompressData=0\r\n", L"", L"",
       L"XY", false, L"1", 1},
      {"PKGType out of range, Game in hex", IniPlace::kFile,
       "[Config]\r\nPKGType=2147483648\r\nGame=$3\r\n", L"", L"", L"", false, L"1", 3},
  };
  // All start at once: each process takes its time to come up under Wine.
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<std::unique_ptr<ProgramRun>> runs;
  std::vector<HANDLE> holders(std::size(kCases), INVALID_HANDLE_VALUE);
  for (const LoadCase& c : kCases) {
    dirs.push_back(std::make_unique<TempDir>());
    const fs::path ini = dirs.back()->path() / kIni;
    if (c.place == IniPlace::kFolder) fs::create_directory(ini);
    if (c.place == IniPlace::kFile || c.place == IniPlace::kReadOnly || c.place == IniPlace::kHeld)
      WriteFile(ini, c.ini);
    if (c.place == IniPlace::kReadOnly) {
      EXPECT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    if (c.place == IniPlace::kHeld) {
      holders[dirs.size() - 1] =
          CreateFileW(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_NE(holders[dirs.size() - 1], INVALID_HANDLE_VALUE);
    }
    runs.push_back(std::make_unique<ProgramRun>(ProgramPath(), dirs.back()->path().wstring()));
  }
  for (std::size_t i = 0; i < std::size(kCases); ++i) {
    const LoadCase& c = kCases[i];
    SCOPED_TRACE(c.what);
    const HWND form = runs[i]->Form();
    // A box at load would hold the window back: it shows only once the box is answered.
    const HWND box = ProcessDialog(runs[i]->ProcessId());
    EXPECT_FALSE(box) << "a box: " << Text(GetDlgItem(box, 0xFFFF));
    ASSERT_TRUE(form);
    const FormControls f = FindControls(form);
    EXPECT_EQ(Text(f.cxTextEdit1), c.source);
    EXPECT_EQ(Text(f.cxTextEdit2), c.output);
    EXPECT_EQ(Text(f.cxTextEdit3), c.key);
    EXPECT_EQ(Checked(f.cxCheckBox1), c.compress);
    EXPECT_EQ(Text(f.cxTextEdit4), c.type);
    EXPECT_EQ(Checked(f.cxRadioButton1), c.game == 1);
    EXPECT_EQ(Checked(f.cxRadioButton2), c.game == 2);
    EXPECT_EQ(Checked(f.cxRadioButton3), c.game == 3);
    EXPECT_EQ(Enabled(f.cxTextEdit3), c.game == 3);
    EXPECT_TRUE(Enabled(f.cxButton3));
    EXPECT_FALSE(Enabled(f.cxButton4));
    EXPECT_TRUE(runs[i]->Close());
    if (holders[i] != INVALID_HANDLE_VALUE) CloseHandle(holders[i]);
    holders[i] = INVALID_HANDLE_VALUE;
    // A load writes nothing, not even beside the file.
    const fs::path ini = dirs[i]->path() / kIni;
    switch (c.place) {
      case IniPlace::kNone:
        EXPECT_EQ(ListNames(dirs[i]->path()), std::vector<std::string>{"Zerith_DURAdazov.exe"});
        break;
      case IniPlace::kFolder:
        EXPECT_TRUE(fs::is_directory(ini));
        EXPECT_TRUE(fs::is_empty(ini));
        break;
      case IniPlace::kReadOnly:
        EXPECT_TRUE(GetFileAttributesW(ini.c_str()) & FILE_ATTRIBUTE_READONLY);
        [[fallthrough]];
      case IniPlace::kFile:
      case IniPlace::kHeld:
        EXPECT_TRUE(ReadFile(ini) == ToBytes(c.ini)) << "the file changed";
        break;
    }
    if (c.place != IniPlace::kNone) {
      EXPECT_EQ(ListNames(dirs[i]->path()),
                (std::vector<std::string>{"Zerith_DURAdazov.exe", "Zerith_DURAdazov.ini"}));
    }
  }
}

#pragma pack(push, 2)
struct IconGroupEntry {  // GRPICONDIRENTRY
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

std::string Resource(HMODULE module, LPCWSTR type, LPCWSTR name) {
  HRSRC r = FindResourceW(module, name, type);
  if (!r) return {};
  const char* data = static_cast<const char*>(LockResource(LoadResource(module, r)));
  return std::string(data, SizeofResource(module, r));
}

std::wstring VersionString(const std::vector<BYTE>& info, const std::wstring& key) {
  void* value = nullptr;
  UINT size = 0;
  const std::wstring path = L"\\StringFileInfo\\080403A8\\" + key;
  if (!VerQueryValueW(info.data(), path.c_str(), &value, &size)) return L"<missing>";
  return size ? std::wstring(static_cast<const wchar_t*>(value)) : std::wstring();
}

TEST_F(ProgramTest, CarriesItsIconManifestAndVersionRecord) {
  const std::wstring exe = ProgramPath();
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(module);

  // The main icon: 16, 24, 48 at 256 colours; 16, 24, 48, 64 at 32 bits.
  const std::string group = Resource(module, RT_GROUP_ICON, MAKEINTRESOURCEW(1));
  ASSERT_GE(group.size(), 6u);
  const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
  ASSERT_EQ(count, 7);
  ASSERT_EQ(group.size(), 6 + 7 * sizeof(IconGroupEntry));
  const auto* entries = reinterpret_cast<const IconGroupEntry*>(group.data() + 6);
  const std::pair<int, int> kImages[] = {{16, 8},  {24, 8},  {48, 8}, {16, 32},
                                         {24, 32}, {48, 32}, {64, 32}};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(entries[i].width, kImages[i].first) << i;
    EXPECT_EQ(entries[i].bitCount, kImages[i].second) << i;
  }

  const std::string manifest = Resource(module, RT_MANIFEST, MAKEINTRESOURCEW(1));
  for (const char* part : {"name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                           "processorArchitecture=\"*\"", "language=\"*\"", "<dpiAware",
                           ">true</dpiAware>", "<longPathAware", ">true</longPathAware>"})
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
  FreeLibrary(module);

  // Version 1.0.0.0, Chinese (PRC) with code page 936, only the company named.
  const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT n = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &n));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &n));
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(translation[0], 0x0804);
  EXPECT_EQ(translation[1], 936);
  EXPECT_EQ(VersionString(info, L"CompanyName"), L"Zerith_DURAdazov 开发组");
  for (const wchar_t* key : {L"FileDescription", L"InternalName", L"LegalCopyright",
                             L"OriginalFilename", L"ProductName", L"Comments"})
    EXPECT_EQ(VersionString(info, key), L"") << key;
}

// One process, used the way a person would: clicks, Tab, arrows, typing.
class DrivenProgramTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    run_ = std::make_unique<ProgramRun>(ProgramPath(), dir_.path().wstring());
    form_ = run_->Form();
    ASSERT_TRUE(form_);
    c_ = FindControls(form_);
    ASSERT_FALSE(testing::Test::HasFailure());
  }
  void TearDown() override {
    if (run_) {
      EXPECT_TRUE(run_->Close());
    }
  }
  // Tab from the current focus until it reaches target; false after a round.
  bool TabTo(HWND target) {
    for (int i = 0; i < 16 && Focus(form_) != target; ++i) PressKey(form_, VK_TAB);
    return Focus(form_) == target;
  }

  TempDir dir_;
  std::unique_ptr<ProgramRun> run_;
  HWND form_ = nullptr;
  FormControls c_;
};

TEST_F(DrivenProgramTest, TheKeyFieldFollowsTheCustomChoice) {
  SendMessageW(c_.cxRadioButton3, BM_CLICK, 0, 0);
  EXPECT_TRUE(Checked(c_.cxRadioButton3));
  EXPECT_FALSE(Checked(c_.cxRadioButton1));
  EXPECT_TRUE(Enabled(c_.cxTextEdit3));
  SetText(c_.cxTextEdit3, L"3A7F0C52E9");

  for (HWND radio : {c_.cxRadioButton1, c_.cxRadioButton2, c_.cxRadioButton1}) {
    SCOPED_TRACE(Text(radio));
    SendMessageW(radio, BM_CLICK, 0, 0);
    EXPECT_EQ(Checked(c_.cxRadioButton1), radio == c_.cxRadioButton1);
    EXPECT_EQ(Checked(c_.cxRadioButton2), radio == c_.cxRadioButton2);
    EXPECT_FALSE(Checked(c_.cxRadioButton3));
    EXPECT_FALSE(Enabled(c_.cxTextEdit3));
    EXPECT_EQ(Text(c_.cxTextEdit3), L"3A7F0C52E9");
  }

  // Clicking the selected one again changes nothing.
  SendMessageW(c_.cxRadioButton1, BM_CLICK, 0, 0);
  EXPECT_TRUE(Checked(c_.cxRadioButton1));
  EXPECT_FALSE(Checked(c_.cxRadioButton2) || Checked(c_.cxRadioButton3));
  EXPECT_FALSE(Enabled(c_.cxTextEdit3));
}

TEST_F(DrivenProgramTest, TabEntersTheKeyGroupAtItsChoiceAndArrowsSelect) {
  SendMessageW(c_.cxRadioButton2, BM_CLICK, 0, 0);
  ASSERT_TRUE(TabTo(c_.cxTextEdit4));
  PressKey(form_, VK_TAB);
  EXPECT_EQ(Focus(form_), c_.cxRadioButton2) << "Tab enters the group at its selected button";
  PressKey(form_, VK_TAB);
  EXPECT_EQ(Focus(form_), c_.cxButton3) << "and leaves it from there";
  PressKey(form_, VK_TAB);
  EXPECT_EQ(Focus(form_), c_.cxTextEdit1) << "the disabled abort button is skipped";

  ASSERT_TRUE(TabTo(c_.cxRadioButton2));
  PressKey(form_, VK_RIGHT);  // onto the custom choice: selected, key field enabled
  EXPECT_EQ(Focus(form_), c_.cxRadioButton3);
  EXPECT_TRUE(Checked(c_.cxRadioButton3));
  EXPECT_FALSE(Checked(c_.cxRadioButton2));
  EXPECT_TRUE(Enabled(c_.cxTextEdit3));
  PressKey(form_, VK_DOWN);  // the enabled key field is part of the round
  EXPECT_EQ(Focus(form_), c_.cxTextEdit3);
  EXPECT_TRUE(Checked(c_.cxRadioButton3));

  SendMessageW(c_.cxRadioButton3, BM_CLICK, 0, 0);
  EXPECT_EQ(Focus(form_), c_.cxRadioButton3);
  PressKey(form_, VK_LEFT);
  EXPECT_EQ(Focus(form_), c_.cxRadioButton2);
  EXPECT_TRUE(Checked(c_.cxRadioButton2));
  EXPECT_FALSE(Enabled(c_.cxTextEdit3));
  PressKey(form_, VK_UP);
  PressKey(form_, VK_UP);  // round from the first to the last radio button
  EXPECT_EQ(Focus(form_), c_.cxRadioButton3);
  EXPECT_TRUE(Checked(c_.cxRadioButton3));
  PressKey(form_, VK_SPACE);  // already selected: stays so
  EXPECT_TRUE(Checked(c_.cxRadioButton3));
  EXPECT_FALSE(Checked(c_.cxRadioButton1) || Checked(c_.cxRadioButton2));
}

TEST_F(DrivenProgramTest, TheTypeFieldTakesDigitsBackspaceAndEnterOnly) {
  ASSERT_TRUE(TabTo(c_.cxTextEdit4));
  SendMessageW(c_.cxTextEdit4, EM_SETSEL, 0, -1);
  for (wchar_t ch : std::wstring(L"a1-2")) TypeChar(form_, ch);
  EXPECT_EQ(Text(c_.cxTextEdit4), L"12");
  for (wchar_t ch : std::wstring(L" +$x中\x1b\t\x16")) TypeChar(form_, ch);
  EXPECT_EQ(Text(c_.cxTextEdit4), L"12");
  EXPECT_EQ(Focus(form_), c_.cxTextEdit4) << "a typed Tab character moves nothing";
  SendMessageW(Focus(form_), WM_IME_CHAR, L'中', 1);
  EXPECT_EQ(Text(c_.cxTextEdit4), L"12");
  TypeChar(form_, L'\b');
  EXPECT_EQ(Text(c_.cxTextEdit4), L"1");
  TypeChar(form_, L'\r');  // passed to the field, which keeps one line
  TypeChar(form_, L'7');
  EXPECT_EQ(Text(c_.cxTextEdit4), L"17");
  // Text set without typing is not filtered.
  SetText(c_.cxTextEdit4, L"-$1F");
  EXPECT_EQ(Text(c_.cxTextEdit4), L"-$1F");
}

TEST_F(DrivenProgramTest, EnterAndEscapeDoOnlyWhatTheFocusedControlDoes) {
  SetText(c_.cxTextEdit1, L"D:\\src");
  for (HWND target : {c_.cxTextEdit1, c_.cxButton3, c_.cxCheckBox1, c_.cxRadioButton1}) {
    SCOPED_TRACE(Text(target));
    ASSERT_TRUE(TabTo(target));
    for (UINT vk : {VK_RETURN, VK_ESCAPE}) {
      PressKey(form_, vk);
      TypeChar(form_, vk == VK_RETURN ? L'\r' : L'\x1b');
    }
    EXPECT_TRUE(IsWindowVisible(form_)) << "Escape closed the window";
    EXPECT_TRUE(Enabled(c_.cxButton3));
    EXPECT_FALSE(Enabled(c_.cxButton4));
    EXPECT_EQ(PanelText(c_.StatusBar1, 1), L"就绪");
    EXPECT_EQ(Text(c_.cxTextEdit1), L"D:\\src");
    EXPECT_FALSE(Checked(c_.cxCheckBox1));
  }
  // In the memo, Enter starts a new line.
  ASSERT_TRUE(TabTo(c_.cxMemo1));
  for (wchar_t ch : std::wstring(L"\\a\r\\b")) TypeChar(form_, ch);
  EXPECT_EQ(Text(c_.cxMemo1), L"\\a\r\n\\b");
  EXPECT_FALSE(fs::exists(dir_.path() / kIni));
}

// The window packing, as a user packs: inputs filled, start and abort
// clicked, boxes read and answered.
class PackingProgramTest : public DrivenProgramTest {
 protected:
  struct Inputs {
    Inputs(std::wstring source, std::wstring output, std::wstring type, std::wstring key = L"",
           HWND choice = nullptr, bool compress = false, std::wstring memo = L"")
        : source(std::move(source)),
          output(std::move(output)),
          type(std::move(type)),
          key(std::move(key)),
          choice(choice),
          compress(compress),
          memo(std::move(memo)) {}
    std::wstring source, output, type, key;
    HWND choice;  // a radio button to click; nullptr: the choice stays
    bool compress;
    std::wstring memo;
  };
  void Fill(const Inputs& in) {
    SetText(c_.cxTextEdit1, in.source);
    SetText(c_.cxTextEdit2, in.output);
    SetText(c_.cxTextEdit4, in.type);
    if (in.choice) SendMessageW(in.choice, BM_CLICK, 0, 0);
    SetText(c_.cxTextEdit3, in.key);
    if (Checked(c_.cxCheckBox1) != in.compress) SendMessageW(c_.cxCheckBox1, BM_CLICK, 0, 0);
    SetText(c_.cxMemo1, in.memo);
  }
  bool Idle() {
    return Enabled(c_.cxButton3) && !Enabled(c_.cxButton4) && Enabled(c_.cxTextEdit1) &&
           Enabled(c_.cxMemo1) && Enabled(c_.cxButton1) && Enabled(c_.cxRadioButton1) &&
           Enabled(c_.cxTextEdit3) == Checked(c_.cxRadioButton3) &&
           PanelText(c_.StatusBar1, 1) == L"就绪";
  }
  bool Working() {
    for (HWND h : {c_.cxTextEdit1, c_.cxTextEdit2, c_.cxTextEdit3, c_.cxTextEdit4, c_.cxButton1,
                   c_.cxButton2, c_.cxCheckBox1, c_.cxRadioButton1, c_.cxRadioButton2,
                   c_.cxRadioButton3, c_.cxMemo1, c_.cxButton3})
      if (Enabled(h)) return false;
    return Enabled(c_.cxButton4) && PanelText(c_.StatusBar1, 1) == L"工作中";
  }
  std::wstring Panel0() { return PanelText(c_.StatusBar1, 0); }
  std::wstring Path(const std::string& rel) { return (dir_ / rel).wstring(); }
};

pkg::PkgArchive ReadArchiveFile(const fs::path& p, const std::vector<std::uint8_t>& key) {
  const Bytes raw = ReadFile(p);
  pkg::TMemoryStream in;
  in.Write(raw.data(), raw.size());
  pkg::PkgArchive a;
  const pkg::Status s = pkg::ReadArchive(in, key, a);
  EXPECT_TRUE(s.ok()) << s.message();
  for (const pkg::IndexRecord& r : a.records) {
    std::vector<std::uint8_t> content;
    const pkg::Status d = pkg::ReadRecordData(in, a, r, content);
    EXPECT_TRUE(d.ok()) << d.message();
  }
  return a;
}

// "打包结束，耗时1.234秒": digits, the separator, three decimals.
bool IsElapsedText(const std::wstring& t) {
  const std::wstring head = L"打包结束，耗时", tail = L"秒";
  if (t.rfind(head, 0) != 0 || t.size() < head.size() + tail.size() + 5) return false;
  if (t.compare(t.size() - tail.size(), tail.size(), tail) != 0) return false;
  const std::wstring number = t.substr(head.size(), t.size() - head.size() - tail.size());
  const std::size_t sep = number.size() - 4;
  for (std::size_t i = 0; i < number.size(); ++i)
    if (i != sep && !iswdigit(number[i])) return false;
  return sep > 0 && number[sep] == L'.';
}

TEST_F(PackingProgramTest, EachCheckShowsItsBoxInTheTablesOrderAndStartsNothing) {
  const std::string ini = "[Config]\r\nGame=2\r\nPKGType=9\r\n";
  WriteFile(dir_.path() / kIni, ini);
  WriteFile(dir_ / "src/a.txt", std::string("a"));
  const std::wstring src = Path("src"), missing = Path("missing"), file = Path("src/a.txt");
  const struct {
    const char* what;
    Inputs in;
    const wchar_t* box;
    bool focusType;
  } kCases[] = {
      {"all empty", {L"", L"", L"", L"", c_.cxRadioButton3}, L"请选择打包目录！", false},
      {"output empty", {src, L"", L""}, L"请选择输出PKG文件！", false},
      {"type empty", {missing, L"o.pkg", L""}, L"请填写封包类型！", true},
      {"custom key empty, folder missing",
       {missing, L"o.pkg", L"x", L"", c_.cxRadioButton3},
       L"请填写封包密码（HEX）！",
       false},
      {"key of three characters",
       {missing, L"o.pkg", L"x", L"3A7", c_.cxRadioButton3},
       L"密钥格式错误！",
       false},
      {"key pair not hex",
       {missing, L"o.pkg", L"x", L"3AG0", c_.cxRadioButton3},
       L"密钥格式错误！",
       false},
      {"folder missing, type not a number",
       {missing, L"o.pkg", L"abc", L"zz", c_.cxRadioButton1},
       L"打包目录不存在！",
       false},
      {"source names a file",
       {file, L"o.pkg", L"1", L"", c_.cxRadioButton2},
       L"打包目录不存在！",
       false},
      {"type of spaces", {src, L"o.pkg", L"  "}, L"封包类型为纯数字！", true},
      {"type with a trailing blank", {src, L"o.pkg", L"7 "}, L"封包类型为纯数字！", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Fill(c.in);
    SetFocus(c_.cxTextEdit1);
    Click(c_.cxButton3);
    const MessageBoxSeen box = AnswerMessageBox(form_);
    EXPECT_EQ(box.text, c.box);
    EXPECT_EQ(box.caption, L"错误");
    EXPECT_TRUE(box.icon);
    EXPECT_TRUE(box.okOnly);
    if (c.focusType) {
      EXPECT_TRUE(WaitUntil([&] { return Focus(form_) == c_.cxTextEdit4; }));
    }
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(OwnedDialog(form_)) << "a second box";
  }
  EXPECT_EQ(ReadFile(dir_.path() / kIni), ToBytes(ini));
  EXPECT_EQ(ListNames(dir_ / "src"), std::vector<std::string>{"a.txt"});
}

TEST_F(PackingProgramTest, PacksATreeWithChineseNamesAndShowsTheElapsedTime) {
  WriteFile(dir_ / "src/说明.txt", std::string("你好"));
  WriteFile(dir_ / "src/资料/地图/城镇.dat", Deterministic(300000, 1, true));
  WriteFile(dir_ / "src/空.bin", std::string());
  WriteFile(dir_ / "src/skip.me", std::string("left out"));
  Fill({Path("src"), Path("out.pkg"), L"7", L"3a7F0C52E9", c_.cxRadioButton3, true,
        L"\\skip.me\r\n"});
  Click(c_.cxButton3);
  ASSERT_TRUE(WaitUntil([&] { return IsElapsedText(Panel0()); })) << Panel0();
  EXPECT_TRUE(Idle());
  EXPECT_FALSE(OwnedDialog(form_));
  Screenshot(form_, L"window-finished");

  const pkg::PkgArchive a = ReadArchiveFile(dir_ / "out.pkg", {0x3A, 0x7F, 0x0C, 0x52, 0xE9});
  EXPECT_EQ(a.header.type, 7);
  EXPECT_EQ(a.header.compression, 1u);
  std::vector<std::string> names;
  for (const pkg::IndexRecord& r : a.records) names.push_back(r.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"\\\xbf\xd5.bin", "\\\xcb\xb5\xc3\xf7.txt",
                                             "\\\xd7\xca\xc1\xcf\\\xb5\xd8\xcd\xbc\\\xb3\xc7"
                                             "\xd5\xf2.dat"}));
  // The start saved the inputs, the type as parsed.
  const Bytes saved = ReadFile(dir_.path() / kIni);
  const std::string text(saved.begin(), saved.end());
  EXPECT_NE(text.find("CustomPKGKey=3a7F0C52E9\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("PKGType=7\r\nGame=3\r\n"), std::string::npos) << text;
}

// Puts text on the clipboard, as a copy in another program does.
bool PutOnClipboard(const std::wstring& text) {
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!memory) return false;
  std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(GlobalLock(memory)));
  GlobalUnlock(memory);
  // The clipboard may be busy a moment with the previous owner.
  if (!WaitUntil([] { return OpenClipboard(nullptr) != FALSE; }, 5000)) {
    GlobalFree(memory);
    return false;
  }
  EmptyClipboard();
  const bool put = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
  if (!put) GlobalFree(memory);
  CloseClipboard();
  return put;
}

TEST_F(PackingProgramTest, PastedAndTypedTextIsTakenWholeAndALongExclusionListToItsEnd) {
  // Far past the system's default limit of an edit (about 30,000 characters
  // under Wine, 32,767 on Windows).
  const std::wstring longLine = L"D:\\" + std::wstring(70000, L'x');
  std::wstring exclusions;
  for (int i = 0; i < 4000; ++i)
    exclusions += L"\\nothing\\file" + std::to_wstring(i) + L".bin\r\n";
  exclusions += L"\\drop.txt\r\n\\子\\drop.bin";
  ASSERT_GT(exclusions.size(), 90000u);
  SendMessageW(c_.cxRadioButton3, BM_CLICK, 0, 0);  // the key field takes text only when enabled
  const struct {
    HWND field;
    const std::wstring& text;
  } kCases[] = {
      {c_.cxTextEdit1, longLine}, {c_.cxTextEdit2, longLine}, {c_.cxTextEdit3, longLine},
      {c_.cxTextEdit4, longLine}, {c_.cxMemo1, exclusions},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(Text(GetParent(c.field)));
    SetText(c.field, L"");
    ASSERT_TRUE(PutOnClipboard(c.text));
    SendMessageW(c.field, WM_PASTE, 0, 0);
    const std::wstring pasted = Text(c.field);
    EXPECT_EQ(pasted.size(), c.text.size());
    EXPECT_TRUE(pasted == c.text);
    // Typing goes on past the old limit too.
    SendMessageW(c.field, EM_SETSEL, c.text.size(), c.text.size());
    SendMessageW(c.field, WM_CHAR, L'7', 1);
    EXPECT_EQ(Text(c.field).size(), c.text.size() + 1);
  }

  // The entries at the end of the pasted list leave their files out.
  for (const char* f : {"src/keep.txt", "src/drop.txt", "src/子/drop.bin", "src/子/keep.bin"})
    WriteFile(dir_ / f, std::string(f));
  Fill({Path("src"), Path("out.pkg"), L"1", L"", c_.cxRadioButton1});
  SetText(c_.cxMemo1, L"");
  ASSERT_TRUE(PutOnClipboard(exclusions));
  SendMessageW(c_.cxMemo1, WM_PASTE, 0, 0);
  Click(c_.cxButton3);
  ASSERT_TRUE(WaitUntil([&] { return IsElapsedText(Panel0()); })) << Panel0();
  const pkg::PkgArchive a =
      ReadArchiveFile(dir_ / "out.pkg", {pkg::kGame1Key.begin(), pkg::kGame1Key.end()});
  std::vector<std::string> names;
  for (const pkg::IndexRecord& r : a.records) names.push_back(r.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"\\keep.txt", "\\\xd7\xd3\\keep.bin"}));
}

// The process's private memory, as the system counts it (its commit charge),
// and its working set.
struct Memory {
  std::size_t privateBytes = 0, workingSet = 0;
};

Memory MemoryOf(HANDLE process) {
  PROCESS_MEMORY_COUNTERS m{};
  m.cb = sizeof m;
  if (!GetProcessMemoryInfo(process, &m, sizeof m)) return {};
  return {m.PagefileUsage, m.WorkingSetSize};
}

double MiB(std::size_t bytes) {
  return static_cast<double>(bytes) / (1 << 20);
}

// A job that stayed in memory after its end would keep its file list and
// index: most of what the window grew by while packing. The suite packs 25,000
// files with long names, which Wine packs in about a minute;
// ZERITH_MEMORY_TEST_FILES=100000 packs 100,000 (five minutes), as the README
// reports.
TEST_F(PackingProgramTest, TheWindowsMemoryComesBackAfterAManyFilePack) {
  int files = 25000;
  if (const char* n = std::getenv("ZERITH_MEMORY_TEST_FILES")) files = std::max(500, std::atoi(n));
  // Names long enough to live outside their strings, as most real ones do.
  const std::string tail(80, 'n');
  for (int d = 0; d * 500 < files; ++d) {
    const fs::path folder = dir_ / "src" / ("folder number " + std::to_string(d));
    fs::create_directories(folder);
    for (int f = 0; f < 500; ++f) {
      const fs::path file =
          folder / ("a file of the tree " + std::to_string(f) + " with a long " + tail + ".txt");
      const HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      DWORD written = 0;
      ::WriteFile(h, "x", 1, &written, nullptr);
      CloseHandle(h);
    }
  }
  const HANDLE process = run_->Process();
  Fill({Path("src"), Path("out.pkg"), L"1", L"", c_.cxRadioButton1, true});
  const Memory before = MemoryOf(process);
  ASSERT_GT(before.privateBytes, 0u);
  Click(c_.cxButton3);
  Memory peak = before;
  for (const DWORD start = GetTickCount(); !IsElapsedText(Panel0());) {
    ASSERT_LT(GetTickCount() - start, 800000u) << Panel0();
    const Memory now = MemoryOf(process);
    peak.privateBytes = std::max(peak.privateBytes, now.privateBytes);
    peak.workingSet = std::max(peak.workingSet, now.workingSet);
    Sleep(200);
  }
  ASSERT_EQ(
      ListNames(dir_.path()),
      (std::vector<std::string>{"Zerith_DURAdazov.exe", "Zerith_DURAdazov.ini", "out.pkg", "src"}));
  // What the job held goes once its thread has returned, a moment after its outcome.
  const std::size_t bound = before.privateBytes + (peak.privateBytes - before.privateBytes) / 4;
  Memory after;
  WaitUntil([&] { return (after = MemoryOf(process)).privateBytes < bound; }, 10000);
  std::printf(
      "the window's memory packing %d files, MiB before, at the peak and after the pack: "
      "private %.1f, %.1f, %.1f; working set %.1f, %.1f, %.1f\n",
      files, MiB(before.privateBytes), MiB(peak.privateBytes), MiB(after.privateBytes),
      MiB(before.workingSet), MiB(peak.workingSet), MiB(after.workingSet));
  EXPECT_GT(peak.privateBytes, before.privateBytes + (16 << 20)) << "too small a pack to show";
  EXPECT_LT(after.privateBytes, bound);
}

TEST_F(PackingProgramTest, AnAbortMidPackLeavesNothingAndANewStartRuns) {
  for (int i = 0; i < 64; ++i)
    WriteFile(dir_ / ("big/f" + std::to_string(i) + ".bin"), Deterministic(1 << 20, i, false));
  WriteFile(dir_ / "small/a.txt", std::string("alpha"));
  WriteFile(dir_ / "out/old.pkg", std::string("the archive of yesterday"));
  Fill({Path("big"), Path("out/old.pkg"), L"1", L"", c_.cxRadioButton2, true});
  Click(c_.cxButton3);
  const std::wstring storing = L"(3/5) 正在打包文件: \\f";
  ASSERT_TRUE(WaitUntil([&] { return Panel0().starts_with(storing); })) << Panel0();
  EXPECT_TRUE(Working());
  Screenshot(form_, L"window-packing");
  Click(c_.cxButton4);
  ASSERT_TRUE(WaitUntil([&] { return Panel0() == L"打包进程已中止！"; })) << Panel0();
  EXPECT_TRUE(Idle());
  EXPECT_FALSE(Enabled(c_.cxTextEdit3));
  EXPECT_EQ(ReadFile(dir_ / "out/old.pkg"), ToBytes("the archive of yesterday"));
  EXPECT_EQ(ListNames(dir_ / "out"), std::vector<std::string>{"old.pkg"});
  // Nothing of the stopped job follows: no box, no text.
  Sleep(500);
  EXPECT_FALSE(OwnedDialog(form_));
  EXPECT_EQ(Panel0(), L"打包进程已中止！");

  SetText(c_.cxTextEdit1, Path("small"));
  Click(c_.cxButton3);
  ASSERT_TRUE(WaitUntil([&] { return IsElapsedText(Panel0()); })) << Panel0();
  EXPECT_TRUE(Idle());
  const pkg::PkgArchive a =
      ReadArchiveFile(dir_ / "out/old.pkg", {pkg::kGame2Key.begin(), pkg::kGame2Key.end()});
  ASSERT_EQ(a.records.size(), 1u);
  EXPECT_EQ(a.records[0].name, "\\a.txt");
  EXPECT_EQ(ListNames(dir_ / "out"), std::vector<std::string>{"old.pkg"});
}

TEST_F(PackingProgramTest, EachFailureShowsItsBoxThenItsPanelText) {
  fs::create_directories(dir_ / "empty");
  WriteFile(dir_ / "src/maps/town.dat", std::string("held"));
  const std::wstring town = Path("src") + L"\\maps\\town.dat";
  // Another program holds the file and shares it with nobody.
  const HANDLE holder =
      CreateFileW(town.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const struct {
    const char* what;
    std::wstring source, output, box, panel;
  } kCases[] = {
      {"no files", Path("empty"), Path("o1.pkg"), L"没有需要打包的文件！",
       L"发生错误：没有需要打包的文件！"},
      {"output folder missing", Path("src"), Path("no/such/o2.pkg"), L"无法创建PKG文件！",
       L"发生错误：无法创建PKG文件！"},
      {"source held", Path("src"), Path("o3.pkg"), L"无法打开源文件：" + town,
       L"无法打开源文件：" + town},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Fill({c.source, c.output, L"1", L"AB", c_.cxRadioButton3});
    Click(c_.cxButton3);
    // While the box is open the window still works.
    ASSERT_TRUE(WaitUntil([&] { return OwnedDialog(form_) != nullptr; }));
    EXPECT_TRUE(Working());
    EXPECT_NE(Panel0(), c.panel);
    if (c.box.starts_with(L"无法打开")) Screenshot(form_, L"window-error");
    const MessageBoxSeen box = AnswerMessageBox(form_);
    EXPECT_EQ(box.text, c.box);
    EXPECT_EQ(box.caption, L"错误");
    EXPECT_TRUE(box.icon);
    EXPECT_TRUE(WaitUntil([&] { return Panel0() == c.panel; })) << Panel0();
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(Enabled(c_.cxTextEdit3));
  }
  CloseHandle(holder);
  for (const char* out : {"o1.pkg", "o2.pkg", "o3.pkg"}) EXPECT_FALSE(fs::exists(dir_ / out));
}

TEST_F(PackingProgramTest, ARefusedSaveShowsItsBoxStartsNothingAndKeepsTheFile) {
  WriteFile(dir_ / "src/a.txt", std::string("a"));
  const fs::path ini = dir_.path() / kIni;
  const std::string old = "[Config]\r\nGame=2\r\n";
  const std::wstring version = Panel0();
  const struct {
    const char* what;
    IniPlace place;
  } kCases[] = {
      {"read-only", IniPlace::kReadOnly},
      {"a folder of the name", IniPlace::kFolder},
      {"held without sharing", IniPlace::kHeld},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (c.place == IniPlace::kFolder) {
      WriteFile(ini / "kept.txt", std::string("kept"));
    } else {
      WriteFile(ini, old);
    }
    if (c.place == IniPlace::kReadOnly) {
      ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    if (c.place == IniPlace::kHeld) {
      holder = CreateFileW(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    }
    Fill({Path("src"), Path("out.pkg"), L"1"});
    Click(c_.cxButton3);
    const MessageBoxSeen box = AnswerMessageBox(form_);
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    EXPECT_EQ(box.text, L"Unable to write to " + ini.wstring() + L".");
    EXPECT_EQ(box.caption, L"Zerith_DURAdazov");
    EXPECT_TRUE(box.icon);
    EXPECT_TRUE(box.okOnly);
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    EXPECT_EQ(Panel0(), version) << "a job ran";
    EXPECT_FALSE(OwnedDialog(form_)) << "a second box";
    // No archive, no temporary file beside the settings, which stay as they were.
    EXPECT_EQ(ListNames(dir_.path()),
              (std::vector<std::string>{"Zerith_DURAdazov.exe", "Zerith_DURAdazov.ini", "src"}));
    if (c.place == IniPlace::kFolder) {
      EXPECT_EQ(ListNames(ini), std::vector<std::string>{"kept.txt"});
      fs::remove_all(ini);
    } else {
      EXPECT_EQ(ReadFile(ini), ToBytes(old));
      EXPECT_EQ(GetFileAttributesW(ini.c_str()) & FILE_ATTRIBUTE_READONLY,
                c.place == IniPlace::kReadOnly ? DWORD(FILE_ATTRIBUTE_READONLY) : 0u);
      SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
      fs::remove(ini);
    }
  }
  // Once the file can be written, the same start saves and packs.
  WriteFile(ini, old);
  Click(c_.cxButton3);
  ASSERT_TRUE(WaitUntil([&] { return IsElapsedText(Panel0()) && Idle(); })) << Panel0();
  const Bytes bytes = ReadFile(ini);
  const std::string saved(bytes.begin(), bytes.end());
  EXPECT_TRUE(saved.starts_with("[Config]\r\nGame=1\r\nSourceDirectory=")) << saved;
  EXPECT_TRUE(fs::is_regular_file(dir_ / "out.pkg"));
}

TEST_F(PackingProgramTest, ClosingTheWindowMidPackStopsTheJobAndLeavesNothing) {
  for (int i = 0; i < 64; ++i)
    WriteFile(dir_ / ("big/f" + std::to_string(i) + ".bin"), Deterministic(1 << 20, i, false));
  WriteFile(dir_ / "out/old.pkg", std::string("the archive of yesterday"));
  Fill({Path("big"), Path("out/old.pkg"), L"1", L"", c_.cxRadioButton1, true});
  Click(c_.cxButton3);
  const std::wstring storing = L"(3/5) 正在打包文件: \\f";
  ASSERT_TRUE(WaitUntil([&] { return Panel0().starts_with(storing); })) << Panel0();
  EXPECT_TRUE(run_->Close());
  EXPECT_EQ(ReadFile(dir_ / "out/old.pkg"), ToBytes("the archive of yesterday"));
  EXPECT_EQ(ListNames(dir_ / "out"), std::vector<std::string>{"old.pkg"});
}

}  // namespace
}  // namespace pkgtest
