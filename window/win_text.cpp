#include "win_text.h"

#include <windows.h>

namespace pkgui {
namespace {

constexpr UINT kCodePage936 = 936;

std::wstring ToWide(UINT codePage, std::string_view s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string FromWide(UINT codePage, std::wstring_view w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  return ToWide(CP_UTF8, utf8);
}
std::string WideToUtf8(std::wstring_view wide) {
  return FromWide(CP_UTF8, wide);
}
std::string WideToCp936(std::wstring_view wide) {
  return FromWide(kCodePage936, wide);
}
std::wstring Cp936ToWide(std::string_view cp936) {
  return ToWide(kCodePage936, cp936);
}

}  // namespace pkgui
