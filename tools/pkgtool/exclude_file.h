// --exclude-from FILE: exclusion entries taken from a text file line by line,
// the way the window takes them from its exclusion memo.
#pragma once

#include <string>
#include <vector>

#include "platform.h"
#include "status.h"

namespace pkgtool {

// The entries of a UTF-8 text file, one per line as pkg::ExclusionLines
// takes them (a byte order mark at its start is skipped). Fails, saying
// where, when the file cannot be read or is not UTF-8 text.
pkg::Status ReadExcludeFile(pkg::Platform& platform, const std::string& path,
                            std::vector<std::string>& entries);

}  // namespace pkgtool
