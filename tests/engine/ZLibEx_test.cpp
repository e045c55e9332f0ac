#include "ZLibEx.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace pkg {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Compress2(const Bytes& data, int level = Z_DEFAULT_COMPRESSION) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level),
            Z_OK);
  out.resize(size);
  return out;
}

Bytes Uncompress(const Bytes& packed, std::size_t original_size) {
  Bytes out(original_size + 1);  // one spare byte, so excess output would show
  uLongf size = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &size, packed.data(), static_cast<uLong>(packed.size())), Z_OK);
  out.resize(size);
  return out;
}

// Writes data in pieces of chunk bytes (0: in one call), then destroys the
// stream, which finishes it.
void CompressInto(TStream& dest, const Bytes& data, std::size_t chunk = 0,
                  TZCompressionLevel level = TZCompressionLevel::zcDefault) {
  TZCompressionStream z(dest, level);
  if (chunk == 0) chunk = data.size() + 1;
  for (std::size_t pos = 0; pos < data.size(); pos += chunk) {
    z.Write(data.data() + pos, std::min(chunk, data.size() - pos));
  }
}

Bytes CompressWithStream(const Bytes& data, std::size_t chunk = 0,
                         TZCompressionLevel level = TZCompressionLevel::zcDefault) {
  TMemoryStream dest;
  CompressInto(dest, data, chunk, level);
  return dest.Data();
}

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng() >> 24);
  return v;
}

Bytes Text(std::size_t n) {
  static const std::string kWords[] = {"\\data\\map\\", "a.bin", "zerith",  " ",     "0042",
                                       "texture",       "\r\n",  "sound\\", "index", "pkg"};
  std::mt19937 rng(7);
  Bytes v;
  while (v.size() < n) {
    const std::string& w = kWords[rng() % std::size(kWords)];
    v.insert(v.end(), w.begin(), w.end());
  }
  v.resize(n);
  return v;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---------------------------------------------------------------------------
// The output is exactly zlib's own one-shot stream, however the input is cut.

struct InputCase {
  const char* name;
  Bytes data;
};

void PrintTo(const InputCase& c, std::ostream* os) {
  *os << c.name;
}

class ZCompressionOutputTest : public ::testing::TestWithParam<InputCase> {};

TEST_P(ZCompressionOutputTest, MatchesCompress2ForAnyWriteChunking) {
  const Bytes& data = GetParam().data;
  const Bytes expected = Compress2(data);
  ASSERT_EQ(Uncompress(expected, data.size()), data);

  std::vector<std::size_t> chunks = {0, 4096, 65536, 70000};
  // A deflate call per byte is slow on big inputs and adds nothing there.
  if (data.size() <= 20000) chunks.push_back(1);
  for (std::size_t chunk : chunks) {
    SCOPED_TRACE(::testing::Message() << "chunk " << chunk);
    const Bytes out = CompressWithStream(data, chunk);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(Uncompress(out, data.size()), data);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ZCompressionOutputTest,
    ::testing::Values(InputCase{"Empty", {}}, InputCase{"OneByte", {0x41}},
                      InputCase{"Text", Text(20000)},
                      // Incompressible: the 64 KiB output buffer fills several times.
                      InputCase{"Random300K", RandomBytes(300 * 1024, 1)},
                      InputCase{"Zeros1M", Bytes(1024 * 1024, 0)}),
    [](const ::testing::TestParamInfo<InputCase>& info) { return info.param.name; });

TEST(ZCompressionStreamTest, EmptyInputIsTheEightByteEmptyStream) {
  EXPECT_EQ(CompressWithStream({}), (Bytes{0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
}

TEST(ZCompressionStreamTest, LevelsMapToZlibLevels) {
  const struct {
    TZCompressionLevel level;
    int zlib_level;
  } kLevels[] = {
      {TZCompressionLevel::zcNone, 0},     {TZCompressionLevel::zcFastest, 1},
      {TZCompressionLevel::zcDefault, -1}, {TZCompressionLevel::zcMax, 9},
      {TZCompressionLevel::zcLevel1, 1},   {TZCompressionLevel::zcLevel2, 2},
      {TZCompressionLevel::zcLevel3, 3},   {TZCompressionLevel::zcLevel4, 4},
      {TZCompressionLevel::zcLevel5, 5},   {TZCompressionLevel::zcLevel6, 6},
      {TZCompressionLevel::zcLevel7, 7},   {TZCompressionLevel::zcLevel8, 8},
      {TZCompressionLevel::zcLevel9, 9},
  };
  const Bytes data = Text(20000);
  for (const auto& c : kLevels) {
    SCOPED_TRACE(::testing::Message() << "level " << static_cast<int>(c.level));
    EXPECT_EQ(ZLibLevel(c.level), c.zlib_level);
    EXPECT_EQ(CompressWithStream(data, 0, c.level), Compress2(data, c.zlib_level));
  }
}

// ---------------------------------------------------------------------------
// Placement in the destination.

TEST(ZCompressionStreamTest, AppendsAfterWhatTheDestinationHolds) {
  const Bytes prefix = {'H', 'E', 'A', 'D', 'E', 'R'};
  const Bytes data = RandomBytes(200000, 2);
  TMemoryStream dest;
  dest.Write(prefix.data(), prefix.size());
  CompressInto(dest, data, 4096);
  EXPECT_EQ(dest.Data(), Concat(prefix, Compress2(data)));
  EXPECT_EQ(dest.Position(), dest.Size());
}

TEST(ZCompressionStreamTest, StaysContiguousWhenTheDestinationIsMovedBetweenWrites) {
  const Bytes prefix = {1, 2, 3, 4};
  const Bytes data = RandomBytes(300 * 1024, 3);
  TMemoryStream dest;
  dest.Write(prefix.data(), prefix.size());
  {
    TZCompressionStream z(dest);
    for (std::size_t pos = 0; pos < data.size(); pos += 70000) {
      z.Write(data.data() + pos, std::min<std::size_t>(70000, data.size() - pos));
      // Every 70000-byte write of random data fills the buffer at least once.
      dest.SetPosition(pos % 2 == 0 ? 0 : 2);
    }
    dest.SetPosition(1);
    z.Finish();
  }
  EXPECT_EQ(dest.Data(), Concat(prefix, Compress2(data)));
}

// ---------------------------------------------------------------------------
// Finish and Restart.

TEST(ZCompressionStreamTest, FinishCompletesTheStreamAndIsIdempotent) {
  const Bytes data = Text(5000);
  TMemoryStream dest;
  TZCompressionStream z(dest);
  z.Write(data.data(), data.size());
  z.Finish();
  const Bytes expected = Compress2(data);
  EXPECT_EQ(dest.Data(), expected);
  EXPECT_EQ(z.TotalOut(), static_cast<std::int64_t>(expected.size()));
  z.Finish();
  EXPECT_EQ(dest.Data(), expected);
  EXPECT_THROW(z.Write(data.data(), 1), EZCompressionError);
}

TEST(ZCompressionStreamTest, TotalOutCountsBufferedAndWrittenOutput) {
  const Bytes data = RandomBytes(100000, 4);
  TMemoryStream dest;
  TZCompressionStream z(dest);
  z.Write(data.data(), data.size());
  // One buffer went out; the rest is still held back.
  EXPECT_EQ(dest.Size(), static_cast<std::int64_t>(TCustomZStream::kBufferSize));
  EXPECT_GT(z.TotalOut(), dest.Size());
  z.Finish();
  EXPECT_EQ(z.TotalOut(), dest.Size());
}

TEST(ZCompressionStreamTest, RestartProducesTheSameBytesAsAFreshStream) {
  const struct {
    const char* name;
    Bytes first;
    Bytes second;
  } kCases[] = {
      {"big then small", RandomBytes(300 * 1024, 5), Text(3000)},
      {"small then big", Text(3000), RandomBytes(300 * 1024, 6)},
      {"text then empty", Text(20000), {}},
      {"zeros then text", Bytes(500000, 0), Text(20000)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes expected_first = Compress2(c.first);
    const Bytes expected_second = Compress2(c.second);

    TMemoryStream first;
    TMemoryStream second;
    TMemoryStream same;  // both streams, one after the other
    {
      TZCompressionStream z(first);
      z.Write(c.first.data(), c.first.size());
      z.Finish();
      z.Restart(second);
      EXPECT_EQ(z.TotalOut(), 0);
      EXPECT_EQ(z.Position(), 0);
      z.Write(c.second.data(), c.second.size());
      z.Finish();

      z.Restart(same);
      z.Write(c.first.data(), c.first.size());
      z.Finish();
      z.Restart(same);
      z.Write(c.second.data(), c.second.size());
    }
    EXPECT_EQ(first.Data(), expected_first);
    EXPECT_EQ(second.Data(), expected_second);
    EXPECT_EQ(same.Data(), Concat(expected_first, expected_second));
  }
}

TEST(ZCompressionStreamTest, RestartBeforeFinishIsRefused) {
  TMemoryStream dest;
  TZCompressionStream z(dest);
  z.Write("abc", 3);
  EXPECT_THROW(z.Restart(dest), EZCompressionError);
  z.Finish();
  EXPECT_EQ(dest.Data(), Compress2({'a', 'b', 'c'}));
}

// ---------------------------------------------------------------------------
// What a write-only stream refuses, and the one seek it allows.

TEST(ZCompressionStreamTest, ReadSizeAndMovingSeeksAreInvalidOperations) {
  const std::pair<std::int64_t, TSeekOrigin> kSeeks[] = {
      {1, TSeekOrigin::soCurrent},   {-1, TSeekOrigin::soCurrent}, {0, TSeekOrigin::soBeginning},
      {5, TSeekOrigin::soBeginning}, {0, TSeekOrigin::soEnd},      {-1, TSeekOrigin::soEnd},
  };
  const Bytes data = Text(1000);
  TMemoryStream dest;
  TZCompressionStream z(dest);
  z.Write(data.data(), 500);

  auto expect_invalid = [](auto&& op) {
    try {
      op();
      ADD_FAILURE() << "no exception";
    } catch (const EZCompressionError& e) {
      EXPECT_STREQ(e.what(), "Invalid ZStream operation!");
    }
  };
  char buf[16];
  expect_invalid([&] { z.Read(buf, sizeof buf); });
  expect_invalid([&] { z.Size(); });
  for (const auto& [offset, origin] : kSeeks) {
    SCOPED_TRACE(::testing::Message() << offset << " from " << static_cast<int>(origin));
    expect_invalid([&] { z.Seek(offset, origin); });
  }
  // The job catches stream errors as such.
  EXPECT_THROW(z.Read(buf, 1), EStreamError);

  // None of it disturbed the stream.
  z.Write(data.data() + 500, 500);
  z.Finish();
  EXPECT_EQ(dest.Data(), Compress2(data));
}

TEST(ZCompressionStreamTest, CurrentPositionIsTheInputConsumed) {
  const Bytes data = RandomBytes(150000, 8);
  TMemoryStream dest;
  TZCompressionStream z(dest);
  EXPECT_EQ(z.Seek(0, TSeekOrigin::soCurrent), 0);
  z.Write(data.data(), 10);
  EXPECT_EQ(z.Seek(0, TSeekOrigin::soCurrent), 10);
  z.Write(data.data() + 10, 0);
  EXPECT_EQ(z.Position(), 10);
  z.Write(data.data() + 10, data.size() - 10);
  EXPECT_EQ(z.Position(), static_cast<std::int64_t>(data.size()));
  z.Finish();
  EXPECT_EQ(z.Position(), static_cast<std::int64_t>(data.size()));
}

// ---------------------------------------------------------------------------
// A destination that fails.

// A memory stream that refuses every write while fail is set.
class TFailingStream : public TMemoryStream {
 public:
  void Write(const void* buffer, std::size_t count) override {
    if (fail) throw EStreamError("disk full");
    TMemoryStream::Write(buffer, count);
  }
  bool fail = true;
};

TEST(ZCompressionStreamTest, DestinationWriteErrorsReachTheCaller) {
  const struct {
    const char* name;
    Bytes data;
    bool write_fails;  // the buffer fills during Write, not only in Finish
  } kCases[] = {
      {"small input, fails in Finish", Text(1000), false},
      {"empty input, fails in Finish", {}, false},
      {"large input, fails in Write", RandomBytes(200000, 9), true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TFailingStream dest;
    EXPECT_NO_THROW({
      TZCompressionStream z(dest);
      if (c.write_fails) {
        EXPECT_THROW(z.Write(c.data.data(), c.data.size()), EStreamError);
      } else {
        z.Write(c.data.data(), c.data.size());
      }
      try {
        z.Finish();
        ADD_FAILURE() << "Finish did not throw";
      } catch (const EZCompressionError&) {
        ADD_FAILURE() << "the destination's own error was replaced";
      } catch (const EStreamError& e) {
        EXPECT_STREQ(e.what(), "disk full");
      }
    });  // the destructor retries, fails again and keeps quiet
  }
}

TEST(ZCompressionStreamTest, FinishCanBeRetriedAfterTheDestinationRecovers) {
  const Bytes data = RandomBytes(100000, 10);
  TFailingStream dest;
  dest.fail = false;
  TZCompressionStream z(dest);
  z.Write(data.data(), data.size());  // one full buffer goes out
  dest.fail = true;
  EXPECT_THROW(z.Finish(), EStreamError);
  dest.fail = false;
  dest.SetPosition(0);
  z.Finish();
  EXPECT_EQ(dest.Data(), Compress2(data));
}

TEST(ZCompressionStreamTest, DestructorSwallowsAFailedFinish) {
  TFailingStream dest;
  const Bytes data = Text(1000);
  EXPECT_NO_THROW({
    TZCompressionStream z(dest);
    z.Write(data.data(), data.size());
  });
}

}  // namespace
}  // namespace pkg
