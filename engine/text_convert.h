// The two text forms users type: integers (the archive type number, the
// settings file's integers) and index keys in hexadecimal.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace pkg {

// Leading spaces, at most one sign, then decimal digits within the signed 32-bit
// range, or a hexadecimal prefix ("$", "x", "X", "0x", "0X") and one to eight
// significant hex digits giving the 32-bit pattern (negated after "-").
// Nothing may follow. False for every other text.
bool TryStrToInt(std::string_view text, std::int32_t& value);

enum class KeyTextError { kNone, kEmpty, kOddLength, kBadPair };

// An even number of characters, read as pairs of hexadecimal digits, high
// digit first; no blanks, signs or prefixes. On kBadPair, bytes holds the
// pairs converted before the first bad one and badPair its index.
struct KeyTextResult {
  KeyTextError error = KeyTextError::kNone;
  std::vector<std::uint8_t> bytes;
  std::size_t badPair = 0;
};
KeyTextResult ParseKeyText(std::string_view text);

}  // namespace pkg
