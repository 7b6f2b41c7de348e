// Hexadecimal digit characters, bit flags and the small conversions between them.
//
// A byte travels through the program as two digit characters ("0".."9", "A".."F",
// upper case, compared exactly) or as eight separate bit flags. Anything that is
// not one of the sixteen digits - a lower-case letter included - is "no digit":
// conversions leave their outputs alone for it, or weigh it as -1.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace vql {

// One bit as a signed 32-bit integer. Only the value 1 counts as a set bit when a
// line is driven; anything else drives the line low.
using BitFlag = std::int32_t;

// 0..15 for a digit, -1 for any other character.
constexpr std::int32_t HexDigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

// 16 x value(first) + value(second); non-digits weigh -1, so the result can be negative.
constexpr std::int32_t HexPairValue(char first, char second) {
  return 16 * HexDigitValue(first) + HexDigitValue(second);
}

// 4096 x value(a) + 256 x value(b) + 16 x value(c) + value(d), a most significant.
constexpr std::int32_t HexQuadValue(char a, char b, char c, char d) {
  return 4096 * HexDigitValue(a) + 256 * HexDigitValue(b) + 16 * HexDigitValue(c) +
         HexDigitValue(d);
}

// The four bits of a digit, b3 most significant. A non-digit leaves all four as they were.
constexpr void HexDigitToBits(char digit, BitFlag& b3, BitFlag& b2, BitFlag& b1, BitFlag& b0) {
  const std::int32_t value = HexDigitValue(digit);
  if (value < 0) return;
  b3 = (value >> 3) & 1;
  b2 = (value >> 2) & 1;
  b1 = (value >> 1) & 1;
  b0 = value & 1;
}

// The digit spelled by four bits. If any flag is neither 0 nor 1 the digit keeps its value.
constexpr void BitsToHexDigit(BitFlag b3, BitFlag b2, BitFlag b1, BitFlag b0, char& digit) {
  for (const BitFlag flag : {b3, b2, b1, b0}) {
    if (flag != 0 && flag != 1) return;
  }
  constexpr char kDigits[] = "0123456789ABCDEF";
  digit = kDigits[8 * b3 + 4 * b2 + 2 * b1 + b0];
}

// Steps a digit to its successor, "F" wrapping to "0"; returns true on that wrap (the
// carry). A non-digit stays as it is and gives no carry.
constexpr bool AdvanceHexDigit(char& digit) {
  const std::int32_t value = HexDigitValue(digit);
  if (value < 0) return false;
  constexpr char kDigits[] = "0123456789ABCDEF";
  digit = kDigits[(value + 1) & 0xF];
  return digit == '0';
}

}  // namespace vql
