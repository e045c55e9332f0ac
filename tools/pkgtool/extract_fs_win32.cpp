#include <windows.h>

#include "extract_fs.h"

namespace pkgtool {
namespace {

std::wstring Widen(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// A full path with the long-path prefix, as the engine's platform layer
// makes them, so deep trees work past 260 characters.
std::wstring SystemPath(const std::string& path) {
  const std::wstring w = Widen(path);
  if (w.empty()) return w;
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
  full.resize(n);
  if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

pkg::Status LastError(const std::string& what) {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring w = text ? text : L"";
  if (text) LocalFree(text);
  while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ')) w.pop_back();
  std::string reason;
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  reason.assign(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), reason.data(), n, nullptr,
                        nullptr);
  if (reason.empty()) reason = "system error " + std::to_string(code);
  return pkg::Status::Fail(what + ": " + reason);
}

}  // namespace

EntryKind KindOf(const std::string& path) {
  const DWORD a = GetFileAttributesW(SystemPath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return EntryKind::kMissing;
  // Symbolic links and junctions are reparse points.
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kOther;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kDirectory;
  if (a & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kFile;
}

pkg::Status MakeDirectory(const std::string& path) {
  if (!CreateDirectoryW(SystemPath(path).c_str(), nullptr))
    return LastError("cannot create the folder '" + path + "'");
  return pkg::Status::Ok();
}

pkg::Status MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (!MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), MOVEFILE_WRITE_THROUGH))
    return LastError("cannot move the new file to '" + to + "'");
  return pkg::Status::Ok();
}

}  // namespace pkgtool
