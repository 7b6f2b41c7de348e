#include "link/config_file.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "image/hex_digits.h"

namespace vql {

std::string ConfigFilePath(std::string_view name) {
  if (name.starts_with('/')) return std::string(name);
  std::vector<char> dir(256);
  while (::getcwd(dir.data(), dir.size()) == nullptr) {
    if (errno != ERANGE) {
      throw FileError(std::string("Cannot find the current directory: ") + std::strerror(errno));
    }
    dir.resize(dir.size() * 2);
  }
  std::string path(dir.data());
  if (!path.ends_with('/')) path += '/';
  path += name;
  return path;
}

void ReadConfigValues(CharStream& in, std::int32_t& DelayScale, std::int32_t& BitDelay,
                      std::int32_t& unused, std::int32_t& Lpt1Base, std::int32_t& Lpt2Base) {
  const std::array<std::int32_t*, 5> outputs{&DelayScale, &BitDelay, &unused, &Lpt1Base,
                                             &Lpt2Base};
  std::size_t group = 0;
  while (!in.AtEnd()) {
    if (in.Get() != '[') continue;
    const char c1 = in.Get();
    const char c2 = in.Get();
    const char c3 = in.Get();
    const char c4 = in.Get();
    if (group < outputs.size()) *outputs[group++] = HexQuadValue(c1, c2, c3, c4);
  }
}

void ReadConfigFile(std::int32_t& DelayScale, std::int32_t& BitDelay, std::int32_t& unused,
                    std::int32_t& Lpt1Base, std::int32_t& Lpt2Base, std::string_view name) {
  DelayScale = BitDelay = unused = Lpt1Base = Lpt2Base = 0;
  FileCharStream in(ConfigFilePath(name));
  ReadConfigValues(in, DelayScale, BitDelay, unused, Lpt1Base, Lpt2Base);
}

}  // namespace vql
