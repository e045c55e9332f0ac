// The source tree scan: every file below a folder, breadth first, as relative
// paths in the archive's form ("\maps\town.dat").
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"

namespace pkg {

struct SourceFile {
  std::string relative;  // UTF-8, backslashes, starts with a backslash
  std::string name936;   // the same path in code page 936 bytes, as the index stores it
  // False when the name has no exact code page 936 form (or holds a backslash,
  // which the index would read as a folder separator); such a file cannot be
  // packed under its own name.
  bool expressible = true;
};

// Appends every file found below sourceDirectory: first the files of the folder
// itself in the order the system lists them, then those of each subfolder in
// the order the subfolders were met, level by level. A folder that cannot be
// listed contributes nothing; each folder is listed at most once, so links
// leading back to an ancestor cannot make the scan endless. Returns early,
// with a partial list, once stop is set. After each folder's files are
// appended, folderListed is called with the list's size before them; it may remove
// or change the files from there on.
void BuildFileList(Platform& platform, const std::string& sourceDirectory,
                   std::vector<SourceFile>& fileList, const std::atomic<bool>* stop = nullptr,
                   const std::function<void(std::size_t from)>& folderListed = nullptr);

}  // namespace pkg
