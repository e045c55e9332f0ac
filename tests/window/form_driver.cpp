#include "form_driver.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace pkgtest {

HWND FindChild(HWND parent, const wchar_t* className, const wchar_t* text, int n) {
  for (HWND h = GetWindow(parent, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
    wchar_t cls[64] = {};
    GetClassNameW(h, cls, 64);
    if (_wcsicmp(cls, className) != 0) continue;
    if (text && Text(h) != text) continue;
    if (n-- == 0) return h;
  }
  return nullptr;
}

FormControls FindControls(HWND form) {
  FormControls c;
  c.form = form;
  const auto find = [](HWND parent, const wchar_t* cls, const wchar_t* text, int n = 0) {
    HWND h = parent ? FindChild(parent, cls, text, n) : nullptr;
    EXPECT_TRUE(h) << "no " << cls << " \"" << (text ? text : L"") << "\" #" << n;
    return h;
  };
  c.cxGroupBox1 = find(form, L"Button", L"文件选项");
  c.Label1 = find(c.cxGroupBox1, L"Static", L"打包目录：");
  c.cxTextEdit1 = find(c.cxGroupBox1, L"Edit", nullptr, 0);
  c.cxButton1 = find(c.cxGroupBox1, L"Button", L"浏览", 0);
  c.Label2 = find(c.cxGroupBox1, L"Static", L"输出文件：");
  c.cxTextEdit2 = find(c.cxGroupBox1, L"Edit", nullptr, 1);
  c.cxButton2 = find(c.cxGroupBox1, L"Button", L"浏览", 1);
  c.cxGroupBox2 = find(form, L"Button", L"需要排除打包的文件");
  c.cxMemo1 = find(c.cxGroupBox2, L"Edit", nullptr);
  c.Label3 = find(c.cxGroupBox2, L"Static", L"注：请填写文件的相对路径(以\\开头),一行一个");
  c.cxGroupBox3 = find(form, L"Button", L"封包选项");
  c.cxCheckBox1 = find(c.cxGroupBox3, L"Button", L"启用文件压缩");
  c.Label4 = find(c.cxGroupBox3, L"Static", L"封包类型：");
  c.cxTextEdit4 = find(c.cxGroupBox3, L"Edit", nullptr);
  c.cxGroupBox4 = find(form, L"Button", L"封包版本");
  c.cxRadioButton1 = find(c.cxGroupBox4, L"Button", L"Zerith");
  c.cxRadioButton2 = find(c.cxGroupBox4, L"Button", L"Zerith前传");
  c.cxRadioButton3 = find(c.cxGroupBox4, L"Button", L"其他（自定义）");
  c.cxTextEdit3 = find(c.cxGroupBox4, L"Edit", nullptr);
  c.cxButton3 = find(form, L"Button", L"开始打包");
  c.cxButton4 = find(form, L"Button", L"中止操作");
  c.StatusBar1 = find(form, L"msctls_statusbar32", nullptr);
  return c;
}

namespace {

// A visible top-level window of class cls that process pid owns.
struct TopWindowSearch {
  DWORD pid;
  const wchar_t* cls;
  HWND found;
};

BOOL CALLBACK MatchTopWindow(HWND hwnd, LPARAM param) {
  auto* s = reinterpret_cast<TopWindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  if (pid != s->pid || wcscmp(cls, s->cls) != 0 || !IsWindowVisible(hwnd)) return TRUE;
  s->found = hwnd;
  return FALSE;
}

HWND VisibleTopWindow(DWORD pid, const wchar_t* cls) {
  TopWindowSearch s{pid, cls, nullptr};
  EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

}  // namespace

HWND WaitForForm(DWORD pid, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND form = VisibleTopWindow(pid, L"TForm1")) return form;
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(20);
  }
}

std::wstring Text(HWND hwnd) {
  const LRESULT n = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
  std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
  s.resize(static_cast<std::size_t>(
      SendMessageW(hwnd, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()))));
  return s;
}

void SetText(HWND hwnd, const std::wstring& text) {
  SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

bool Checked(HWND hwnd) {
  return SendMessageW(hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool Enabled(HWND hwnd) {
  return IsWindowEnabled(hwnd) != FALSE;
}

std::wstring PanelText(HWND statusBar, int panel) {
  // The text comes back through a buffer, which must lie in the window's
  // process.
  DWORD pid = 0;
  GetWindowThreadProcessId(statusBar, &pid);
  HANDLE process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return L"<no access>";
  const std::size_t n = LOWORD(SendMessageW(statusBar, SB_GETTEXTLENGTHW, panel, 0));
  void* remote =
      VirtualAllocEx(process, nullptr, (n + 1) * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE);
  std::wstring text(n, L'\0');
  if (remote) {
    SendMessageW(statusBar, SB_GETTEXTW, panel, reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(process, remote, text.data(), n * sizeof(wchar_t), nullptr);
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return text;
}

HWND Focus(HWND form) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(form, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

void TypeChar(HWND form, wchar_t c) {
  SendMessageW(Focus(form), WM_CHAR, c, 1);
}

void PressKey(HWND form, UINT vk) {
  const HWND target = Focus(form);
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)) << 16;
  SendMessageW(target, WM_KEYDOWN, vk, scan | 1);
  SendMessageW(target, WM_KEYUP, vk, scan | 1 | (1 << 30) | (1u << 31));
}

void Click(HWND button) {
  PostMessageW(button, BM_CLICK, 0, 0);
}

namespace {

struct DialogSearch {
  HWND owner;
  HWND found;
};

BOOL CALLBACK MatchOwnedDialog(HWND hwnd, LPARAM param) {
  auto* s = reinterpret_cast<DialogSearch*>(param);
  wchar_t cls[16] = {};
  GetClassNameW(hwnd, cls, 16);
  if (wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(hwnd) ||
      GetWindow(hwnd, GW_OWNER) != s->owner)
    return TRUE;
  s->found = hwnd;
  return FALSE;
}

}  // namespace

HWND OwnedDialog(HWND owner) {
  DialogSearch s{owner, nullptr};
  EnumThreadWindows(GetWindowThreadProcessId(owner, nullptr), MatchOwnedDialog,
                    reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND ProcessDialog(DWORD pid) {
  return VisibleTopWindow(pid, L"#32770");
}

MessageBoxSeen AnswerMessageBox(HWND owner, DWORD timeoutMs) {
  MessageBoxSeen seen;
  HWND box = nullptr;
  if (!WaitUntil([&] { return (box = OwnedDialog(owner)) != nullptr; }, timeoutMs)) return seen;
  // The box fills in its texts while it opens.
  WaitUntil([&] { return !Text(GetDlgItem(box, 0xFFFF)).empty(); }, 5000);
  seen.caption = Text(box);
  seen.text = Text(GetDlgItem(box, 0xFFFF));
  int buttons = 0;
  for (HWND h = GetWindow(box, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
    wchar_t cls[16] = {};
    GetClassNameW(h, cls, 16);
    if (_wcsicmp(cls, L"Button") == 0 && IsWindowVisible(h)) ++buttons;
    if ((GetWindowLongPtrW(h, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
        _wcsicmp(cls, L"Static") == 0) {
      seen.icon = reinterpret_cast<HICON>(SendMessageW(h, STM_GETICON, 0, 0));
    }
  }
  seen.okOnly = buttons == 1 && GetDlgItem(box, IDOK);
  Click(GetDlgItem(box, IDOK));
  WaitUntil([&] { return !IsWindow(box); }, 5000);
  return seen;
}

void Screenshot(HWND form, const std::wstring& name) {
  const wchar_t* dir = _wgetenv(L"PKG_SCREENSHOT_DIR");
  if (!dir) return;
  SetCursorPos(0, 0);  // no hint over the picture
  RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(500);  // the form's process paints on its own thread, hints fade
  RECT r;
  GetWindowRect(form, &r);
  if (const HWND box = OwnedDialog(form)) {
    RECT b;
    GetWindowRect(box, &b);
    UnionRect(&r, &r, &b);
  }
  InflateRect(&r, 10, 10);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + stride * static_cast<DWORD>(h);
  const std::wstring path = std::wstring(dir) + L"\\" + name + L".bmp";
  if (FILE* f = _wfopen(path.c_str(), L"wb")) {
    fwrite(&fh, sizeof fh, 1, f);
    fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
    fwrite(bits, stride, static_cast<std::size_t>(h), f);
    fclose(f);
  }
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
}

ProgramRun::ProgramRun(const std::wstring& exe, const std::wstring& folder) {
  const std::wstring copy = folder + L"\\Zerith_DURAdazov.exe";
  if (!CopyFileW(exe.c_str(), copy.c_str(), FALSE)) {
    ADD_FAILURE() << "cannot copy " << exe;
    return;
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  std::wstring commandLine = L"\"" + copy + L"\"";
  if (!CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &si, &pi_))
    ADD_FAILURE() << "cannot start " << copy;
}

ProgramRun::~ProgramRun() {
  if (!pi_.hProcess) return;
  if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(pi_.hProcess, 1);
    WaitForSingleObject(pi_.hProcess, 5000);
  }
  CloseHandle(pi_.hThread);
  CloseHandle(pi_.hProcess);
}

HWND ProgramRun::Form(DWORD timeoutMs) {
  if (!form_ && pi_.hProcess) form_ = WaitForForm(pi_.dwProcessId, timeoutMs);
  return form_;
}

bool ProgramRun::Close(DWORD timeoutMs) {
  if (!pi_.hProcess) return false;
  if (form_) PostMessageW(form_, WM_CLOSE, 0, 0);
  return WaitForSingleObject(pi_.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

std::wstring ProgramPath() {
  const wchar_t* env = _wgetenv(L"ZERITH_EXE");
  if (!env) return L"";
  std::wstring path = env;
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

}  // namespace pkgtest
