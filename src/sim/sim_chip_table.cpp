#include "sim/sim_chip_table.h"

#include <algorithm>
#include <bit>
#include <cctype>

namespace vql {

std::uint16_t SimChipModel::AddressMask() const {
  return static_cast<std::uint16_t>(std::bit_ceil(codeBytes) - 1);
}

const SimChipModel* FindSimChip(std::string_view name) {
  const auto sameName = [name](const SimChipModel& chip) {
    return std::ranges::equal(chip.name, name, [](unsigned char a, unsigned char b) {
      return std::tolower(a) == std::tolower(b);
    });
  };
  const auto* found = std::ranges::find_if(kSimChips, sameName);
  return found == kSimChips.end() ? nullptr : found;
}

std::string SimChipNames() {
  std::string names;
  for (const auto& chip : kSimChips) {
    if (!names.empty()) names += ", ";
    names += chip.name;
  }
  return names;
}

}  // namespace vql
