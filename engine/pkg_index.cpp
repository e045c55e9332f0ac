#include "pkg_index.h"

#include <cassert>
#include <cstring>

#include "ZLibEx.h"
#include "md5.h"
#include "streams.h"

namespace pkg {

std::array<std::uint8_t, kHeaderSize> MakeHeader(std::int32_t type, bool compressed,
                                                 std::uint32_t trailerOffset) {
  std::array<std::uint8_t, kHeaderSize> h{};
  std::memcpy(h.data() + kHeaderMagicOffset, kMagic.data(), kMagic.size());
  PutU32LE(h.data() + kHeaderTypeOffset, static_cast<std::uint32_t>(type));
  PutU32LE(h.data() + kHeaderCompressionOffset, compressed ? 1u : 0u);
  PutU32LE(h.data() + kHeaderTrailerOffsetOffset, trailerOffset);
  PutU32LE(h.data() + kHeaderConstantOffset, kHeaderConstant);
  return h;
}

void AppendIndexRecord(std::vector<std::uint8_t>& index, const IndexRecord& record) {
  AppendU32LE(index, static_cast<std::uint32_t>(record.name.size()));
  index.insert(index.end(), record.name.begin(), record.name.end());
  AppendU32LE(index, record.offset);
  AppendU32LE(index, record.size);
  AppendU32LE(index, record.storedSize);
}

void ScrambleWithKey(std::span<std::uint8_t> data, std::span<const std::uint8_t> key) {
  assert(!key.empty());
  if (key.empty()) return;
  const std::size_t n = key.size();
  std::size_t k = 0;
  for (std::uint8_t& b : data) {
    b ^= key[k];
    if (++k == n) k = 0;
  }
}

SealedIndex SealIndex(const std::vector<std::uint8_t>& index, std::span<const std::uint8_t> key) {
  TMemoryStream compressed;
  {
    TZCompressionStream z(compressed, TZCompressionLevel::zcDefault);
    z.Write(index.data(), index.size());
    z.Finish();
  }
  return SealCompressedIndex(static_cast<std::uint32_t>(index.size()), std::move(compressed.Data()),
                             key);
}

SealedIndex SealCompressedIndex(std::uint32_t indexSize, std::vector<std::uint8_t> compressed,
                                std::span<const std::uint8_t> key) {
  SealedIndex sealed;
  sealed.indexSize = indexSize;
  sealed.scrambledIndex = std::move(compressed);

  const std::string digest =
      MD5DigestText(MD5Bytes(sealed.scrambledIndex.data(), sealed.scrambledIndex.size()));
  for (std::size_t i = 0; i < kDigestTextSize; ++i)
    sealed.maskedDigest[i] = static_cast<std::uint8_t>(digest[i]) ^ kDigestMask;

  ScrambleWithKey(sealed.scrambledIndex, key);
  return sealed;
}

std::vector<std::uint8_t> TrailerBytes(const SealedIndex& sealed) {
  std::vector<std::uint8_t> out;
  out.reserve(kTrailerFixedSize + sealed.scrambledIndex.size());
  AppendU32LE(out, sealed.indexSize);
  out.insert(out.end(), sealed.maskedDigest.begin(), sealed.maskedDigest.end());
  out.insert(out.end(), sealed.scrambledIndex.begin(), sealed.scrambledIndex.end());
  return out;
}

}  // namespace pkg
