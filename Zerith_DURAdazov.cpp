// Zerith_DURAdazov: packs a folder into a ".pkg" game archive. One window; no
// command line, no environment, the settings file beside the executable.
#include <windows.h>

#include <commctrl.h>

#include <string>

#include "MainFrm.h"
#include "settings.h"
#include "win_text.h"

namespace {

std::wstring ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);  // a long path: try a larger buffer
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);

  pkgui::TForm1 form(pkgui::SettingsFilePath(pkgui::WideToUtf8(ExecutablePath())), true);
  try {
    form.Create(instance);
  } catch (const std::exception& e) {
    form.ShowException(&e);
    return 1;
  }
  form.Show(showCommand);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
