// The archive's integers and its 24-byte header, checked byte for byte: every
// reader of the archive depends on this exact layout.
#include "pkg_format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "pkg_index.h"

namespace pkg {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <std::size_t N>
Bytes ToVector(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

struct U32Case {
  std::uint32_t value;
  std::array<std::uint8_t, 4> bytes;  // least significant first
};

// Each value has a different byte set, so a swapped or shifted byte shows.
const U32Case kU32Cases[] = {
    {0x00000000u, {0x00, 0x00, 0x00, 0x00}}, {0x00000001u, {0x01, 0x00, 0x00, 0x00}},
    {0x000000FFu, {0xFF, 0x00, 0x00, 0x00}}, {0x00000100u, {0x00, 0x01, 0x00, 0x00}},
    {0x7FFFFFFFu, {0xFF, 0xFF, 0xFF, 0x7F}}, {0x80000000u, {0x00, 0x00, 0x00, 0x80}},
    {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF}}, {0xA1B2C3D4u, {0xD4, 0xC3, 0xB2, 0xA1}},
    {0x00676900u, {0x00, 0x69, 0x67, 0x00}},
};

TEST(U32LETest, PutWritesFourBytesLeastSignificantFirstAndNothingElse) {
  for (const U32Case& c : kU32Cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "value 0x" << c.value);
    // Guard bytes on both sides catch a write outside the four bytes.
    Bytes buffer(6, 0xCC);
    PutU32LE(buffer.data() + 1, c.value);
    EXPECT_EQ(buffer, (Bytes{0xCC, c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3], 0xCC}));
  }
}

TEST(U32LETest, GetReadsOnlyItsFourBytes) {
  for (const U32Case& c : kU32Cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "value 0x" << c.value);
    // Neighbours that are all ones would show in a read that strays.
    const Bytes buffer = {0xFF, c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3], 0xFF};
    EXPECT_EQ(GetU32LE(buffer.data() + 1), c.value);
  }
}

TEST(U32LETest, AppendAddsAfterExistingContentAndRoundTrips) {
  Bytes out = {0x42};
  for (const U32Case& c : kU32Cases) AppendU32LE(out, c.value);

  ASSERT_EQ(out.size(), 1 + 4 * std::size(kU32Cases));
  EXPECT_EQ(out[0], 0x42);
  for (std::size_t i = 0; i < std::size(kU32Cases); ++i) {
    const U32Case& c = kU32Cases[i];
    SCOPED_TRACE(testing::Message() << std::hex << "value 0x" << c.value);
    const std::uint8_t* at = out.data() + 1 + 4 * i;
    EXPECT_EQ(Bytes(at, at + 4), ToVector(c.bytes));
    EXPECT_EQ(GetU32LE(at), c.value);
  }
}

TEST(MakeHeaderTest, WorkedExampleTypeOneCompressedTrailerAt4096) {
  const Bytes expected = {0x50, 0x4B, 0x33, 0x2E, 0x30, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                          0x01, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0xED, 0x69, 0x67, 0x00};
  EXPECT_EQ(ToVector(MakeHeader(1, true, 4096)), expected);
}

TEST(MakeHeaderTest, UncompressedHeaderAsFirstWrittenHasZeroFlagAndZeroTrailerOffset) {
  const Bytes expected = {0x50, 0x4B, 0x33, 0x2E, 0x30, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xED, 0x69, 0x67, 0x00};
  EXPECT_EQ(ToVector(MakeHeader(42, false, 0)), expected);
}

TEST(MakeHeaderTest, TypeNumberIsStoredAsItsTwosComplementPattern) {
  const struct {
    std::int32_t type;
    std::array<std::uint8_t, 4> bytes;
  } kCases[] = {
      {-1, {0xFF, 0xFF, 0xFF, 0xFF}},
      {-2, {0xFE, 0xFF, 0xFF, 0xFF}},
      {-300, {0xD4, 0xFE, 0xFF, 0xFF}},
      {std::numeric_limits<std::int32_t>::min(), {0x00, 0x00, 0x00, 0x80}},
      {std::numeric_limits<std::int32_t>::max(), {0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type);
    const auto h = MakeHeader(c.type, true, 0xFFFFFFFFu);
    EXPECT_EQ(Bytes(h.begin() + 8, h.begin() + 12), ToVector(c.bytes));
    EXPECT_EQ(static_cast<std::int32_t>(GetU32LE(h.data() + kHeaderTypeOffset)), c.type);
    // The sign must not leak into the neighbouring fields.
    EXPECT_EQ(ToVector(kMagic), Bytes(h.begin(), h.begin() + 8));
    EXPECT_EQ(GetU32LE(h.data() + kHeaderCompressionOffset), 1u);
    EXPECT_EQ(GetU32LE(h.data() + kHeaderTrailerOffsetOffset), 0xFFFFFFFFu);
    EXPECT_EQ(Bytes(h.begin() + 20, h.end()), (Bytes{0xED, 0x69, 0x67, 0x00}));
  }
}

TEST(BuiltInKeyTest, KeysOfBothGamesAreTheirPublishedBytes) {
  EXPECT_EQ(ToVector(kGame1Key), (Bytes{0x3D, 0x91, 0xC4, 0x58, 0xE2, 0x07, 0xAF, 0x6B}));
  EXPECT_EQ(ToVector(kGame2Key), (Bytes{0x72, 0xE8, 0x1A, 0xB5, 0x4F, 0xC3, 0x96, 0x0D}));
}

}  // namespace
}  // namespace pkg
