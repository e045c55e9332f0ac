#include "md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace pkg {
namespace {

std::string Hex(const void* data, std::size_t len) {
  return MD5DigestText(MD5Bytes(data, len));
}
std::string Hex(const std::string& s) {
  return Hex(s.data(), s.size());
}

// Feeds data in pieces of the given sizes, cycling through them.
std::string HexInChunks(const std::vector<std::uint8_t>& data,
                        const std::vector<std::size_t>& chunks) {
  MD5Context ctx;
  MD5Init(ctx);
  std::size_t pos = 0;
  for (std::size_t i = 0; pos < data.size(); ++i) {
    const std::size_t n = std::min(chunks[i % chunks.size()], data.size() - pos);
    MD5Update(ctx, data.data() + pos, n);
    pos += n;
  }
  MD5Digest digest;
  MD5Final(digest, ctx);
  return MD5DigestText(digest);
}

// Not periodic in 64 or 256 bytes, and holds zero bytes, so a block taken from
// the wrong offset or a byte lost at a boundary changes the digest.
std::vector<std::uint8_t> Pattern(std::size_t len) {
  std::vector<std::uint8_t> v(len);
  for (std::size_t i = 0; i < len; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) * 13 + 1);
  return v;
}

TEST(MD5Test, Rfc1321TestSuite) {
  const struct {
    const char* input;
    const char* digest;
  } kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Hex(c.input), c.digest);
  }
}

TEST(MD5Test, ZeroBytesAreHashedLikeAnyOther) {
  const struct {
    std::string input;
    const char* digest;
  } kCases[] = {
      {std::string(1, '\0'), "93b885adfe0da089cdf634904fd59f71"},
      {std::string(64, '\0'), "3b5d3c7d207e37dceeedd301e35e2e58"},
      {std::string("abc\0def", 7), "a5e4d5963ae44c1f4bfb37b1a3d55a3c"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.input.size());
    EXPECT_EQ(Hex(c.input), c.digest);
  }
  EXPECT_NE(Hex(std::string(1, '\0')), Hex(""));
}

TEST(MD5Test, DigestTextIsLowercaseHighNibbleFirst) {
  const MD5Digest digest = {0x00, 0x01, 0x0f, 0x10, 0x7f, 0x80, 0xab, 0xcd,
                            0xef, 0xf0, 0xff, 0x12, 0x34, 0x56, 0x78, 0x9a};
  EXPECT_EQ(MD5DigestText(digest), "00010f107f80abcdeff0ff123456789a");
}

// Lengths around the 56-byte padding limit and the 64-byte block, with digests
// taken from md5sum over Pattern(length).
struct BoundaryCase {
  std::size_t length;
  const char* digest;
};

void PrintTo(const BoundaryCase& c, std::ostream* os) {
  *os << c.length << " bytes";
}

class MD5BoundaryTest : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(MD5BoundaryTest, AnyChunkingGivesTheKnownDigest) {
  const BoundaryCase& c = GetParam();
  const std::vector<std::uint8_t> data = Pattern(c.length);
  EXPECT_EQ(Hex(data.data(), data.size()), c.digest);

  // The same bytes starting at an odd address.
  std::vector<std::uint8_t> shifted(data.size() + 1);
  std::copy(data.begin(), data.end(), shifted.begin() + 1);
  EXPECT_EQ(Hex(shifted.data() + 1, data.size()), c.digest);

  std::mt19937 rng(static_cast<std::uint32_t>(c.length));
  std::vector<std::size_t> random_chunks;
  for (int i = 0; i < 16; ++i) random_chunks.push_back(rng() % 150 + 1);

  const std::vector<std::vector<std::size_t>> kSplits = {
      {1}, {3}, {55}, {63}, {64}, {65}, {1, 64}, {63, 2}, {127}, random_chunks};
  for (const auto& split : kSplits) {
    SCOPED_TRACE(::testing::Message() << "first chunk " << split[0] << " of " << split.size());
    EXPECT_EQ(HexInChunks(data, split), c.digest);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, MD5BoundaryTest,
                         ::testing::Values(BoundaryCase{1, "55a54008ad1ba589aa210d2629c1df41"},
                                           BoundaryCase{55, "8c3eb046bcdb1f0ffe75fdbaf890cf13"},
                                           BoundaryCase{56, "d5e0fa3122448ddd3d843a9c5ed9e839"},
                                           BoundaryCase{57, "839d97df06aa4f2d02f931151a66111d"},
                                           BoundaryCase{63, "1dd0d6ddeb881b118518c2881555f34b"},
                                           BoundaryCase{64, "7b412e00d38c31b0845a4f502d39d5e3"},
                                           BoundaryCase{65, "ba03b626aceb7b09c86c2d544afe1dce"},
                                           BoundaryCase{119, "dac58560b386c3d5b29ebbdec5197e10"},
                                           BoundaryCase{120, "6818845a0494b5fade3155f6a8e47b15"},
                                           BoundaryCase{127, "84c7b17567b70836d3b39cd28d4631b8"},
                                           BoundaryCase{128, "912f49566518d1b4c883f811d86ddecc"},
                                           BoundaryCase{129, "523874fe6549e794ae5195fc606bf474"},
                                           BoundaryCase{1000, "7e2dfb32e5887d7f8f4b757d896a0207"},
                                           BoundaryCase{65539, "b2fce8abe3ba1724170b5f7e9b08e8ce"}),
                         [](const ::testing::TestParamInfo<BoundaryCase>& info) {
                           return "Len" + std::to_string(info.param.length);
                         });

TEST(MD5Test, MillionAs) {
  const std::vector<std::uint8_t> data(1000000, 'a');
  const char* kDigest = "7707d6ae4e027c70eea2a935c2296f21";
  EXPECT_EQ(Hex(data.data(), data.size()), kDigest);
  EXPECT_EQ(HexInChunks(data, {1000}), kDigest);
  EXPECT_EQ(HexInChunks(data, {7, 4093}), kDigest);
}

}  // namespace
}  // namespace pkg
