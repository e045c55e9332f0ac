// The ".pkg" archive layout: every constant, offset and built-in key in one
// place, shared by the writer and the reader.
//
//   header  (24 bytes at offset 0)
//   data    (each file's stored bytes, back to back, from offset 24)
//   trailer (index size, masked digest text, scrambled compressed index)
//
// All integers are 32-bit little-endian; offsets are absolute.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pkg {

// Header.
inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::array<std::uint8_t, 8> kMagic = {'P', 'K', '3', '.', '0', 0, 0, 0};
inline constexpr std::size_t kHeaderMagicOffset = 0;
inline constexpr std::size_t kHeaderTypeOffset = 8;            // signed archive type number
inline constexpr std::size_t kHeaderCompressionOffset = 12;    // 1: zlib streams, 0: stored
inline constexpr std::size_t kHeaderTrailerOffsetOffset = 16;  // patched last
inline constexpr std::size_t kHeaderConstantOffset = 20;
inline constexpr std::uint32_t kHeaderConstant = 6777325;  // 0x006769ED

// Trailer, relative to the trailer offset. The compressed index runs to the end
// of the file; its length is not stored.
inline constexpr std::size_t kTrailerIndexSizeOffset = 0;
inline constexpr std::size_t kTrailerDigestOffset = 4;
inline constexpr std::size_t kDigestTextSize = 32;
inline constexpr std::size_t kTrailerIndexOffset = 36;
inline constexpr std::size_t kTrailerFixedSize = 36;

// Every digest character is XORed with this byte before it is stored; the same
// for every archive, whatever the key.
inline constexpr std::uint8_t kDigestMask = 0x5A;

// Index record: name length (4), name (CP936 bytes, no terminator), offset (4),
// size (4), stored size (4).
inline constexpr std::size_t kRecordFixedSize = 16;

// Offsets and sizes are 32-bit: every file's size and stored size, every data
// offset and the trailer offset must stay at or below this value.
inline constexpr std::uint64_t kMaxOffset = 0xFFFFFFFFu;

// Built-in index keys.
using BuiltInKey = std::array<std::uint8_t, 8>;
inline constexpr BuiltInKey kGame1Key = {0x3D, 0x91, 0xC4, 0x58, 0xE2, 0x07, 0xAF, 0x6B};
inline constexpr BuiltInKey kGame2Key = {0x72, 0xE8, 0x1A, 0xB5, 0x4F, 0xC3, 0x96, 0x0D};

// Little-endian helpers at explicit offsets.
inline void PutU32LE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline std::uint32_t GetU32LE(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void AppendU32LE(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t b[4];
  PutU32LE(b, v);
  out.insert(out.end(), b, b + 4);
}

}  // namespace pkg
