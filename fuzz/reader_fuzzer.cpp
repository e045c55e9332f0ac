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
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "md5.h"
#include "pkg_format.h"
#include "pkg_index.h"
#include "pkg_reader.h"
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
  return 0;
}
