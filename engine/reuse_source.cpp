#include "reuse_source.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "file_stream.h"
#include "pkg_reader.h"

namespace pkg {
namespace {

// The older archive's stored bytes are read in pieces of this size.
constexpr std::size_t kPiece = 256 << 10;
// The shortest zlib stream: a 2-byte header, an empty block, the Adler-32.
constexpr std::uint32_t kMinStream = 8;

}  // namespace

std::unique_ptr<ReuseSource> ReuseSource::Open(Platform& platform, const std::string& path,
                                               std::span<const std::uint8_t> key, std::string& why,
                                               const std::atomic<bool>* stop) {
  const std::string at = "the archive at " + Quoted(path);
  if (platform.KindOf(path) != PathKind::kFile) {
    why = "there is no archive at " + Quoted(path);
    return nullptr;
  }
  std::unique_ptr<PlatformFile> file;
  if (Status s = platform.OpenForReading(path, file); !s.ok()) {
    why = at + " cannot be read: " + s.message();
    return nullptr;
  }
  std::unique_ptr<ReuseSource> source(new ReuseSource);
  source->path_ = path;
  if (Status s = file->Stamp(source->stamp_); !s.ok()) {
    (void)file->Close();
    why = at + " cannot be read: " + s.message();
    return nullptr;
  }
  if (source->stamp_.size < kHeaderSize + kTrailerFixedSize) {
    (void)file->Close();
    why = at + " is too short to be an archive";
    return nullptr;
  }
  TPlatformFileStream in(std::move(file), stop);

  // Records with a fault of their own are left out; a fault of the archive
  // as a whole leaves nothing to reuse.
  std::vector<bool> faulty;
  std::optional<std::string> problem;
  std::uint64_t nameBytes = 0;
  bool tooMany = false;
  auto& records = source->records_;
  const std::vector<std::uint8_t> keys[] = {{key.begin(), key.end()}};
  PkgArchive archive;
  Inspection inspection;
  try {
    inspection = ListArchive(
        in, keys, archive,
        [&](const ArchiveProblem& p) {
          if (p.record != ArchiveProblem::kNoRecord && p.record < faulty.size())
            faulty[p.record] = true;
          else if (!problem)
            problem = p.message;
          return true;
        },
        [&](std::size_t i, const IndexRecord& r) {
          if (archive.header.compression != 1) {
            return false;
          }
          nameBytes += r.name.size();
          if (i >= kMaxIndexRecords || nameBytes > kMaxIndexNameBytes) {
            tooMany = true;
            return false;
          }
          records.push_back(r);
          faulty.push_back(false);
          return true;
        });
  } catch (const std::bad_alloc&) {
    why = "there is no memory left to read the index of " + Quoted(path);
    return nullptr;
  }
  (void)in.Close();
  if (!inspection.trailerRead) {
    why = at + " is damaged: " + problem.value_or("it cannot be read");
    return nullptr;
  }
  if (inspection.key < 0) {
    why = at + " does not open with this key";
    return nullptr;
  }
  if (!inspection.digestMatches) {
    why = at + " is damaged: the digest of its index does not match";
    return nullptr;
  }
  if (archive.header.compression == 0) {
    why = at + " is stored without compression";
    return nullptr;
  }
  if (tooMany) {
    why = at + " holds more records than are kept for reuse";
    return nullptr;
  }
  if (!inspection.indexRead) {
    why = at + " is damaged: " + problem.value_or("its index cannot be read in full");
    return nullptr;
  }

  // Records that share bytes with another, or a name, are not reused: only
  // the record's own bytes would otherwise tell which file they belong to.
  const std::size_t n = records.size();
  std::vector<std::uint32_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
  auto end = [&](std::uint32_t i) {
    return static_cast<std::uint64_t>(records[i].offset) + records[i].storedSize;
  };
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return records[a].offset != records[b].offset ? records[a].offset < records[b].offset : a < b;
  });
  std::uint64_t reach = 0;  // the furthest end of the records so far
  std::uint32_t owner = kNone;
  for (std::uint32_t i : order) {
    // A record outside the data area, already left out, overlaps nothing.
    if (faulty[i]) continue;
    if (records[i].storedSize < kMinStream) {
      faulty[i] = true;
      continue;
    }
    if (records[i].offset < reach) {
      faulty[i] = true;
      if (owner != kNone) faulty[owner] = true;
    }
    if (end(i) > reach) {
      reach = end(i);
      owner = i;
    }
  }
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return records[a].name < records[b].name; });
  for (std::size_t k = 1; k < n; ++k) {
    if (records[order[k]].name == records[order[k - 1]].name)
      faulty[order[k]] = faulty[order[k - 1]] = true;
  }
  std::vector<IndexRecord> kept;
  kept.reserve(n);
  for (std::uint32_t i : order)
    if (!faulty[i]) kept.push_back(std::move(records[i]));
  records = std::move(kept);
  return source;
}

std::uint32_t ReuseSource::Find(std::string_view name936) const {
  const auto it = std::lower_bound(
      records_.begin(), records_.end(), name936,
      [](const IndexRecord& r, std::string_view name) { return std::string_view(r.name) < name; });
  if (it == records_.end() || it->name != name936) return kNone;
  return static_cast<std::uint32_t>(it - records_.begin());
}

ReuseReader::ReuseReader(Platform& platform, const ReuseSource& source)
    : platform_(platform), source_(source) {}

ReuseReader::~ReuseReader() {
  if (zReady_) inflateEnd(z_.get());
  Close();
}

PlatformFile* ReuseReader::Archive() {
  if (!file_ && !openFailed_) {
    if (!platform_.OpenForReading(source_.Path(), file_).ok()) {
      file_.reset();
      openFailed_ = true;
    }
  }
  return file_.get();
}

void ReuseReader::Close() {
  if (file_) (void)file_->Close();
  file_.reset();
}

bool ReuseReader::Begin(const IndexRecord& record) {
  if (!Archive()) return false;
  if (!zReady_) {
    z_ = std::make_unique<z_stream_s>();
    std::memset(z_.get(), 0, sizeof(z_stream_s));
    if (inflateInit(z_.get()) != Z_OK) return false;
    zReady_ = true;
    in_.resize(kPiece);
    out_.resize(kPiece);
  } else if (inflateReset(z_.get()) != Z_OK) {
    return false;
  }
  z_->next_in = in_.data();
  z_->avail_in = 0;
  next_ = record.offset;
  end_ = next_ + record.storedSize;
  streamEnded_ = false;
  failed_ = false;
  return true;
}

// Reads the next piece of the stored bytes; false when none is left or the
// older archive cannot be read.
bool ReuseReader::Pull() {
  if (next_ >= end_) return false;
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(in_.size(), end_ - next_));
  std::size_t got = 0, total = 0;
  if (!file_->Seek(next_).ok()) return false;
  while (total < want) {
    if (!file_->Read(in_.data() + total, want - total, got).ok() || got == 0) return false;
    total += got;
  }
  next_ += total;
  z_->next_in = in_.data();
  z_->avail_in = static_cast<uInt>(total);
  return true;
}

bool ReuseReader::Feed(std::span<const std::uint8_t> bytes) {
  while (!failed_ && !bytes.empty()) {
    if (streamEnded_) return failed_ = true, false;  // the stream gives less
    if (z_->avail_in == 0 && !Pull()) return failed_ = true, false;
    const std::size_t room = std::min(bytes.size(), out_.size());
    z_->next_out = out_.data();
    z_->avail_out = static_cast<uInt>(room);
    const int ret = inflate(z_.get(), Z_NO_FLUSH);
    const std::size_t produced = room - z_->avail_out;
    if (ret == Z_STREAM_END)
      streamEnded_ = true;
    else if (ret != Z_OK && !(ret == Z_BUF_ERROR && z_->avail_in == 0))
      return failed_ = true, false;
    if (std::memcmp(out_.data(), bytes.data(), produced) != 0) return failed_ = true, false;
    bytes = bytes.subspan(produced);
  }
  return !failed_;
}

// After the file's last byte: the stream must end here, with no stored byte
// left after it.
bool ReuseReader::End() {
  while (!failed_ && !streamEnded_) {
    if (z_->avail_in == 0 && !Pull()) return false;
    std::uint8_t extra;
    z_->next_out = &extra;
    z_->avail_out = 1;
    const int ret = inflate(z_.get(), Z_NO_FLUSH);
    if (z_->avail_out == 0) return false;  // the stream gives more than the file
    if (ret == Z_STREAM_END)
      streamEnded_ = true;
    else if (ret != Z_OK && !(ret == Z_BUF_ERROR && z_->avail_in == 0))
      return false;
  }
  return !failed_ && z_->avail_in == 0 && next_ == end_;
}

ReuseComparison ReuseReader::Compare(std::uint32_t r, PlatformFile& source,
                                     std::span<std::uint8_t> buffer, bool sizeIsEnd,
                                     const std::function<void()>& checkStop) {
  const IndexRecord& record = source_.Record(r);
  auto read = [&](std::uint8_t* into, std::size_t room) {
    checkStop();
    std::size_t got = 0;
    if (Status s = source.Read(into, room, got); !s.ok()) throw EStreamError(s.message());
    return got;
  };

  ReuseComparison c;
  bool ended = false;
  while (c.held < buffer.size()) {
    const std::size_t got = read(buffer.data() + c.held, buffer.size() - c.held);
    c.held += got;
    if (got == 0 || (sizeIsEnd && c.held == record.size && c.held < buffer.size())) {
      ended = true;
      break;
    }
  }
  if (ended) {
    c.atEnd = true;
    if (c.held != record.size || !Begin(record)) return c;
    // Most changed files show in their checksum, without inflating anything.
    std::uint8_t stored[4];
    std::size_t got = 0;
    if (!file_->Seek(end_ - 4).ok() || !file_->Read(stored, 4, got).ok() || got != 4) return c;
    const auto adler = static_cast<std::uint32_t>(adler32(1, buffer.data(), uInt(c.held)));
    if (adler != (std::uint32_t{stored[0]} << 24 | std::uint32_t{stored[1]} << 16 |
                  std::uint32_t{stored[2]} << 8 | stored[3]))
      return c;
    c.same = Feed(buffer.first(c.held)) && End();
    return c;
  }

  // Larger than the buffer: compared as it is read, then read again from its
  // start if it differs.
  bool same = Begin(record) && Feed(buffer);
  std::uint64_t total = c.held;
  while (same) {
    const std::size_t got = read(buffer.data(), buffer.size());
    if (got == 0) break;
    total += got;
    same = Feed(buffer.first(got));
    if (sizeIsEnd && total == record.size && got < buffer.size()) break;
  }
  if (same && total == record.size && End()) {
    c.same = true;
    return c;
  }
  if (Status s = source.Seek(0); !s.ok()) throw EStreamError(s.message());
  c.held = 0;
  return c;
}

}  // namespace pkg
