// --exclude-from FILE: exclusion entries taken from a text file line by line,
// the way the window takes them from its exclusion memo.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform.h"
#include "status.h"

namespace pkgtool {

// A line is the text between two line breaks, or between a line break and the
// start or end of the text, taken verbatim, blanks included; an empty line in
// the middle gives an empty entry. The last line counts only when it is not
// empty. A line break is LF or CR LF.
std::vector<std::string> MemoLines(std::string_view text);

// The entries of a UTF-8 text file (a byte order mark at its start is
// skipped). Fails, saying where, when the file cannot be read or is not
// UTF-8 text.
pkg::Status ReadExcludeFile(pkg::Platform& platform, const std::string& path,
                            std::vector<std::string>& entries);

}  // namespace pkgtool
