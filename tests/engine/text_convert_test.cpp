// The two texts users type: integers (the archive type, the settings file's
// numbers) and index keys in hexadecimal.
#include "text_convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace pkg {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

struct AcceptedCase {
  const char* text;
  std::int32_t value;
};

TEST(TryStrToIntTest, AcceptsDecimalWithinTheSigned32BitRange) {
  const AcceptedCase kCases[] = {
      {"0", 0},
      {"1", 1},
      {"007", 7},
      {"  42", 42},
      {"+5", 5},
      {"-5", -5},
      {"-0", 0},
      {" +7", 7},
      {"2147483647", kMax},
      {"-2147483648", kMin},
      {"+2147483647", kMax},
      {"0000000000000000000042", 42},  // leading zeros do not count against the range
      {"-00000000002147483648", kMin},
  };
  for (const AcceptedCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << "\"" << c.text << "\"");
    std::int32_t value = 12345;
    ASSERT_TRUE(TryStrToInt(c.text, value));
    EXPECT_EQ(value, c.value);
  }
}

TEST(TryStrToIntTest, AcceptsHexPrefixesWithUpToEightSignificantDigits) {
  const AcceptedCase kCases[] = {
      {"$1F", 31},
      {"$1f", 31},
      {"x1f", 31},
      {"X1F", 31},
      {"0x1F", 31},
      {"0X1f", 31},
      {"$0", 0},
      {"$7FFFFFFF", kMax},
      {"$FFFFFFFF", -1},  // the 32-bit pattern, not a value out of range
      {"$80000000", kMin},
      {"-$1", -1},
      {"-$FFFFFFFF", 1},
      {"-$80000000", kMin},
      {"+$10", 16},
      {"-0x10", -16},
      {" -$10", -16},
      {"$000000001", 1},  // nine digits, one significant
      {"0x00000000FFFFFFFF", -1},
  };
  for (const AcceptedCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << "\"" << c.text << "\"");
    std::int32_t value = 12345;
    ASSERT_TRUE(TryStrToInt(c.text, value));
    EXPECT_EQ(value, c.value);
  }
}

TEST(TryStrToIntTest, RejectsEveryOtherText) {
  const char* const kCases[] = {
      // out of range
      "2147483648",
      "-2147483649",
      "4294967296",
      "99999999999999999999999",
      "$100000000",  // nine significant digits
      // empty or blank
      "",
      " ",
      "   ",
      // anything after the digits, blanks included
      "42 ",
      "4 2",
      "1.0",
      "12a",
      "0x1F ",
      // signs without digits, or more than one
      "+",
      "-",
      "+-1",
      "--1",
      "-+1",
      "++1",
      // not numbers, or only a hexadecimal prefix
      "abc",
      "$",
      "x",
      "0x",
      "$G",
      "0xG1",
      "$ 1",
      "$-1",
      "$+1",
      "0x-1",
      "$$1",
      // only spaces may lead, and only before the sign
      "\t5",
      "\n5",
      "- 5",
      "-\t5",
      // a prefix that is not one: "0" then "$", or "00x"
      "0$1",
      "00x1",
  };
  for (const char* text : kCases) {
    SCOPED_TRACE(testing::Message() << "\"" << text << "\"");
    std::int32_t value = 0;
    EXPECT_FALSE(TryStrToInt(text, value));
  }
}

TEST(TryStrToIntTest, TextEndsAtTheViewsLengthNotAtAZeroByte) {
  std::int32_t value = 0;
  EXPECT_FALSE(TryStrToInt(std::string("12\0", 3), value));
  ASSERT_TRUE(TryStrToInt(std::string_view("123", 2), value));
  EXPECT_EQ(value, 12);
}

struct KeyCase {
  const char* what;
  std::string text;
  KeyTextError error;
  std::vector<std::uint8_t> bytes;  // all bytes, or those before the bad pair
  std::size_t badPair;
};

TEST(ParseKeyTextTest, PairsOfHexDigitsHighDigitFirst) {
  const KeyCase kCases[] = {
      {"empty", "", KeyTextError::kEmpty, {}, 0},
      {"one character", "A", KeyTextError::kOddLength, {}, 0},
      {"three characters", "ABC", KeyTextError::kOddLength, {}, 0},
      {"odd length with a blank", "3A7F ", KeyTextError::kOddLength, {}, 0},
      {"upper case", "3A7F0C52E9", KeyTextError::kNone, {0x3A, 0x7F, 0x0C, 0x52, 0xE9}, 0},
      {"lower case", "3a7f0c52e9", KeyTextError::kNone, {0x3A, 0x7F, 0x0C, 0x52, 0xE9}, 0},
      {"mixed case", "3a7F0C52e9", KeyTextError::kNone, {0x3A, 0x7F, 0x0C, 0x52, 0xE9}, 0},
      {"mixed inside a pair", "aBcD", KeyTextError::kNone, {0xAB, 0xCD}, 0},
      {"single byte", "00", KeyTextError::kNone, {0x00}, 0},
      {"every digit",
       "0123456789abcdefABCDEF",
       KeyTextError::kNone,
       {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF},
       0},
      {"leading blank", " A", KeyTextError::kBadPair, {}, 0},
      {"trailing blank", "A ", KeyTextError::kBadPair, {}, 0},
      {"blank between pairs", "3A 7F", KeyTextError::kOddLength, {}, 0},
      {"blank inside the second pair", "3A 7F0", KeyTextError::kBadPair, {0x3A}, 1},
      {"blank pair", "3A  7F", KeyTextError::kBadPair, {0x3A}, 1},
      {"prefix", "0x3A", KeyTextError::kBadPair, {}, 0},
      {"dollar prefix", "$03A", KeyTextError::kBadPair, {}, 0},
      {"sign", "-3A7", KeyTextError::kBadPair, {}, 0},
      {"not hex", "GG", KeyTextError::kBadPair, {}, 0},
      {"bad low digit after good pairs", "3A7F0G", KeyTextError::kBadPair, {0x3A, 0x7F}, 2},
      {"bad last pair", "3A7F0C52EZ", KeyTextError::kBadPair, {0x3A, 0x7F, 0x0C, 0x52}, 4},
      {"separator", "3A:7F", KeyTextError::kOddLength, {}, 0},
      {"separator even", "3A:7F0", KeyTextError::kBadPair, {0x3A}, 1},
      {"full-width digits", "\xEF\xBC\x91\xEF\xBC\x92", KeyTextError::kBadPair, {}, 0},
      {"zero byte", std::string("3A\0\0", 4), KeyTextError::kBadPair, {0x3A}, 1},
  };
  for (const KeyCase& c : kCases) {
    SCOPED_TRACE(c.what);
    const KeyTextResult r = ParseKeyText(c.text);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.bytes, c.bytes);
    if (c.error == KeyTextError::kBadPair) {
      EXPECT_EQ(r.badPair, c.badPair);
    }
  }
}

TEST(ParseKeyTextTest, LongKeyHasNoUpperLimit) {
  std::string text;
  std::vector<std::uint8_t> expected;
  for (int i = 0; i < 500; ++i) {
    const auto b = static_cast<std::uint8_t>(i * 37 + 11);
    static const char kDigits[] = "0123456789ABCDEF";
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
    expected.push_back(b);
  }
  ASSERT_EQ(text.size(), 1000u);
  const KeyTextResult r = ParseKeyText(text);
  EXPECT_EQ(r.error, KeyTextError::kNone);
  EXPECT_EQ(r.bytes, expected);
}

}  // namespace
}  // namespace pkg
