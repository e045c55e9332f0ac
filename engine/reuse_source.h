// Reuse of an older archive's compressed bytes: a repack copies the stored
// stream of every file whose content the older archive already holds, instead
// of compressing the file again.
//
// Nothing in the older archive is trusted. Its index is read by the archive
// reader, with its limits; a record is kept only when it lies inside the data
// area, overlaps no other record and its name appears once. A file is reused
// only when its stored bytes are one complete zlib stream, exactly of the
// stored size, that inflates to exactly the file's bytes as they are read now.
// The older archive is only ever read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pkg_index.h"
#include "platform.h"

struct z_stream_s;

namespace pkg {

// What a compressed pack took from an older archive, and what it compressed.
struct ReuseSummary {
  std::string unavailable;  // why nothing could be reused; empty when the older archive served
  std::uint64_t reusedFiles = 0, reusedBytes = 0;
  std::uint64_t compressedFiles = 0, compressedBytes = 0;
};

// The records of an older archive that may serve for reuse, found by their
// exact code page 936 names.
class ReuseSource {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // Reads the index of the archive at path with key. Returns null, and says
  // why in a few words in why, when nothing in it can be reused. Once stop
  // is set, reading ends and nothing is reused.
  static std::unique_ptr<ReuseSource> Open(Platform& platform, const std::string& path,
                                           std::span<const std::uint8_t> key, std::string& why,
                                           const std::atomic<bool>* stop = nullptr);

  // The record stored under exactly these name bytes, or kNone.
  std::uint32_t Find(std::string_view name936) const;
  const IndexRecord& Record(std::uint32_t r) const { return records_[r]; }
  std::size_t Records() const { return records_.size(); }
  const std::string& Path() const { return path_; }
  // The older archive's stamp when its index was read: its stored bytes are
  // only taken while it still has it.
  const FileStamp& Stamp() const { return stamp_; }

 private:
  ReuseSource() = default;
  std::string path_;
  FileStamp stamp_;
  std::vector<IndexRecord> records_;  // sorted by name
};

// What comparing a file with a record found.
struct ReuseComparison {
  bool same = false;
  // When not the same: the file's first bytes, read into the buffer, which
  // the caller goes on from; 0 when the source was put back to its start.
  std::size_t held = 0;
  bool atEnd = false;  // those are all of the file
};

// Compares files with the older archive's records, for one thread at a time:
// it holds its own handle on the older archive, opened at first use.
class ReuseReader {
 public:
  ReuseReader(Platform& platform, const ReuseSource& source);
  ~ReuseReader();
  ReuseReader(const ReuseReader&) = delete;
  ReuseReader& operator=(const ReuseReader&) = delete;

  // Reads source from its start and compares it with record r, through
  // buffer. The file's Adler-32, when the whole file fits the buffer, rejects
  // most changed files before anything is inflated; a match is only found
  // by inflating the whole stream. sizeIsEnd: a read that reaches the
  // record's size ends the file (its stamp is checked again before use).
  // checkStop is called before each read, to raise on a stop. A source that cannot be read raises
  // EStreamError; the older archive failing to read only means "not the same".
  ReuseComparison Compare(std::uint32_t r, PlatformFile& source, std::span<std::uint8_t> buffer,
                          bool sizeIsEnd, const std::function<void()>& checkStop);

  // The handle on the older archive, to copy the stored bytes from; null
  // when it cannot be opened.
  PlatformFile* Archive();
  // Lets go of the older archive (before it may be replaced).
  void Close();

 private:
  bool Begin(const IndexRecord& record);
  bool Feed(std::span<const std::uint8_t> bytes);
  bool End();
  bool Pull();

  Platform& platform_;
  const ReuseSource& source_;
  std::unique_ptr<PlatformFile> file_;
  bool openFailed_ = false;
  std::unique_ptr<z_stream_s> z_;
  bool zReady_ = false;
  std::vector<std::uint8_t> in_, out_;
  std::uint64_t next_ = 0, end_ = 0;  // the stored bytes not read yet
  bool streamEnded_ = false;
  bool failed_ = false;
};

}  // namespace pkg
