// What a simulated chip remembers (its code, data EEPROM, user signature row, lock
// bits and fuses) and the plain-text file that keeps it from one run of the program
// to the next, so that a chip programmed in one run can be verified in the next.
//
// The file, written whole on every save:
//
//   VQL-ISP simulated chip state, version 2
//   chip AT89S8253
//   lock-bits LB1=1 LB2=0 LB3=0        (1: set)
//   fuses serial-programming=on x2-clock=off user-row-programming=on   (on: enabled)
//   code
//   0000 02003FFF...                    (an address, then 32 bytes as 64 hex digits)
//   ...
//   eeprom                              (only on chips with a data EEPROM)
//   0000 FFFF...
//   ...
//   user-row                            (only on chips with a user signature row)
//   0000 FFFF...
//   0020 FFFF...
//   end
//
// Rows go in rising address order, each at a multiple of 32 within its memory; a row
// left out is erased (FF), and so is a whole section left out. The closing "end"
// shows that nothing was cut off. Files of version 1, which have an "x2-clock on|off"
// line in place of the fuses line and only the code, are still read: the other two
// fuses are then as on a fresh chip.
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

// The user fuses, true where a fuse is enabled (written 0). Chips without the
// AT89S8253's three keep the defaults of the ones they lack.
struct SimFuses {
  // Fuse1: the chip enters serial programming. The AT89S8253 "is shipped with the
  // Serial Programming Mode enabled" (3286A, page 35).
  bool serialProgramming = true;
  bool x2Clock = false;  // Fuse2: the clock is not divided by 2
  // Fuse3: the user row can be written, and a Chip Erase erases it. The data sheet
  // does not say how a new chip comes; enabled here.
  bool userRowProgramming = true;

  bool operator==(const SimFuses&) const = default;
};

// Everything the chip keeps, so that a test or the fuzzer can take a snapshot before
// a command and compare it after: equal memories mean the chip was not changed.
struct SimChipMemory {
  std::vector<std::uint8_t> code;     // one byte per address of the chip
  std::vector<std::uint8_t> eeprom;   // the data EEPROM; empty without one
  std::vector<std::uint8_t> userRow;  // the user signature row; empty without one
  SimLockBits lockBits;
  SimFuses fuses;

  // A chip fresh from the factory: code, EEPROM and user row all FF, no lock bit
  // set, the fuses as SimFuses says.
  static SimChipMemory Erased(const SimChipModel& model);
  bool operator==(const SimChipMemory&) const = default;
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
