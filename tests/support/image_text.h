// Image contents as text, so tests can compare whole ranges in one assertion.
#pragma once

#include <cstdint>
#include <string>

#include "image/code_image.h"

namespace vql::testing {

// The digit pairs of count addresses from first, concatenated: "12345678".
inline std::string ImageText(const CodeImage& image, std::int32_t first, std::int32_t count) {
  std::string text;
  for (std::int32_t a = first; a < first + count; ++a) {
    text += image.HighDigits[static_cast<std::size_t>(a)];
    text += image.LowDigits[static_cast<std::size_t>(a)];
  }
  return text;
}

// Number of addresses that do not hold "F","F".
inline std::int32_t UsedAddresses(const CodeImage& image) {
  std::int32_t used = 0;
  for (std::size_t a = 0; a < kImageSize; ++a) {
    used += (image.HighDigits[a] != 'F' || image.LowDigits[a] != 'F') ? 1 : 0;
  }
  return used;
}

}  // namespace vql::testing
