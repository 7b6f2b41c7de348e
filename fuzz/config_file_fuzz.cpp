// Any bytes, cut into chunks of any size, read as a configuration file: every value
// stays within what four characters weighed 4096, 256, 16 and 1 can give.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "image/char_stream.h"
#include "link/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  vql::MemoryCharStream in(text, chunk);
  std::int32_t v[5] = {};
  vql::ReadConfigValues(in, v[0], v[1], v[2], v[3], v[4]);
  for (const std::int32_t value : v) {
    if (value < -4369 || value > 0xFFFF) std::abort();
  }
  return 0;
}
