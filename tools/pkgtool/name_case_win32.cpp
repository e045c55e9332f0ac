// File names on Windows compare without regard to letter case, by the
// system's own upper-case table, whatever the user's language.
#include <windows.h>

#include "archive_names.h"
#include "win32_text.h"

namespace pkgtool {

std::string FileSystemNameKey(std::string_view utf8) {
  const std::wstring wide = pkg::win32::Utf8ToWide(utf8);
  if (wide.empty()) return std::string(utf8);
  std::wstring upper(wide.size(), L'\0');
  const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(),
                              static_cast<int>(wide.size()), upper.data(),
                              static_cast<int>(upper.size()), nullptr, nullptr, 0);
  if (n <= 0) return std::string(utf8);
  upper.resize(static_cast<std::size_t>(n));
  return pkg::win32::WideToUtf8(upper);
}

}  // namespace pkgtool
