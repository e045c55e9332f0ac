// Drives a main window the way another program would: finds it and its
// controls by class, caption and parent, and reads and sets them with window
// messages. Works on a window of this process or of another.
#pragma once

#include <windows.h>

#include <string>

namespace pkgtest {

struct FormControls {
  HWND form = nullptr;
  HWND cxGroupBox1, Label1, cxTextEdit1, cxButton1, Label2, cxTextEdit2, cxButton2;
  HWND cxGroupBox2, cxMemo1, Label3;
  HWND cxGroupBox3, cxCheckBox1, Label4, cxTextEdit4;
  HWND cxGroupBox4, cxRadioButton1, cxRadioButton2, cxRadioButton3, cxTextEdit3;
  HWND cxButton3, cxButton4, StatusBar1;
};

// The direct child of parent with this class and text (nullptr: any text),
// the n-th such one in creation order; nullptr when there is none.
HWND FindChild(HWND parent, const wchar_t* className, const wchar_t* text, int n = 0);
// Every control of the form, found under its parent; fails the test when one
// is missing.
FormControls FindControls(HWND form);
// The top-level window of class TForm1 of process pid, once it is visible;
// nullptr after timeoutMs.
HWND WaitForForm(DWORD pid, DWORD timeoutMs);

std::wstring Text(HWND hwnd);                       // WM_GETTEXT
void SetText(HWND hwnd, const std::wstring& text);  // WM_SETTEXT
bool Checked(HWND hwnd);
bool Enabled(HWND hwnd);
std::wstring PanelText(HWND statusBar, int panel);  // SB_GETTEXTW, in the window's own process
HWND Focus(HWND form);  // the control with the keyboard focus in the form's thread
// A typed character and a pressed key, sent to the control with the focus.
void TypeChar(HWND form, wchar_t c);
void PressKey(HWND form, UINT vk);

// A click that does not wait for the handler, which may open a modal box.
void Click(HWND button);
// Polls until done() holds; false after timeoutMs.
template <typename Pred>
bool WaitUntil(Pred done, DWORD timeoutMs = 20000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(10);
  }
  return true;
}

// A visible dialog ("#32770") owned by owner, nullptr when none is open.
HWND OwnedDialog(HWND owner);
// A visible dialog of process pid, whatever its owner; nullptr when none is open.
HWND ProcessDialog(DWORD pid);
// An owned message box as it was shown, and answered with its OK button.
struct MessageBoxSeen {
  std::wstring caption, text;  // text: empty when no box came
  HICON icon = nullptr;        // the icon it shows, a handle of the box's process
  bool okOnly = false;         // its one button is OK
};
MessageBoxSeen AnswerMessageBox(HWND owner, DWORD timeoutMs = 20000);

// When PKG_SCREENSHOT_DIR is set: the screen around the form (its boxes
// included) as PKG_SCREENSHOT_DIR\name.bmp.
void Screenshot(HWND form, const std::wstring& name);

// A running copy of the program, started from its own folder.
class ProgramRun {
 public:
  // Copies exe into folder and starts it there.
  ProgramRun(const std::wstring& exe, const std::wstring& folder);
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  HWND Form(DWORD timeoutMs = 30000);  // waits for the window
  DWORD ProcessId() const { return pi_.dwProcessId; }
  HANDLE Process() const { return pi_.hProcess; }
  // Closes the window as the close button does; true when the process ended.
  bool Close(DWORD timeoutMs = 15000);

 private:
  PROCESS_INFORMATION pi_{};
  HWND form_ = nullptr;
};

// The program under test, from the ZERITH_EXE environment variable (a Linux
// path under Wine is taken on drive Z:).
std::wstring ProgramPath();

}  // namespace pkgtest
