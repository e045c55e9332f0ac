// The archive's output file as one transaction. The output path is claimed
// (or an older archive there proven replaceable), the archive is written to a
// temporary file beside it, read back, flushed to the disk, and only then
// moved over the output path; a failure or an abort removes the temporary
// file and a claimed name, and an older archive stays as it was.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "file_stream.h"
#include "platform.h"
#include "source_scan.h"
#include "status.h"

namespace pkg {

class OutputFile {
 public:
  // stream is where the open temporary file is held (the job's FPKGStream);
  // with stop, its reads and writes end in EJobAborted once stop is set.
  OutputFile(Platform& platform, std::unique_ptr<TPlatformFileStream>& stream,
             const std::atomic<bool>* stop);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Makes sure path can take the archive, claiming the name when nothing is
  // there, then creates the temporary file beside it into the stream. On
  // failure nothing is left and the message says why; a folder at path is
  // refused. olderId is set, and haveOlderId true, when a file is at path.
  Status Begin(const std::string& path, FileIdentity& olderId, bool& haveOlderId);

  // Whether id is the temporary file's.
  bool IsTemporary(const FileIdentity& id) const { return haveTempId_ && id == tempId_; }

  // Reads back the header and the trailer from the written file and compares
  // them with what was meant: a disk or driver that lost or altered a write,
  // or a read that fails, fails with what differed and where.
  Status CheckHeaderAndTrailer(std::span<const std::uint8_t> header, std::uint32_t trailerOffset,
                               std::span<const std::uint8_t> trailer);

  // Reads the archive back through its index with key, inflating each file's
  // stored bytes when compressed, and compares them with the source files read
  // again: record i must be files[i], holding exactly the content at paths[i].
  // A source changed since it was packed fails too: the archive no longer
  // holds what is there.
  Status CompareStoredFiles(Platform& platform, std::span<const std::uint8_t> key,
                            const std::vector<SourceFile>& files,
                            const std::vector<std::string>& paths);

  // Flushes the data to the disk when sync (before it may replace anything),
  // then closes the file.
  Status Seal(bool sync);

  // Moves the sealed file over the output path; with sync, then flushes the
  // folder, so that the name survives a power cut. A failure of that last
  // step leaves the new archive in place, and says so.
  Status Commit(bool sync);

  // Closes and removes the temporary file and a claimed name; safe at any
  // point and more than once.
  void Discard();

  ~OutputFile() { Discard(); }

 private:
  Platform& platform_;
  std::unique_ptr<TPlatformFileStream>& stream_;
  const std::atomic<bool>* stop_;
  std::string path_, tempPath_;
  bool placeholderCreated_ = false;  // the name at path_ is ours
  bool haveTempId_ = false;
  FileIdentity tempId_;
};

}  // namespace pkg
