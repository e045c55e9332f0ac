#include "text_convert.h"

namespace pkg {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool TryStrToInt(std::string_view text, std::int32_t& value) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return false;  // no digits

  if (hex) {
    std::uint32_t pattern = 0;
    int significant = 0;
    for (; i < text.size(); ++i) {
      const int d = HexDigit(text[i]);
      if (d < 0) return false;
      if (significant > 0 || d != 0) ++significant;
      if (significant > 8) return false;
      pattern = pattern << 4 | static_cast<std::uint32_t>(d);
    }
    if (negative) pattern = 0u - pattern;
    value = static_cast<std::int32_t>(pattern);
    return true;
  }

  std::uint64_t magnitude = 0;
  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (magnitude > limit) return false;
  }
  value =
      negative ? static_cast<std::int32_t>(0 - magnitude) : static_cast<std::int32_t>(magnitude);
  return true;
}

KeyTextResult ParseKeyText(std::string_view text) {
  KeyTextResult r;
  if (text.empty()) {
    r.error = KeyTextError::kEmpty;
    return r;
  }
  if (text.size() % 2 != 0) {
    r.error = KeyTextError::kOddLength;
    return r;
  }
  r.bytes.reserve(text.size() / 2);
  for (std::size_t k = 0; k < text.size() / 2; ++k) {
    const int hi = HexDigit(text[2 * k]);
    const int lo = HexDigit(text[2 * k + 1]);
    if (hi < 0 || lo < 0) {
      r.error = KeyTextError::kBadPair;
      r.badPair = k;
      return r;
    }
    r.bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return r;
}

}  // namespace pkg
