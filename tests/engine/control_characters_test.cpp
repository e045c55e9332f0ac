#include "control_characters.h"

#include <gtest/gtest.h>

#include <string>

TEST(EscapeControlCharacters, WritesEachControlByteAsHexAndLeavesTheRest) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"\\a\\b.txt", "\\a\\b.txt"},
      {"a\nb", "a\\x0Ab"},
      {"\x1B[31m\x7F", "\\x1B[31m\\x7F"},
      {std::string("\0\x1F ~", 4), "\\x00\\x1F ~"},
      {"数据\r", "数据\\x0D"},  // UTF-8 bytes above 0x7F are kept
  };
  for (const auto& c : cases) EXPECT_EQ(pkg::EscapeControlCharacters(c.in), c.out);
}
