// Shared helpers for tests that touch the disk or run a job: a fresh folder
// per test, file helpers, and running a job to its end on a QueueHost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform.h"
#include "queue_host.h"
#include "uPKGPackWorker.h"

namespace pkgtest {

namespace fs = std::filesystem;

// A new empty folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // rel is UTF-8 with "/" between names; the result uses the system's separator.
  fs::path operator/(const std::string& rel) const {
    return (path_ / fs::u8path(rel)).make_preferred();
  }

 private:
  fs::path path_;
};

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& s);
// A path as the engine takes it: UTF-8 text, whatever the system's code page.
std::string U8(const fs::path& p);
// Creates the folders on the way.
void WriteFile(const fs::path& path, const Bytes& content);
void WriteFile(const fs::path& path, const std::string& content);
Bytes ReadFile(const fs::path& path);
// Names of the entries in a folder (not recursive), sorted.
std::vector<std::string> ListNames(const fs::path& dir);
Bytes Deterministic(std::size_t size, std::uint32_t seed, bool compressible);

struct JobSettings {
  std::string source;
  std::string output;
  bool compress = false;
  std::int32_t type = 1;
  std::vector<std::uint8_t> key{0x3D, 0x91, 0xC4, 0x58, 0xE2, 0x07, 0xAF, 0x6B};
  std::vector<std::string> excludes;
  unsigned threads = 0;    // 0: the job's default, one per core
  std::size_t budget = 0;  // 0: the job's default
  bool sync = true;        // flush to the disk before the move
  bool verify = false;     // compare every file's stored bytes before the move
  std::uint64_t progressBytes = 0;
  bool reuse = true;           // take unchanged files' streams from an older archive
  std::string reuseFrom = {};  // empty: the archive at output
};

struct JobRun {
  pkg::PackNotification notification;
  std::vector<std::string> texts;         // every status text, in order
  std::vector<pkg::PackProgress> events;  // every progress event, in order
};

// Fills a job from settings; does not start it.
std::shared_ptr<pkg::PKGPackWorker> MakeJob(pkg::QueueHost& host, const JobSettings& s,
                                            pkg::Platform& platform = pkg::SystemPlatform());
// Runs a job to its notification, pumping the host on this thread.
JobRun RunJob(const JobSettings& s, pkg::Platform& platform = pkg::SystemPlatform());

#ifndef _WIN32
// A chain of folders below parent whose deepest one, holding one file, has a
// full path longer than PATH_MAX: the system refuses to list it by its path,
// whoever asks, root included. Removed when the object goes, level by level,
// since no call takes its full path.
class FolderPastPathMax {
 public:
  explicit FolderPastPathMax(const fs::path& parent);
  ~FolderPastPathMax();
  FolderPastPathMax(const FolderPastPathMax&) = delete;
  FolderPastPathMax& operator=(const FolderPastPathMax&) = delete;
  const std::string& path() const { return path_; }  // the deepest folder's full path

 private:
  fs::path parent_;
  int levels_ = 0;
  std::string path_;
};
#endif

}  // namespace pkgtest
