// Building the archive's header and sealing its index.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pkg_format.h"

namespace pkg {

struct IndexRecord {
  std::string name;  // relative path in CP936 bytes, e.g. "\data\a.bin"
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t storedSize = 0;
};

std::array<std::uint8_t, kHeaderSize> MakeHeader(std::int32_t type, bool compressed,
                                                 std::uint32_t trailerOffset);

// Appends one record's bytes to the index.
void AppendIndexRecord(std::vector<std::uint8_t>& index, const IndexRecord& record);

// XORs byte i with key[i % key.size()]; key must not be empty.
void ScrambleWithKey(std::span<std::uint8_t> data, std::span<const std::uint8_t> key);

// The trailer as it is written after the data area.
struct SealedIndex {
  std::uint32_t indexSize = 0;
  std::array<std::uint8_t, kDigestTextSize> maskedDigest{};
  std::vector<std::uint8_t> scrambledIndex;  // compressed, then scrambled
};

// Compresses the index, digests the compressed bytes, then scrambles them with
// the key and masks the digest text. The digest is taken before scrambling, so
// two keys give the same masked digest.
SealedIndex SealIndex(const std::vector<std::uint8_t>& index, std::span<const std::uint8_t> key);
// The same, for an index already compressed (indexSize bytes before).
SealedIndex SealCompressedIndex(std::uint32_t indexSize, std::vector<std::uint8_t> compressed,
                                std::span<const std::uint8_t> key);

std::vector<std::uint8_t> TrailerBytes(const SealedIndex& sealed);

}  // namespace pkg
