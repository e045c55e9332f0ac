// Reading archives back: archives are laid out here byte by byte (header, data
// area, sealed trailer) in memory, then read with the engine's reader. The
// hostile archives each break one rule of the layout; every one must be refused
// with a message that names the problem and where it sits, and none may crash.
#include "pkg_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "md5.h"
#include "pkg_format.h"
#include "pkg_index.h"
#include "streams.h"

namespace pkg {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kKey(kGame1Key.begin(), kGame1Key.end());
const Bytes kEmptyZlibStream = {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};

Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes Compress(const Bytes& in) {
  uLongf len = compressBound(static_cast<uLong>(in.size()));
  Bytes out(len);
  EXPECT_EQ(
      compress2(out.data(), &len, in.data(), static_cast<uLong>(in.size()), Z_DEFAULT_COMPRESSION),
      Z_OK);
  out.resize(len);
  return out;
}

// Compressible but not trivially: runs of zeros between counting bytes.
Bytes Sample(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i)
    out[i] = (i / 7) % 3 == 0 ? 0 : static_cast<std::uint8_t>(i * seed + (i >> 9));
  return out;
}

void Append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

// The pieces of an archive. The header's trailer offset is always 24 plus the
// data area's length, as the packer writes it.
struct Parts {
  std::int32_t type = 5;
  std::uint32_t compression = 0;
  Bytes data;
  Bytes index;                             // raw index bytes, before sealing
  std::optional<std::uint32_t> indexSize;  // stored instead of the real index size
  Bytes key = kKey;
};

Bytes Assemble(const Parts& p) {
  const std::uint32_t trailerOffset = static_cast<std::uint32_t>(kHeaderSize + p.data.size());
  const auto header = MakeHeader(p.type, p.compression == 1, trailerOffset);
  Bytes out(header.begin(), header.end());
  PutU32LE(out.data() + kHeaderCompressionOffset, p.compression);
  Append(out, p.data);
  SealedIndex sealed = SealIndex(p.index, p.key);
  if (p.indexSize) sealed.indexSize = *p.indexSize;
  Append(out, TrailerBytes(sealed));
  return out;
}

Bytes IndexOf(const std::vector<IndexRecord>& records) {
  Bytes index;
  for (const IndexRecord& r : records) AppendIndexRecord(index, r);
  return index;
}

struct SourceFile {
  std::string name;  // code page 936 bytes
  Bytes content;
};

// Lays the files out as the packer does: back to back from offset 24, each as
// is or as its own default-level zlib stream.
Bytes BuildArchive(const std::vector<SourceFile>& files, bool compressed, std::int32_t type = 1) {
  Parts p;
  p.type = type;
  p.compression = compressed ? 1 : 0;
  std::vector<IndexRecord> records;
  for (const SourceFile& f : files) {
    const Bytes stored = compressed ? Compress(f.content) : f.content;
    records.push_back({f.name, static_cast<std::uint32_t>(kHeaderSize + p.data.size()),
                       static_cast<std::uint32_t>(f.content.size()),
                       static_cast<std::uint32_t>(stored.size())});
    Append(p.data, stored);
  }
  p.index = IndexOf(records);
  return Assemble(p);
}

Status Read(const Bytes& bytes, PkgArchive& archive, const Bytes& key = kKey) {
  TMemoryStream in;
  in.Data() = bytes;
  return ReadArchive(in, key, archive);
}

bool Fits(const Bytes& bytes, const Bytes& key) {
  TMemoryStream in;
  in.Data() = bytes;
  return KeyFitsArchive(in, key);
}

Status ReadData(const Bytes& bytes, const PkgArchive& archive, const IndexRecord& record,
                Bytes& content) {
  TMemoryStream in;
  in.Data() = bytes;
  return ReadRecordData(in, archive, record, content);
}

// ---------------------------------------------------------------------------
// Round trips

class ReadArchiveRoundTripTest : public testing::TestWithParam<bool> {};

TEST_P(ReadArchiveRoundTripTest, EveryFileComesBackWithItsNameSizeAndContent) {
  const bool compressed = GetParam();
  const std::vector<SourceFile> files = {
      {"\\a.txt", ToBytes("hello")},
      {"\\\xCA\xFD\xBE\xDD\\b.bin", Sample(3000, 13)},  // "\数据\b.bin"
      {"\\empty", {}},
      {"\\sub\\big.dat", Sample(200000, 7)},  // beyond one 64 KiB buffer
      {"\\sub\\copy.txt", ToBytes("hello")},  // same content, stored again
  };
  const Bytes bytes = BuildArchive(files, compressed, -7);

  PkgArchive archive;
  const Status s = Read(bytes, archive);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(archive.fileSize, bytes.size());
  EXPECT_EQ(archive.header.type, -7);
  EXPECT_EQ(archive.header.compression, compressed ? 1u : 0u);
  EXPECT_EQ(archive.header.constant, kHeaderConstant);
  ASSERT_EQ(archive.records.size(), files.size());

  std::uint32_t expectedOffset = kHeaderSize;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const IndexRecord& r = archive.records[i];
    SCOPED_TRACE("record " + std::to_string(i + 1));
    EXPECT_EQ(r.name, files[i].name);
    EXPECT_EQ(r.offset, expectedOffset);
    EXPECT_EQ(r.size, files[i].content.size());
    if (!compressed) {
      EXPECT_EQ(r.storedSize, r.size);
    }
    expectedOffset += r.storedSize;

    Bytes content = {0xEE};  // stale content must be replaced, not appended to
    const Status d = ReadData(bytes, archive, r, content);
    ASSERT_TRUE(d.ok()) << d.message();
    EXPECT_TRUE(content == files[i].content);
  }
  EXPECT_EQ(archive.header.trailerOffset, expectedOffset);
  EXPECT_EQ(archive.indexSize, IndexOf(archive.records).size());
}

INSTANTIATE_TEST_SUITE_P(StoredAndCompressed, ReadArchiveRoundTripTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Compressed" : "Stored";
                         });

TEST(ReadArchiveEdgeTest, OneEmptyFileStoredAsIsTakesNoDataBytes) {
  const Bytes bytes = BuildArchive({{"\\e", {}}}, false);
  PkgArchive archive;
  const Status s = Read(bytes, archive);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(archive.header.trailerOffset, 24u);
  ASSERT_EQ(archive.records.size(), 1u);
  EXPECT_EQ(archive.records[0].offset, 24u);
  EXPECT_EQ(archive.records[0].size, 0u);
  EXPECT_EQ(archive.records[0].storedSize, 0u);
  Bytes content = {1, 2, 3};
  ASSERT_TRUE(ReadData(bytes, archive, archive.records[0], content).ok());
  EXPECT_TRUE(content.empty());
}

TEST(ReadArchiveEdgeTest, OneEmptyFileCompressedTakesTheEightBytesOfAnEmptyStream) {
  const Bytes bytes = BuildArchive({{"\\e", {}}}, true);
  ASSERT_EQ(Bytes(bytes.begin() + 24, bytes.begin() + 32), kEmptyZlibStream);

  PkgArchive archive;
  const Status s = Read(bytes, archive);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(archive.header.trailerOffset, 32u);
  ASSERT_EQ(archive.records.size(), 1u);
  EXPECT_EQ(archive.records[0].offset, 24u);
  EXPECT_EQ(archive.records[0].size, 0u);
  EXPECT_EQ(archive.records[0].storedSize, 8u);
  Bytes content = {1, 2, 3};
  const Status d = ReadData(bytes, archive, archive.records[0], content);
  ASSERT_TRUE(d.ok()) << d.message();
  EXPECT_TRUE(content.empty());
}

TEST(ReadArchiveEdgeTest, ArchiveWithoutRecordsReadsAsEmpty) {
  PkgArchive archive;
  const Status s = Read(BuildArchive({}, true), archive);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(archive.header.trailerOffset, 24u);
  EXPECT_EQ(archive.indexSize, 0u);
  EXPECT_TRUE(archive.records.empty());
  EXPECT_EQ(archive.compressedIndexSize, kEmptyZlibStream.size());
}

// ---------------------------------------------------------------------------
// Keys

TEST(ReadArchiveKeyTest, OnlyTheKeyThatSealedTheIndexOpensIt) {
  const Bytes bytes = BuildArchive({{"\\a.txt", ToBytes("hello")}}, true);
  const Bytes game2(kGame2Key.begin(), kGame2Key.end());
  Bytes lastByteOff = kKey;
  lastByteOff.back() ^= 0x01;
  Bytes longer = kKey;
  longer.push_back(0x00);  // a 9-byte key cycles differently from byte 8 on

  EXPECT_TRUE(Fits(bytes, kKey));
  const struct {
    const char* what;
    Bytes key;
  } kWrongKeys[] = {
      {"other game's key", game2},
      {"last byte differs", lastByteOff},
      {"one byte longer", longer},
      {"first byte only", {kKey[0]}},
  };
  for (const auto& c : kWrongKeys) {
    SCOPED_TRACE(c.what);
    PkgArchive archive;
    const Status s = Read(bytes, archive, c.key);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.message().find("does not match this key"), std::string::npos) << s.message();
    EXPECT_NE(s.message().find("offset 37"), std::string::npos) << s.message();
    EXPECT_FALSE(Fits(bytes, c.key));
  }
}

TEST(ReadArchiveKeyTest, EmptyKeyIsRefused) {
  const Bytes bytes = BuildArchive({{"\\a.txt", ToBytes("hello")}}, false);
  PkgArchive archive;
  EXPECT_FALSE(Read(bytes, archive, Bytes{}).ok());
  EXPECT_FALSE(Fits(bytes, Bytes{}));
}

// ---------------------------------------------------------------------------
// Hostile archives for ReadArchive

// Two stored files: "hello" at 24 and 00 01 02 at 29; the trailer at 32.
Parts GoodParts() {
  Parts p;
  p.data = {'h', 'e', 'l', 'l', 'o', 0, 1, 2};
  p.index = IndexOf({{"\\a.txt", 24, 5, 5}, {"\\sub\\b.bin", 29, 3, 3}});
  return p;
}

Bytes Good() {
  return Assemble(GoodParts());
}

Bytes WithIndex(const std::vector<IndexRecord>& records) {
  Parts p = GoodParts();
  p.index = IndexOf(records);
  return Assemble(p);
}

Bytes WithIndexSize(std::uint32_t size) {
  Parts p = GoodParts();
  p.indexSize = size;
  return Assemble(p);
}

Bytes WithRawIndex(Bytes index) {
  Parts p = GoodParts();
  p.index = std::move(index);
  return Assemble(p);
}

// The good data area with a trailer sealed around any bytes as the compressed
// index: the digest fits them, whatever they are.
Bytes WithSealedRaw(std::uint32_t indexSize, const Bytes& compressed) {
  const Parts p = GoodParts();
  const auto header = MakeHeader(p.type, false, 32);
  Bytes out(header.begin(), header.end());
  Append(out, p.data);
  SealedIndex sealed;
  sealed.indexSize = indexSize;
  const std::string text = MD5DigestText(MD5Bytes(compressed.data(), compressed.size()));
  for (std::size_t i = 0; i < kDigestTextSize; ++i)
    sealed.maskedDigest[i] = static_cast<std::uint8_t>(text[i]) ^ kDigestMask;
  sealed.scrambledIndex = compressed;
  for (std::size_t i = 0; i < compressed.size(); ++i)
    sealed.scrambledIndex[i] ^= p.key[i % p.key.size()];
  Append(out, TrailerBytes(sealed));
  return out;
}

Bytes WithU32(std::size_t at, std::uint32_t value) {
  Bytes b = Good();
  PutU32LE(b.data() + at, value);
  return b;
}

Bytes Flipped(std::size_t at, std::uint8_t mask) {
  Bytes b = Good();
  b.at(at) ^= mask;
  return b;
}

Bytes CutTo(std::size_t size) {
  Bytes b = Good();
  b.resize(size);
  return b;
}

struct HostileCase {
  const char* what;
  Bytes (*make)();
  const char* problem;  // expected in the message
  const char* where;    // expected in the message
  bool keyFits;         // the header and trailer themselves are sound
};

const std::uint32_t kGoodIndexSize = (16 + 6) + (16 + 10);

const HostileCase kHostileCases[] = {
    {"empty file", [] { return Bytes{}; }, "24-byte header", "0 bytes", false},
    {"shorter than the header", [] { return CutTo(23); }, "24-byte header", "23 bytes", false},
    {"bad magic", [] { return Flipped(2, 0x01); }, "magic", "offset 0", false},
    {"magic padding not zero", [] { return Flipped(7, 0x01); }, "magic", "offset 0", false},
    {"bad header constant", [] { return Flipped(20, 0x01); }, "header constant", "offset 20",
     false},
    {"compression flag 2", [] { return WithU32(12, 2); }, "compression flag is 2", "offset 12",
     false},
    {"trailer offset never patched", [] { return WithU32(16, 0); }, "trailer offset 0", "offset 16",
     false},
    {"trailer offset 23", [] { return WithU32(16, 23); }, "trailer offset 23", "offset 16", false},
    {"trailer offset at the end of the file", [] { return WithU32(16, 32 + 36 + 8); },
     "room for a trailer", "offset 16", false},
    {"trailer offset past the end", [] { return WithU32(16, 1000); }, "trailer offset 1000",
     "offset 16", false},
    {"trailer offset 0xFFFFFFFF", [] { return WithU32(16, 0xFFFFFFFFu); }, "room for a trailer",
     "offset 16", false},
    {"cut inside the trailer's fixed part", [] { return CutTo(32 + 20); }, "room for a trailer",
     "offset 16", false},
    {"cut inside the compressed index", [] { return CutTo(Good().size() - 1); }, "digest",
     "offset 32", false},
    {"flipped digest byte", [] { return Flipped(32 + 4 + 5, 0x01); }, "digest", "offset 32", false},
    {"flipped compressed index byte", [] { return Flipped(32 + 36 + 3, 0x40); }, "digest",
     "offset 32", false},
    {"index size one larger", [] { return WithIndexSize(kGoodIndexSize + 1); },
     "not its size of 49", "offset 32", true},
    {"index size one smaller", [] { return WithIndexSize(kGoodIndexSize - 1); },
     "more than its size of 47", "offset 32", true},
    {"index size zero", [] { return WithIndexSize(0); }, "more than its size of 0", "offset 32",
     true},
    {"huge index size refused before allocating", [] { return WithIndexSize(0xFFFFFFF0u); },
     "claims 4294967280 bytes", "offset 32", true},
    {"index not a zlib stream", [] { return WithSealedRaw(kGoodIndexSize, ToBytes("no zlib")); },
     "not a sound zlib stream", "offset 32", true},
    {"no compressed index at all", [] { return WithSealedRaw(0, {}); }, "cut short", "offset 32",
     true},
    {"bytes after the index's zlib stream",
     [] {
       Bytes compressed = Compress(GoodParts().index);
       compressed.push_back(0);
       return WithSealedRaw(kGoodIndexSize, compressed);
     },
     "after the end", "offset 32", true},
    {"index cut inside a name length",
     [] {
       return WithRawIndex({1, 0, 0});
     },
     "cut short", "record 1", true},
    {"name length past the index end",
     [] {
       Bytes index;
       AppendU32LE(index, 100);
       Append(index, ToBytes("\\a.txt"));
       for (std::uint32_t v : {24u, 5u, 5u}) AppendU32LE(index, v);
       return WithRawIndex(index);
     },
     "name length 100 runs past", "record 1", true},
    {"name length 0xFFFFFFFF",
     [] {
       Bytes index;
       for (std::uint32_t v : {0xFFFFFFFFu, 24u, 5u, 5u}) AppendU32LE(index, v);
       return WithRawIndex(index);
     },
     "runs past", "record 1", true},
    {"second record cut short",
     [] {
       Bytes index = IndexOf({{"\\a.txt", 24, 5, 5}});
       for (std::uint32_t v : {2u, 29u, 3u}) AppendU32LE(index, v);
       return WithRawIndex(index);
     },
     "runs past", "record 2", true},
    {"record offset below 24",
     [] {
       return WithIndex({{"\\a.txt", 20, 5, 5}});
     },
     "outside the data area", "record 1", true},
    {"record offset 0",
     [] {
       return WithIndex({{"\\a.txt", 0, 0, 0}});
     },
     "outside the data area", "record 1", true},
    {"record reaching past the trailer offset",
     [] {
       return WithIndex({{"\\a.txt", 24, 5, 5}, {"\\b", 29, 4, 4}});
     },
     "outside the data area", "record 2", true},
    {"record in the trailer",
     [] {
       return WithIndex({{"\\a.txt", 24, 5, 5}, {"\\b", 40, 3, 3}});
     },
     "outside the data area", "record 2", true},
    {"record end wrapping past 4 GiB",
     [] {
       return WithIndex({{"\\a.txt", 0xFFFFFFF0u, 0x20, 0x20}});
     },
     "outside the data area", "record 1", true},
    {"stored size differs from size when stored as is",
     [] {
       return WithIndex({{"\\a.txt", 24, 5, 5}, {"\\b", 29, 2, 3}});
     },
     "differs from its size", "record 2", true},
    {"gap between two records",
     [] {
       return WithIndex({{"\\a.txt", 24, 4, 4}, {"\\b", 29, 3, 3}});
     },
     "offset 29", "record 2", true},
    {"overlapping records",
     [] {
       return WithIndex({{"\\a.txt", 24, 5, 5}, {"\\b", 28, 4, 4}});
     },
     "offset 28", "record 2", true},
    {"data area not used up",
     [] {
       return WithIndex({{"\\a.txt", 24, 5, 5}});
     },
     "ends at 29", "offset 32", true},
    {"first record not at 24",
     [] {
       return WithIndex({{"\\a.txt", 25, 3, 3}, {"\\b", 28, 4, 4}});
     },
     "offset 25", "record 1", true},
    {"two records with one name",
     [] {
       return WithIndex({{"\\a.txt", 24, 5, 5}, {"\\a.txt", 29, 3, 3}});
     },
     "record 1", "record 2", true},
};

TEST(ReadArchiveHostileTest, EveryDamageIsRefusedWithWhatAndWhere) {
  for (const HostileCase& c : kHostileCases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes = c.make();
    PkgArchive archive;
    const Status s = Read(bytes, archive);
    EXPECT_EQ(Fits(bytes, kKey), c.keyFits);
    if (s.ok()) {
      ADD_FAILURE() << "accepted";
      continue;
    }
    EXPECT_NE(s.message().find(c.problem), std::string::npos) << s.message();
    EXPECT_NE(s.message().find(c.where), std::string::npos) << s.message();
  }
}

// ---------------------------------------------------------------------------
// Failing streams

// A stream over good archive bytes that fails every read from a given offset on.
class FailingStream : public TMemoryStream {
 public:
  FailingStream(const Bytes& bytes, std::int64_t failFrom) : failFrom_(failFrom) { Data() = bytes; }
  std::size_t Read(void* buffer, std::size_t count) override {
    if (Position() + static_cast<std::int64_t>(count) > failFrom_)
      throw EStreamError("device not ready");
    return TMemoryStream::Read(buffer, count);
  }

 private:
  std::int64_t failFrom_;
};

TEST(ReadArchiveHostileTest, ReadErrorsBecomeFailuresThatSayWhere) {
  const struct {
    std::int64_t failFrom;
    const char* where;
  } kCases[] = {{0, "offset 0"}, {40, "offset 32"}, {70, "offset 68"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.where);
    FailingStream in(Good(), c.failFrom);
    PkgArchive archive;
    const Status s = ReadArchive(in, kKey, archive);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.message().find(c.where), std::string::npos) << s.message();
    EXPECT_NE(s.message().find("device not ready"), std::string::npos) << s.message();
    FailingStream again(Good(), c.failFrom);
    EXPECT_FALSE(KeyFitsArchive(again, kKey));
  }
}

// ---------------------------------------------------------------------------
// InspectArchive: every problem, one report each

struct Inspected {
  Inspection result;
  PkgArchive archive;
  std::vector<ArchiveProblem> problems;
};

Inspected Inspect(const Bytes& bytes, const std::vector<Bytes>& keys = {kKey}) {
  TMemoryStream in;
  in.Data() = bytes;
  Inspected out;
  out.result = InspectArchive(in, keys, out.archive, [&out](const ArchiveProblem& p) {
    out.problems.push_back(p);
    return true;
  });
  return out;
}

// Each expected problem, in order, is a substring of the problem reported at
// the same place; nothing more may be reported.
void ExpectProblems(const Inspected& got, const std::vector<std::string>& expected) {
  EXPECT_EQ(got.result.problems, got.problems.size());
  ASSERT_EQ(got.problems.size(), expected.size()) << [&] {
    std::string all;
    for (const ArchiveProblem& p : got.problems) all += "\n  " + p.message;
    return all;
  }();
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_NE(got.problems[i].message.find(expected[i]), std::string::npos)
        << got.problems[i].message;
}

struct LayoutCase {
  const char* what;
  std::vector<IndexRecord> records;  // over the good 8-byte data area, trailer at 32
  std::vector<std::string> problems;
};

const LayoutCase kLayoutCases[] = {
    {"every broken record is named, each once",
     {{"\\a", 20, 5, 5}, {"\\b", 29, 2, 3}, {"\\a", 29, 3, 3}},
     {"index record 1 (byte 0 of the index): its data (offset 20, 5 bytes) lies outside",
      "index record 2 (byte 18 of the index): stored size 3 differs from its size 2",
      "index record 3 (byte 36 of the index): its name is already that of index record 1",
      "index record 2 (byte 18 of the index): its data begins at offset 29, leaving 5 bytes from "
      "offset 24",
      "index record 3 (byte 36 of the index): its data (offset 29, 3 bytes) overlaps that of index "
      "record 2"}},
    {"data in the reverse of the index order",
     {{"\\b", 29, 3, 3}, {"\\a", 24, 5, 5}},
     {"index record 2 (byte 18 of the index): its data (offset 24, 5 bytes) lies before the end of "
      "that of index record 1 (offset 29, 3 bytes), against the order of the index"}},
    {"empty file placed inside the data before it",
     {{"\\a", 24, 5, 5}, {"\\e", 26, 0, 0}, {"\\b", 29, 3, 3}},
     {"index record 2 (byte 18 of the index): its data (offset 26, 0 bytes) lies before the end"}},
    {"a gap, then an overlap",
     {{"\\a", 24, 4, 4}, {"\\b", 29, 3, 3}, {"\\c", 30, 2, 2}},
     {"index record 2 (byte 18 of the index): its data begins at offset 29, leaving 1 byte from "
      "offset 28",
      "index record 3 (byte 36 of the index): its data (offset 30, 2 bytes) overlaps that of index "
      "record 2 (offset 29, 3 bytes)"}},
    {"records outside the area also leave the area short",
     {{"\\a", 24, 5, 5}, {"\\b", 40, 3, 3}},
     {"index record 2", "the files' data ends at 29, leaving 3 bytes"}},
    // Sound layouts: empty files take no bytes and may share an offset.
    {"empty files sharing an offset",
     {{"\\a", 24, 5, 5}, {"\\e", 29, 0, 0}, {"\\f", 29, 0, 0}, {"\\b", 29, 3, 3}},
     {}},
    {"empty file at the trailer", {{"\\a", 24, 5, 5}, {"\\b", 29, 3, 3}, {"\\e", 32, 0, 0}}, {}},
};

TEST(InspectArchiveTest, ReportsEveryLayoutProblemOnceWithItsRecord) {
  for (const LayoutCase& c : kLayoutCases) {
    SCOPED_TRACE(c.what);
    const Inspected got = Inspect(WithIndex(c.records));
    EXPECT_TRUE(got.result.indexRead);
    EXPECT_TRUE(got.result.digestMatches);
    EXPECT_EQ(got.archive.records.size(), c.records.size());
    ExpectProblems(got, c.problems);
  }
}

TEST(InspectArchiveTest, ProblemsCarryTheRecordTheyConcern) {
  const Inspected got =
      Inspect(WithIndex({{"\\a", 24, 5, 5}, {"\\b", 28, 4, 4}, {"\\a", 32, 0, 0}}));
  ASSERT_EQ(got.problems.size(), 2u);
  EXPECT_EQ(got.problems[0].record, 2u);  // the name of record 1 again
  EXPECT_EQ(got.problems[1].record, 1u);  // overlapping record 1
  const Inspected tail = Inspect(WithIndex({{"\\a", 24, 5, 5}}));
  ASSERT_EQ(tail.problems.size(), 1u);
  EXPECT_EQ(tail.problems[0].record, ArchiveProblem::kNoRecord);
}

TEST(InspectArchiveTest, HeaderProblemsAreAllReportedAndTheIndexStillRead) {
  Bytes b = Good();
  b[3] ^= 0x01;                // magic
  PutU32LE(b.data() + 20, 7);  // header constant
  PutU32LE(b.data() + 12, 3);  // compression flag
  const Inspected got = Inspect(b);
  ExpectProblems(got, {"offset 0: the magic", "offset 20: the header constant is 0x00000007",
                       "offset 12: the compression flag is 3"});
  EXPECT_TRUE(got.result.indexRead);
  EXPECT_EQ(got.archive.records.size(), 2u);
}

TEST(InspectArchiveTest, TheFirstKeyThatFitsTheDigestOpensTheIndex) {
  const Bytes game2(kGame2Key.begin(), kGame2Key.end());
  const Bytes bytes = Good();
  const struct {
    const char* what;
    std::vector<Bytes> keys;
    int key;
  } kCases[] = {{"the only key", {kKey}, 0},
                {"second of two", {game2, kKey}, 1},
                {"first of two", {kKey, game2}, 0}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const Inspected got = Inspect(bytes, c.keys);
    ExpectProblems(got, {});
    EXPECT_EQ(got.result.key, c.key);
    EXPECT_TRUE(got.result.digestMatches);
  }
  const Inspected none = Inspect(bytes, {game2, {0x01}});
  ExpectProblems(none, {"trailer at offset 32: the index matches none of the 2 keys tried"});
  EXPECT_EQ(none.result.key, -1);
  EXPECT_TRUE(none.result.trailerRead);
  EXPECT_FALSE(none.result.indexRead);
}

// A damaged digest over a sound index: the key that reads the index is found
// anyway, so the rest of the archive can still be checked.
TEST(InspectArchiveTest, DamagedDigestIsReportedAndTheRestStillChecked) {
  Bytes b = WithIndex({{"\\a.txt", 24, 5, 5}, {"\\b", 28, 4, 4}});
  b.at(32 + 4 + 10) ^= 0x01;
  const Bytes game2(kGame2Key.begin(), kGame2Key.end());
  const Inspected got = Inspect(b, {game2, kKey});
  ExpectProblems(got, {"trailer at offset 32: the digest at offset 36 differs from that of the "
                       "index, which still reads soundly",
                       "index record 2 (byte 22 of the index): its data (offset 28, 4 bytes) "
                       "overlaps"});
  EXPECT_EQ(got.result.key, 1);
  EXPECT_FALSE(got.result.digestMatches);
  EXPECT_TRUE(got.result.indexRead);
}

TEST(InspectArchiveTest, RecordsBeforeOneCutShortAreKept) {
  Bytes index = IndexOf({{"\\a.txt", 24, 5, 5}, {"\\sub\\b.bin", 29, 3, 3}});
  AppendU32LE(index, 50);
  const Inspected got = Inspect(WithRawIndex(index));
  ExpectProblems(got, {"index record 3 (byte 48 of the index): its name length 50 runs past"});
  EXPECT_FALSE(got.result.indexRead);
  EXPECT_EQ(got.archive.records.size(), 2u);
}

TEST(InspectArchiveTest, SinkThatWantsNoMoreEndsTheInspection) {
  Bytes b = WithIndex({{"\\a", 20, 5, 5}, {"\\b", 20, 5, 5}, {"\\c", 20, 5, 5}});
  TMemoryStream in;
  in.Data() = b;
  PkgArchive archive;
  int calls = 0;
  const std::vector<Bytes> keys = {kKey};
  const Inspection r =
      InspectArchive(in, keys, archive, [&calls](const ArchiveProblem&) { return ++calls < 2; });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(r.problems, 2u);
}

// ---------------------------------------------------------------------------
// Hostile indexes: what the reader holds stays bounded whatever the index
// claims

// A million records of 16 zero bytes (empty names, data at offset 0): each
// one a problem, which must neither all be held nor all be reported.
TEST(IndexBombTest, RecordsWithProblemsStopTheInspectionAfterABoundedNumber) {
  const Bytes index(std::size_t{16} << 20, 0);
  const Bytes bytes = WithRawIndex(index);

  // Two problems a record: its data outside the data area, its name twice.
  const Inspected kept = Inspect(bytes);
  ASSERT_EQ(kept.problems.size(), kMaxRecordProblems + 1);
  EXPECT_EQ(kept.problems.back().message,
            "stopped at index record 51 after 100 problems with index records; the rest of the "
            "archive is not checked");
  EXPECT_LE(kept.archive.records.size(), kMaxRecordProblems + 1);
  EXPECT_FALSE(kept.result.indexRead);

  TMemoryStream in;
  in.Data() = bytes;
  PkgArchive archive;
  std::size_t records = 0, problems = 0;
  const std::vector<Bytes> keys = {kKey};
  const Inspection listed = ListArchive(
      in, keys, archive,
      [&problems](const ArchiveProblem&) {
        ++problems;
        return true;
      },
      [&records](std::size_t, const IndexRecord&) {
        ++records;
        return true;
      });
  EXPECT_EQ(problems, kMaxRecordProblems + 1);
  EXPECT_LE(records, kMaxRecordProblems + 1);
  EXPECT_TRUE(archive.records.empty());
  EXPECT_FALSE(listed.indexRead);
}

// Sound records, but more than the reader keeps: the first kMaxIndexRecords
// are kept and the archive is reported, not read on.
TEST(IndexBombTest, MoreRecordsThanTheReaderKeepsAreReportedNotHeld) {
  std::vector<IndexRecord> records = {{"\\a.txt", 24, 5, 5}, {"\\sub\\b.bin", 29, 3, 3}};
  for (std::size_t i = records.size(); i <= kMaxIndexRecords; ++i)
    records.push_back({"\\" + std::to_string(i), 32, 0, 0});
  const Inspected got = Inspect(WithIndex(records));
  ExpectProblems(got, {"index record 1048577 (byte "});
  EXPECT_NE(got.problems[0].message.find("more than 1048576 records"), std::string::npos)
      << got.problems[0].message;
  EXPECT_EQ(got.archive.records.size(), kMaxIndexRecords);
  EXPECT_FALSE(got.result.indexRead);
}

TEST(IndexBombTest, RecordsBeyondWhatTheDataAreaHoldsAreRefused) {
  struct Case {
    const char* what;
    std::uint32_t compression;
    std::vector<IndexRecord> records;
    std::vector<std::string> problems;
  };
  const std::string longName = "\\" + std::string(70000, 'a');
  const Case kCases[] = {
      // Each compressed file takes 8 bytes at least: 16 bytes hold two.
      {"a third compressed file in 16 bytes",
       1,
       {{"\\a", 24, 0, 8}, {"\\b", 32, 0, 8}, {"\\c", 40, 0, 0}},
       {"index record 3 (byte 36 of the index): the index holds more records than the data "
        "area of 16 bytes can hold (2, since each compressed file takes 8 bytes or more)"}},
      {"a name longer than any path",
       0,
       {{longName, 24, 0, 0}},
       {"index record 1 (byte 0 of the index): its name length 70001 is more than any path can "
        "be (65535 bytes)"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Parts p;
    p.compression = c.compression;
    p.data = c.compression == 1 ? kEmptyZlibStream : Bytes{};
    if (c.compression == 1) Append(p.data, kEmptyZlibStream);
    p.index = IndexOf(c.records);
    const Bytes bytes = Assemble(p);
    const Inspected got = Inspect(bytes);
    ExpectProblems(got, c.problems);
    EXPECT_FALSE(got.result.indexRead);

    TMemoryStream in;
    in.Data() = bytes;
    PkgArchive archive;
    std::vector<std::string> problems;
    const std::vector<Bytes> keys = {kKey};
    ListArchive(
        in, keys, archive,
        [&problems](const ArchiveProblem& p) {
          problems.push_back(p.message);
          return true;
        },
        [](std::size_t, const IndexRecord&) { return true; });
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find(c.problems[0]), std::string::npos) << problems[0];
  }
}

// A file of any length that reads as zeros after its header, as a sparse
// file does; it remembers how much it was asked for at once and in all.
class SparseStream : public TStream {
 public:
  SparseStream(std::int64_t size, const Bytes& head) : size_(size), head_(head) {}
  std::size_t Read(void* buffer, std::size_t count) override {
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(
        static_cast<std::int64_t>(count), std::max<std::int64_t>(size_ - pos_, 0)));
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < n; ++i) {
      const std::int64_t at = pos_ + static_cast<std::int64_t>(i);
      out[i] =
          at < static_cast<std::int64_t>(head_.size()) ? head_[static_cast<std::size_t>(at)] : 0;
    }
    pos_ += static_cast<std::int64_t>(n);
    largest = std::max(largest, count);
    total += count;
    return n;
  }
  void Write(const void*, std::size_t) override { throw EStreamError("read only"); }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    pos_ = origin == TSeekOrigin::soBeginning ? offset
           : origin == TSeekOrigin::soCurrent ? pos_ + offset
                                              : size_ + offset;
    return pos_;
  }
  std::int64_t Size() override { return size_; }

  std::size_t largest = 0;
  std::uint64_t total = 0;

 private:
  std::int64_t size_, pos_ = 0;
  Bytes head_;
};

// The trailer right after the header, in a file of 1 or 8 GiB: trying both
// keys reads a piece of each, never the whole trailer.
TEST(HugeTrailerTest, TryingTheKeysReadsAPieceNotTheWholeTrailer) {
  const auto header = MakeHeader(1, false, 24);
  const Bytes head(header.begin(), header.end());
  for (const std::int64_t size : {std::int64_t{1} << 30, std::int64_t{8} << 30}) {
    SCOPED_TRACE(size);
    SparseStream in(size, head);
    PkgArchive archive;
    std::vector<std::string> problems;
    const std::vector<Bytes> keys = {kKey, Bytes(kGame2Key.begin(), kGame2Key.end())};
    const Inspection r = InspectArchive(in, keys, archive, [&](const ArchiveProblem& p) {
      problems.push_back(p.message);
      return true;
    });
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0],
              "trailer at offset 24: the index matches none of the 2 keys tried, or the trailer "
              "is damaged (unscrambled with any of them, the index is not a zlib stream of 0 "
              "bytes that splits into records)");
    EXPECT_EQ(r.key, -1);
    EXPECT_LE(in.largest, 256u * 1024u);
    EXPECT_LE(in.total, 2u * 256u * 1024u + 64u);
  }
}

// The digest alone needs every byte, but in pieces.
TEST(HugeTrailerTest, KeyFitsArchiveDigestsInPieces) {
  const auto header = MakeHeader(1, false, 24);
  SparseStream in(std::int64_t{4} << 20, Bytes(header.begin(), header.end()));
  EXPECT_FALSE(KeyFitsArchive(in, kKey));
  EXPECT_LE(in.largest, 256u * 1024u);
  EXPECT_GE(in.total, std::uint64_t{4} << 20);
}

// Bytes appended after the index leave the digest of its zlib stream intact:
// the key that sealed it is found, and the stray bytes are what is reported.
TEST(StrayBytesTest, BytesAfterTheIndexAreReportedWithTheKeyFound) {
  const Bytes game2(kGame2Key.begin(), kGame2Key.end());
  for (const std::size_t stray : {1u, 5u}) {
    SCOPED_TRACE(stray);
    Bytes bytes = Good();
    const std::size_t end = bytes.size();
    bytes.resize(end + stray, 0xA5);
    const Inspected got = Inspect(bytes, {game2, kKey});
    ExpectProblems(got, {"trailer at offset 32: the index has " +
                         std::string(stray == 1 ? "1 byte" : "5 bytes") +
                         " after the end of its zlib stream, which ends at offset " +
                         std::to_string(end) + " instead of at the end of the file"});
    EXPECT_EQ(got.result.key, 1);
    EXPECT_TRUE(got.result.digestMatches);
    EXPECT_EQ(got.archive.records.size(), 2u);
  }
}

// Streaming: records arrive in index order and none is kept; each is checked
// alone, the layout across records is left to InspectArchive.
TEST(ListArchiveTest, RecordsArriveInOrderCheckedOneByOne) {
  const Bytes bytes = WithIndex({{"\\a.txt", 24, 5, 5}, {"\\b", 40, 3, 3}, {"\\a.txt", 29, 3, 3}});
  TMemoryStream in;
  in.Data() = bytes;
  PkgArchive archive;
  std::vector<std::string> events;
  const std::vector<Bytes> keys = {kKey};
  const Inspection r = ListArchive(
      in, keys, archive,
      [&](const ArchiveProblem& p) {
        events.push_back("problem " + p.message);
        return true;
      },
      [&](std::size_t i, const IndexRecord& rec) {
        events.push_back("record " + std::to_string(i) + " " + rec.name);
        return true;
      },
      [&](const Inspection& opened) {
        events.push_back("opened with key " + std::to_string(opened.key));
      });
  EXPECT_EQ(events, (std::vector<std::string>{
                        "opened with key 0",
                        "record 0 \\a.txt",
                        "record 1 \\b",
                        "problem index record 2 (byte 22 of the index): its data (offset 40, 3 "
                        "bytes) lies outside the data area, from offset 24 to 32",
                        "record 2 \\a.txt",
                    }));
  EXPECT_TRUE(r.indexRead);
  EXPECT_TRUE(archive.records.empty());
}

// Wording: a count of one is "1 byte", and a stream with nothing in it is
// said to be empty rather than to end "after 0 of 0 bytes".
TEST(InflateWordingTest, CountsAndEmptyRangesReadAsSentences) {
  const Bytes hello = Compress(ToBytes("hello"));
  const Bytes empty = Compress({});
  Bytes helloAndOne = Compress(ToBytes("a"));
  helloAndOne.push_back(0);
  const struct {
    const char* what;
    Bytes in;
    std::uint64_t size;
    const char* message;
  } kCases[] = {
      {"nothing",
       {},
       5,
       "is cut short: it is empty, without even the 2-byte header of a zlib stream"},
      {"only the header", Bytes(hello.begin(), hello.begin() + 2), 5,
       "is cut short: its zlib stream breaks off before giving any of its 5 bytes"},
      {"no checksum", Bytes(hello.begin(), hello.end() - 4), 5,
       "is cut short: its zlib stream breaks off before its end, after giving all its 5 bytes"},
      {"empty stream without checksum", Bytes(empty.begin(), empty.end() - 4), 0,
       "is cut short: its zlib stream breaks off before its end"},
      {"one byte short", Compress(ToBytes("a")), 2, "inflates to 1 byte, not its size of 2"},
      {"one byte over", Compress(ToBytes("ab")), 1, "inflates to more than its size of 1 byte"},
      {"one byte after", helloAndOne, 1, "has 1 byte after the end of its zlib stream"},
      {"one compressed byte",
       {0x78},
       2000000,
       "claims 2000000 bytes, more than 1 compressed byte can hold"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Bytes out;
    EXPECT_EQ(InflateExact(c.in, c.size, out).message(), c.message);
  }
}

// ---------------------------------------------------------------------------
// StreamRecordData: bounded pieces

TEST(StreamRecordDataTest, LargeFilesArriveInBoundedPiecesThatAddUpToTheContent) {
  for (const bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "compressed" : "stored");
    const Bytes content = Sample(1'500'000, 3);
    const Bytes bytes = BuildArchive({{"\\big", content}}, compressed);
    PkgArchive archive;
    ASSERT_TRUE(Read(bytes, archive).ok());
    TMemoryStream in;
    in.Data() = bytes;
    Bytes joined;
    std::size_t largest = 0;
    const Status s =
        StreamRecordData(in, archive, archive.records[0], [&](std::span<const std::uint8_t> piece) {
          largest = std::max(largest, piece.size());
          joined.insert(joined.end(), piece.begin(), piece.end());
          return Status::Ok();
        });
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_LE(largest, 256u * 1024u);
    EXPECT_TRUE(joined == content);
  }
}

TEST(StreamRecordDataTest, SinkFailureEndsTheReadWithItsOwnMessage) {
  const Bytes bytes = BuildArchive({{"\\a", Sample(600'000, 5)}}, true);
  PkgArchive archive;
  ASSERT_TRUE(Read(bytes, archive).ok());
  TMemoryStream in;
  in.Data() = bytes;
  int pieces = 0;
  const Status s =
      StreamRecordData(in, archive, archive.records[0], [&pieces](std::span<const std::uint8_t>) {
        return ++pieces == 2 ? Status::Fail("disk full") : Status::Ok();
      });
  EXPECT_EQ(s.message(), "disk full");
  EXPECT_EQ(pieces, 2);
}

// ---------------------------------------------------------------------------
// Hostile file data for ReadRecordData

struct BadDataCase {
  const char* what;
  Bytes stored;
  std::uint32_t size;
  const char* problem;
};

TEST(ReadRecordDataTest, CompressedDataThatDoesNotInflateToItsSizeIsRefused) {
  const Bytes content = ToBytes("hello hello hello hello");
  const Bytes good = Compress(content);
  Bytes badCheck = good;
  badCheck.back() ^= 0x01;  // Adler-32 of the content
  Bytes cut = good;
  cut.resize(good.size() - 3);
  Bytes trailing = good;
  Append(trailing, {0x00, 0x00});
  const std::uint32_t size = static_cast<std::uint32_t>(content.size());

  const BadDataCase kCases[] = {
      {"inflates to more than its size", good, size - 1, "more than its size of 22"},
      {"inflates to less than its size", good, size + 1, "not its size of 24"},
      {"cut short", cut, size, "cut short"},
      {"not zlib at all", ToBytes("plain text, no zlib"), 19, "not a sound zlib stream"},
      {"damaged checksum", badCheck, size, "not a sound zlib stream"},
      {"bytes after the end of the stream", trailing, size, "after the end"},
      {"a stream of empty input claiming a size", kEmptyZlibStream, 1, "not its size of 1"},
      {"huge size refused before allocating", good, 0xFFFFFFF0u, "claims 4294967280 bytes"},
  };
  for (const BadDataCase& c : kCases) {
    SCOPED_TRACE(c.what);
    Parts p;
    p.compression = 1;
    // A first record, so that the bad one lies at 24 + 9 = 33.
    p.data = Compress(ToBytes("x"));
    ASSERT_EQ(p.data.size(), 9u);
    Append(p.data, c.stored);
    p.index = IndexOf(
        {{"\\x", 24, 1, 9}, {"\\bad", 33, c.size, static_cast<std::uint32_t>(c.stored.size())}});
    const Bytes bytes = Assemble(p);
    PkgArchive archive;
    const Status s = Read(bytes, archive);
    ASSERT_TRUE(s.ok()) << s.message();
    ASSERT_EQ(archive.records.size(), 2u);

    Bytes out;
    const Status d = ReadData(bytes, archive, archive.records[1], out);
    if (d.ok()) {
      ADD_FAILURE() << "accepted";
      continue;
    }
    EXPECT_NE(d.message().find(c.problem), std::string::npos) << d.message();
    EXPECT_NE(d.message().find("offset 33"), std::string::npos) << d.message();
  }
}

TEST(ReadRecordDataTest, RecordsNotFromTheIndexAreCheckedToo) {
  const Bytes bytes = Good();
  PkgArchive archive;
  ASSERT_TRUE(Read(bytes, archive).ok());
  const struct {
    const char* what;
    IndexRecord record;
    const char* problem;
  } kCases[] = {
      {"before the data area", {"\\x", 10, 5, 5}, "outside the data area"},
      {"into the trailer", {"\\x", 29, 4, 4}, "outside the data area"},
      {"wrapping past 4 GiB", {"\\x", 0xFFFFFFFFu, 2, 2}, "outside the data area"},
      {"size differs from stored size when stored as is", {"\\x", 24, 3, 5}, "differs"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Bytes out;
    const Status s = ReadData(bytes, archive, c.record, out);
    if (s.ok()) {
      ADD_FAILURE() << "accepted";
      continue;
    }
    EXPECT_NE(s.message().find(c.problem), std::string::npos) << s.message();
  }
}

}  // namespace
}  // namespace pkg
