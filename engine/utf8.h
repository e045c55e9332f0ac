// Strict UTF-8 decoding and encoding, shared by the platform layers.
#pragma once

#include <string>
#include <string_view>

namespace pkg {

// False on any malformed, overlong or surrogate sequence.
bool DecodeUtf8(std::string_view in, std::u32string& out);
void EncodeUtf8(char32_t c, std::string& out);

}  // namespace pkg
