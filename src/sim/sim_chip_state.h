// What a simulated chip remembers (its code, lock bits and x2-clock fuse) and the
// plain-text file that keeps it from one run of the program to the next, so that a
// chip programmed in one run can be verified in the next.
//
// The file, written whole on every save:
//
//   VQL-ISP simulated chip state, version 1
//   chip AT89S8253
//   lock-bits LB1=1 LB2=0 LB3=0        (1: set)
//   x2-clock off                        (on or off)
//   code
//   0000 02003FFF...                    (an address, then 32 bytes as 64 hex digits)
//   ...
//   end
//
// Code rows go in rising address order, each at a multiple of 32 within the chip;
// a row left out is erased (FF). The closing "end" shows that nothing was cut off.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_chip_table.h"

namespace vql {

struct SimLockBits {
  bool lb1 = false;
  bool lb2 = false;
  bool lb3 = false;

  bool Any() const { return lb1 || lb2 || lb3; }
  bool operator==(const SimLockBits&) const = default;
};

struct SimChipMemory {
  std::vector<std::uint8_t> code;  // one byte per address of the chip
  SimLockBits lockBits;
  bool x2Clock = false;  // the fuse that doubles the clock: programmed (on) or not

  // A chip fresh from an erase: code all FF, no lock bit set, the fuse off.
  static SimChipMemory Erased(const SimChipModel& model);
};

// The memory kept in path for the model's chip; nullopt when there is no such file.
// Throws PortError naming the file and what is wrong with it: unreadable, not a
// state file, damaged, or written for another chip.
std::optional<SimChipMemory> LoadSimChipState(const std::string& path, const SimChipModel& model);

// Writes the memory to a temporary file beside path and renames it into place, so a
// run that dies while saving leaves the former file whole. Throws PortError.
void SaveSimChipState(const std::string& path, const SimChipModel& model,
                      const SimChipMemory& memory);

}  // namespace vql
