#include "md5.h"

#include <bit>
#include <cstring>

namespace pkg {

namespace {

constexpr std::size_t kBlockSize = 64;

inline void FF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               int s, std::uint32_t t) {
  a = b + std::rotl(a + (d ^ (b & (c ^ d))) + x + t, s);
}

inline void GG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               int s, std::uint32_t t) {
  a = b + std::rotl(a + (c ^ (d & (b ^ c))) + x + t, s);
}

inline void HH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               int s, std::uint32_t t) {
  a = b + std::rotl(a + (b ^ c ^ d) + x + t, s);
}

inline void II(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
               int s, std::uint32_t t) {
  a = b + std::rotl(a + (c ^ (b | ~d)) + x + t, s);
}

// Reads the block as sixteen little-endian words. memcpy keeps unaligned input
// legal and compiles to plain loads.
inline void LoadBlock(std::uint32_t (&x)[16], const std::uint8_t* block) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(x, block, kBlockSize);
  } else {
    for (int i = 0; i < 16; ++i) {
      const std::uint8_t* p = block + 4 * i;
      x[i] = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
             std::uint32_t{p[3]} << 24;
    }
  }
}

void Transform(std::uint32_t (&state)[4], const std::uint8_t* block) {
  std::uint32_t x[16];
  LoadBlock(x, block);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  FF(a, b, c, d, x[0], 7, 0xd76aa478);
  FF(d, a, b, c, x[1], 12, 0xe8c7b756);
  FF(c, d, a, b, x[2], 17, 0x242070db);
  FF(b, c, d, a, x[3], 22, 0xc1bdceee);
  FF(a, b, c, d, x[4], 7, 0xf57c0faf);
  FF(d, a, b, c, x[5], 12, 0x4787c62a);
  FF(c, d, a, b, x[6], 17, 0xa8304613);
  FF(b, c, d, a, x[7], 22, 0xfd469501);
  FF(a, b, c, d, x[8], 7, 0x698098d8);
  FF(d, a, b, c, x[9], 12, 0x8b44f7af);
  FF(c, d, a, b, x[10], 17, 0xffff5bb1);
  FF(b, c, d, a, x[11], 22, 0x895cd7be);
  FF(a, b, c, d, x[12], 7, 0x6b901122);
  FF(d, a, b, c, x[13], 12, 0xfd987193);
  FF(c, d, a, b, x[14], 17, 0xa679438e);
  FF(b, c, d, a, x[15], 22, 0x49b40821);

  GG(a, b, c, d, x[1], 5, 0xf61e2562);
  GG(d, a, b, c, x[6], 9, 0xc040b340);
  GG(c, d, a, b, x[11], 14, 0x265e5a51);
  GG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  GG(a, b, c, d, x[5], 5, 0xd62f105d);
  GG(d, a, b, c, x[10], 9, 0x02441453);
  GG(c, d, a, b, x[15], 14, 0xd8a1e681);
  GG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  GG(a, b, c, d, x[9], 5, 0x21e1cde6);
  GG(d, a, b, c, x[14], 9, 0xc33707d6);
  GG(c, d, a, b, x[3], 14, 0xf4d50d87);
  GG(b, c, d, a, x[8], 20, 0x455a14ed);
  GG(a, b, c, d, x[13], 5, 0xa9e3e905);
  GG(d, a, b, c, x[2], 9, 0xfcefa3f8);
  GG(c, d, a, b, x[7], 14, 0x676f02d9);
  GG(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  HH(a, b, c, d, x[5], 4, 0xfffa3942);
  HH(d, a, b, c, x[8], 11, 0x8771f681);
  HH(c, d, a, b, x[11], 16, 0x6d9d6122);
  HH(b, c, d, a, x[14], 23, 0xfde5380c);
  HH(a, b, c, d, x[1], 4, 0xa4beea44);
  HH(d, a, b, c, x[4], 11, 0x4bdecfa9);
  HH(c, d, a, b, x[7], 16, 0xf6bb4b60);
  HH(b, c, d, a, x[10], 23, 0xbebfbc70);
  HH(a, b, c, d, x[13], 4, 0x289b7ec6);
  HH(d, a, b, c, x[0], 11, 0xeaa127fa);
  HH(c, d, a, b, x[3], 16, 0xd4ef3085);
  HH(b, c, d, a, x[6], 23, 0x04881d05);
  HH(a, b, c, d, x[9], 4, 0xd9d4d039);
  HH(d, a, b, c, x[12], 11, 0xe6db99e5);
  HH(c, d, a, b, x[15], 16, 0x1fa27cf8);
  HH(b, c, d, a, x[2], 23, 0xc4ac5665);

  II(a, b, c, d, x[0], 6, 0xf4292244);
  II(d, a, b, c, x[7], 10, 0x432aff97);
  II(c, d, a, b, x[14], 15, 0xab9423a7);
  II(b, c, d, a, x[5], 21, 0xfc93a039);
  II(a, b, c, d, x[12], 6, 0x655b59c3);
  II(d, a, b, c, x[3], 10, 0x8f0ccc92);
  II(c, d, a, b, x[10], 15, 0xffeff47d);
  II(b, c, d, a, x[1], 21, 0x85845dd1);
  II(a, b, c, d, x[8], 6, 0x6fa87e4f);
  II(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  II(c, d, a, b, x[6], 15, 0xa3014314);
  II(b, c, d, a, x[13], 21, 0x4e0811a1);
  II(a, b, c, d, x[4], 6, 0xf7537e82);
  II(d, a, b, c, x[11], 10, 0xbd3af235);
  II(c, d, a, b, x[2], 15, 0x2ad7d2bb);
  II(b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Init(MD5Context& ctx) {
  ctx.state[0] = 0x67452301;
  ctx.state[1] = 0xefcdab89;
  ctx.state[2] = 0x98badcfe;
  ctx.state[3] = 0x10325476;
  ctx.count = 0;
}

void MD5Update(MD5Context& ctx, const void* data, std::size_t len) {
  if (len == 0) return;
  auto* in = static_cast<const std::uint8_t*>(data);
  std::size_t used = static_cast<std::size_t>((ctx.count >> 3) & (kBlockSize - 1));
  ctx.count += static_cast<std::uint64_t>(len) << 3;

  // Top up a partly filled block first; whole blocks are then hashed straight
  // from the caller's bytes without copying.
  if (used != 0) {
    const std::size_t room = kBlockSize - used;
    if (len < room) {
      std::memcpy(ctx.buffer + used, in, len);
      return;
    }
    std::memcpy(ctx.buffer + used, in, room);
    Transform(ctx.state, ctx.buffer);
    in += room;
    len -= room;
  }
  for (; len >= kBlockSize; in += kBlockSize, len -= kBlockSize) Transform(ctx.state, in);
  if (len != 0) std::memcpy(ctx.buffer, in, len);
}

void MD5Final(MD5Digest& digest, MD5Context& ctx) {
  std::uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(ctx.count >> (8 * i));

  // A 0x80 byte, then zeros up to 56 bytes mod 64, then the 64-bit bit count.
  static constexpr std::uint8_t kPadding[kBlockSize] = {0x80};
  const std::size_t used = static_cast<std::size_t>((ctx.count >> 3) & (kBlockSize - 1));
  const std::size_t pad = used < 56 ? 56 - used : 120 - used;
  MD5Update(ctx, kPadding, pad);
  MD5Update(ctx, length, sizeof length);

  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(ctx.state[i] >> (8 * j));
    }
  }
  // The context may hold message bytes; leave nothing of them behind.
  std::memset(&ctx, 0, sizeof ctx);
}

MD5Digest MD5Bytes(const void* data, std::size_t len) {
  MD5Context ctx;
  MD5Init(ctx);
  MD5Update(ctx, data, len);
  MD5Digest digest;
  MD5Final(digest, ctx);
  return digest;
}

std::string MD5DigestText(const MD5Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(2 * digest.size(), '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return text;
}

}  // namespace pkg
