#include "win32_text.h"

#include <windows.h>

#include <cstdio>

namespace pkg::win32 {

std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

std::string WideToUtf8(std::wstring_view w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
  return s;
}

std::wstring LongPath(const std::string& path) {
  const std::wstring w = Utf8ToWide(path);
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

std::string SystemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring w = n && text ? std::wstring(text, n) : std::wstring();
  if (text) LocalFree(text);
  while (!w.empty() &&
         (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' ' || w.back() == L'.'))
    w.pop_back();
  if (w.empty()) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "system error %lu", code);
    return buf;
  }
  return WideToUtf8(w);
}

}  // namespace pkg::win32
