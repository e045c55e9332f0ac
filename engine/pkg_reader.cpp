#include "pkg_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "md5.h"

namespace pkg {
namespace {

// Deflate cannot expand data by more than about 1032 to 1; a size beyond that
// bound cannot come from the stored bytes and is refused before allocation.
constexpr std::uint64_t kMaxInflateRatio = 1032;

std::string Hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

Status ReadAt(TStream& in, std::uint64_t offset, void* buffer, std::size_t count) {
  try {
    in.SetPosition(static_cast<std::int64_t>(offset));
    in.ReadBuffer(buffer, count);
  } catch (const std::exception& e) {
    return Status::Fail("cannot read " + std::to_string(count) + " bytes at offset " +
                        std::to_string(offset) + ": " + e.what());
  }
  return Status::Ok();
}

struct Trailer {
  PkgHeader header;
  std::uint64_t fileSize = 0;
  std::uint32_t indexSize = 0;
  std::array<std::uint8_t, kDigestTextSize> digest{};
  std::vector<std::uint8_t> compressed;  // unscrambled
};

Status ReadHeader(TStream& in, PkgHeader& header, std::uint64_t& fileSize) {
  try {
    fileSize = static_cast<std::uint64_t>(in.Size());
  } catch (const std::exception& e) {
    return Status::Fail(std::string("cannot learn the archive's size: ") + e.what());
  }
  if (fileSize < kHeaderSize)
    return Status::Fail("the archive is " + std::to_string(fileSize) +
                        " bytes long, shorter than its 24-byte header");
  std::uint8_t h[kHeaderSize];
  if (Status s = ReadAt(in, 0, h, sizeof h); !s.ok()) return s;
  if (std::memcmp(h + kHeaderMagicOffset, kMagic.data(), kMagic.size()) != 0)
    return Status::Fail("offset 0: the magic is not \"PK3.0\" followed by three zero bytes");
  header.type = static_cast<std::int32_t>(GetU32LE(h + kHeaderTypeOffset));
  header.compression = GetU32LE(h + kHeaderCompressionOffset);
  header.trailerOffset = GetU32LE(h + kHeaderTrailerOffsetOffset);
  header.constant = GetU32LE(h + kHeaderConstantOffset);
  if (header.constant != kHeaderConstant)
    return Status::Fail("offset 20: the header constant is " + Hex32(header.constant) +
                        ", not 0x006769ED");
  if (header.compression > 1)
    return Status::Fail("offset 12: the compression flag is " + std::to_string(header.compression) +
                        ", neither 0 nor 1");
  if (header.trailerOffset < kHeaderSize ||
      static_cast<std::uint64_t>(header.trailerOffset) + kTrailerFixedSize > fileSize)
    return Status::Fail("offset 16: the trailer offset " + std::to_string(header.trailerOffset) +
                        " does not leave room for a trailer in a file of " +
                        std::to_string(fileSize) + " bytes");
  return Status::Ok();
}

Status ReadTrailer(TStream& in, std::span<const std::uint8_t> key, Trailer& t) {
  if (key.empty()) return Status::Fail("the index key is empty");
  if (Status s = ReadHeader(in, t.header, t.fileSize); !s.ok()) return s;
  const std::uint64_t at = t.header.trailerOffset;
  std::uint8_t fixed[kTrailerFixedSize];
  if (Status s = ReadAt(in, at, fixed, sizeof fixed); !s.ok()) return s;
  t.indexSize = GetU32LE(fixed + kTrailerIndexSizeOffset);
  std::memcpy(t.digest.data(), fixed + kTrailerDigestOffset, kDigestTextSize);
  const std::uint64_t length = t.fileSize - at - kTrailerFixedSize;
  t.compressed.resize(static_cast<std::size_t>(length));
  if (length > 0) {
    if (Status s = ReadAt(in, at + kTrailerFixedSize, t.compressed.data(), t.compressed.size());
        !s.ok())
      return s;
  }
  ScrambleWithKey(t.compressed, key);
  return Status::Ok();
}

bool DigestMatches(const Trailer& t) {
  const std::string text = MD5DigestText(MD5Bytes(t.compressed.data(), t.compressed.size()));
  for (std::size_t i = 0; i < kDigestTextSize; ++i)
    if ((t.digest[i] ^ kDigestMask) != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

}  // namespace

Status InflateExact(std::span<const std::uint8_t> in, std::uint64_t expectedSize,
                    std::vector<std::uint8_t>& out) {
  out.clear();
  if (expectedSize > (static_cast<std::uint64_t>(in.size()) + 16) * kMaxInflateRatio)
    return Status::Fail("claims " + std::to_string(expectedSize) + " bytes, more than " +
                        std::to_string(in.size()) + " compressed bytes can hold");
  out.resize(static_cast<std::size_t>(expectedSize));
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return Status::Fail("zlib cannot start inflating");
  z.next_in = const_cast<Bytef*>(in.data());
  std::uint8_t spare = 0;
  std::uint64_t produced = 0;
  int rc = Z_OK;
  // uInt counts are 32-bit: feed and drain in chunks.
  std::size_t inLeft = in.size();
  for (;;) {
    if (z.avail_in == 0 && inLeft > 0) {
      z.avail_in = static_cast<uInt>(std::min<std::size_t>(inLeft, 1u << 30));
      inLeft -= z.avail_in;
    }
    if (produced < expectedSize) {
      z.next_out = out.data() + produced;
      z.avail_out = static_cast<uInt>(std::min<std::uint64_t>(expectedSize - produced, 1u << 30));
    } else {
      // One spare byte shows a stream that goes on past the expected size.
      z.next_out = &spare;
      z.avail_out = 1;
    }
    const uInt before = z.avail_out;
    rc = inflate(&z, Z_NO_FLUSH);
    const uInt made = before - z.avail_out;
    if (produced >= expectedSize && made > 0) {
      inflateEnd(&z);
      return Status::Fail("inflates to more than its size of " + std::to_string(expectedSize) +
                          " bytes");
    }
    produced += made;
    // No progress: go on only when there is more input to give; otherwise the
    // stream wants bytes that are not there.
    if (rc == Z_BUF_ERROR && z.avail_in == 0 && inLeft > 0) continue;
    if (rc != Z_OK) break;
  }
  const std::string zmsg = z.msg ? z.msg : zError(rc);
  const std::size_t unused = z.avail_in + inLeft;
  inflateEnd(&z);
  if (rc != Z_STREAM_END) {
    if (rc == Z_OK || rc == Z_BUF_ERROR)
      return Status::Fail("is cut short: its zlib stream ends after " + std::to_string(produced) +
                          " of " + std::to_string(expectedSize) + " bytes");
    return Status::Fail("is not a sound zlib stream: " + zmsg);
  }
  if (produced != expectedSize)
    return Status::Fail("inflates to " + std::to_string(produced) + " bytes, not its size of " +
                        std::to_string(expectedSize));
  if (unused != 0)
    return Status::Fail("has " + std::to_string(unused) +
                        " bytes after the end of its zlib stream");
  return Status::Ok();
}

bool KeyFitsArchive(TStream& in, std::span<const std::uint8_t> key) {
  Trailer t;
  return ReadTrailer(in, key, t).ok() && DigestMatches(t);
}

Status ReadArchive(TStream& in, std::span<const std::uint8_t> key, PkgArchive& archive) {
  Trailer t;
  if (Status s = ReadTrailer(in, key, t); !s.ok()) return s;
  archive.fileSize = t.fileSize;
  archive.header = t.header;
  archive.indexSize = t.indexSize;
  archive.storedDigest = t.digest;
  const std::string trailerAt = "trailer at offset " + std::to_string(t.header.trailerOffset);
  if (!DigestMatches(t))
    return Status::Fail(trailerAt +
                        ": the index does not match this key, or the trailer is damaged (the "
                        "digest at offset " +
                        std::to_string(t.header.trailerOffset + kTrailerDigestOffset) +
                        " differs from that of the unscrambled index)");

  std::vector<std::uint8_t> index;
  if (Status s = InflateExact(t.compressed, t.indexSize, index); !s.ok())
    return Status::Fail(trailerAt + ": the index " + s.message());
  archive.compressedIndex = std::move(t.compressed);

  archive.records.clear();
  std::set<std::string> names;
  std::uint64_t dataEnd = kHeaderSize;  // where the next record's data must begin
  std::size_t pos = 0;
  while (pos < index.size()) {
    const std::string where = "index record " + std::to_string(archive.records.size() + 1) +
                              " (byte " + std::to_string(pos) + " of the index)";
    if (index.size() - pos < 4) return Status::Fail(where + ": cut short before its name length");
    const std::uint32_t nameLength = GetU32LE(index.data() + pos);
    pos += 4;
    if (index.size() - pos < static_cast<std::uint64_t>(nameLength) + 12)
      return Status::Fail(where + ": its name length " + std::to_string(nameLength) +
                          " runs past the end of the index");
    IndexRecord r;
    r.name.assign(reinterpret_cast<const char*>(index.data() + pos), nameLength);
    pos += nameLength;
    r.offset = GetU32LE(index.data() + pos);
    r.size = GetU32LE(index.data() + pos + 4);
    r.storedSize = GetU32LE(index.data() + pos + 8);
    pos += 12;
    const std::uint64_t end = static_cast<std::uint64_t>(r.offset) + r.storedSize;
    if (r.offset < kHeaderSize || end > t.header.trailerOffset)
      return Status::Fail(where + ": its data (offset " + std::to_string(r.offset) + ", " +
                          std::to_string(r.storedSize) +
                          " bytes) lies outside the data area, which ends at " +
                          std::to_string(t.header.trailerOffset));
    if (t.header.compression == 0 && r.storedSize != r.size)
      return Status::Fail(where + ": stored size " + std::to_string(r.storedSize) +
                          " differs from its size " + std::to_string(r.size) +
                          " in an uncompressed archive");
    // The data area holds the files back to back in index order, so each
    // record's data begins where the one before it ends.
    if (r.offset != dataEnd)
      return Status::Fail(where + ": its data begins at offset " + std::to_string(r.offset) +
                          ", not at offset " + std::to_string(dataEnd) +
                          " where the data before it ends");
    dataEnd = end;
    if (!names.insert(r.name).second) {
      std::size_t first = 0;
      while (archive.records[first].name != r.name) ++first;
      return Status::Fail(where + ": its name is already that of index record " +
                          std::to_string(first + 1));
    }
    archive.records.push_back(std::move(r));
  }
  if (dataEnd != t.header.trailerOffset)
    return Status::Fail(trailerAt + ": the files' data ends at " + std::to_string(dataEnd) +
                        ", leaving bytes that no index record accounts for before the trailer");
  return Status::Ok();
}

Status ReadRecordData(TStream& in, const PkgArchive& archive, const IndexRecord& record,
                      std::vector<std::uint8_t>& content) {
  const std::string where = "the data at offset " + std::to_string(record.offset) + " (" +
                            std::to_string(record.storedSize) + " stored bytes, size " +
                            std::to_string(record.size) + ")";
  const std::uint64_t end = static_cast<std::uint64_t>(record.offset) + record.storedSize;
  if (record.offset < kHeaderSize || end > archive.header.trailerOffset || end > archive.fileSize)
    return Status::Fail(where + " lies outside the data area, which ends at " +
                        std::to_string(archive.header.trailerOffset));
  if (archive.header.compression == 0) {
    content.clear();
    if (record.storedSize != record.size)
      return Status::Fail(where +
                          ": the stored size differs from the size in an uncompressed "
                          "archive");
    content.resize(record.storedSize);
    return record.storedSize ? ReadAt(in, record.offset, content.data(), content.size())
                             : Status::Ok();
  }
  std::vector<std::uint8_t> stored(record.storedSize);
  if (record.storedSize) {
    if (Status s = ReadAt(in, record.offset, stored.data(), stored.size()); !s.ok()) return s;
  }
  if (Status s = InflateExact(stored, record.size, content); !s.ok())
    return Status::Fail(where + " " + s.message());
  return Status::Ok();
}

}  // namespace pkg
