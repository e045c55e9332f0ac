// The file-system calls extraction makes beyond the engine's platform layer.
// Everything below DEST is reached from a folder already opened and checked,
// one name at a time and never through a link, so nothing swapped in on the
// way (a folder replaced by a link at any moment) can lead a file elsewhere.
// Tests wrap ExtractFs to act between the steps and to count them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform.h"
#include "status.h"

namespace pkgtool {

enum class EntryKind {
  kMissing,
  kFile,
  kDirectory,
  kOther,  // a link, junction, device or anything else extraction must not write through
};

// A folder held open; what lies below it is reached from it.
class Folder {
 public:
  virtual ~Folder() = default;
  virtual pkg::FileIdentity identity() const = 0;
};

// A new file being written under a temporary name in its folder, which must
// stay open until the file is published or gone. Dropped unpublished, it is
// removed.
class NewFile {
 public:
  virtual ~NewFile() = default;
  virtual pkg::Status Write(const void* data, std::size_t size) = 0;
  virtual pkg::FileIdentity identity() const = 0;
  // Writes the file's data through to the disk (fdatasync; FlushFileBuffers).
  virtual pkg::Status Sync() = 0;
  // Gives the file its name in its folder in one step: without replacing
  // anything that is there, unless replace (a link there is replaced, never
  // followed).
  virtual pkg::Status Publish(const std::string& name, bool replace) = 0;
};

// Names are single UTF-8 folder or file names, checked beforehand; a failed
// call's message gives the system's reason, the caller says what and where.
class ExtractFs {
 public:
  virtual ~ExtractFs() = default;
  // DEST by its full path, made with its parents when create and missing. A
  // link as DEST itself is followed: the user named it.
  virtual pkg::Status OpenRoot(const std::string& path, bool create,
                               std::unique_ptr<Folder>& out) = 0;
  // What name is in parent; a link is kOther, not followed.
  virtual EntryKind KindAt(Folder& parent, const std::string& name) = 0;
  // The identity of what name is in parent, links not followed.
  virtual pkg::Status IdentityAt(Folder& parent, const std::string& name,
                                 pkg::FileIdentity& id) = 0;
  // Opens the folder name in parent; a link or anything else but a folder is
  // refused.
  virtual pkg::Status OpenFolder(Folder& parent, const std::string& name,
                                 std::unique_ptr<Folder>& out) = 0;
  // Creates the folder name in parent; fails when anything is there.
  virtual pkg::Status MakeFolder(Folder& parent, const std::string& name) = 0;
  // Writes the names in folder through to the disk, so that files published
  // or folders made there keep them after a power cut. On Windows, where a
  // folder held for reading cannot be flushed, it does nothing.
  virtual pkg::Status SyncFolder(Folder& folder) = 0;
  // A new file in parent under a fresh temporary name.
  virtual pkg::Status CreateTempFile(Folder& parent, std::unique_ptr<NewFile>& out) = 0;
  // How many folders deep a path may go: each level is held open while files
  // are written below it.
  virtual std::size_t MaxDepth() = 0;
};

ExtractFs& SystemExtractFs();

// The full path of path, from the current folder (on Windows, of its drive:
// "Z:" is the current folder of drive Z), taken once so that what is checked
// is what is written. Links are not resolved.
pkg::Status FullPath(const std::string& path, std::string& full);

}  // namespace pkgtool
