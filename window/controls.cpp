#include "controls.h"

#include <commctrl.h>

namespace pkgui {

std::wstring TWinControl::Text() const {
  const int n = GetWindowTextLengthW(Handle);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(Handle, text.data(), n + 1)));
  return text;
}

void TWinControl::SetText(std::wstring_view text) const {
  SetWindowTextW(Handle, std::wstring(text).c_str());
}

std::wstring TStatusBar::PanelText(int panel) const {
  const LRESULT n = LOWORD(SendMessageW(Handle, SB_GETTEXTLENGTHW, panel, 0));
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  SendMessageW(Handle, SB_GETTEXTW, panel, reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(n));
  return text;
}

void TStatusBar::SetPanelText(int panel, std::wstring_view text) const {
  SendMessageW(Handle, SB_SETTEXTW, panel, reinterpret_cast<LPARAM>(std::wstring(text).c_str()));
}

}  // namespace pkgui
