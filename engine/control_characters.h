// Control characters in names: refused when packing, refused when reading an
// archive, and shown as \xNN wherever a name is printed, so that a name
// holding a line break or an escape sequence cannot drive a terminal.
#pragma once

#include <string>
#include <string_view>

namespace pkg {

// A byte below 0x20, or 0x7F.
bool IsControlCharacter(char c);

// One byte written as \xNN, with upper-case hex digits.
std::string EscapedByte(unsigned char c);

// The text with each control character written as \xNN.
std::string EscapeControlCharacters(std::string_view text);

}  // namespace pkg
