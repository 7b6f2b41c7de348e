#include "image/code_image.h"

#include "image/hex_digits.h"

namespace vql {

CodeImage::CodeImage() { ClearCodeImage(*this); }

void ClearCodeImage(CodeImage& image) {
  image.HighDigits.fill('F');
  image.LowDigits.fill('F');
}

void ResetAddressCounter(AddressCounter& counter) { counter = AddressCounter{}; }

std::int32_t ImageByte(const CodeImage& image, std::int32_t address) {
  const auto a = static_cast<std::size_t>(address);
  return HexPairValue(image.HighDigits[a], image.LowDigits[a]);
}

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}  // namespace

void SetImageByte(CodeImage& image, std::int32_t address, std::uint8_t byte) {
  const auto a = static_cast<std::size_t>(address);
  image.HighDigits[a] = kDigits[byte >> 4];
  image.LowDigits[a] = kDigits[byte & 0x0F];
}

void SetAddressCounter(AddressCounter& counter, std::int32_t address) {
  const auto digit = [&](int shift) { return kDigits[(static_cast<unsigned>(address) >> shift) & 0xFu]; };
  counter = {digit(12), digit(8), digit(4), digit(0)};
}

void AdvanceAddressCounter(AddressCounter& counter) {
  if (AdvanceHexDigit(counter.Digit4) && AdvanceHexDigit(counter.Digit3) &&
      AdvanceHexDigit(counter.Digit2)) {
    AdvanceHexDigit(counter.Digit1);  // the carry out of Digit1 is dropped
  }
}

}  // namespace vql
