// The 64 KiB code image and the four-digit address counter that walks it.
//
// A byte of the image is held as two characters, the digits of its upper and lower
// nibble. The loader stores file characters without checking them, so an entry can
// hold any character; the pair "F","F" is the empty (erased) byte.
#pragma once

#include <array>
#include <cstdint>

namespace vql {

inline constexpr std::int32_t kImageSize = 65536;

struct CodeImage {
  CodeImage();  // starts empty: every entry "F"

  std::array<char, kImageSize> HighDigits;
  std::array<char, kImageSize> LowDigits;
};

// Every entry of both arrays becomes "F".
void ClearCodeImage(CodeImage& image);

// The byte at address as its two digits spell it; negative when either is no digit.
std::int32_t ImageByte(const CodeImage& image, std::int32_t address);
// Spells byte at address as its two upper-case digits.
void SetImageByte(CodeImage& image, std::int32_t address, std::uint8_t byte);

// The current walk position as four digit characters, Digit1 most significant.
// It is not an index: a walk keeps its own integer index in step with it.
struct AddressCounter {
  char Digit1 = '0';
  char Digit2 = '0';
  char Digit3 = '0';
  char Digit4 = '0';
};

void ResetAddressCounter(AddressCounter& counter);

// Adds one with carry from Digit4 upwards; FFFF becomes 0000.
void AdvanceAddressCounter(AddressCounter& counter);

// Spells the low 16 bits of address, for a walk that steps back to an earlier address.
void SetAddressCounter(AddressCounter& counter, std::int32_t address);

}  // namespace vql
