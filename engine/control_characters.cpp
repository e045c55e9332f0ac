#include "control_characters.h"

#include <cstdio>

namespace pkg {

bool IsControlCharacter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

std::string EscapedByte(unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02X", c);
  return buf;
}

std::string EscapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (IsControlCharacter(c))
      out += EscapedByte(static_cast<unsigned char>(c));
    else
      out.push_back(c);
  }
  return out;
}

}  // namespace pkg
