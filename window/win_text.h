// Text conversions at the window's edge: controls speak UTF-16, the engine
// UTF-8, the settings file code page 936 whatever the system's ANSI code page.
#pragma once

#include <string>
#include <string_view>

namespace pkgui {

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
// A character that code page 936 lacks becomes "?", as the system's ANSI
// profile functions would store it on a Chinese system.
std::string WideToCp936(std::wstring_view wide);
std::wstring Cp936ToWide(std::string_view cp936);

}  // namespace pkgui
