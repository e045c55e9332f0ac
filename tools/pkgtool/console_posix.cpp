#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "archive_names.h"
#include "console.h"

namespace pkgtool {
namespace {
volatile sig_atomic_t interrupted = 0;
void OnInterrupt(int) {
  interrupted = 1;
}
}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void PrintLine(std::FILE* stream, const std::string& utf8) {
  const std::string shown = DisplayText(utf8);
  std::fwrite(shown.data(), 1, shown.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

void PrintInPlace(std::FILE* stream, const std::string& utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fflush(stream);
}

bool IsTerminal(std::FILE* stream) {
  return isatty(fileno(stream)) != 0;
}

int TerminalColumns(std::FILE* stream) {
  winsize ws{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void CatchInterrupt() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool InterruptRequested() {
  return interrupted != 0;
}

}  // namespace pkgtool
