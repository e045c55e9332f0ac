#include "main_thread_host.h"

#include <memory>

#include "pack_notify.h"
#include "win32_text.h"
#include "win_text.h"

namespace pkgui {

using Call = std::function<void()>;

void TMainThreadHost::Attach(HWND window, std::function<void(const std::wstring&)> statusSink) {
  std::lock_guard<std::mutex> lock(m_);
  window_ = window;
  statusSink_ = std::move(statusSink);
}

void TMainThreadHost::Detach() {
  HWND window;
  {
    std::lock_guard<std::mutex> lock(m_);
    window = window_;
    window_ = nullptr;
  }
  if (!window) return;
  MSG msg;
  while (PeekMessageW(&msg, window, WM_RUNCALL, WM_RUNCALL, PM_REMOVE))
    delete reinterpret_cast<Call*>(msg.lParam);
}

void TMainThreadHost::RunCall(LPARAM call) {
  const std::unique_ptr<Call> fn(reinterpret_cast<Call*>(call));
  (*fn)();
}

void TMainThreadHost::PostToMainThread(std::function<void()> fn) {
  auto call = std::make_unique<Call>(std::move(fn));
  std::unique_lock<std::mutex> lock(m_);
  if (window_ && PostMessageW(window_, WM_RUNCALL, 0, reinterpret_cast<LPARAM>(call.get()))) {
    call.release();  // the message owns it now
    return;
  }
  lock.unlock();
  // No window to run it: freed here, on the caller's thread.
}

namespace {

DWORD WINAPI RunThreadBody(void* body) {
  const std::unique_ptr<Call> fn(static_cast<Call*>(body));
  (*fn)();
  return 0;
}

}  // namespace

pkg::Status TMainThreadHost::StartThread(std::function<void()> body) {
  auto fn = std::make_unique<Call>(std::move(body));
  const HANDLE thread = CreateThreadFn(nullptr, 0, RunThreadBody, fn.get(), 0, nullptr);
  if (!thread) return pkg::Status::Fail(pkg::win32::SystemErrorText(GetLastError()));
  fn.release();  // the thread owns it now
  CloseHandle(thread);
  return pkg::Status::Ok();
}

void TMainThreadHost::ShowProgress(const pkg::PackProgress& progress) {
  // Panel 0 changes where a step or a file begins, and nowhere else.
  if (progress.kind != pkg::PackProgress::Kind::kBegins) return;
  if (statusSink_) statusSink_(Utf8ToWide(pkg::StatusText(progress)));
}

void TMainThreadHost::PostOutcome(pkg::WindowHandle window, const pkg::PackOutcome& outcome) {
  // The results themselves wait in ElapsedSeconds, FailedSourceFile and
  // FailureDetail, where the window reads them.
  const pkg::NotifyParams params = pkg::NotifyParamsOf(outcome.result);
  PostMessageW(reinterpret_cast<HWND>(window), pkg::kWM_PACKNOTIFY, params.wParam, params.lParam);
}

}  // namespace pkgui
