// A pack job's input and result as values: what the job is asked to do, and
// how it ended. The window's names for them (PKGPackWorker's F fields,
// ElapsedSeconds, FailedSourceFile, WM_PACKNOTIFY) are made from these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pkg {

struct PackRequest {
  std::string sourceDirectory;  // as the user gave it, not normalised
  std::string outputPath;
  std::int32_t type = 1;
  bool compress = false;
  std::vector<std::uint8_t> key;  // the index key; at least one byte
  // Relative paths ("\data\a.bin") of files left out, letter case ignored.
  std::vector<std::string> exclude;
  // Threads that read and compress; 0: one per core. With 1 the job's own
  // thread does everything.
  unsigned threads = 0;
  // Bytes of packed data that may wait in memory for their turn to be written.
  std::size_t memoryBudget = 64 << 20;
  // 0: progress comes only where a status text is shown (each step, each
  // file). Otherwise the job also gives the totals after its scan, measuring
  // every file for them, and tells each time about this many more bytes of
  // a file are stored, so that progress moves within a large file.
  std::uint64_t progressBytes = 0;
  // Flush the archive to the disk before it replaces the older one, and its
  // folder after; off only for scratch builds.
  bool sync = true;
  // Read every file's stored bytes back before the archive replaces the older
  // one, and compare them with the source files.
  bool verify = false;
  // A compressed pack copies the stored stream of each file whose content
  // the older archive holds unchanged, verified byte for byte, instead of
  // compressing it; reuseFrom names that archive (empty: the one at
  // outputPath).
  bool reuse = true;
  std::string reuseFrom;
};

// The values are those WM_PACKNOTIFY carries for a failure.
enum class PackResult : std::uintptr_t {
  kFinished = 0,
  kNoFiles = 1,
  kCreateArchive = 2,
  kOpenSource = 3,
  // Any other failure after the job started (read or write error, 4 GiB
  // limit, zlib error); the detail says what and where.
  kWrite = 4,
};

struct PackOutcome {
  PackResult result = PackResult::kFinished;
  float elapsedSeconds = 0;  // when finished
  // kOpenSource: the full path of the file that could not be opened, or of
  // the folder that could not be listed, then with a separator at its end.
  std::string failedFile;
  // What failed and why: shown to the user for kWrite; the system's reason
  // for kCreateArchive and kOpenSource.
  std::string detail;
  // When finished: the exclusion entries that left out no file, in the order
  // given, each once (empty entries never name a file and are not listed).
  std::vector<std::string> unmatchedExclusions;
};

}  // namespace pkg
