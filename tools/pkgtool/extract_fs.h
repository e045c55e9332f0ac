// The few file-system calls extraction needs beyond the engine's platform
// layer: what a path is without following links, making one folder, and
// moving a finished file into place without replacing anything.
#pragma once

#include <string>

#include "status.h"

namespace pkgtool {

enum class EntryKind {
  kMissing,
  kFile,
  kDirectory,
  kOther,  // a link, junction, device or anything else extraction must not write through
};

// Paths are UTF-8. Links are not followed: a link to a folder is kOther.
EntryKind KindOf(const std::string& path);

// Creates one folder; its parent must exist. Fails when anything is at path.
pkg::Status MakeDirectory(const std::string& path);

// Renames from to to in one step, failing if anything is at to already, so a
// file that appears meanwhile is never replaced.
pkg::Status MoveWithoutReplacing(const std::string& from, const std::string& to);

}  // namespace pkgtool
