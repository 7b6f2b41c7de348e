#include "image/code_image.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace vql {
namespace {

std::string Spell(const AddressCounter& c) { return {c.Digit1, c.Digit2, c.Digit3, c.Digit4}; }

AddressCounter Counter(std::string_view digits) {
  return {digits[0], digits[1], digits[2], digits[3]};
}

TEST(AddressCounter, AdvancesWithCarryAndWrapsAtTheTop) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"0000", "0001"}, {"0009", "000A"}, {"000F", "0010"}, {"00FF", "0100"},
      {"0FFF", "1000"}, {"2FFF", "3000"}, {"FFFE", "FFFF"}, {"FFFF", "0000"},
      // A digit that is no digit stops the carry where it stands.
      {"00xF", "00x0"}, {"0a00", "0a01"},
  };
  for (const auto& [before, after] : cases) {
    AddressCounter c = Counter(before);
    AdvanceAddressCounter(c);
    EXPECT_EQ(Spell(c), after) << before;
  }
}

TEST(AddressCounter, VisitsEveryAddressInOrderAndComesBackToZero) {
  AddressCounter c = Counter("1234");
  ResetAddressCounter(c);
  char expected[5];
  for (unsigned a = 0; a < 65536; ++a) {
    std::snprintf(expected, sizeof expected, "%04X", a);
    ASSERT_EQ(Spell(c), expected);
    AdvanceAddressCounter(c);
  }
  EXPECT_EQ(Spell(c), "0000");
}

TEST(CodeImage, ClearFillsEveryEntryWithF) {
  auto image = std::make_unique<CodeImage>();
  image->HighDigits[0] = 'a';
  image->LowDigits[0xFFFF] = '\0';
  image->HighDigits[0x8000] = ':';
  ClearCodeImage(*image);
  for (std::size_t a = 0; a < kImageSize; ++a) {
    ASSERT_EQ(image->HighDigits[a], 'F') << a;
    ASSERT_EQ(image->LowDigits[a], 'F') << a;
  }
}

}  // namespace
}  // namespace vql
