// The index compressed record by record seals to the same trailer as the
// whole index sealed at once, whatever the number of records.
#include "index_stream.h"

#include <gtest/gtest.h>

#include "pkg_format.h"

namespace {

TEST(IndexStream, SealsToTheSameTrailerAsTheWholeIndex) {
  const std::vector<std::uint8_t> key(pkg::kGame2Key.begin(), pkg::kGame2Key.end());
  // None, one, and enough to cross the pieces it compresses in many times.
  for (const int records : {0, 1, 9000}) {
    SCOPED_TRACE(records);
    pkg::IndexStream stream;
    std::vector<std::uint8_t> whole;
    for (int i = 0; i < records; ++i) {
      const pkg::IndexRecord r{
          "\\maps\\" + std::string(static_cast<std::size_t>(i % 40), 'x') + std::to_string(i),
          static_cast<std::uint32_t>(24 + 97 * i), static_cast<std::uint32_t>(i * 13),
          static_cast<std::uint32_t>(i)};
      stream.Append(r);
      pkg::AppendIndexRecord(whole, r);
    }
    EXPECT_EQ(stream.Size(), whole.size());
    EXPECT_EQ(pkg::TrailerBytes(stream.Seal(key)), pkg::TrailerBytes(pkg::SealIndex(whole, key)));
  }
}

}  // namespace
