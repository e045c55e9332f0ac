// MD5 message digest (RFC 1321) and its text form. The packer protects the
// archive index with the digest text of the compressed index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pkg {

struct MD5Context {
  std::uint32_t state[4];
  std::uint64_t count;  // message length so far, in bits
  std::uint8_t buffer[64];
};

using MD5Digest = std::array<std::uint8_t, 16>;

void MD5Init(MD5Context& ctx);
void MD5Update(MD5Context& ctx, const void* data, std::size_t len);
// Pads the message, yields the digest and wipes the context; call MD5Init
// again before reusing it.
void MD5Final(MD5Digest& digest, MD5Context& ctx);

// Digest of len bytes, whatever their values (zero bytes included).
MD5Digest MD5Bytes(const void* data, std::size_t len);

// 32 lowercase hex characters, two per digest byte in order, high nibble first.
std::string MD5DigestText(const MD5Digest& digest);

}  // namespace pkg
