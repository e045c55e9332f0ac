// The source tree scan: every file below a folder, breadth first, as relative
// paths in the archive's form ("\maps\town.dat").
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"
#include "status.h"

namespace pkg {

// Why a file cannot be packed under its own name.
enum class NameProblem {
  kNone,
  // No exact code page 936 form, or a backslash inside a name, which the index
  // would read as a folder separator.
  kNotCodePage936,
  // A byte below 0x20 or 0x7F: a line break or an escape sequence, which no
  // archive name may hold, and which extraction refuses.
  kControlCharacter,
};

// Why a file whose name has a problem (not kNone) cannot be packed, in the
// words of the message that names it; full is its path, control characters
// and all.
std::string NameRefusal(const std::string& full, NameProblem problem);

struct SourceFile {
  std::string relative;  // UTF-8, backslashes, starts with a backslash
  std::string name936;   // the same path in code page 936 bytes, as the index stores it
  NameProblem nameProblem = NameProblem::kNone;  // when not kNone, name936 is not set
};

struct ScanResult {
  // Failed when a folder could not be listed, or not in full.
  Status status;
  std::string failedFolder;  // that folder's path, as the scan asked for it
};

// Appends every file found below sourceDirectory: first the files of the folder
// itself in the order the system lists them, then those of each subfolder in
// the order the subfolders were met, level by level. Each folder is listed at
// most once, so links leading back to an ancestor cannot make the scan
// endless.
//
// A folder that cannot be listed, or whose listing breaks off, ends the scan
// with a failure naming it: a list without its files would be packed as if it
// were complete. Only a folder that is no longer there (removed since its
// parent was listed, or a source folder that does not exist) counts as empty.
//
// Returns early, with a partial list, once stop is set. After each folder's
// files are appended, folderListed is called with the list's size before them;
// it may remove or change the files from there on.
[[nodiscard]] ScanResult BuildFileList(
    Platform& platform, const std::string& sourceDirectory, std::vector<SourceFile>& fileList,
    const std::atomic<bool>* stop = nullptr,
    const std::function<void(std::size_t from)>& folderListed = nullptr);

}  // namespace pkg
