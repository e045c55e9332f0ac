#include "controls.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

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

bool TSaveDialog::Execute(HWND owner) {
  // "Name|pattern|..." becomes the system's "Name\0pattern\0...\0\0".
  std::wstring filter = Filter;
  std::replace(filter.begin(), filter.end(), L'|', L'\0');
  filter.push_back(L'\0');
  // The system wants the extension without its dot.
  const std::wstring ext = DefaultExt.starts_with(L'.') ? DefaultExt.substr(1) : DefaultExt;
  std::vector<wchar_t> name(std::max<std::size_t>(MAX_PATH, FileName.size() + 1), L'\0');
  std::copy(FileName.begin(), FileName.end(), name.begin());

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = static_cast<DWORD>(FilterIndex);
  ofn.lpstrFile = name.data();
  ofn.nMaxFile = static_cast<DWORD>(name.size());
  ofn.lpstrDefExt = ext.empty() ? nullptr : ext.c_str();
  ofn.Flags = Options | OFN_EXPLORER;
  if (!GetSaveFileNameW(&ofn)) return false;
  FileName = name.data();
  FilterIndex = static_cast<int>(ofn.nFilterIndex);
  return true;
}

}  // namespace pkgui
