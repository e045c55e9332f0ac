// Index records and the sealed trailer. The expected bytes are made here from
// zlib's compress2 and an XOR written out in the test, so a fault in the
// compression stream, the digest order or the key cycling shows as a mismatch.
#include "pkg_index.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "md5.h"
#include "pkg_format.h"

namespace pkg {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kEmptyZlibStream = {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};

Bytes Compress(const Bytes& in) {
  uLongf len = compressBound(static_cast<uLong>(in.size()));
  Bytes out(len);
  EXPECT_EQ(
      compress2(out.data(), &len, in.data(), static_cast<uLong>(in.size()), Z_DEFAULT_COMPRESSION),
      Z_OK);
  out.resize(len);
  return out;
}

Bytes Inflate(const Bytes& in, std::size_t size) {
  Bytes out(size + 1);  // one spare byte shows a stream that is too long
  uLongf len = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &len, in.data(), static_cast<uLong>(in.size())), Z_OK);
  out.resize(len);
  return out;
}

Bytes Xor(Bytes data, const Bytes& key) {
  for (std::size_t i = 0; i < data.size(); ++i) data[i] ^= key[i % key.size()];
  return data;
}

std::string DigestText(const Bytes& data) {
  return MD5DigestText(MD5Bytes(data.data(), data.size()));
}

std::string Unmask(const SealedIndex& sealed) {
  std::string text;
  for (std::uint8_t b : sealed.maskedDigest) text += static_cast<char>(b ^ kDigestMask);
  return text;
}

Bytes IndexOf(const std::vector<IndexRecord>& records) {
  Bytes index;
  for (const IndexRecord& r : records) AppendIndexRecord(index, r);
  return index;
}

// Pseudo-random bytes that deflate cannot shrink much.
Bytes Noise(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  for (std::uint8_t& b : out) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(seed >> 24);
  }
  return out;
}

TEST(AppendIndexRecordTest, WritesNameLengthNameOffsetSizeStoredSize) {
  const struct {
    const char* what;
    IndexRecord record;
    Bytes expected;
  } kCases[] = {
      {"ascii name",
       {"\\data\\a.bin", 24, 5, 5},
       {0x0B, 0x00, 0x00, 0x00, '\\', 'd',  'a',  't',  'a',  '\\', 'a',  '.',  'b', 'i',
        'n',  0x18, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00}},
      // "\数据\a.bin" in code page 936: two bytes per Chinese character, 11 in all.
      {"chinese name counts bytes",
       {"\\\xCA\xFD\xBE\xDD\\a.bin", 0x01020304, 0x0A0B0C0D, 0x11223344},
       {0x0B, 0x00, 0x00, 0x00, '\\', 0xCA, 0xFD, 0xBE, 0xDD, '\\', 'a',  '.',  'b', 'i',
        'n',  0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 0x44, 0x33, 0x22, 0x11}},
      {"largest values",
       {"\\x", 0xFFFFFFFFu, 0xFFFFFFFFu, 0x80000000u},
       {0x02, 0x00, 0x00, 0x00, '\\', 'x', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,
        0x00, 0x00, 0x80}},
      {"empty name", {"", 24, 0, 0}, {0, 0, 0, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Bytes index;
    AppendIndexRecord(index, c.record);
    EXPECT_EQ(index, c.expected);
  }
}

TEST(AppendIndexRecordTest, RecordsFollowOneAnotherWithoutSeparator) {
  Bytes index = {0xEE};
  AppendIndexRecord(index, {"\\a", 24, 3, 3});
  AppendIndexRecord(index, {"\\b", 27, 1, 9});
  const Bytes expected = {0xEE, 2, 0, 0, 0,    '\\', 'a', 24, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0,
                          2,    0, 0, 0, '\\', 'b',  27,  0,  0, 0, 1, 0, 0, 0, 9, 0, 0, 0};
  EXPECT_EQ(index, expected);
}

// A small index of three files, the second with a Chinese name.
class SealIndexTest : public testing::Test {
 protected:
  const Bytes index_ = IndexOf({{"\\data\\map\\a.bin", 24, 1000, 321},
                                {"\\\xCA\xFD\xBE\xDD\\b.txt", 345, 7, 15},
                                {"\\c", 360, 0, 8}});
  const Bytes compressed_ = Compress(index_);
};

TEST_F(SealIndexTest, UnscrambledIndexIsTheDefaultLevelZlibStreamOfTheIndex) {
  const Bytes kKeys[] = {
      Bytes(kGame1Key.begin(), kGame1Key.end()),
      Bytes(kGame2Key.begin(), kGame2Key.end()),
      {0xA5},
      {0x01, 0x02, 0x03},  // a length that divides neither 8 nor the index length
      Noise(1000, 7),      // longer than the compressed index
  };
  ASSERT_EQ(compressed_[0], 0x78);
  ASSERT_EQ(compressed_[1], 0x9C);
  for (const Bytes& key : kKeys) {
    SCOPED_TRACE(testing::Message() << "key of " << key.size() << " bytes");
    const SealedIndex sealed = SealIndex(index_, key);
    EXPECT_EQ(sealed.indexSize, index_.size());
    EXPECT_EQ(sealed.scrambledIndex, Xor(compressed_, key));
    EXPECT_EQ(Inflate(Xor(sealed.scrambledIndex, key), index_.size()), index_);
  }
}

TEST_F(SealIndexTest, DigestIsLowercaseMd5TextOfTheCompressedIndexBeforeScrambling) {
  const Bytes key(kGame1Key.begin(), kGame1Key.end());
  const SealedIndex sealed = SealIndex(index_, key);
  const std::string text = Unmask(sealed);
  EXPECT_EQ(text, DigestText(compressed_));
  EXPECT_NE(text, DigestText(sealed.scrambledIndex));
  EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
}

TEST_F(SealIndexTest, TwoKeysGiveTheSameMaskedDigestAndDifferentScrambledBytes) {
  const SealedIndex one = SealIndex(index_, Bytes(kGame1Key.begin(), kGame1Key.end()));
  const SealedIndex two = SealIndex(index_, Bytes(kGame2Key.begin(), kGame2Key.end()));
  EXPECT_EQ(one.maskedDigest, two.maskedDigest);
  EXPECT_EQ(one.indexSize, two.indexSize);
  ASSERT_EQ(one.scrambledIndex.size(), two.scrambledIndex.size());
  EXPECT_NE(one.scrambledIndex, two.scrambledIndex);
  // Every byte differs, since no byte of the two keys is equal at the same place.
  for (std::size_t i = 0; i < one.scrambledIndex.size(); ++i)
    EXPECT_EQ(one.scrambledIndex[i] ^ two.scrambledIndex[i], kGame1Key[i % 8] ^ kGame2Key[i % 8])
        << "byte " << i;
}

TEST_F(SealIndexTest, OnlyTheFirstLBytesOfALongKeyMatter) {
  const std::size_t length = compressed_.size();
  Bytes longKey = Noise(length + 50, 11);
  Bytes otherTail = longKey;
  for (std::size_t i = length; i < otherTail.size(); ++i) otherTail[i] ^= 0xFF;

  const SealedIndex a = SealIndex(index_, longKey);
  const SealedIndex b = SealIndex(index_, otherTail);
  EXPECT_EQ(a.scrambledIndex, b.scrambledIndex);
  EXPECT_EQ(a.maskedDigest, b.maskedDigest);
  EXPECT_EQ(a.scrambledIndex, Xor(compressed_, Bytes(longKey.begin(), longKey.begin() + length)));
}

TEST_F(SealIndexTest, OneByteKeyXorsEveryByteWithTheSameValue) {
  const SealedIndex sealed = SealIndex(index_, Bytes{0x3C});
  ASSERT_EQ(sealed.scrambledIndex.size(), compressed_.size());
  for (std::size_t i = 0; i < compressed_.size(); ++i)
    EXPECT_EQ(sealed.scrambledIndex[i], compressed_[i] ^ 0x3C) << "byte " << i;
}

TEST(SealIndexEdgeTest, EmptyIndexSealsTheZlibStreamOfEmptyInput) {
  const Bytes key = {0x10, 0x20};
  const SealedIndex sealed = SealIndex(Bytes{}, key);
  EXPECT_EQ(sealed.indexSize, 0u);
  EXPECT_EQ(Xor(sealed.scrambledIndex, key), kEmptyZlibStream);
  EXPECT_EQ(Unmask(sealed), DigestText(kEmptyZlibStream));
}

// An index whose compressed form is larger than the compression stream's
// 64 KiB buffer: a buffer lost or written twice shows here.
TEST(SealIndexEdgeTest, IndexLargerThanOneCompressionBufferSealsWhole) {
  std::vector<IndexRecord> records;
  std::uint32_t offset = 24;
  for (std::uint32_t i = 0; i < 2500; ++i) {
    const Bytes noise = Noise(40, i + 1);
    records.push_back({"\\" + std::string(noise.begin(), noise.end()), offset, i, i});
    offset += i;
  }
  const Bytes index = IndexOf(records);
  const Bytes compressed = Compress(index);
  ASSERT_GT(compressed.size(), 65536u + 32768u);

  const Bytes key(kGame2Key.begin(), kGame2Key.end());
  const SealedIndex sealed = SealIndex(index, key);
  EXPECT_EQ(sealed.indexSize, index.size());
  EXPECT_TRUE(Xor(sealed.scrambledIndex, key) == compressed);
  EXPECT_EQ(Unmask(sealed), DigestText(compressed));
}

TEST(TrailerBytesTest, IndexSizeThenMaskedDigestThenScrambledIndex) {
  SealedIndex sealed;
  sealed.indexSize = 0x04030201;
  for (std::size_t i = 0; i < kDigestTextSize; ++i)
    sealed.maskedDigest[i] = static_cast<std::uint8_t>(0x40 + i);
  sealed.scrambledIndex = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4};

  const Bytes trailer = TrailerBytes(sealed);
  ASSERT_EQ(trailer.size(), 36u + 5u);
  EXPECT_EQ(Bytes(trailer.begin(), trailer.begin() + 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
  for (std::size_t i = 0; i < kDigestTextSize; ++i)
    EXPECT_EQ(trailer[4 + i], static_cast<std::uint8_t>(0x40 + i)) << "digest byte " << i;
  EXPECT_EQ(Bytes(trailer.begin() + 36, trailer.end()), sealed.scrambledIndex);
}

TEST(TrailerBytesTest, SealedEmptyIndexGivesTheFixedPartAndEightBytes) {
  const Bytes key = {0xFF};
  const Bytes trailer = TrailerBytes(SealIndex(Bytes{}, key));
  ASSERT_EQ(trailer.size(), 36u + kEmptyZlibStream.size());
  EXPECT_EQ(GetU32LE(trailer.data()), 0u);
  EXPECT_EQ(Xor(Bytes(trailer.begin() + 36, trailer.end()), key), kEmptyZlibStream);
}

}  // namespace
}  // namespace pkg
