// Any bytes, cut into chunks of any size, read as an Intel HEX file: the reader must
// never crash, never touch memory outside the image, and keep its extent in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "image/char_stream.h"
#include "image/hex_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;  // the first byte chooses the chunk size
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  vql::MemoryCharStream in(text, chunk);
  static vql::CodeImage image;  // reused: filling 128 KiB per input would slow the search
  const std::int32_t extent = vql::ReadHexRecords(in, image);
  // count is at most FF and the address at most FFFF; a record below 0 never counts.
  if (extent < 0 || extent > 0xFF + 0xFFFF) std::abort();
  return 0;
}
