#include "pkg_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "md5.h"

namespace pkg {
namespace {

// Deflate cannot expand data by more than about 1032 to 1; a size beyond that
// bound cannot come from the stored bytes and is refused before allocation.
constexpr std::uint64_t kMaxInflateRatio = 1032;

// Data moves through buffers of this size, so memory stays bounded whatever
// sizes an archive claims.
constexpr std::size_t kChunkSize = 256 * 1024;

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
    return Status::Fail("cannot read " + Num(count) + " bytes at offset " + Num(offset) + ": " +
                        e.what());
  }
  return Status::Ok();
}

Status CheckClaim(std::uint64_t inputSize, std::uint64_t expectedSize) {
  if (expectedSize > (inputSize + 16) * kMaxInflateRatio)
    return Status::Fail("claims " + Num(expectedSize) + " bytes, more than " + Num(inputSize) +
                        " compressed bytes can hold");
  return Status::Ok();
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
        return Status::Fail("inflates to more than its size of " + Num(expectedSize) + " bytes");
      produced += made;
      if (Status s = sink({out.data(), made}); !s.ok()) return s;
    }
    if (rc == Z_STREAM_END) break;
    if (rc == Z_OK) continue;
    // No progress was possible: the stream wants input that is not there.
    if (rc == Z_BUF_ERROR && z.avail_in == 0) {
      if (!inputDone) continue;
      return Status::Fail("is cut short: its zlib stream ends after " + Num(produced) + " of " +
                          Num(expectedSize) + " bytes");
    }
    return Status::Fail(std::string("is not a sound zlib stream: ") + (z.msg ? z.msg : zError(rc)));
  }
  if (produced != expectedSize)
    return Status::Fail("inflates to " + Num(produced) + " bytes, not its size of " +
                        Num(expectedSize));
  const std::uint64_t unused = z.avail_in + (inputSize - fed);
  if (unused != 0)
    return Status::Fail("has " + Num(unused) + " bytes after the end of its zlib stream");
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

bool DigestMatches(const std::vector<std::uint8_t>& compressed,
                   const std::array<std::uint8_t, kDigestTextSize>& stored) {
  const std::string text = MD5DigestText(MD5Bytes(compressed.data(), compressed.size()));
  for (std::size_t i = 0; i < kDigestTextSize; ++i)
    if ((stored[i] ^ kDigestMask) != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

// Counts the problems, passes them on and remembers when the sink wants no more.
class Reporter {
 public:
  Reporter(const ProblemSink& sink, Inspection& result) : sink_(sink), result_(result) {}
  // False once the inspection must end.
  bool operator()(std::size_t record, std::string message) {
    ++result_.problems;
    if (!sink_(ArchiveProblem{record, std::move(message)})) stopped_ = true;
    return !stopped_;
  }
  bool stopped() const { return stopped_; }

 private:
  const ProblemSink& sink_;
  Inspection& result_;
  bool stopped_ = false;
};

// Reads the header and the trailer into archive and the compressed index, still
// scrambled, into scrambled. False when the trailer cannot be found or read,
// or when the reporter says stop.
bool ReadFrame(TStream& in, PkgArchive& archive, std::vector<std::uint8_t>& scrambled,
               Reporter& report) {
  const auto none = ArchiveProblem::kNoRecord;
  try {
    archive.fileSize = static_cast<std::uint64_t>(in.Size());
  } catch (const std::exception& e) {
    report(none, std::string("cannot learn the archive's size: ") + e.what());
    return false;
  }
  const std::uint64_t fileSize = archive.fileSize;
  if (fileSize < kHeaderSize) {
    report(none, "the archive is " + Num(fileSize) + " bytes long, shorter than its " +
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
  // The compressed index lies within the file, so its length is bounded by it.
  scrambled.resize(static_cast<std::size_t>(fileSize - at - kTrailerFixedSize));
  if (!scrambled.empty()) {
    if (Status s = ReadAt(in, at + kTrailerIndexOffset, scrambled.data(), scrambled.size());
        !s.ok()) {
      report(none, s.message());
      return false;
    }
  }
  return !report.stopped();
}

std::string RecordWhere(std::size_t i, std::size_t bytePos) {
  return "index record " + Num(i + 1) + " (byte " + Num(bytePos) + " of the index)";
}

// Splits the inflated index into records. On a record cut short, returns that
// problem and leaves the records before it.
std::optional<ArchiveProblem> SplitIndex(const std::vector<std::uint8_t>& index,
                                         std::vector<IndexRecord>& records,
                                         std::vector<std::size_t>& positions) {
  records.clear();
  positions.clear();
  std::size_t pos = 0;
  while (pos < index.size()) {
    const std::size_t i = records.size();
    const std::string where = RecordWhere(i, pos);
    if (index.size() - pos < 4)
      return ArchiveProblem{i, where + ": cut short before its name length"};
    const std::uint32_t nameLength = GetU32LE(index.data() + pos);
    if (index.size() - pos - 4 < static_cast<std::uint64_t>(nameLength) + 12)
      return ArchiveProblem{
          i, where + ": its name length " + Num(nameLength) + " runs past the end of the index"};
    positions.push_back(pos);
    pos += 4;
    IndexRecord r;
    r.name.assign(reinterpret_cast<const char*>(index.data() + pos), nameLength);
    pos += nameLength;
    r.offset = GetU32LE(index.data() + pos);
    r.size = GetU32LE(index.data() + pos + 4);
    r.storedSize = GetU32LE(index.data() + pos + 8);
    pos += 12;
    records.push_back(std::move(r));
  }
  return std::nullopt;
}

// True when the compressed index inflates to its size and splits into records.
bool IndexReadsSoundly(const std::vector<std::uint8_t>& compressed, std::uint32_t indexSize) {
  std::vector<std::uint8_t> index;
  std::vector<IndexRecord> records;
  std::vector<std::size_t> positions;
  return InflateExact(compressed, indexSize, index).ok() && !SplitIndex(index, records, positions);
}

std::string DataSpan(const IndexRecord& r) {
  return "offset " + Num(r.offset) + ", " + Bytes(r.storedSize);
}

// Every layout rule a record list must keep, each broken rule reported.
void CheckLayout(const PkgArchive& archive, const std::vector<std::size_t>& positions,
                 Reporter& report) {
  const std::vector<IndexRecord>& records = archive.records;
  const std::uint64_t dataEnd = archive.header.trailerOffset;
  const std::size_t n = records.size();
  auto where = [&](std::size_t i) { return RecordWhere(i, positions[i]); };
  auto end = [&](std::size_t i) {
    return static_cast<std::uint64_t>(records[i].offset) + records[i].storedSize;
  };

  std::vector<bool> inArea(n);
  std::unordered_map<std::string, std::size_t> firstWithName;
  firstWithName.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const IndexRecord& r = records[i];
    inArea[i] = r.offset >= kHeaderSize && end(i) <= dataEnd;
    if (!inArea[i] &&
        !report(i, where(i) + ": its data (" + DataSpan(r) +
                       ") lies outside the data area, from offset 24 to " + Num(dataEnd)))
      return;
    if (archive.header.compression == 0 && r.storedSize != r.size &&
        !report(i, where(i) + ": stored size " + Num(r.storedSize) + " differs from its size " +
                       Num(r.size) + " in an uncompressed archive"))
      return;
    const auto [it, added] = firstWithName.emplace(r.name, i);
    if (!added &&
        !report(i, where(i) + ": its name is already that of index record " + Num(it->second + 1)))
      return;
  }

  // In offset order, the data must cover the area exactly: each record
  // beginning where the data before it ends.
  std::vector<std::size_t> byOffset;
  for (std::size_t i = 0; i < n; ++i)
    if (inArea[i]) byOffset.push_back(i);
  std::sort(byOffset.begin(), byOffset.end(), [&](std::size_t a, std::size_t b) {
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
  Inspection result;
  Reporter report(sink, result);
  const auto none = ArchiveProblem::kNoRecord;
  archive = PkgArchive{};
  if (keys.empty() || std::any_of(keys.begin(), keys.end(), [](auto& k) { return k.empty(); })) {
    report(none, "the index key is empty");
    return result;
  }
  std::vector<std::uint8_t> scrambled;
  if (!ReadFrame(in, archive, scrambled, report)) return result;
  result.trailerRead = true;

  const std::uint64_t at = archive.header.trailerOffset;
  const std::string trailerAt = "trailer at offset " + Num(at);
  const std::string digestAt = "the digest at offset " + Num(at + kTrailerDigestOffset);
  std::vector<std::uint8_t> compressed;
  auto unscramble = [&](std::size_t k) {
    compressed = scrambled;
    ScrambleWithKey(compressed, keys[k]);
  };
  for (std::size_t k = 0; k < keys.size() && result.key < 0; ++k) {
    unscramble(k);
    if (DigestMatches(compressed, archive.storedDigest)) {
      result.key = static_cast<int>(k);
      result.digestMatches = true;
    }
  }
  if (result.key < 0) {
    for (std::size_t k = 0; k < keys.size() && result.key < 0; ++k) {
      unscramble(k);
      if (IndexReadsSoundly(compressed, archive.indexSize)) result.key = static_cast<int>(k);
    }
    if (result.key < 0) {
      const std::string which = keys.size() == 1
                                    ? "does not match this key"
                                    : "matches none of the " + Num(keys.size()) + " keys tried";
      report(none, trailerAt + ": the index " + which + ", or the trailer is damaged (" + digestAt +
                       " differs from that of the unscrambled index)");
      return result;
    }
    if (!report(none, trailerAt + ": " + digestAt +
                          " differs from that of the index, which still reads soundly: the "
                          "digest or the index is damaged"))
      return result;
  }

  std::vector<std::uint8_t> index;
  if (Status s = InflateExact(compressed, archive.indexSize, index); !s.ok()) {
    report(none, trailerAt + ": the index " + s.message());
    return result;
  }
  archive.compressedIndex = std::move(compressed);
  std::vector<std::size_t> positions;
  if (auto problem = SplitIndex(index, archive.records, positions)) {
    report(problem->record, std::move(problem->message));
    return result;
  }
  result.indexRead = true;
  CheckLayout(archive, positions, report);
  return result;
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
  std::vector<std::uint8_t> compressed;
  if (!ReadFrame(in, archive, compressed, report) || result.problems != 0) return false;
  ScrambleWithKey(compressed, key);
  return DigestMatches(compressed, archive.storedDigest);
}

Status StreamRecordData(TStream& in, const PkgArchive& archive, const IndexRecord& record,
                        const DataSink& sink) {
  const std::string where = "the data at offset " + Num(record.offset) + " (" +
                            Num(record.storedSize) + " stored bytes, size " + Num(record.size) +
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
