// Extraction of an archive below a folder, apart from its command line, so
// that the tests and the fuzzer run it with their own file-system layer and
// their own output.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "extract_fs.h"
#include "key_options.h"
#include "platform.h"

namespace pkgtool {

struct ExtractRequest {
  std::string archive;
  std::string dest;  // a full path (FullPath)
  KeyChoice key;
  std::vector<std::string> only;  // as the archive names them: "\data", "\data\a.bin"
  bool force = false;
  // Each file's data reaches the disk before it takes its name, and each
  // folder's names after (POSIX).
  bool sync = true;
};

// Takes each line extraction prints: files written and the summary on
// stdout, problems on stderr.
using LineSink = std::function<void(std::FILE* stream, const std::string& line)>;

// Returns the exit code (exit_codes.h). Polls InterruptRequested() between
// pieces of data.
int ExtractArchive(pkg::Platform& platform, ExtractFs& fs, const ExtractRequest& request,
                   const LineSink& print);

}  // namespace pkgtool
