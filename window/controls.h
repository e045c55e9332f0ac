// One small wrapper per kind of control: the window handle and the few calls
// the form makes on it. The controls are the system's standard ones ("Edit",
// "Button", "Static", "msctls_statusbar32"), so other programs can drive them.
#pragma once

#include <windows.h>

#include <commdlg.h>

#include <string>
#include <string_view>

namespace pkgui {

class TWinControl {
 public:
  HWND Handle = nullptr;

  bool Enabled() const { return IsWindowEnabled(Handle) != FALSE; }
  void SetEnabled(bool enabled) const { EnableWindow(Handle, enabled); }
  std::wstring Text() const;
  void SetText(std::wstring_view text) const;
  void SetFocus() const { ::SetFocus(Handle); }
};

class TcxGroupBox : public TWinControl {};
class TLabel : public TWinControl {};
class TcxButton : public TWinControl {};
class TcxTextEdit : public TWinControl {};
class TcxMemo : public TWinControl {};

class TcxCheckBox : public TWinControl {
 public:
  bool Checked() const { return SendMessageW(Handle, BM_GETCHECK, 0, 0) == BST_CHECKED; }
  void SetChecked(bool checked) const {
    SendMessageW(Handle, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
};

// Selection runs through the form, which keeps the group exclusive and runs the
// click handlers; the button itself never checks itself.
class TcxRadioButton : public TcxCheckBox {};

class TStatusBar : public TWinControl {
 public:
  std::wstring PanelText(int panel) const;
  void SetPanelText(int panel, std::wstring_view text) const;
};

// The save dialog's properties; the output picker shows it.
struct TSaveDialog {
  std::wstring DefaultExt = L".pkg";
  std::wstring Filter = L"PKG Files (*.pkg)|*.pkg";
  int FilterIndex = 1;
  DWORD Options = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_ENABLESIZING;
  std::wstring FileName;  // empty at start; the last name chosen afterwards

  // Shows the explorer-style save dialog over owner, starting with FileName.
  // True when a name was confirmed; FileName is then its full path. A cancel
  // or a failure changes nothing.
  bool Execute(HWND owner);
};

}  // namespace pkgui
