// Text and paths at the Win32 boundary, shared by the platform layer and the
// console tools: UTF-8 inside, UTF-16 at the system calls.
#pragma once

#include <string>
#include <string_view>

namespace pkg::win32 {

std::wstring Utf8ToWide(std::string_view utf8);
// An unpaired surrogate becomes U+FFFD, which has no code page 936 form, so a
// name holding one is refused rather than stored wrongly.
std::string WideToUtf8(std::wstring_view wide);
// The form every file call takes: a full path with the \\?\ prefix, so paths
// past MAX_PATH work, after the system has resolved relative parts, forward
// slashes and doubled backslashes the way the plain API would.
std::wstring LongPath(const std::string& path);
// The system's own words for an error code, without the closing full stop.
std::string SystemErrorText(unsigned long code);

}  // namespace pkg::win32
