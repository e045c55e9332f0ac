#include "output_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pkg_format.h"
#include "pkg_reader.h"

namespace pkg {
namespace {

// A stretch of the archive's layout, from byte `at` of its part on.
struct Field {
  std::size_t at;
  const char* name;
};

constexpr Field kHeaderFields[] = {
    {kHeaderMagicOffset, "the header's magic"},
    {kHeaderTypeOffset, "the header's archive type"},
    {kHeaderCompressionOffset, "the header's compression flag"},
    {kHeaderTrailerOffsetOffset, "the header's trailer offset"},
    {kHeaderConstantOffset, "the header's constant"},
};

constexpr Field kTrailerFields[] = {
    {kTrailerIndexSizeOffset, "the trailer's index size"},
    {kTrailerDigestOffset, "the trailer's digest"},
    {kTrailerIndexOffset, "the scrambled index"},
};

const char* FieldAt(std::span<const Field> fields, std::size_t at) {
  const char* name = fields.front().name;
  for (const Field& f : fields)
    if (f.at <= at) name = f.name;
  return name;
}

std::string Hex(std::uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", b);
  return text;
}

// Reads exactly count bytes from the stream's position; false at an early end.
bool ReadFull(TStream& in, std::uint8_t* out, std::size_t count) {
  while (count > 0) {
    const std::size_t got = in.Read(out, count);
    if (got == 0) return false;
    out += got;
    count -= got;
  }
  return true;
}

}  // namespace

OutputFile::OutputFile(Platform& platform, std::unique_ptr<TPlatformFileStream>& stream,
                       const std::atomic<bool>* stop)
    : platform_(platform), stream_(stream), stop_(stop) {}

Status OutputFile::Begin(const std::string& path, FileIdentity& olderId, bool& haveOlderId) {
  path_ = path;
  std::unique_ptr<PlatformFile> probe;
  switch (platform_.KindOf(path)) {
    case PathKind::kDirectory:
      return Status::Fail("cannot create " + Quoted(path) + ": it is a folder");
    case PathKind::kFile:
      // The old archive stays until the new one is complete; this only proves
      // it may be replaced, and learns its identity in case it lies inside the
      // source tree.
      if (Status s = platform_.OpenExistingForWriting(path, probe); !s.ok()) return s;
      haveOlderId = probe->Identity(olderId).ok();
      break;
    case PathKind::kMissing:
      // Claim the name now, so that a name the system refuses fails here.
      if (Status s = platform_.CreateNewFile(path, probe); !s.ok()) return s;
      placeholderCreated_ = true;
      break;
  }
  (void)probe->Close();
  probe.reset();

  std::unique_ptr<PlatformFile> file;
  tempPath_ = platform_.SiblingTempPath(path);
  if (Status s = platform_.CreateNewFile(tempPath_, file); !s.ok()) {
    tempPath_.clear();
    Discard();
    return s;
  }
  haveTempId_ = file->Identity(tempId_).ok();
  stream_ = std::make_unique<TPlatformFileStream>(std::move(file), stop_);
  return Status::Ok();
}

Status OutputFile::CheckHeaderAndTrailer(std::span<const std::uint8_t> header,
                                         std::uint32_t trailerOffset,
                                         std::span<const std::uint8_t> trailer) {
  const std::string where = "the archive read back from " + Quoted(tempPath_);
  const std::uint64_t length = std::uint64_t{trailerOffset} + trailer.size();
  try {
    std::uint64_t size = 0;
    if (Status s = stream_->File().Size(size); !s.ok())
      return Status::Fail("cannot read back the archive: " + s.message());
    if (size != length)
      return Status::Fail(where + " is " + std::to_string(size) + " bytes long where " +
                          std::to_string(length) + " were written; the disk lost a write");
    const struct {
      std::uint64_t offset;
      std::span<const std::uint8_t> meant;
      std::span<const Field> fields;
    } parts[] = {{0, header, kHeaderFields}, {trailerOffset, trailer, kTrailerFields}};
    std::vector<std::uint8_t> read;
    for (const auto& part : parts) {
      read.resize(part.meant.size());
      stream_->Seek(static_cast<std::int64_t>(part.offset), TSeekOrigin::soBeginning);
      if (!ReadFull(*stream_, read.data(), read.size()))
        return Status::Fail(where + " ends before byte " +
                            std::to_string(part.offset + read.size()));
      const auto diff = std::mismatch(read.begin(), read.end(), part.meant.begin());
      if (diff.first == read.end()) continue;
      const std::size_t at = static_cast<std::size_t>(diff.first - read.begin());
      return Status::Fail(where + " differs from what was written: byte " +
                          std::to_string(part.offset + at) + ", in " + FieldAt(part.fields, at) +
                          ", reads " + Hex(*diff.first) + " where " + Hex(*diff.second) +
                          " was written; the disk lost or altered a write");
    }
  } catch (const EStreamError& e) {
    return Status::Fail("cannot read back the archive: " + std::string(e.what()));
  }
  return Status::Ok();
}

Status OutputFile::CompareStoredFiles(Platform& platform, std::span<const std::uint8_t> key,
                                      const std::vector<SourceFile>& files,
                                      const std::vector<std::string>& paths) {
  const std::string where = "the archive read back from " + Quoted(tempPath_);
  TStream& in = *stream_;
  try {
    const std::vector<std::vector<std::uint8_t>> keys{{key.begin(), key.end()}};
    PkgArchive archive;
    std::vector<IndexRecord> records;
    std::string problem;
    const Inspection read = ListArchive(
        in, keys, archive,
        [&](const ArchiveProblem& p) {
          problem = p.message;
          return false;
        },
        [&](std::size_t, const IndexRecord& r) {
          records.push_back(r);
          return true;
        });
    if (!problem.empty()) return Status::Fail(where + ": " + problem);
    if (!read.indexRead || !read.digestMatches)
      return Status::Fail(where + ": its index cannot be read with the key it was sealed with");
    if (records.size() != files.size())
      return Status::Fail(where + " holds " + std::to_string(records.size()) + " records where " +
                          std::to_string(files.size()) + " files were stored");

    std::vector<std::uint8_t> source;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const IndexRecord& r = records[i];
      const std::string& path = paths[i];
      const std::string record = "index record " + std::to_string(i + 1);
      if (r.name != files[i].name936)
        return Status::Fail(where + ": " + record + " does not name " + Quoted(files[i].relative));
      std::unique_ptr<PlatformFile> file;
      if (Status s = platform.OpenForReading(path, file); !s.ok())
        return Status::Fail("cannot compare " + Quoted(path) +
                            " with its stored bytes: " + s.message());
      std::uint64_t at = 0;  // bytes of the file compared so far
      const auto differs = [&](std::uint64_t byte) {
        return Status::Fail(where + ": the bytes stored for " + Quoted(path) + " (" + record +
                            ") differ from the file at byte " + std::to_string(byte) +
                            " (or the file changed since it was packed)");
      };
      const Status s = StreamRecordData(in, archive, r, [&](std::span<const std::uint8_t> piece) {
        source.resize(piece.size());
        std::size_t have = 0;
        while (have < piece.size()) {
          std::size_t got = 0;
          if (Status rs = file->Read(source.data() + have, piece.size() - have, got); !rs.ok())
            return Status::Fail("cannot compare " + Quoted(path) +
                                " with its stored bytes: " + rs.message());
          if (got == 0) return differs(at + have);  // the file is shorter
          have += got;
        }
        const auto diff = std::mismatch(piece.begin(), piece.end(), source.begin());
        if (diff.first != piece.end())
          return differs(at + static_cast<std::uint64_t>(diff.first - piece.begin()));
        at += piece.size();
        return Status::Ok();
      });
      if (!s.ok()) {
        // A failure of the comparison says so itself; one of the archive's
        // data is put after what it concerns.
        if (s.message().starts_with(where) || s.message().starts_with("cannot compare")) return s;
        return Status::Fail(where + ", the bytes stored for " + Quoted(path) + " (" + record +
                            "): " + s.message());
      }
      std::uint8_t more = 0;
      std::size_t got = 0;
      if (Status rs = file->Read(&more, 1, got); !rs.ok())
        return Status::Fail("cannot compare " + Quoted(path) +
                            " with its stored bytes: " + rs.message());
      if (got != 0) return differs(at);  // the file is longer
      (void)file->Close();
    }
  } catch (const EStreamError& e) {
    return Status::Fail("cannot read back the archive: " + std::string(e.what()));
  }
  return Status::Ok();
}

Status OutputFile::Seal(bool sync) {
  if (sync) {
    if (Status s = stream_->File().Sync(); !s.ok()) return s;
  }
  const Status s = stream_->Close();
  stream_.reset();
  return s;
}

Status OutputFile::Commit(bool sync) {
  // Our own empty file goes first: a rename over an existing file makes
  // some file systems (ext4) write the new one out at once, which for a
  // large archive costs a third of a second per gigabyte. An older archive
  // keeps that protection.
  if (placeholderCreated_ && platform_.RemoveFile(path_).ok()) placeholderCreated_ = false;
  if (Status s = platform_.MoveFileOver(tempPath_, path_); !s.ok()) return s;
  tempPath_.clear();
  placeholderCreated_ = false;
  if (sync) {
    if (Status s = platform_.SyncFolderOf(path_); !s.ok())
      return Status::Fail("the new archive replaced " + Quoted(path_) +
                          ", but its name may not survive a power cut: " + s.message());
  }
  return Status::Ok();
}

void OutputFile::Discard() {
  if (stream_) {
    (void)stream_->Close();
    stream_.reset();
  }
  if (!tempPath_.empty()) {
    (void)platform_.RemoveFile(tempPath_);
    tempPath_.clear();
  }
  if (placeholderCreated_) {
    (void)platform_.RemoveFile(path_);
    placeholderCreated_ = false;
  }
}

}  // namespace pkg
