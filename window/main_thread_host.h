// The window's side of a pack job: the job's calls reach the user-interface
// thread as posted messages to the main window, its progress shows as texts
// in status panel 0, and its outcome is posted there as WM_PACKNOTIFY.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>

#include "job_host.h"

namespace pkgui {

class TMainThreadHost final : public pkg::JobHost {
 public:
  // Carries one queued call; lParam owns it.
  static constexpr UINT WM_RUNCALL = WM_APP + 1;

  // statusSink shows a text in status panel 0.
  void Attach(HWND window, std::function<void(const std::wstring&)> statusSink);
  // The window is going: frees the calls still queued for it, and every call
  // posted from now on is freed without running. User-interface thread.
  void Detach();
  // Runs and frees the call of a WM_RUNCALL message. User-interface thread.
  static void RunCall(LPARAM call);

  void PostToMainThread(std::function<void()> fn) override;
  void ShowProgress(const pkg::PackProgress& progress) override;
  void PostOutcome(pkg::WindowHandle window, const pkg::PackOutcome& outcome) override;
  // The job's thread comes from CreateThread, so that a refusal carries the
  // system's error code, described in the system's words.
  pkg::Status StartThread(std::function<void()> body) override;

  // What StartThread calls: the system's CreateThread; tests put a refusal
  // with a chosen error code in its place.
  decltype(&::CreateThread) CreateThreadFn = &::CreateThread;

 private:
  std::mutex m_;  // protects window_; held while posting, so Detach sees every call posted
  HWND window_ = nullptr;
  std::function<void(const std::wstring&)> statusSink_;  // user-interface thread only
};

}  // namespace pkgui
