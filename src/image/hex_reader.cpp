#include "image/hex_reader.h"

#include <array>

#include "image/hex_digits.h"

namespace vql {

std::int32_t ReadHexRecords(CharStream& in, CodeImage& image) {
  std::int32_t extent = 0;
  while (!in.AtEnd()) {
    if (in.Get() != ':') continue;

    std::array<char, 8> header{};
    for (char& c : header) c = in.Get();
    const std::int32_t count = HexPairValue(header[0], header[1]);
    const std::int32_t address = HexQuadValue(header[2], header[3], header[4], header[5]);
    // header[6] and header[7], the record type, are read and not used.
    if (count + address >= extent) extent = count + address;

    for (std::int32_t j = 0; j < count; ++j) {
      const char high = in.Get();
      const char low = in.Get();
      const std::int32_t target = address + j;
      if (target < 0 || target >= kImageSize) continue;
      const auto index = static_cast<std::size_t>(target);
      image.HighDigits[index] = high;
      image.LowDigits[index] = low;
    }
  }
  return extent;
}

}  // namespace vql
