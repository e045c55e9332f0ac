// The operating-system services the engine needs, behind one interface with a
// POSIX and a Win32 implementation. Paths and names are UTF-8 text here; each
// implementation converts at its own system calls. Tests wrap the interface to
// inject faults.
#pragma once

#include <algorithm>
#include <cassert>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"

namespace pkg {

// Identity of a file or directory on its volume; equal identities mean the same
// object, whatever path or link led to it.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  // The high half of a 128-bit file number, where the volume gives one (ReFS
  // repeats 64-bit ones); 0 elsewhere.
  std::uint64_t indexHigh = 0;
  bool operator==(const FileIdentity&) const = default;
  auto operator<=>(const FileIdentity&) const = default;
};

// What shows that a file changed: equal stamps taken at two moments mean the
// same file with the same content, as far as the system records writes.
struct FileStamp {
  FileIdentity id;
  std::uint64_t size = 0;
  std::int64_t changed = 0;  // time of the last change, in the system's own units
  bool operator==(const FileStamp&) const = default;
};

class PlatformFile {
 public:
  virtual ~PlatformFile() = default;
  // Reads up to count bytes into buffer; got is 0 at the end of the file.
  virtual Status Read(void* buffer, std::size_t count, std::size_t& got) = 0;
  virtual Status Write(const void* buffer, std::size_t count) = 0;
  virtual Status Seek(std::uint64_t position) = 0;
  virtual Status Size(std::uint64_t& size) = 0;
  virtual Status Identity(FileIdentity& id) = 0;
  // The open file's identity, size and last change, as StampOf gives them
  // for its path. Meant to be asked before the first read: a file opened for
  // reading may answer with what it learned when it was opened.
  virtual Status Stamp(FileStamp& stamp) = 0;
  // Writes the file's data through the system's cache to the disk, so that it
  // survives a power cut (fdatasync; FlushFileBuffers).
  virtual Status Sync() = 0;
  // Releases the file; later calls fail. Reports a deferred write error.
  virtual Status Close() = 0;
};

enum class PathKind { kMissing, kFile, kDirectory };

struct DirEntry {
  std::string name;  // as the system gives it, UTF-8
  bool isDirectory = false;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // A new file for reading and writing that no other opener may use while it is
  // open; fails if the path exists.
  virtual Status CreateNewFile(const std::string& path, std::unique_ptr<PlatformFile>& file) = 0;
  // An existing file opened for writing without changing it, to learn whether
  // it may be replaced (access, another program holding it). A read-only file
  // is refused on every system, even where the user could write it anyway.
  virtual Status OpenExistingForWriting(const std::string& path,
                                        std::unique_ptr<PlatformFile>& file) = 0;
  // A regular file opened for reading while others may read and write it.
  virtual Status OpenForReading(const std::string& path, std::unique_ptr<PlatformFile>& file) = 0;
  virtual Status RemoveFile(const std::string& path) = 0;
  // Moves from over to, replacing a file at to in one step.
  virtual Status MoveFileOver(const std::string& from, const std::string& to) = 0;
  // Writes the folder holding path through to the disk, so that a file moved
  // or created there keeps its name after a power cut. On Windows the move
  // itself is written through (MOVEFILE_WRITE_THROUGH), and this does nothing.
  virtual Status SyncFolderOf(const std::string& path) = 0;
  // Copies up to count bytes from the current position of from to the current
  // position of to, moving both on: inside the kernel where the system can,
  // else through scratch. copied is 0 at the end of from.
  virtual Status CopyData(PlatformFile& from, PlatformFile& to, std::size_t count,
                          std::span<std::uint8_t> scratch, std::size_t& copied) = 0;

  // Every entry of a directory except "." and "..", hidden and system ones
  // included; links are followed to decide whether an entry is a directory.
  // Fails when the directory cannot be listed or its listing breaks off; what
  // entries holds then is no listing. missing tells that there was nothing to
  // list: the directory was not there when the listing began (removed since
  // its parent was listed, say), unlike one that is there but cannot be read.
  virtual Status ListDirectory(const std::string& path, std::vector<DirEntry>& entries,
                               bool& missing) = 0;
  virtual PathKind KindOf(const std::string& path) = 0;
  // The identity of the directory or file a path leads to (links followed).
  virtual Status IdentityOf(const std::string& path, FileIdentity& id) = 0;
  // The stamp of the file a path leads to (links followed).
  virtual Status StampOf(const std::string& path, FileStamp& stamp) = 0;

  // The full path of a file below dir, given its relative path in the archive's
  // form ("\sub\name.ext"). dir is used as given, trailing separator or not.
  virtual std::string JoinRelative(const std::string& dir, const std::string& relative) = 0;
  // A path in the same folder as path, for a file that will replace it.
  virtual std::string SiblingTempPath(const std::string& path) = 0;

  // UTF-8 to code page 936; false when a character has no code page 936 form.
  virtual bool ToCodePage936(std::string_view utf8, std::string& cp936) = 0;
  // Code page 936 to UTF-8; false on an invalid sequence.
  virtual bool FromCodePage936(std::string_view cp936, std::string& utf8) = 0;
  // Equality without regard to letter case, in the user's locale.
  virtual bool SameTextIgnoreCase(std::string_view a, std::string_view b) = 0;

  // Milliseconds, wrapping at 32 bits.
  virtual std::uint32_t TickCount() = 0;

 protected:
  // CopyData the portable way: one read into scratch, one write of what came.
  static Status CopyThroughBuffer(PlatformFile& from, PlatformFile& to, std::size_t count,
                                  std::span<std::uint8_t> scratch, std::size_t& copied) {
    assert(!scratch.empty());
    copied = 0;
    std::size_t got = 0;
    if (Status s = from.Read(scratch.data(), std::min(count, scratch.size()), got); !s.ok())
      return s;
    if (got == 0) return Status::Ok();
    if (Status s = to.Write(scratch.data(), got); !s.ok()) return s;
    copied = got;
    return Status::Ok();
  }
};

// The implementation for the system the program was built for.
Platform& SystemPlatform();

}  // namespace pkg
