// The Windows console: arguments from the wide command line, Unicode text to
// a console window and UTF-8 to a pipe or file, Ctrl-C as a polled request.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <atomic>

#include "archive_names.h"
#include "console.h"
#include "win32_text.h"

namespace pkgtool {
namespace {

std::atomic<bool> interrupted{false};

BOOL WINAPI OnControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    interrupted = true;
    return TRUE;
  }
  return FALSE;
}

HANDLE HandleOf(std::FILE* stream) {
  return GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
}

// A console takes UTF-16 through WriteConsoleW; a pipe or file gets the
// UTF-8 bytes.
void Write(std::FILE* stream, const std::string& text) {
  HANDLE h = HandleOf(stream);
  DWORD mode = 0;
  if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
    std::fflush(stream);
    const std::wstring w = pkg::win32::Utf8ToWide(text);
    DWORD written = 0;
    WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

std::vector<std::string> Utf8Arguments(int, char**) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(pkg::win32::WideToUtf8(argv[i]));
  LocalFree(argv);
  return args;
}

void PrintLine(std::FILE* stream, const std::string& utf8) {
  Write(stream, DisplayText(utf8) + "\n");
}

void PrintInPlace(std::FILE* stream, const std::string& utf8) {
  Write(stream, utf8);
}

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  HANDLE h = HandleOf(stream);
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

int TerminalColumns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(HandleOf(stream), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

void CatchInterrupt() {
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool InterruptRequested() {
  return interrupted.load();
}

}  // namespace pkgtool
