// Any bytes, cut into chunks of any size, read as an Intel HEX file: the reader must
// never crash, never touch memory outside the image, keep its extent in range, and
// report what it found sensibly.
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
  vql::HexLoadReport report;
  const std::int32_t extent = vql::ReadHexRecords(in, image, report);
  // The extent counts data records from 0 up; a report names a line it found.
  if (extent < 0) std::abort();
  if (report.badLines < 0 || (report.badLines > 0 && report.firstLine < 1)) std::abort();
  if (report.firstText.size() > 64) std::abort();
  return 0;
}
