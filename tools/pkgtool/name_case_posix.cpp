// File names on POSIX systems compare byte for byte: letter case counts.
#include "archive_names.h"

namespace pkgtool {

std::string FileSystemNameKey(std::string_view utf8) {
  return std::string(utf8);
}

}  // namespace pkgtool
