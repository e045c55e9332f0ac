#include "pkg_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "md5.h"

namespace pkg {
namespace {

// Deflate cannot expand data by more than about 1032 to 1; a size beyond that
// bound cannot come from the stored bytes and is refused before allocation.
constexpr std::uint64_t kMaxInflateRatio = 1032;

// Data moves through buffers of this size, so memory stays bounded whatever
// sizes an archive claims.
constexpr std::size_t kChunkSize = 256 * 1024;

// The index is read and inflated through buffers of this size.
constexpr std::size_t kIndexPiece = 64 * 1024;

// The shortest zlib stream: a 2-byte header, an empty final block of 2 bytes
// and the 4-byte Adler-32.
constexpr std::uint64_t kMinZlibStream = 8;

std::string Hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string Num(std::uint64_t v) {
  return std::to_string(v);
}

std::string Bytes(std::uint64_t n) {
  return Num(n) + (n == 1 ? " byte" : " bytes");
}

Status ReadAt(TStream& in, std::uint64_t offset, void* buffer, std::size_t count) {
  try {
    in.SetPosition(static_cast<std::int64_t>(offset));
    in.ReadBuffer(buffer, count);
  } catch (const std::exception& e) {
    return Status::Fail("cannot read " + Bytes(count) + " at offset " + Num(offset) + ": " +
                        e.what());
  }
  return Status::Ok();
}

Status CheckClaim(std::uint64_t inputSize, std::uint64_t expectedSize) {
  if (expectedSize > (inputSize + 16) * kMaxInflateRatio)
    return Status::Fail("claims " + Bytes(expectedSize) + ", more than " + Num(inputSize) +
                        (inputSize == 1 ? " compressed byte" : " compressed bytes") + " can hold");
  return Status::Ok();
}

// The predicate for a zlib stream whose input ran out before its end.
std::string CutShort(std::uint64_t fed, std::uint64_t produced, std::uint64_t expectedSize) {
  if (fed == 0) return "is cut short: it is empty, without even the 2-byte header of a zlib stream";
  std::string s = "is cut short: its zlib stream breaks off ";
  if (expectedSize == 0) return s + "before its end";
  if (produced == 0) return s + "before giving any of its " + Bytes(expectedSize);
  if (produced == expectedSize)
    return s + "before its end, after giving all its " + Bytes(produced);
  return s + "after giving " + Num(produced) + " of its " + Bytes(expectedSize);
}

// Hands out the next piece of a zlib stream's input; an empty piece once all
// of it has been given.
using InputPuller = std::function<Status(std::span<const std::uint8_t>& piece)>;

// Inflates one zlib stream of inputSize bytes, which must end exactly where
// the input ends and give exactly expectedSize bytes.
Status InflateChecked(std::uint64_t inputSize, std::uint64_t expectedSize, const InputPuller& pull,
                      const DataSink& sink) {
  if (Status s = CheckClaim(inputSize, expectedSize); !s.ok()) return s;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return Status::Fail("zlib cannot start inflating");
  struct Ender {
    z_stream* z;
    ~Ender() { inflateEnd(z); }
  } ender{&z};

  // One byte more than expected shows a stream that goes on past its size.
  std::vector<std::uint8_t> out(
      static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, expectedSize + 1)));
  std::uint64_t fed = 0, produced = 0;
  bool inputDone = false;
  for (;;) {
    if (z.avail_in == 0 && !inputDone) {
      std::span<const std::uint8_t> piece;
      if (Status s = pull(piece); !s.ok()) return s;
      if (piece.empty()) {
        inputDone = true;
      } else {
        z.next_in = const_cast<Bytef*>(piece.data());
        z.avail_in = static_cast<uInt>(piece.size());
        fed += piece.size();
      }
    }
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t made = out.size() - z.avail_out;
    if (made > 0) {
      if (made > expectedSize - produced)
        return Status::Fail("inflates to more than its size of " + Bytes(expectedSize));
      produced += made;
      if (Status s = sink({out.data(), made}); !s.ok()) return s;
    }
    if (rc == Z_STREAM_END) break;
    if (rc == Z_OK) continue;
    // No progress was possible: the stream wants input that is not there.
    if (rc == Z_BUF_ERROR && z.avail_in == 0) {
      if (!inputDone) continue;
      return Status::Fail(CutShort(fed, produced, expectedSize));
    }
    return Status::Fail(std::string("is not a sound zlib stream: ") + (z.msg ? z.msg : zError(rc)));
  }
  if (produced != expectedSize)
    return Status::Fail("inflates to " + Bytes(produced) + ", not its size of " +
                        Num(expectedSize));
  const std::uint64_t unused = z.avail_in + (inputSize - fed);
  if (unused != 0)
    return Status::Fail("has " + Bytes(unused) + " after the end of its zlib stream");
  return Status::Ok();
}

InputPuller SpanPuller(std::span<const std::uint8_t>& rest) {
  return [&rest](std::span<const std::uint8_t>& piece) {
    // zlib counts in 32 bits.
    const std::size_t n = std::min<std::size_t>(rest.size(), std::size_t{1} << 30);
    piece = rest.first(n);
    rest = rest.subspan(n);
    return Status::Ok();
  };
}

bool DigestFits(MD5Context ctx, const std::array<std::uint8_t, kDigestTextSize>& stored) {
  MD5Digest digest;
  MD5Final(digest, ctx);
  const std::string text = MD5DigestText(digest);
  for (std::size_t i = 0; i < kDigestTextSize; ++i)
    if ((stored[i] ^ kDigestMask) != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

// Counts the problems, passes them on and remembers when the sink wants no
// more. After kMaxRecordProblems problems with records, the next one is
// replaced by a line saying that the inspection stopped there.
class Reporter {
 public:
  Reporter(const ProblemSink& sink, Inspection& result) : sink_(sink), result_(result) {}
  // False once the inspection must end.
  bool operator()(std::size_t record, std::string message) {
    if (stopped_) return false;
    if (record != ArchiveProblem::kNoRecord && ++recordProblems_ > kMaxRecordProblems) {
      message = "stopped at index record " + Num(record + 1) + " after " + Num(kMaxRecordProblems) +
                " problems with index records; the rest of the archive is not checked";
      record = ArchiveProblem::kNoRecord;
      stopped_ = true;
    }
    ++result_.problems;
    if (!sink_(ArchiveProblem{record, std::move(message)})) stopped_ = true;
    return !stopped_;
  }
  bool stopped() const { return stopped_; }

 private:
  const ProblemSink& sink_;
  Inspection& result_;
  std::size_t recordProblems_ = 0;
  bool stopped_ = false;
};

// Reads the header and the trailer's fixed part into archive. False when the
// trailer cannot be found or read, or when the reporter says stop.
bool ReadFrame(TStream& in, PkgArchive& archive, Reporter& report) {
  const auto none = ArchiveProblem::kNoRecord;
  try {
    archive.fileSize = static_cast<std::uint64_t>(in.Size());
  } catch (const std::exception& e) {
    report(none, std::string("cannot learn the archive's size: ") + e.what());
    return false;
  }
  const std::uint64_t fileSize = archive.fileSize;
  if (fileSize < kHeaderSize) {
    report(none, "the archive is " + Bytes(fileSize) + " long, shorter than its " +
                     Num(kHeaderSize) + "-byte header");
    return false;
  }
  std::uint8_t h[kHeaderSize];
  if (Status s = ReadAt(in, 0, h, sizeof h); !s.ok()) {
    report(none, s.message());
    return false;
  }
  PkgHeader& header = archive.header;
  header.type = static_cast<std::int32_t>(GetU32LE(h + kHeaderTypeOffset));
  header.compression = GetU32LE(h + kHeaderCompressionOffset);
  header.trailerOffset = GetU32LE(h + kHeaderTrailerOffsetOffset);
  header.constant = GetU32LE(h + kHeaderConstantOffset);
  if (std::memcmp(h + kHeaderMagicOffset, kMagic.data(), kMagic.size()) != 0 &&
      !report(none, "offset 0: the magic is not \"PK3.0\" followed by three zero bytes"))
    return false;
  if (header.constant != kHeaderConstant &&
      !report(none,
              "offset 20: the header constant is " + Hex32(header.constant) + ", not 0x006769ED"))
    return false;
  if (header.compression > 1 && !report(none, "offset 12: the compression flag is " +
                                                  Num(header.compression) + ", neither 0 nor 1"))
    return false;
  const std::uint64_t at = header.trailerOffset;
  if (at < kHeaderSize || at + kTrailerFixedSize > fileSize) {
    report(none, "offset 16: the trailer offset " + Num(at) +
                     " does not leave room for a trailer in a file of " + Bytes(fileSize));
    return false;
  }
  std::uint8_t fixed[kTrailerFixedSize];
  if (Status s = ReadAt(in, at, fixed, sizeof fixed); !s.ok()) {
    report(none, s.message());
    return false;
  }
  archive.indexSize = GetU32LE(fixed + kTrailerIndexSizeOffset);
  std::memcpy(archive.storedDigest.data(), fixed + kTrailerDigestOffset, kDigestTextSize);
  archive.compressedIndexSize = fileSize - at - kTrailerFixedSize;
  return !report.stopped();
}

std::string RecordWhere(std::size_t i, std::uint64_t bytePos) {
  return "index record " + Num(i + 1) + " (byte " + Num(bytePos) + " of the index)";
}

// Splits the inflated index into records as its bytes arrive, holding one
// record at a time. The index size is known up front, so a record that would
// run past it is found at its name length, before its name is taken.
class RecordSplitter {
 public:
  // Takes a record with its position in the index; false stops the
  // splitting (the taker has reported why).
  using Taker = std::function<bool(std::size_t record, std::uint64_t pos, const IndexRecord&)>;

  // Without a taker the records are only checked, and names are not held.
  RecordSplitter(std::uint64_t indexSize, Taker taker)
      : indexSize_(indexSize), taker_(std::move(taker)) {
    StartRecord();
  }

  // Takes the next inflated bytes; false once splitting has ended.
  bool Feed(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty() && !ended_) {
      std::size_t n = 0;
      switch (state_) {
        case State::kLength:
        case State::kFields: {
          const std::size_t want = (state_ == State::kLength ? 4 : 12) - fill_;
          n = std::min(want, bytes.size());
          std::memcpy(fixed_ + fill_, bytes.data(), n);
          fill_ += n;
          pos_ += n;
          if (fill_ == (state_ == State::kLength ? 4u : 12u)) {
            if (state_ == State::kLength)
              TakeLength();
            else
              TakeFields();
          }
          break;
        }
        case State::kName:
          n = static_cast<std::size_t>(std::min<std::uint64_t>(nameLeft_, bytes.size()));
          if (taker_) record_.name.append(reinterpret_cast<const char*>(bytes.data()), n);
          nameLeft_ -= n;
          pos_ += n;
          if (nameLeft_ == 0) {
            state_ = State::kFields;
            fill_ = 0;
          }
          break;
      }
      bytes = bytes.subspan(n);
    }
    return !ended_;
  }

  // A record that does not fit in the index: a problem only when the index
  // inflated to its size, since a wrong size explains it.
  const std::optional<ArchiveProblem>& misfit() const { return misfit_; }
  // A record beyond what the reader takes, found here; it ends the reading.
  const std::optional<ArchiveProblem>& limit() const { return limit_; }
  // The taker, or a limit, ended the splitting.
  bool stopped() const { return stopped_; }

 private:
  enum class State { kLength, kName, kFields };

  void StartRecord() {
    state_ = State::kLength;
    fill_ = 0;
    start_ = pos_;
    if (pos_ < indexSize_ && indexSize_ - pos_ < 4)
      Misfit(RecordWhere(count_, start_) + ": cut short before its name length");
  }

  void TakeLength() {
    const std::uint32_t n = GetU32LE(fixed_);
    if (indexSize_ - start_ - 4 < static_cast<std::uint64_t>(n) + 12) {
      Misfit(RecordWhere(count_, start_) + ": its name length " + Num(n) +
             " runs past the end of the index");
      return;
    }
    if (taker_ && n > kMaxNameLength) {
      Stop(RecordWhere(count_, start_) + ": its name length " + Num(n) +
           " is more than any path can be (" + Num(kMaxNameLength) + " bytes)");
      return;
    }
    record_.name.clear();
    nameLeft_ = n;
    state_ = n == 0 ? State::kFields : State::kName;
    fill_ = 0;
  }

  void TakeFields() {
    record_.offset = GetU32LE(fixed_);
    record_.size = GetU32LE(fixed_ + 4);
    record_.storedSize = GetU32LE(fixed_ + 8);
    if (taker_ && !taker_(count_, start_, record_)) {
      ended_ = stopped_ = true;
      return;
    }
    ++count_;
    StartRecord();
  }

  void Misfit(std::string message) {
    misfit_ = ArchiveProblem{count_, std::move(message)};
    ended_ = true;
  }

  void Stop(std::string message) {
    limit_ = ArchiveProblem{count_, std::move(message)};
    ended_ = stopped_ = true;
  }

  const std::uint64_t indexSize_;
  const Taker taker_;
  State state_ = State::kLength;
  std::uint8_t fixed_[12];
  std::size_t fill_ = 0;
  std::uint64_t nameLeft_ = 0;
  std::uint64_t pos_ = 0, start_ = 0;
  std::size_t count_ = 0;
  IndexRecord record_;
  std::optional<ArchiveProblem> misfit_, limit_;
  bool ended_ = false, stopped_ = false;
};

// What one pass over the scrambled index with one key found.
struct IndexPass {
  Status readError;             // reading the archive failed: nothing else holds
  bool readAll = false;         // every compressed byte went through the digest
  bool digestFits = false;      // over all bytes, or over the zlib stream's own
  bool ended = false;           // the zlib stream ended
  std::uint64_t stray = 0;      // compressed bytes after the end of the stream
  std::uint64_t streamEnd = 0;  // compressed bytes up to the end of the stream
  Status inflated;              // the stream's own fault, a predicate ("is cut short: ...")
  bool splits = false;          // its bytes split into records, as far as they went
  // The stream ended, gave exactly the index size and split into records.
  bool Sound() const { return ended && inflated.ok() && splits; }
};

// Reads the scrambled index in pieces, unscrambles each with key, digests it
// and inflates it into split. Reading ends once the inflation has: at the
// stream's end, at a zlib fault, at more output than the index size, or when
// split stops; what is left is neither read nor digested.
IndexPass RunPass(TStream& in, const PkgArchive& archive, std::span<const std::uint8_t> key,
                  RecordSplitter& split) {
  IndexPass r;
  const std::uint64_t total = archive.compressedIndexSize;
  const std::uint64_t indexSize = archive.indexSize;
  const std::uint64_t from = archive.header.trailerOffset + std::uint64_t{kTrailerIndexOffset};
  MD5Context all;
  MD5Init(all);

  z_stream z{};
  bool inflating = true;
  r.inflated = CheckClaim(total, indexSize);
  if (!r.inflated.ok()) {
    inflating = false;
  } else if (inflateInit(&z) != Z_OK) {
    r.inflated = Status::Fail("cannot be inflated: zlib cannot start");
    inflating = false;
  }
  struct Ender {
    z_stream* z;
    bool on;
    ~Ender() {
      if (on) inflateEnd(z);
    }
  } ender{&z, inflating};

  // Left uninitialised: a pass that stops early touches little of them.
  const std::size_t pieceSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(kIndexPiece, total));
  const auto piece =
      std::make_unique_for_overwrite<std::uint8_t[]>(std::max<std::size_t>(pieceSize, 1));
  // One byte more than the index size shows a stream that goes on past it.
  const std::size_t outSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(kIndexPiece, indexSize + 1));
  const auto out = std::make_unique_for_overwrite<std::uint8_t[]>(outSize);
  std::uint64_t read = 0, produced = 0;
  std::size_t keyAt = 0;
  bool splitting = true;
  do {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(pieceSize, total - read));
    if (n > 0) {
      if (Status s = ReadAt(in, from + read, piece.get(), n); !s.ok()) {
        r.readError = s;
        return r;
      }
      for (std::size_t i = 0; i < n; ++i) {
        piece[i] ^= key[keyAt];
        if (++keyAt == key.size()) keyAt = 0;
      }
    }
    const MD5Context before = all;
    MD5Update(all, piece.get(), n);
    read += n;
    if (!inflating) break;
    z.next_in = piece.get();
    z.avail_in = static_cast<uInt>(n);
    for (;;) {
      z.next_out = out.get();
      z.avail_out = static_cast<uInt>(outSize);
      const int rc = inflate(&z, Z_NO_FLUSH);
      const std::size_t made = outSize - z.avail_out;
      if (made > 0) {
        if (made > indexSize - produced) {
          r.inflated = Status::Fail("inflates to more than its size of " + Bytes(indexSize));
          inflating = false;
          break;
        }
        produced += made;
        if (splitting && !split.Feed({out.get(), made})) {
          splitting = false;
          // A misfit may come from a wrong index size, which the rest of the
          // stream shows; anything else ends the pass.
          if (!split.misfit()) {
            inflating = false;
            break;
          }
        }
      }
      if (rc == Z_STREAM_END) {
        r.ended = true;
        const std::size_t used = n - z.avail_in;
        r.streamEnd = read - n + used;
        r.stray = total - r.streamEnd;
        if (r.stray > 0) {
          MD5Context stream = before;
          MD5Update(stream, piece.get(), used);
          r.digestFits = DigestFits(stream, archive.storedDigest);
        }
        if (produced != indexSize)
          r.inflated = Status::Fail("inflates to " + Bytes(produced) + ", not its size of " +
                                    Num(indexSize));
        inflating = false;
        break;
      }
      if (rc == Z_OK && z.avail_out == 0) continue;                     // more output waits
      if ((rc == Z_OK || rc == Z_BUF_ERROR) && z.avail_in == 0) break;  // wants the next piece
      if (rc == Z_OK) continue;
      r.inflated =
          Status::Fail(std::string("is not a sound zlib stream: ") + (z.msg ? z.msg : zError(rc)));
      inflating = false;
      break;
    }
    if (inflating && read == total) {
      r.inflated = Status::Fail(CutShort(total, produced, indexSize));
      inflating = false;
    }
  } while (inflating && read < total);
  r.readAll = read == total;
  r.splits = !split.misfit() && !split.stopped();
  if (r.readAll && !r.digestFits) r.digestFits = DigestFits(all, archive.storedDigest);
  return r;
}

std::string DataSpan(const IndexRecord& r) {
  return "offset " + Num(r.offset) + ", " + Bytes(r.storedSize);
}

bool InDataArea(const IndexRecord& r, std::uint64_t dataEnd) {
  return r.offset >= kHeaderSize && static_cast<std::uint64_t>(r.offset) + r.storedSize <= dataEnd;
}

// The checks a record needs nothing else for: its data within the data area,
// and its stored size when nothing is compressed. False once the reporter
// says stop.
bool CheckRecordAlone(const PkgArchive& archive, std::size_t i, std::uint64_t pos,
                      const IndexRecord& r, Reporter& report) {
  const std::uint64_t dataEnd = archive.header.trailerOffset;
  if (!InDataArea(r, dataEnd) &&
      !report(i, RecordWhere(i, pos) + ": its data (" + DataSpan(r) +
                     ") lies outside the data area, from offset 24 to " + Num(dataEnd)))
    return false;
  if (archive.header.compression == 0 && r.storedSize != r.size &&
      !report(i, RecordWhere(i, pos) + ": stored size " + Num(r.storedSize) +
                     " differs from its size " + Num(r.size) + " in an uncompressed archive"))
    return false;
  return true;
}

// A compressed file takes at least the 8 bytes of a zlib stream of nothing,
// so a data area of D bytes holds at most D / 8 compressed files. False (and
// reported) for a record beyond that.
bool FitsDataArea(const PkgArchive& archive, std::size_t i, std::uint64_t pos, Reporter& report) {
  if (archive.header.compression != 1) return true;
  const std::uint64_t area = archive.header.trailerOffset - kHeaderSize;
  const std::uint64_t most = area / kMinZlibStream;
  if (i < most) return true;
  report(i, RecordWhere(i, pos) + ": the index holds more records than the data area of " +
                Bytes(area) + " can hold (" + Num(most) + ", since each compressed file takes " +
                Num(kMinZlibStream) + " bytes or more); the rest of the index is not read");
  return false;
}

// Every layout rule a record list must keep, each broken rule reported.
void CheckLayout(const PkgArchive& archive, const std::vector<std::uint32_t>& positions,
                 Reporter& report) {
  const std::vector<IndexRecord>& records = archive.records;
  const std::uint64_t dataEnd = archive.header.trailerOffset;
  const std::size_t n = records.size();
  auto where = [&](std::size_t i) { return RecordWhere(i, positions[i]); };
  auto end = [&](std::size_t i) {
    return static_cast<std::uint64_t>(records[i].offset) + records[i].storedSize;
  };

  // The first record of each name, found by sorting record numbers rather
  // than copying names into a map: four bytes a record.
  std::vector<std::uint32_t> firstWithName(n);
  {
    std::vector<std::uint32_t> byName(n);
    for (std::size_t i = 0; i < n; ++i) byName[i] = static_cast<std::uint32_t>(i);
    std::stable_sort(byName.begin(), byName.end(), [&](std::uint32_t a, std::uint32_t b) {
      return records[a].name < records[b].name;
    });
    for (std::size_t k = 0; k < n; ++k)
      firstWithName[byName[k]] = k > 0 && records[byName[k]].name == records[byName[k - 1]].name
                                     ? firstWithName[byName[k - 1]]
                                     : byName[k];
  }
  std::vector<bool> inArea(n);
  for (std::size_t i = 0; i < n; ++i) {
    const IndexRecord& r = records[i];
    inArea[i] = InDataArea(r, dataEnd);
    if (!CheckRecordAlone(archive, i, positions[i], r, report)) return;
    if (firstWithName[i] != i &&
        !report(i, where(i) + ": its name is already that of index record " +
                       Num(firstWithName[i] + 1)))
      return;
  }

  // In offset order, the data must cover the area exactly: each record
  // beginning where the data before it ends.
  std::vector<std::uint32_t> byOffset;
  for (std::size_t i = 0; i < n; ++i)
    if (inArea[i]) byOffset.push_back(static_cast<std::uint32_t>(i));
  std::sort(byOffset.begin(), byOffset.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (records[a].offset != records[b].offset) return records[a].offset < records[b].offset;
    if (end(a) != end(b)) return end(a) < end(b);
    return a < b;
  });
  std::vector<bool> overlaps(n);
  std::uint64_t covered = kHeaderSize;
  std::size_t owner = ArchiveProblem::kNoRecord;
  for (std::size_t i : byOffset) {
    const IndexRecord& r = records[i];
    if (r.offset > covered) {
      if (!report(i, where(i) + ": its data begins at offset " + Num(r.offset) + ", leaving " +
                         Bytes(r.offset - covered) + " from offset " + Num(covered) +
                         " that no index record accounts for"))
        return;
    } else if (r.offset < covered && r.storedSize > 0 && owner != ArchiveProblem::kNoRecord) {
      overlaps[i] = true;
      if (!report(i, where(i) + ": its data (" + DataSpan(r) + ") overlaps that of index record " +
                         Num(owner + 1) + " (" + DataSpan(records[owner]) + ")"))
        return;
    }
    if (end(i) > covered) {
      covered = end(i);
      owner = i;
    }
  }

  // In index order, each record's data must follow that of the record before.
  std::size_t previous = ArchiveProblem::kNoRecord;
  for (std::size_t i = 0; i < n; ++i) {
    if (!inArea[i]) continue;
    if (previous != ArchiveProblem::kNoRecord && !overlaps[i] &&
        records[i].offset < end(previous) &&
        !report(i, where(i) + ": its data (" + DataSpan(records[i]) +
                       ") lies before the end of that of index record " + Num(previous + 1) + " (" +
                       DataSpan(records[previous]) + "), against the order of the index"))
      return;
    previous = i;
  }

  if (covered < dataEnd)
    report(ArchiveProblem::kNoRecord, "trailer at offset " + Num(dataEnd) +
                                          ": the files' data ends at " + Num(covered) +
                                          ", leaving " + Bytes(dataEnd - covered) +
                                          " that no index record accounts for before the trailer");
}

// Opens the index: reads the frame, tries the keys, and reads the index with
// the key that opens it, handing each record to take. Shared by
// InspectArchive and ListArchive.
Inspection ReadIndex(
    TStream& in, std::span<const std::vector<std::uint8_t>> keys, PkgArchive& archive,
    const ProblemSink& sink, const OpenedSink& opened,
    const std::function<bool(std::size_t, std::uint64_t, const IndexRecord&, Reporter&)>& take) {
  Inspection result;
  Reporter report(sink, result);
  const auto none = ArchiveProblem::kNoRecord;
  archive = PkgArchive{};
  try {
    if (keys.empty() || std::any_of(keys.begin(), keys.end(), [](auto& k) { return k.empty(); })) {
      report(none, "the index key is empty");
      return result;
    }
    if (!ReadFrame(in, archive, report)) return result;
    result.trailerRead = true;

    const std::uint64_t at = archive.header.trailerOffset;
    const std::string trailerAt = "trailer at offset " + Num(at);
    const std::string digestAt = "the digest at offset " + Num(at + kTrailerDigestOffset);

    // Each key in turn, checking the records without holding them.
    std::vector<IndexPass> trials;
    int sound = -1;
    for (std::size_t k = 0; k < keys.size(); ++k) {
      RecordSplitter check(archive.indexSize, {});
      trials.push_back(RunPass(in, archive, keys[k], check));
      const IndexPass& t = trials.back();
      if (!t.readError.ok()) {
        report(none, t.readError.message());
        return result;
      }
      if (t.digestFits) {
        result.key = static_cast<int>(k);
        result.digestMatches = true;
        break;
      }
      if (sound < 0 && t.Sound()) sound = static_cast<int>(k);
    }
    if (result.key < 0) {
      if (sound < 0) {
        const bool one = keys.size() == 1;
        const std::string which = one ? "does not match this key"
                                      : "matches none of the " + Num(keys.size()) + " keys tried";
        const bool allRead =
            std::all_of(trials.begin(), trials.end(), [](const IndexPass& t) { return t.readAll; });
        // A trial stops at the first sign that the key does not fit, so the
        // digest of a long index may not have been taken.
        const std::string why =
            allRead ? digestAt + " differs from that of the unscrambled index"
            : one && !trials[0].inflated.ok()
                ? "unscrambled with it, the index " + trials[0].inflated.message()
                : std::string(one ? "unscrambled with it" : "unscrambled with any of them") +
                      ", the index is not a zlib stream of " + Bytes(archive.indexSize) +
                      " that splits into records";
        report(none,
               trailerAt + ": the index " + which + ", or the trailer is damaged (" + why + ")");
        return result;
      }
      result.key = sound;
      if (!report(none, trailerAt + ": " + digestAt +
                            " differs from that of the index, which still reads soundly: the "
                            "digest or the index is damaged"))
        return result;
    }
    if (opened) opened(result);

    RecordSplitter split(archive.indexSize,
                         [&](std::size_t i, std::uint64_t pos, const IndexRecord& r) {
                           return take(i, pos, r, report);
                         });
    const IndexPass pass = RunPass(in, archive, keys[static_cast<std::size_t>(result.key)], split);
    if (!pass.readError.ok()) {
      report(none, pass.readError.message());
      return result;
    }
    if (split.limit()) {
      report(split.limit()->record, split.limit()->message);
      return result;
    }
    if (split.stopped() || report.stopped()) return result;
    if (!pass.inflated.ok()) {
      report(none, trailerAt + ": the index " + pass.inflated.message());
      return result;
    }
    if (split.misfit()) {
      report(split.misfit()->record, split.misfit()->message);
      return result;
    }
    if (pass.stray > 0) {
      report(none, trailerAt + ": the index has " + Bytes(pass.stray) +
                       " after the end of its zlib stream, which ends at offset " +
                       Num(at + kTrailerIndexOffset + pass.streamEnd) +
                       " instead of at the end of the file");
      return result;
    }
    result.indexRead = true;
  } catch (const std::bad_alloc&) {
    report(none, "the system has no memory left to read the archive's index");
    result.indexRead = false;
  }
  return result;
}

}  // namespace

Status InflateExact(std::span<const std::uint8_t> in, std::uint64_t expectedSize,
                    std::vector<std::uint8_t>& out) {
  out.clear();
  if (Status s = CheckClaim(in.size(), expectedSize); !s.ok()) return s;
  out.reserve(static_cast<std::size_t>(expectedSize));
  std::span<const std::uint8_t> rest = in;
  return InflateChecked(in.size(), expectedSize, SpanPuller(rest),
                        [&out](std::span<const std::uint8_t> piece) {
                          out.insert(out.end(), piece.begin(), piece.end());
                          return Status::Ok();
                        });
}

Inspection InspectArchive(TStream& in, std::span<const std::vector<std::uint8_t>> keys,
                          PkgArchive& archive, const ProblemSink& sink) {
  std::vector<std::uint32_t> positions;
  std::uint64_t nameBytes = 0;
  // Records with a problem of their own: past kMaxRecordProblems of them the
  // layout check would stop anyway, so no more are read.
  std::size_t faulty = 0;
  Inspection result = ReadIndex(
      in, keys, archive, sink, {},
      [&](std::size_t i, std::uint64_t pos, const IndexRecord& r, Reporter& report) {
        if (!FitsDataArea(archive, i, pos, report)) return false;
        if (i >= kMaxIndexRecords) {
          report(i, RecordWhere(i, pos) + ": the index holds more than " + Num(kMaxIndexRecords) +
                        " records, more than the reader keeps to check them; the rest of the "
                        "index is not read");
          return false;
        }
        nameBytes += r.name.size();
        if (nameBytes > kMaxIndexNameBytes) {
          report(i, RecordWhere(i, pos) +
                        ": the names of the index records up to this one take more than " +
                        Num(kMaxIndexNameBytes) +
                        " bytes, more than the reader keeps to check them; the rest of the "
                        "index is not read");
          return false;
        }
        const bool faultyAlone = !InDataArea(r, archive.header.trailerOffset) ||
                                 (archive.header.compression == 0 && r.storedSize != r.size);
        archive.records.push_back(r);
        positions.push_back(static_cast<std::uint32_t>(pos));
        return !(faultyAlone && ++faulty > kMaxRecordProblems);
      });
  if (!result.trailerRead || result.key < 0) return result;
  // The records are checked against each other once the index is read, or
  // once its records' own faults ended it: the check reports those up to the
  // limit, then says where it stopped.
  if (!result.indexRead && faulty <= kMaxRecordProblems) return result;
  Inspection layout;
  Reporter report(sink, layout);
  try {
    CheckLayout(archive, positions, report);
  } catch (const std::bad_alloc&) {
    report(ArchiveProblem::kNoRecord, "the system has no memory left to check the index records");
  }
  result.problems += layout.problems;
  return result;
}

Inspection ListArchive(TStream& in, std::span<const std::vector<std::uint8_t>> keys,
                       PkgArchive& archive, const ProblemSink& problems, const RecordSink& records,
                       const OpenedSink& opened) {
  return ReadIndex(in, keys, archive, problems, opened,
                   [&](std::size_t i, std::uint64_t pos, const IndexRecord& r, Reporter& report) {
                     if (!FitsDataArea(archive, i, pos, report)) return false;
                     if (!records(i, r)) return false;
                     return CheckRecordAlone(archive, i, pos, r, report);
                   });
}

Status ReadArchive(TStream& in, std::span<const std::uint8_t> key, PkgArchive& archive) {
  const std::vector<std::uint8_t> keys[] = {{key.begin(), key.end()}};
  std::optional<ArchiveProblem> first;
  const Inspection r = InspectArchive(in, keys, archive, [&first](const ArchiveProblem& p) {
    first = p;
    return false;
  });
  if (first) return Status::Fail(first->message);
  if (!r.indexRead) return Status::Fail("the index cannot be read");
  return Status::Ok();
}

bool KeyFitsArchive(TStream& in, std::span<const std::uint8_t> key) {
  if (key.empty()) return false;
  Inspection result;
  const ProblemSink stopAtFirst = [](const ArchiveProblem&) { return false; };
  Reporter report(stopAtFirst, result);
  PkgArchive archive;
  if (!ReadFrame(in, archive, report) || result.problems != 0) return false;
  const std::uint64_t total = archive.compressedIndexSize;
  const std::uint64_t from = archive.header.trailerOffset + std::uint64_t{kTrailerIndexOffset};
  const std::size_t pieceSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(kIndexPiece, total));
  const auto piece =
      std::make_unique_for_overwrite<std::uint8_t[]>(std::max<std::size_t>(pieceSize, 1));
  MD5Context ctx;
  MD5Init(ctx);
  std::size_t keyAt = 0;
  for (std::uint64_t read = 0; read < total;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(pieceSize, total - read));
    if (!ReadAt(in, from + read, piece.get(), n).ok()) return false;
    for (std::size_t i = 0; i < n; ++i) {
      piece[i] ^= key[keyAt];
      if (++keyAt == key.size()) keyAt = 0;
    }
    MD5Update(ctx, piece.get(), n);
    read += n;
  }
  return DigestFits(ctx, archive.storedDigest);
}

Status StreamRecordData(TStream& in, const PkgArchive& archive, const IndexRecord& record,
                        const DataSink& sink) {
  const std::string where =
      "the data at offset " + Num(record.offset) + " (" + Num(record.storedSize) +
      (record.storedSize == 1 ? " stored byte, size " : " stored bytes, size ") + Num(record.size) +
      ")";
  const std::uint64_t end = static_cast<std::uint64_t>(record.offset) + record.storedSize;
  if (record.offset < kHeaderSize || end > archive.header.trailerOffset || end > archive.fileSize)
    return Status::Fail(where + " lies outside the data area, from offset 24 to " +
                        Num(archive.header.trailerOffset));
  if (archive.header.compression > 1)
    return Status::Fail(where + " cannot be read: the compression flag is " +
                        Num(archive.header.compression) + ", neither 0 nor 1");

  std::vector<std::uint8_t> buffer(std::min<std::size_t>(kChunkSize, record.storedSize));
  std::uint64_t next = record.offset;
  // Failures of reading and of the sink are passed on as they are; only the
  // stream's own faults are put after where the data lies.
  bool passOn = false;
  const InputPuller pull = [&](std::span<const std::uint8_t>& piece) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - next));
    piece = {};
    if (n == 0) return Status::Ok();
    Status s = ReadAt(in, next, buffer.data(), n);
    if (!s.ok()) {
      passOn = true;
      return s;
    }
    next += n;
    piece = {buffer.data(), n};
    return Status::Ok();
  };
  const DataSink give = [&](std::span<const std::uint8_t> piece) {
    Status s = sink(piece);
    if (!s.ok()) passOn = true;
    return s;
  };

  if (archive.header.compression == 0) {
    if (record.storedSize != record.size)
      return Status::Fail(where +
                          ": the stored size differs from the size in an uncompressed "
                          "archive");
    for (;;) {
      std::span<const std::uint8_t> piece;
      if (Status s = pull(piece); !s.ok()) return s;
      if (piece.empty()) return Status::Ok();
      if (Status s = give(piece); !s.ok()) return s;
    }
  }
  const Status s = InflateChecked(record.storedSize, record.size, pull, give);
  if (s.ok() || passOn) return s;
  return Status::Fail(where + " " + s.message());
}

Status ReadRecordData(TStream& in, const PkgArchive& archive, const IndexRecord& record,
                      std::vector<std::uint8_t>& content) {
  content.clear();
  // Room for the whole file only when the archive could hold it.
  const std::uint64_t end = static_cast<std::uint64_t>(record.offset) + record.storedSize;
  if (end <= archive.fileSize && CheckClaim(record.storedSize, record.size).ok())
    content.reserve(record.size);
  return StreamRecordData(in, archive, record, [&content](std::span<const std::uint8_t> piece) {
    content.insert(content.end(), piece.begin(), piece.end());
    return Status::Ok();
  });
}

}  // namespace pkg
