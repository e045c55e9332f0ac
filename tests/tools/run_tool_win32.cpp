#include <windows.h>

#include <stdexcept>

#include "run_tool.h"
#include "test_support.h"

namespace pkgtest {
namespace {

std::wstring Widen(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// One argument quoted the way CommandLineToArgvW reads it back.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, L'\\');
  out.push_back(L'"');
  return out;
}

HANDLE Inheritable(const fs::path& p, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE h = CreateFileW(p.wstring().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + p.string());
  return h;
}

// A Windows program's text output ends its lines with CR LF; the tests
// compare lines as on other systems.
std::string SlurpLines(const fs::path& p) {
  const Bytes b = ReadFile(p);
  std::string text;
  for (std::size_t i = 0; i < b.size(); ++i)
    if (!(b[i] == '\r' && i + 1 < b.size() && b[i + 1] == '\n'))
      text.push_back(static_cast<char>(b[i]));
  return text;
}

}  // namespace

// pkgtool.exe is built beside the test programs' folder, at the same place
// relative to them on Windows and under Wine.
std::string ToolPath() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  const fs::path dir = fs::path(std::wstring(self, n)).parent_path();
  const std::string rel = PKGTOOL_RELATIVE_PATH;
  return U8(
      (dir / fs::path(std::u8string(rel.begin(), rel.end()))).lexically_normal().make_preferred());
}

ToolRun RunTool(const std::vector<std::string>& args) {
  TempDir io;
  HANDLE in = Inheritable(io / "in", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE out = Inheritable(io / "out", GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = Inheritable(io / "err", GENERIC_WRITE, CREATE_ALWAYS);
  const std::wstring exe = Widen(ToolPath());
  std::wstring cmd = Quote(exe);
  for (const std::string& a : args) cmd += L" " + Quote(Widen(a));

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  ToolRun r;
  if (CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                     nullptr, &si, &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    r.exitCode = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  r.out = SlurpLines(io / "out");
  r.err = SlurpLines(io / "err");
  return r;
}

}  // namespace pkgtest
