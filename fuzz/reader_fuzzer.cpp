// libFuzzer target over the archive reader. Whatever the bytes, reading ends
// in a result or a message that says what is wrong: no crash, no leak, no
// allocation the file's length does not allow.
//
// An input is a flag byte, a key and an archive. The flag byte's low four bits
// give the key's length less one; the key follows; the rest is the archive.
// Each archive is inspected (records kept), listed (records streamed), read
// and its files' data streamed. It is read twice: as it is with the built-in key of game 1, and
// with the input's key after its trailer has been made to fit, so that the
// fuzzer's changes get past the digest. With the flag 0x10 the bytes after
// the trailer's fixed part are taken as the index before compression and
// sealed here, since changes to compressed bytes rarely survive zlib's own
// checksum; this is how changes reach the record checks.
//
// The archive is also opened as a repack would open an older archive, from a
// scratch file: every record kept for reuse must be plausible, and comparing
// a record with the content the reader gives must find it the same exactly
// when the reader finds that content sound, and never with a changed byte.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "md5.h"
#include "pkg_format.h"
#include "pkg_index.h"
#include "pkg_reader.h"
#include "platform.h"
#include "reuse_source.h"
#include "streams.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records whose data is read per input; enough to reach every check.
constexpr std::size_t kMaxRecordsRead = 64;

void Require(bool condition) {
  if (!condition) std::abort();
}

constexpr std::uint8_t kRawIndex = 0x10;

// Where the trailer of archive begins, when it can be found.
bool TrailerAt(const Bytes& archive, std::uint64_t& at) {
  if (archive.size() < pkg::kHeaderSize) return false;
  at = pkg::GetU32LE(archive.data() + pkg::kHeaderTrailerOffsetOffset);
  return at + pkg::kTrailerFixedSize <= archive.size();
}

// Stores the digest of the index as unscrambled with key.
void FitDigest(Bytes& archive, std::span<const std::uint8_t> key) {
  std::uint64_t at = 0;
  if (!TrailerAt(archive, at)) return;
  Bytes compressed(archive.begin() + static_cast<std::ptrdiff_t>(at + pkg::kTrailerIndexOffset),
                   archive.end());
  pkg::ScrambleWithKey(compressed, key);
  const std::string text = pkg::MD5DigestText(pkg::MD5Bytes(compressed.data(), compressed.size()));
  for (std::size_t i = 0; i < pkg::kDigestTextSize; ++i)
    archive[at + pkg::kTrailerDigestOffset + i] =
        static_cast<std::uint8_t>(text[i]) ^ pkg::kDigestMask;
}

// Replaces the trailer with one sealed around the bytes after its fixed part,
// taken as the index before compression.
void SealRawIndex(Bytes& archive, std::span<const std::uint8_t> key) {
  std::uint64_t at = 0;
  if (!TrailerAt(archive, at)) return;
  const auto from = archive.begin() + static_cast<std::ptrdiff_t>(at);
  const std::vector<std::uint8_t> index(from + pkg::kTrailerFixedSize, archive.end());
  const Bytes trailer = pkg::TrailerBytes(pkg::SealIndex(index, key));
  archive.erase(from, archive.end());
  archive.insert(archive.end(), trailer.begin(), trailer.end());
}

void Exercise(const Bytes& bytes, const Bytes& key) {
  pkg::TMemoryStream in;
  in.Data() = bytes;
  const std::vector<Bytes> keys = {key};

  pkg::PkgArchive inspected;
  std::size_t seen = 0;
  const pkg::Inspection r =
      pkg::InspectArchive(in, keys, inspected, [&seen](const pkg::ArchiveProblem& p) {
        Require(!p.message.empty());
        return ++seen < 1000;
      });
  Require(r.problems == seen);
  // A clean inspection has read the whole index.
  Require(seen > 0 || r.indexRead);

  // The streaming reader passes on the same records as the inspection keeps,
  // one name at a time and each within the longest name the reader takes.
  pkg::PkgArchive streamed;
  std::vector<pkg::IndexRecord> listed;
  std::size_t listProblems = 0;
  bool opened = false;
  const pkg::Inspection l = pkg::ListArchive(
      in, keys, streamed,
      [&listProblems](const pkg::ArchiveProblem& p) {
        Require(!p.message.empty());
        ++listProblems;
        return true;
      },
      [&](std::size_t i, const pkg::IndexRecord& rec) {
        Require(opened && i == listed.size() && rec.name.size() <= pkg::kMaxNameLength);
        listed.push_back(rec);
        return true;
      },
      [&opened](const pkg::Inspection&) { opened = true; });
  Require(streamed.records.empty());
  Require(l.key == r.key && l.digestMatches == r.digestMatches);
  Require(listProblems <= pkg::kMaxRecordProblems + 8 && r.problems <= pkg::kMaxRecordProblems + 8);
  if (seen == 0) Require(listProblems == 0 && l.indexRead);
  if (l.indexRead && r.indexRead) Require(listed.size() == inspected.records.size());
  for (std::size_t i = 0; i < listed.size() && i < inspected.records.size(); ++i)
    Require(listed[i].name == inspected.records[i].name &&
            listed[i].offset == inspected.records[i].offset);
  Require(inspected.records.size() <= pkg::kMaxIndexRecords);

  pkg::PkgArchive archive;
  const pkg::Status s = pkg::ReadArchive(in, key, archive);
  Require(s.ok() == (seen == 0));
  Require(s.ok() || !s.message().empty());
  // Inputs stay below one 256 KiB piece, so trying the key digests the whole
  // index and agrees with KeyFitsArchive.
  Require(!pkg::KeyFitsArchive(in, key) || r.digestMatches);

  if (r.indexRead) {
    for (std::size_t i = 0; i < inspected.records.size() && i < kMaxRecordsRead; ++i) {
      const pkg::IndexRecord& rec = inspected.records[i];
      std::uint64_t total = 0;
      const pkg::Status d =
          pkg::StreamRecordData(in, inspected, rec, [&total](std::span<const std::uint8_t> p) {
            Require(p.size() <= 256 * 1024);
            total += p.size();
            return pkg::Status::Ok();
          });
      Require(!d.ok() || total == rec.size);
      Bytes content;
      const pkg::Status whole = pkg::ReadRecordData(in, inspected, rec, content);
      Require(whole.ok() == d.ok());
      Require(!whole.ok() || content.size() == rec.size);
    }
  }
}

// A source file held in memory, as a repack reads it.
class MemoryFile : public pkg::PlatformFile {
 public:
  explicit MemoryFile(const Bytes& content) : content_(content) {}
  pkg::Status Read(void* buffer, std::size_t count, std::size_t& got) override {
    got = std::min(count, content_.size() - std::min(pos_, content_.size()));
    if (got) std::memcpy(buffer, content_.data() + pos_, got);
    pos_ += got;
    return pkg::Status::Ok();
  }
  pkg::Status Write(const void*, std::size_t) override { return pkg::Status::Fail("read-only"); }
  pkg::Status Seek(std::uint64_t position) override {
    pos_ = static_cast<std::size_t>(position);
    return pkg::Status::Ok();
  }
  pkg::Status Size(std::uint64_t& size) override {
    size = content_.size();
    return pkg::Status::Ok();
  }
  pkg::Status Identity(pkg::FileIdentity&) override { return pkg::Status::Ok(); }
  pkg::Status Stamp(pkg::FileStamp& stamp) override {
    stamp.size = content_.size();
    return pkg::Status::Ok();
  }
  pkg::Status Sync() override { return pkg::Status::Fail("read-only"); }
  pkg::Status Close() override { return pkg::Status::Ok(); }

 private:
  const Bytes& content_;
  std::size_t pos_ = 0;
};

bool Compare(pkg::ReuseReader& reader, std::uint32_t r, const Bytes& content, std::size_t buffer) {
  MemoryFile file(content);
  Bytes scratch(buffer);
  return reader.Compare(r, file, scratch, false, [] {}).same;
}

void ExerciseReuse(const Bytes& bytes, const Bytes& key) {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("reuse_fuzz_" + std::to_string(getpid()) + ".pkg"))
          .string();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  struct Remove {
    ~Remove() { std::filesystem::remove(path); }
  } remove;
  pkg::Platform& platform = pkg::SystemPlatform();
  std::string why;
  const auto source = pkg::ReuseSource::Open(platform, path, key, why);
  if (!source) {
    Require(!why.empty());
    return;
  }
  pkg::TMemoryStream in;
  in.Data() = bytes;
  pkg::PkgArchive archive;
  archive.fileSize = bytes.size();
  archive.header.compression = 1;
  archive.header.trailerOffset = pkg::GetU32LE(bytes.data() + pkg::kHeaderTrailerOffsetOffset);
  pkg::ReuseReader reader(platform, *source);
  std::uint64_t lastEnd = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  for (std::uint32_t r = 0; r < source->Records(); ++r) {
    const pkg::IndexRecord& rec = source->Record(r);
    Require(source->Find(rec.name) == r);
    Require(r == 0 || source->Record(r - 1).name < rec.name);
    Require(rec.offset >= pkg::kHeaderSize &&
            std::uint64_t{rec.offset} + rec.storedSize <= archive.header.trailerOffset);
    spans.emplace_back(rec.offset, std::uint64_t{rec.offset} + rec.storedSize);
    if (r >= kMaxRecordsRead) continue;
    Bytes content;
    const bool sound = pkg::ReadRecordData(in, archive, rec, content).ok();
    if (!sound) {
      // Whatever the record holds, nothing equal to nothing it gives.
      Require(!Compare(reader, r, Bytes(rec.size <= (1 << 20) ? rec.size : 0), 4096));
      continue;
    }
    // The whole file in the buffer, and streamed through a smaller one.
    Require(Compare(reader, r, content, content.size() + 1));
    Require(Compare(reader, r, content, 1000));
    if (!content.empty()) {
      content[content.size() / 2] ^= 1;
      Require(!Compare(reader, r, content, content.size() + 1));
      Require(!Compare(reader, r, content, 1000));
      content.push_back(0);
      Require(!Compare(reader, r, content, 1000));
    }
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t k = 0; k < spans.size(); ++k) {
    Require(spans[k].first >= lastEnd);
    lastEnd = spans[k].second;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t keyLength = 1 + (data[0] & 0x0F);
  if (size < 1 + keyLength) return 0;
  const Bytes key(data + 1, data + 1 + keyLength);
  Bytes archive(data + 1 + keyLength, data + size);

  Exercise(archive, Bytes(pkg::kGame1Key.begin(), pkg::kGame1Key.end()));
  if (data[0] & kRawIndex)
    SealRawIndex(archive, key);
  else
    FitDigest(archive, key);
  Exercise(archive, key);
  ExerciseReuse(archive, key);
  return 0;
}
