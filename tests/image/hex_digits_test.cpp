#include "image/hex_digits.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace vql {
namespace {

constexpr std::string_view kDigits = "0123456789ABCDEF";

TEST(HexDigitValue, OnlyTheSixteenUpperCaseDigitsHaveValues) {
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    const auto pos = kDigits.find(ch);
    const std::int32_t expected = pos == std::string_view::npos ? -1 : static_cast<std::int32_t>(pos);
    EXPECT_EQ(HexDigitValue(ch), expected) << "character " << c;
  }
}

TEST(HexPairAndQuadValue, NonDigitsWeighMinusOne) {
  struct Case {
    std::string digits;
    std::int32_t value;
  };
  const Case cases[] = {
      {"FF", 255},   {"1a", 15},     {"00", 0},      {"  ", -17},
      {"FFFF", 65535}, {"0100", 256}, {"00a0", -16}, {"378]", 0x377F},
      {"03bc", 751},  {"03\x1A\x1A", 751}, {"[[[[", -4369}, {"0378", 0x378},
  };
  for (const auto& c : cases) {
    const auto& d = c.digits;
    const std::int32_t got = d.size() == 2 ? HexPairValue(d[0], d[1])
                                           : HexQuadValue(d[0], d[1], d[2], d[3]);
    EXPECT_EQ(got, c.value) << '"' << d << '"';
  }
}

TEST(HexDigitToBits, DigitsGiveTheirBitsMostSignificantFirst) {
  for (BitFlag v = 0; v < 16; ++v) {
    BitFlag b3 = 7, b2 = 7, b1 = 7, b0 = 7;
    HexDigitToBits(kDigits[static_cast<std::size_t>(v)], b3, b2, b1, b0);
    EXPECT_EQ((std::array{b3, b2, b1, b0}),
              (std::array<BitFlag, 4>{(v >> 3) & 1, (v >> 2) & 1, (v >> 1) & 1, v & 1}))
        << v;
  }
}

TEST(HexDigitToBits, NonDigitsLeaveTheOutputsAsTheyWere) {
  for (const char c : {'c', 'a', 'f', ' ', 'G', '\x1A', ':', '\0', '\xFF'}) {
    BitFlag b3 = 1, b2 = 0, b1 = 1, b0 = 2;
    HexDigitToBits(c, b3, b2, b1, b0);
    EXPECT_EQ((std::array{b3, b2, b1, b0}), (std::array<BitFlag, 4>{1, 0, 1, 2})) << int{c};
  }
}

TEST(BitsToHexDigit, ValidFlagsGiveTheDigitAnyOtherFlagKeepsIt) {
  for (std::int32_t v = 0; v < 16; ++v) {
    char digit = 'x';
    BitsToHexDigit((v >> 3) & 1, (v >> 2) & 1, (v >> 1) & 1, v & 1, digit);
    EXPECT_EQ(digit, kDigits[static_cast<std::size_t>(v)]);
  }
  const std::array<BitFlag, 4> invalid[] = {{2, 0, 0, 0}, {0, -1, 0, 0}, {1, 1, 1, 3}, {0, 0, 5, 0}};
  for (const auto& flags : invalid) {
    char digit = 'q';
    BitsToHexDigit(flags[0], flags[1], flags[2], flags[3], digit);
    EXPECT_EQ(digit, 'q');
  }
}

TEST(AdvanceHexDigit, StepsThroughTheCycleAndCarriesOnlyFromF) {
  struct Case {
    char before, after;
    bool carry;
  };
  const Case cases[] = {{'0', '1', false}, {'8', '9', false}, {'9', 'A', false},
                        {'E', 'F', false}, {'F', '0', true},  {'f', 'f', false},
                        {'g', 'g', false}, {' ', ' ', false}, {'\x1A', '\x1A', false}};
  for (const auto& c : cases) {
    char digit = c.before;
    EXPECT_EQ(AdvanceHexDigit(digit), c.carry) << c.before;
    EXPECT_EQ(digit, c.after) << c.before;
  }
}

}  // namespace
}  // namespace vql
