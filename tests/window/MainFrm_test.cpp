// The main window in this process: what a user cannot trigger from the window
// (SetControlsEnable, a save, an error that escapes a handler, notifications
// made up by the test), what only this process can see (handler runs, fonts,
// hints, the pickers' dialogs), and aborts timed to the job's messages.
#include "MainFrm.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "form_driver.h"
#include "pkg_format.h"
#include "profile_file.h"
#include "test_support.h"
#include "uPKGPackWorker.h"
#include "win_text.h"

namespace pkgui {
namespace {

using pkgtest::Bytes;
using pkgtest::FormControls;
using pkgtest::TempDir;
namespace fs = std::filesystem;

// Runs the messages of this thread for a while.
void Pump(DWORD ms) {
  const DWORD start = GetTickCount();
  MSG msg;
  do {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  } while (GetTickCount() - start < ms);
}

// Answers the box a handler of this thread may open, and notes what the
// window showed meanwhile; until stop is set.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(HWND form)
      : thread_([this, form] {
          while (!stop_) {
            if (const HWND box = pkgtest::OwnedDialog(form)) {
              pkgtest::FormControls c = pkgtest::FindControls(form);
              panel1WhileOpen = pkgtest::PanelText(c.StatusBar1, 1);
              panel0WhileOpen = pkgtest::PanelText(c.StatusBar1, 0);
              seen = pkgtest::AnswerMessageBox(form);
              (void)box;
            }
            Sleep(10);
          }
        }) {}
  ~BoxAnswerer() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  pkgtest::MessageBoxSeen seen;
  std::wstring panel1WhileOpen, panel0WhileOpen;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class MainFrmTest : public testing::Test {
 protected:
  void Open() {
    form_ = std::make_unique<TForm1>(IniPath(), false);
    form_->Create(GetModuleHandleW(nullptr));
    form_->Show(SW_SHOWNORMAL);
    Pump(50);
    c_ = pkgtest::FindControls(form_->Handle());
  }
  void TearDown() override { form_.reset(); }

  std::string IniPath() const { return pkgtest::U8(dir_ / "Zerith_DURAdazov.ini"); }
  std::string IniText() const {
    const Bytes b = pkgtest::ReadFile(dir_ / "Zerith_DURAdazov.ini");
    return std::string(b.begin(), b.end());
  }
  void WriteIni(const std::string& text) const {
    pkgtest::WriteFile(dir_ / "Zerith_DURAdazov.ini", text);
  }
  // After a start the window refused (its box answered): panel 1 read "工作中"
  // while the box was open, and now the window is idle again, without a job.
  void ExpectIdleAfterARefusedStart(const BoxAnswerer& answerer) const {
    EXPECT_EQ(answerer.seen.caption, L"Zerith_DURAdazov");
    EXPECT_EQ(answerer.panel1WhileOpen, L"工作中");
    EXPECT_TRUE(PackWorker.expired());
    EXPECT_TRUE(pkgtest::Enabled(c_.cxButton3));
    EXPECT_FALSE(pkgtest::Enabled(c_.cxButton4));
    EXPECT_TRUE(pkgtest::Enabled(c_.cxTextEdit1));
    EXPECT_TRUE(pkgtest::Enabled(c_.cxMemo1));
    EXPECT_EQ(pkgtest::PanelText(c_.StatusBar1, 1), L"就绪");
  }

  TempDir dir_;
  std::unique_ptr<TForm1> form_;
  FormControls c_;
};

TEST_F(MainFrmTest, SetControlsEnableSwitchesTheInputsAndLeavesTheButtonsAlone) {
  Open();
  const std::vector<HWND> inputs = {
      c_.cxTextEdit1, c_.cxTextEdit2,    c_.cxTextEdit4,    c_.cxButton1,      c_.cxButton2,
      c_.cxCheckBox1, c_.cxRadioButton1, c_.cxRadioButton2, c_.cxRadioButton3, c_.cxMemo1};
  pkgtest::SetText(c_.cxTextEdit3, L"AB");
  for (bool custom : {false, true}) {
    SCOPED_TRACE(custom ? "custom key" : "game 1");
    if (custom) SendMessageW(c_.cxRadioButton3, BM_CLICK, 0, 0);
    // The buttons as the callers leave them: each state of each.
    EnableWindow(c_.cxButton3, custom);
    EnableWindow(c_.cxButton4, !custom);

    form_->SetControlsEnable(false);
    for (HWND h : inputs) EXPECT_FALSE(pkgtest::Enabled(h)) << pkgtest::Text(h);
    EXPECT_FALSE(pkgtest::Enabled(c_.cxTextEdit3));
    EXPECT_EQ(pkgtest::Enabled(c_.cxButton3), custom);
    EXPECT_EQ(pkgtest::Enabled(c_.cxButton4), !custom);

    form_->SetControlsEnable(true);
    for (HWND h : inputs) EXPECT_TRUE(pkgtest::Enabled(h)) << pkgtest::Text(h);
    EXPECT_EQ(pkgtest::Enabled(c_.cxTextEdit3), custom);
    EXPECT_EQ(pkgtest::Enabled(c_.cxButton3), custom);
    EXPECT_EQ(pkgtest::Enabled(c_.cxButton4), !custom);

    // Texts, selection and status bar untouched.
    EXPECT_EQ(pkgtest::Text(c_.cxTextEdit3), L"AB");
    EXPECT_EQ(pkgtest::Checked(c_.cxRadioButton3), custom);
    EXPECT_EQ(pkgtest::Checked(c_.cxRadioButton1), !custom);
    EXPECT_EQ(pkgtest::PanelText(c_.StatusBar1, 1), L"就绪");
  }
}

// Counts the check states each radio button is given.
struct CheckLog {
  std::map<HWND, int> checked, unchecked;
  void Clear() {
    checked.clear();
    unchecked.clear();
  }
};

LRESULT CALLBACK LogChecks(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                           DWORD_PTR log) {
  if (msg == BM_SETCHECK) {
    auto* l = reinterpret_cast<CheckLog*>(log);
    ++(wParam == BST_CHECKED ? l->checked : l->unchecked)[hwnd];
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

TEST_F(MainFrmTest, ASelectionRunsItsHandlerOnceAndAReselectionNone) {
  Open();
  CheckLog log;
  const HWND radios[] = {c_.cxRadioButton1, c_.cxRadioButton2, c_.cxRadioButton3};
  for (HWND r : radios) SetWindowSubclass(r, LogChecks, 1, reinterpret_cast<DWORD_PTR>(&log));

  for (HWND clicked : {c_.cxRadioButton2, c_.cxRadioButton3, c_.cxRadioButton1}) {
    SCOPED_TRACE(pkgtest::Text(clicked));
    log.Clear();
    SendMessageW(clicked, BM_CLICK, 0, 0);
    // The group deselects the others once, and the handler once more.
    for (HWND r : radios) {
      EXPECT_EQ(log.checked[r], r == clicked ? 1 : 0) << pkgtest::Text(r);
      EXPECT_EQ(log.unchecked[r], r == clicked ? 0 : 2) << pkgtest::Text(r);
    }
    log.Clear();
    SendMessageW(clicked, BM_CLICK, 0, 0);  // again: nothing runs
    form_->SelectKeyChoice(clicked == c_.cxRadioButton1   ? form_->cxRadioButton1
                           : clicked == c_.cxRadioButton2 ? form_->cxRadioButton2
                                                          : form_->cxRadioButton3);
    EXPECT_TRUE(log.checked.empty() && log.unchecked.empty());
  }
  for (HWND r : radios) RemoveWindowSubclass(r, LogChecks, 1);
}

TEST_F(MainFrmTest, ASaveWritesTheSixKeysInOrderAndKeepsOtherSections) {
  WriteIni("[Window]\r\nLeft=5\r\n[Config]\r\nGame=3\r\nExtra=x\r\n");
  Open();
  pkgtest::SetText(c_.cxTextEdit1, L"D:\\游戏\\数据");
  pkgtest::SetText(c_.cxTextEdit2, L"D:\\out.pkg");
  SendMessageW(c_.cxRadioButton2, BM_CLICK, 0, 0);
  pkgtest::SetText(c_.cxTextEdit3, L"not hex");  // saved although disabled
  SendMessageW(c_.cxCheckBox1, BM_CLICK, 0, 0);
  pkgtest::SetText(c_.cxTextEdit4, L"0042");  // the parsed number is saved, not the text
  form_->SaveSettings(42);
  EXPECT_EQ(
      IniText(),
      "[Window]\r\nLeft=5\r\n[Config]\r\nGame=2\r\nExtra=x\r\n"
      "SourceDirectory=D:\\\xd3\xce\xcf\xb7\\\xca\xfd\xbe\xdd\r\n"
      "OutputPKGPath=D:\\out.pkg\r\nCustomPKGKey=not hex\r\nCompressData=1\r\nPKGType=42\r\n");

  // The next start shows what was saved.
  form_.reset();
  Open();
  EXPECT_EQ(pkgtest::Text(c_.cxTextEdit1), L"D:\\游戏\\数据");
  EXPECT_EQ(pkgtest::Text(c_.cxTextEdit3), L"not hex");
  EXPECT_FALSE(pkgtest::Enabled(c_.cxTextEdit3));
  EXPECT_TRUE(pkgtest::Checked(c_.cxRadioButton2));
  EXPECT_TRUE(pkgtest::Checked(c_.cxCheckBox1));
  EXPECT_EQ(pkgtest::Text(c_.cxTextEdit4), L"42");
}

TEST_F(MainFrmTest, ARefusedSaveReportsThePathAndLeavesTheFileAsItWas) {
  const std::string old = "[Config]\r\nGame=3\r\n";
  WriteIni(old);
  // Another program holds the file open for reading and lets nobody write it.
  const std::wstring ini = (dir_ / "Zerith_DURAdazov.ini").wstring();
  const HANDLE holder =
      CreateFileW(ini.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Open();
  try {
    form_->SaveSettings(1);
    ADD_FAILURE() << "the save did not fail";
  } catch (const EProfileWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + IniPath());
  }
  CloseHandle(holder);
  EXPECT_EQ(IniText(), old);
  EXPECT_EQ(pkgtest::ListNames(dir_.path()), std::vector<std::string>{"Zerith_DURAdazov.ini"});
}

// Waits for the application's error box, reads it and closes it.
struct ErrorBox {
  std::wstring caption, text;
  bool icon = false;
};

ErrorBox CloseErrorBox(DWORD thread) {
  ErrorBox box;
  for (int i = 0; i < 500; ++i) {
    HWND found = nullptr;
    EnumThreadWindows(
        thread,
        [](HWND h, LPARAM p) {
          wchar_t cls[16] = {};
          GetClassNameW(h, cls, 16);
          if (wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(h)) return TRUE;
          *reinterpret_cast<HWND*>(p) = h;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    if (found) {
      box.caption = pkgtest::Text(found);
      box.text = pkgtest::Text(GetDlgItem(found, 0xFFFF));
      for (HWND h = GetWindow(found, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT))
        if ((GetWindowLongPtrW(h, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) box.icon = true;
      PostMessageW(found, WM_COMMAND, IDOK, 0);
      return box;
    }
    Sleep(10);
  }
  return box;
}

TEST_F(MainFrmTest, AnErrorEscapingAHandlerIsShownAndTheProgramGoesOn) {
  Open();
  const struct {
    const char* message;
    const wchar_t* shown;
  } kCases[] = {
      {"Unable to write to C:\\z\\Zerith_DURAdazov.ini",
       L"Unable to write to C:\\z\\Zerith_DURAdazov.ini."},
      {"无法写入", L"无法写入."},
      {"(done)", L"(done)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    std::atomic<bool> after{false};
    const std::string message = c.message;
    form_->JobHost().PostToMainThread([message] { throw std::runtime_error(message); });
    form_->JobHost().PostToMainThread([&after] { after = true; });
    ErrorBox box;
    // The box runs its own message loop on this thread; another one closes it.
    std::thread closer([&box, tid = GetCurrentThreadId()] { box = CloseErrorBox(tid); });
    Pump(300);
    closer.join();
    EXPECT_EQ(box.caption, L"Zerith_DURAdazov");
    EXPECT_EQ(box.text, c.shown);
    EXPECT_TRUE(box.icon);
    Pump(50);
    EXPECT_TRUE(after) << "the next message was not handled";
    EXPECT_TRUE(IsWindow(form_->Handle()));
  }
}

// Records every text status panel 0 is given.
LRESULT CALLBACK LogPanel0(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                           DWORD_PTR log) {
  if (msg == SB_SETTEXTW && LOBYTE(wParam) == 0)
    reinterpret_cast<std::vector<std::wstring>*>(log)->push_back(
        reinterpret_cast<const wchar_t*>(lParam));
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

TEST_F(MainFrmTest, AJobsTextsReachStatusPanel0OnTheWindowsThread) {
  Open();
  TempDir src;
  pkgtest::WriteFile(src / "资料.txt", std::string("data"));
  std::vector<std::wstring> texts;
  SetWindowSubclass(c_.StatusBar1, LogPanel0, 1, reinterpret_cast<DWORD_PTR>(&texts));

  pkg::PackRequest request;
  request.sourceDirectory = pkgtest::U8(src.path());
  request.outputPath = pkgtest::U8(dir_ / "out.pkg");
  request.key.assign(pkg::kGame1Key.begin(), pkg::kGame1Key.end());
  auto job = pkg::PKGPackWorker::Create(form_->JobHost(), request,
                                        reinterpret_cast<pkg::WindowHandle>(form_->Handle()));
  ASSERT_TRUE(job->Start().ok());
  job.reset();

  MSG msg{};
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 20000) {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      Sleep(5);
      continue;
    }
    if (msg.message == pkg::kWM_PACKNOTIFY) break;
    DispatchMessageW(&msg);
  }
  ASSERT_EQ(msg.message, pkg::kWM_PACKNOTIFY);
  EXPECT_EQ(msg.hwnd, form_->Handle());
  EXPECT_EQ(msg.lParam, pkg::NOTIFY_FINISHED);
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(texts, (std::vector<std::wstring>{L"(1/5) 正在创建要打包的文件列表...",
                                              L"(2/5) 正在创建PKG文件头...",
                                              L"(3/5) 正在打包文件: \\资料.txt",
                                              L"(4/5) 正在生成索引信息...", L"(5/5) 正在保存..."}));
  EXPECT_EQ(pkgtest::PanelText(c_.StatusBar1, 0), L"(5/5) 正在保存...");
  RemoveWindowSubclass(c_.StatusBar1, LogPanel0, 1);
}

// Tells whether it ran and when it is freed.
struct Probe {
  std::shared_ptr<bool> ran = std::make_shared<bool>(false);
  std::shared_ptr<int> token = std::make_shared<int>(0);
  std::function<void()> Call() const {
    return [ran = ran, token = token] { *ran = true; };
  }
  bool Freed() const { return token.use_count() == 1; }
};

TEST_F(MainFrmTest, CallsForAWindowThatIsGoneAreFreedWithoutRunning) {
  Open();
  Probe queued, late;
  form_->JobHost().PostToMainThread(queued.Call());
  EXPECT_FALSE(queued.Freed());
  DestroyWindow(form_->Handle());  // before the queued call ran
  EXPECT_TRUE(queued.Freed());
  form_->JobHost().PostToMainThread(late.Call());
  EXPECT_TRUE(late.Freed());
  Pump(50);
  EXPECT_FALSE(*queued.ran);
  EXPECT_FALSE(*late.ran);
}

TEST_F(MainFrmTest, ControlsUseTheWindowFontAndTheStatusBarItsOwn) {
  Open();
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  const HFONT font = reinterpret_cast<HFONT>(SendMessageW(c_.cxTextEdit1, WM_GETFONT, 0, 0));
  LOGFONTW lf{};
  ASSERT_TRUE(font && GetObjectW(font, sizeof lf, &lf));
  EXPECT_STREQ(lf.lfFaceName, L"宋体");
  EXPECT_EQ(lf.lfHeight, ScaleToDpi(-12, dpi));
  EXPECT_EQ(lf.lfWeight, FW_NORMAL);
  EXPECT_EQ(lf.lfCharSet, ANSI_CHARSET);
  for (HWND h :
       {c_.cxGroupBox4, c_.Label3, c_.cxMemo1, c_.cxCheckBox1, c_.cxRadioButton2, c_.cxButton3})
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0)), font) << pkgtest::Text(h);
  EXPECT_NE(reinterpret_cast<HFONT>(SendMessageW(c_.StatusBar1, WM_GETFONT, 0, 0)), font);
}

TEST_F(MainFrmTest, FiveControlsShowTheirHintsTwoLineOnesOnTwoLines) {
  Open();
  HWND tips = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND h, LPARAM p) {
        wchar_t cls[32] = {};
        GetClassNameW(h, cls, 32);
        if (wcscmp(cls, TOOLTIPS_CLASSW) == 0) *reinterpret_cast<HWND*>(p) = h;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&tips));
  ASSERT_TRUE(tips);
  ASSERT_EQ(SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0), 5);
  std::map<HWND, std::wstring> hints;
  for (int i = 0; i < 5; ++i) {
    wchar_t text[512] = {};
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.lpszText = text;
    ASSERT_TRUE(SendMessageW(tips, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(&ti)));
    hints[reinterpret_cast<HWND>(ti.uId)] = text;
  }
  const std::wstring typeHint = L"除UI.pkg外，其余文件类型均为1。";
  EXPECT_EQ(hints[c_.Label4], typeHint);
  EXPECT_EQ(hints[c_.cxTextEdit4], typeHint);
  EXPECT_EQ(hints[c_.cxCheckBox1],
            L"警告：封包内文件是否压缩由游戏程序决定而不由PKG封包决定！\r\n"
            L"请务必保持与原封包类型一致！");
  EXPECT_EQ(hints[c_.cxRadioButton3],
            L"该选项为自定义封包密码，如果不懂PKG封包切勿使用！\r\n"
            L"右侧填写封包密码，格式为密码HEX值（例：3A7F0C52E9）");
  EXPECT_EQ(hints[c_.cxTextEdit3], L"该选项为自定义封包密码，如果不懂PKG封包切勿使用！");
  // Without a maximum width the tooltip would show a CR LF hint on one line.
  EXPECT_GT(SendMessageW(tips, TTM_GETMAXTIPWIDTH, 0, 0), 0);
}

struct ShownHint {
  std::wstring text;  // empty: none
  int height = 0;
};

HWND VisibleTooltip() {
  HWND tips = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND h, LPARAM p) {
        wchar_t cls[32] = {};
        GetClassNameW(h, cls, 32);
        if (wcscmp(cls, TOOLTIPS_CLASSW) == 0 && IsWindowVisible(h))
          *reinterpret_cast<HWND*>(p) = h;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&tips));
  return tips;
}

// Rests the mouse on hwnd and waits until a hint shows (or, with none
// expected, until none does).
ShownHint HintShownOver(HWND hwnd, bool expected = true) {
  RECT r;
  GetWindowRect(hwnd, &r);
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = ((r.left + r.right) / 2) * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
  in.mi.dy = ((r.top + r.bottom) / 2) * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
  in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &in, sizeof in);
  Pump(50);
  in.mi.dx += 1;
  SendInput(1, &in, sizeof in);
  for (int i = 0; i < 200; ++i) {
    Pump(25);
    const HWND tips = VisibleTooltip();
    if (!tips) {
      if (!expected) return {};
      continue;
    }
    wchar_t text[512] = {};
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.lpszText = text;
    if (!SendMessageW(tips, TTM_GETCURRENTTOOLW, 0, reinterpret_cast<LPARAM>(&ti))) continue;
    if (reinterpret_cast<HWND>(ti.uId) != hwnd || !expected) continue;  // the last hint going
    Pump(50);
    RECT shown;
    GetWindowRect(tips, &shown);
    return {text, shown.bottom - shown.top};
  }
  return {L"<timed out>", 0};
}

TEST_F(MainFrmTest, HintsShowWhereTheMouseRestsDisabledControlsIncluded) {
  Open();
  ASSERT_FALSE(pkgtest::Enabled(c_.cxTextEdit3));
  const ShownHint key = HintShownOver(c_.cxTextEdit3);
  EXPECT_EQ(key.text, L"该选项为自定义封包密码，如果不懂PKG封包切勿使用！");
  EXPECT_EQ(HintShownOver(c_.Label4).text, L"除UI.pkg外，其余文件类型均为1。");
  const ShownHint compress = HintShownOver(c_.cxCheckBox1);
  EXPECT_EQ(compress.text.find(L"\r\n"), compress.text.find(L"！") + 1);
  EXPECT_GT(compress.height, key.height * 3 / 2) << "the two-line hint shows on one line";
  EXPECT_EQ(HintShownOver(c_.cxTextEdit1, false).text, L"");
}

// The window in its working state, as a start leaves it.
void MakeWorking(TForm1& form) {
  form.SetControlsEnable(false);
  form.cxButton3.SetEnabled(false);
  form.cxButton4.SetEnabled(true);
  form.StatusBar1.SetPanelText(0, L"(3/5) 正在打包文件: \\a.bin");
  form.StatusBar1.SetPanelText(1, L"工作中");
}

TEST_F(MainFrmTest, EachNotificationGivesItsBoxPanelTextAndState) {
  Open();
  SendMessageW(c_.cxRadioButton3, BM_CLICK, 0, 0);
  pkg::FailedSourceFile = "D:\\src\\maps\\town.dat";
  pkg::FailureDetail = "cannot write 'D:\\out.pkg': disk full";
  pkg::ElapsedSeconds = 1.5f;
  const wchar_t* kUnchanged = L"(3/5) 正在打包文件: \\a.bin";
  const struct {
    LPARAM kind;
    WPARAM detail;
    const wchar_t* box;  // nullptr: none
    const wchar_t* panel0;
    bool idle;  // false: the window stays working
  } kCases[] = {
      {100, 1, L"没有需要打包的文件！", L"发生错误：没有需要打包的文件！", true},
      {100, 2, L"无法创建PKG文件！", L"发生错误：无法创建PKG文件！", true},
      {100, 3, L"无法打开源文件：D:\\src\\maps\\town.dat",
       L"无法打开源文件：D:\\src\\maps\\town.dat", true},
      {100, 4, L"写入PKG文件失败：cannot write 'D:\\out.pkg': disk full",
       L"发生错误：写入PKG文件失败：cannot write 'D:\\out.pkg': disk full", true},
      {100, 7, nullptr, kUnchanged, true},
      {100, 0, nullptr, kUnchanged, true},
      {200, 1, nullptr, L"打包结束，耗时1.500秒", true},
      {200, 0, nullptr, kUnchanged, true},
      {200, 2, nullptr, kUnchanged, true},
      {0, 1, nullptr, kUnchanged, false},
      {300, 1, nullptr, kUnchanged, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "lParam " << c.kind << ", wParam " << c.detail);
    MakeWorking(*form_);
    BoxAnswerer answerer(form_->Handle());
    PostMessageW(form_->Handle(), pkg::kWM_PACKNOTIFY, c.detail, c.kind);
    // Panel 1 reads "就绪" after every notification, and last.
    const DWORD start = GetTickCount();
    while (pkgtest::PanelText(c_.StatusBar1, 1) != L"就绪" && GetTickCount() - start < 20000)
      Pump(10);
    answerer.Stop();
    EXPECT_EQ(answerer.seen.text, c.box ? c.box : L"");
    if (c.box) {
      EXPECT_EQ(answerer.seen.caption, L"错误");
      EXPECT_EQ(answerer.seen.icon, LoadIconW(nullptr, IDI_HAND));
      EXPECT_TRUE(answerer.seen.okOnly);
      // The box comes before any change.
      EXPECT_EQ(answerer.panel1WhileOpen, L"工作中");
      EXPECT_EQ(answerer.panel0WhileOpen, kUnchanged);
    }
    EXPECT_EQ(pkgtest::PanelText(c_.StatusBar1, 0), c.panel0);
    EXPECT_EQ(pkgtest::PanelText(c_.StatusBar1, 1), L"就绪");
    EXPECT_EQ(pkgtest::Enabled(c_.cxButton3), c.idle);
    EXPECT_EQ(pkgtest::Enabled(c_.cxButton4), !c.idle);
    for (HWND h : {c_.cxTextEdit1, c_.cxTextEdit3, c_.cxMemo1, c_.cxRadioButton1, c_.cxButton2})
      EXPECT_EQ(pkgtest::Enabled(h), c.idle) << pkgtest::Text(h);
  }
  // With a built-in key chosen the key field stays disabled.
  form_->SetControlsEnable(true);
  SendMessageW(c_.cxRadioButton1, BM_CLICK, 0, 0);
  MakeWorking(*form_);
  SendMessageW(form_->Handle(), pkg::kWM_PACKNOTIFY, 1, 200);
  EXPECT_TRUE(pkgtest::Enabled(c_.cxButton3));
  EXPECT_FALSE(pkgtest::Enabled(c_.cxTextEdit3));
}

// A descendant of parent of the class, nullptr when none.
HWND FindDescendant(HWND parent, const wchar_t* className) {
  struct Search {
    const wchar_t* cls;
    HWND found;
  } s{className, nullptr};
  EnumChildWindows(
      parent,
      [](HWND h, LPARAM p) {
        auto* s = reinterpret_cast<Search*>(p);
        wchar_t cls[64] = {};
        GetClassNameW(h, cls, 64);
        if (_wcsicmp(cls, s->cls) != 0) return TRUE;
        s->found = h;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&s));
  return s.found;
}

std::wstring SelectedTreeItem(HWND tree) {
  const auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
  if (!item) return L"";
  wchar_t text[260] = {};
  TVITEMW tv{};
  tv.mask = TVIF_TEXT;
  tv.hItem = item;
  tv.pszText = text;
  tv.cchTextMax = 260;
  SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
  return text;
}

// What a dialog over the form showed before an answer closed it.
struct PickerSeen {
  bool opened = false;
  bool formDisabled = false;
  std::wstring text;  // the browser's selected folder, or the save dialog's name box
};

// Clicks button (its handler opens a modal dialog on this thread); another
// thread waits for the dialog, looks at it with look, and answers it with
// answer, IDOK or IDCANCEL.
PickerSeen RunPicker(HWND form, HWND button, std::function<std::wstring(HWND)> look, int answer) {
  PickerSeen seen;
  std::thread other([&] {
    HWND dialog = nullptr;
    if (!pkgtest::WaitUntil([&] { return (dialog = pkgtest::OwnedDialog(form)) != nullptr; }))
      return;
    seen.opened = true;
    seen.formDisabled = !IsWindowEnabled(form);
    seen.text = look(dialog);
    const HWND b = GetDlgItem(dialog, answer);
    if (b && answer == IDOK) {
      pkgtest::Click(b);
    } else {
      PostMessageW(dialog, WM_COMMAND, answer, 0);
    }
  });
  SendMessageW(button, BM_CLICK, 0, 0);
  other.join();
  return seen;
}

TEST_F(MainFrmTest, TheFolderBrowserOpensOnTheFieldsFolderAndCancelKeepsTheField) {
  Open();
  TempDir tree;
  fs::create_directories(tree / "资料/地图");
  const std::wstring folder = (tree / "资料/地图").wstring();
  // The browser selects the starting folder once it is ready.
  const auto selected = [](HWND dialog) {
    std::wstring text;
    pkgtest::WaitUntil([&] {
      const HWND t = FindDescendant(dialog, WC_TREEVIEWW);
      return t && (text = SelectedTreeItem(t)) == L"地图";
    });
    return text;
  };
  for (int answer : {IDCANCEL, IDOK}) {
    SCOPED_TRACE(answer == IDOK ? "OK" : "Cancel");
    pkgtest::SetText(c_.cxTextEdit1, folder);
    const PickerSeen seen = RunPicker(
        form_->Handle(), c_.cxButton1,
        answer == IDOK ? selected : [](HWND) { return std::wstring(); }, answer);
    ASSERT_TRUE(seen.opened);
    EXPECT_TRUE(seen.formDisabled);
    // Confirming at once returns the starting selection. (Wine's browser
    // sometimes shows its selection late; the cancel round does not wait on it.)
    if (answer == IDOK) {
      EXPECT_EQ(seen.text, L"地图");
    }
    EXPECT_EQ(_wcsicmp(pkgtest::Text(c_.cxTextEdit1).c_str(), folder.c_str()), 0)
        << pkgtest::Text(c_.cxTextEdit1);
    EXPECT_TRUE(IsWindowEnabled(form_->Handle()));
  }
  // A missing folder: the browser opens all the same, and cancel keeps the text.
  const std::wstring missing = (tree / "no/such").wstring();
  pkgtest::SetText(c_.cxTextEdit1, missing);
  const PickerSeen seen = RunPicker(
      form_->Handle(), c_.cxButton1, [](HWND) { return L""; }, IDCANCEL);
  EXPECT_TRUE(seen.opened);
  EXPECT_EQ(pkgtest::Text(c_.cxTextEdit1), missing);
}

// The save dialog's name box: an edit in the combo box of the explorer style,
// or the plain one.
HWND NameBox(HWND dialog) {
  HWND box = nullptr;
  pkgtest::WaitUntil([&] {
    if (const HWND combo = GetDlgItem(dialog, 0x47c)) box = FindDescendant(combo, L"Edit");
    if (!box) box = GetDlgItem(dialog, 0x480);
    return box != nullptr;
  });
  return box;
}

TEST_F(MainFrmTest, TheSaveDialogAddsPkgRemembersItsNameAndCancelChangesNothing) {
  Open();
  pkgtest::SetText(c_.cxTextEdit2, L"D:\\from\\the\\settings.pkg");
  // The first use starts empty, whatever the field holds; a bare name gets ".pkg".
  PickerSeen seen = RunPicker(
      form_->Handle(), c_.cxButton2,
      [](HWND dialog) {
        const HWND box = NameBox(dialog);
        const std::wstring before = pkgtest::Text(box);
        pkgtest::SetText(box, L"data");
        // One file type, shown by its name.
        return before + L"|" + pkgtest::Text(GetDlgItem(dialog, 0x470));
      },
      IDOK);
  ASSERT_TRUE(seen.opened);
  EXPECT_EQ(seen.text, L"|PKG Files (*.pkg)");
  const std::wstring chosen = pkgtest::Text(c_.cxTextEdit2);
  EXPECT_TRUE(chosen.ends_with(L"\\data.pkg")) << chosen;
  EXPECT_TRUE(fs::is_directory(fs::path(chosen).parent_path())) << chosen;
  EXPECT_FALSE(fs::exists(chosen)) << "the picker created the file";

  // The next use starts with the name chosen (the dialog shows its folder and
  // its name), even after the field changed; cancel changes neither.
  pkgtest::SetText(c_.cxTextEdit2, L"edited");
  for (int i = 0; i < 2; ++i) {
    seen = RunPicker(
        form_->Handle(), c_.cxButton2, [](HWND dialog) { return pkgtest::Text(NameBox(dialog)); },
        IDCANCEL);
    EXPECT_TRUE(seen.opened);
    EXPECT_EQ(seen.text, L"data.pkg");  // in the folder of the name
    EXPECT_EQ(pkgtest::Text(c_.cxTextEdit2), L"edited");
  }
}

TEST_F(MainFrmTest, ARefusedSaveAtStartShowsItsBoxAndLeavesTheWindowIdleWithoutAJob) {
  const std::string old = "[Config]\r\nGame=1\r\n";
  WriteIni(old);
  const std::wstring ini = (dir_ / "Zerith_DURAdazov.ini").wstring();
  const HANDLE holder =
      CreateFileW(ini.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Open();
  TempDir src;
  pkgtest::WriteFile(src / "a.txt", std::string("a"));
  pkgtest::SetText(c_.cxTextEdit1, src.path().wstring());
  pkgtest::SetText(c_.cxTextEdit2, (dir_ / "out.pkg").wstring());
  BoxAnswerer answerer(form_->Handle());
  SendMessageW(c_.cxButton3, BM_CLICK, 0, 0);  // returns once the box is answered
  answerer.Stop();
  CloseHandle(holder);
  EXPECT_EQ(answerer.seen.text, L"Unable to write to " + Utf8ToWide(IniPath()) + L".");
  ExpectIdleAfterARefusedStart(answerer);
  Pump(200);
  EXPECT_EQ(IniText(), old);
  EXPECT_FALSE(fs::exists(dir_ / "out.pkg"));
}

TEST_F(MainFrmTest, TheSaveDialogAsksBeforeReplacingAFileAndLeavesItAlone) {
  Open();
  TempDir d;
  pkgtest::WriteFile(d / "old.pkg", std::string("old"));
  const std::wstring old = (d / "old.pkg").wstring();
  pkgtest::SetText(c_.cxTextEdit2, L"before");
  for (int reply : {IDNO, IDYES}) {
    SCOPED_TRACE(reply == IDYES ? "replace" : "keep");
    std::wstring asked;
    const PickerSeen seen = RunPicker(
        form_->Handle(), c_.cxButton2,
        [&](HWND dialog) {
          pkgtest::SetText(NameBox(dialog), old);
          pkgtest::Click(GetDlgItem(dialog, IDOK));
          HWND confirm = nullptr;
          if (pkgtest::WaitUntil(
                  [&] { return (confirm = pkgtest::OwnedDialog(dialog)) != nullptr; })) {
            pkgtest::WaitUntil([&] { return !pkgtest::Text(GetDlgItem(confirm, 0xFFFF)).empty(); });
            asked = pkgtest::Text(GetDlgItem(confirm, 0xFFFF));
            pkgtest::Click(GetDlgItem(confirm, reply));
          }
          // Kept: back in the dialog, which the cancel closes. Replaced: gone.
          pkgtest::WaitUntil([&] { return !IsWindow(confirm); });
          if (reply == IDYES) pkgtest::WaitUntil([&] { return !IsWindow(dialog); });
          return std::wstring();
        },
        IDCANCEL);
    EXPECT_TRUE(seen.opened);
    EXPECT_FALSE(asked.empty()) << "no confirmation";
    EXPECT_EQ(pkgtest::Text(c_.cxTextEdit2), reply == IDYES ? old : L"before");
    EXPECT_EQ(pkgtest::ReadFile(d / "old.pkg"), pkgtest::ToBytes("old"));
  }
}

// Stands in for CreateThread: refuses with the error code of the case.
DWORD gThreadRefusal = 0;
HANDLE WINAPI RefuseThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                           LPDWORD) {
  SetLastError(gThreadRefusal);
  return nullptr;
}

// The system's description of an error code, as FormatMessage gives it,
// without the line break and full stop that close it.
std::wstring SystemDescription(DWORD code) {
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, 512, nullptr);
  while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' ||
                   text[n - 1] == L'.'))
    --n;
  return std::wstring(text, n);
}

TEST_F(MainFrmTest, AThreadTheSystemRefusesIsReportedInTheSystemsWordsAndNoJobRuns) {
  Open();
  TempDir src;
  pkgtest::WriteFile(src / "a.txt", std::string("a"));
  pkgtest::SetText(c_.cxTextEdit1, src.path().wstring());
  pkgtest::SetText(c_.cxTextEdit2, (dir_ / "out.pkg").wstring());
  const std::wstring version = pkgtest::PanelText(c_.StatusBar1, 0);
  form_->JobHost().CreateThreadFn = RefuseThread;
  for (DWORD code : {DWORD(ERROR_NOT_ENOUGH_MEMORY), DWORD(ERROR_MAX_THRDS_REACHED),
                     DWORD(ERROR_ACCESS_DENIED)}) {
    SCOPED_TRACE(code);
    gThreadRefusal = code;
    const std::wstring description = SystemDescription(code);
    ASSERT_FALSE(description.empty());
    BoxAnswerer answerer(form_->Handle());
    SendMessageW(c_.cxButton3, BM_CLICK, 0, 0);  // returns once the box is answered
    answerer.Stop();
    EXPECT_EQ(answerer.seen.text, L"Thread creation error: " + description + L".");
    EXPECT_TRUE(answerer.seen.okOnly);
    ExpectIdleAfterARefusedStart(answerer);
    Pump(100);
    EXPECT_EQ(pkgtest::PanelText(c_.StatusBar1, 0), version) << "a job ran";
    EXPECT_FALSE(fs::exists(dir_ / "out.pkg"));
  }
  // With threads to be had again, the same start packs.
  form_->JobHost().CreateThreadFn = &::CreateThread;
  SendMessageW(c_.cxButton3, BM_CLICK, 0, 0);
  const DWORD start = GetTickCount();
  while (!pkgtest::Enabled(c_.cxButton3) && GetTickCount() - start < 20000) Pump(10);
  EXPECT_TRUE(pkgtest::PanelText(c_.StatusBar1, 0).starts_with(L"打包结束，耗时"));
  EXPECT_TRUE(fs::exists(dir_ / "out.pkg"));
}

// A job, with its file list, index and compression state, is gone once it
// has ended, whether it finished, failed or was aborted: the window keeps no
// job between two starts.
TEST_F(MainFrmTest, AJobReleasesItselfOnceItHasEndedWhateverTheOutcome) {
  Open();
  TempDir full, empty;
  for (int i = 0; i < 20; ++i)
    pkgtest::WriteFile(full / ("d" + std::to_string(i % 4)) / ("f" + std::to_string(i) + ".txt"),
                       std::string(1000 + i, 'x'));
  SendMessageW(c_.cxCheckBox1, BM_CLICK, 0, 0);  // with a compression state to release
  const struct {
    const char* what;
    const TempDir& source;
    bool abort;
    const wchar_t* box;  // nullptr: none
    const wchar_t* panel0;
  } kCases[] = {
      {"finished", full, false, nullptr, L"打包结束，耗时"},
      {"failed", empty, false, L"没有需要打包的文件！", L"发生错误：没有需要打包的文件！"},
      {"aborted", full, true, nullptr, L"打包进程已中止！"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    pkgtest::SetText(c_.cxTextEdit1, c.source.path().wstring());
    pkgtest::SetText(c_.cxTextEdit2, (dir_ / "out.pkg").wstring());
    BoxAnswerer answerer(form_->Handle());
    SendMessageW(c_.cxButton3, BM_CLICK, 0, 0);
    // The job waits for its first text, which this thread shows: it is alive.
    const std::weak_ptr<pkg::PKGPackWorker> job = PackWorker;
    ASSERT_FALSE(job.expired());
    if (c.abort) SendMessageW(c_.cxButton4, BM_CLICK, 0, 0);
    DWORD start = GetTickCount();
    while (!pkgtest::Enabled(c_.cxButton3) && GetTickCount() - start < 20000) Pump(10);
    answerer.Stop();
    ASSERT_TRUE(pkgtest::Enabled(c_.cxButton3));
    EXPECT_EQ(answerer.seen.text, c.box ? c.box : L"");
    EXPECT_TRUE(pkgtest::PanelText(c_.StatusBar1, 0).starts_with(c.panel0))
        << pkgtest::PanelText(c_.StatusBar1, 0);
    // Its thread returns just after it posted its outcome.
    start = GetTickCount();
    while (!job.expired() && GetTickCount() - start < 10000) Pump(10);
    EXPECT_TRUE(job.expired()) << "the window still holds the job";
    EXPECT_TRUE(PackWorker.expired());
    // An abort now finds no job and changes nothing.
    const std::wstring panel0 = pkgtest::PanelText(c_.StatusBar1, 0);
    form_->cxButton4Click();
    EXPECT_EQ(pkgtest::PanelText(c_.StatusBar1, 0), panel0);
  }
}

// Aborts that land anywhere from the start to past the job's notification:
// the window ends idle with either the abort text or the outcome, never a box,
// never a temporary file, and the next start works.
TEST_F(MainFrmTest, AnAbortAtAnyMomentEndsIdleWithTheAbortOrTheOutcome) {
  Open();
  TempDir src;
  pkgtest::WriteFile(src / "a.txt", std::string("alpha"));
  pkgtest::WriteFile(src / "数据/b.bin", std::string("beta"));
  pkgtest::SetText(c_.cxTextEdit1, src.path().wstring());
  pkgtest::SetText(c_.cxTextEdit2, (dir_ / "out.pkg").wstring());
  int aborted = 0;
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE(i);
    SendMessageW(c_.cxButton3, BM_CLICK, 0, 0);
    ASSERT_TRUE(pkgtest::Enabled(c_.cxButton4));
    // Let the job get a little further each round: its texts, then its outcome.
    MSG msg;
    for (int k = 0; k < i % 8;) {
      if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 2000, QS_ALLINPUT) == WAIT_TIMEOUT) break;
        continue;
      }
      if (msg.message == TMainThreadHost::WM_RUNCALL) ++k;
      DispatchMessageW(&msg);
      if (msg.message == pkg::kWM_PACKNOTIFY) break;  // the job's last message
    }
    SendMessageW(c_.cxButton4, BM_CLICK, 0, 0);
    const DWORD start = GetTickCount();
    while (!pkgtest::Enabled(c_.cxButton3) && GetTickCount() - start < 20000) Pump(5);
    ASSERT_TRUE(pkgtest::Enabled(c_.cxButton3));
    EXPECT_FALSE(pkgtest::Enabled(c_.cxButton4));
    EXPECT_EQ(pkgtest::PanelText(c_.StatusBar1, 1), L"就绪");
    const std::wstring panel0 = pkgtest::PanelText(c_.StatusBar1, 0);
    if (panel0 == L"打包进程已中止！") {
      ++aborted;
    } else {
      EXPECT_TRUE(panel0.starts_with(L"打包结束，耗时")) << panel0;
    }
    EXPECT_FALSE(pkgtest::OwnedDialog(form_->Handle()));
    for (const std::string& name : pkgtest::ListNames(dir_.path()))
      EXPECT_TRUE(name == "Zerith_DURAdazov.ini" || name == "out.pkg") << name;
  }
  EXPECT_GT(aborted, 0);
}

}  // namespace
}  // namespace pkgui
