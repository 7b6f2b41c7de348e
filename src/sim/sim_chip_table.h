// The chips that the simulated programmer can have behind its cable, one row each:
// how much code they hold, which serial instruction set they speak, how their lock
// bits are written and read, whether they have the x2-clock fuse, and how long they
// take to erase and to write a byte. The chip model picks its behaviour from the row.
//
// Default times, which VQLISP_SIM's erase= and write= replace:
//   AT89S51, AT89S52                 erase 500 ms, byte write 500 us
//   AT89S8253, AT89S2051, AT89S4051  erase  20 ms, byte write 500 us
//   AT89S53, AT89S8252               erase  16 ms, byte write 2000 us
// They are near the parts' own worst cases, short enough that the program's waits
// (5 ms after a four-byte write, 100 ms per programming enable) cover them, except
// the AT89S51/52 erase, which outlasts one enable attempt as the real parts do.
//
// Each phase of SCK (high or low) must last some periods of the chip's crystal:
//   8 periods (SCK below fosc/16)   AT89S51, AT89S52, AT89S8253, AT89S2051, AT89S4051
//  20 periods (SCK below fosc/40)   AT89S53, AT89S8252
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vql {

enum class SimInstructionSet {
  kFourByte,   // 4-byte instructions, Programming Enable echoes 69
  kThreeByte,  // 3-byte instructions with the high address in byte 1
};

enum class SimLockLayout {
  // AC E0..E3 00 00 writes one protection mode at a time, in order; Read Lock Bits
  // shows LB1..LB3 at b2..b4, a set bit reading 1.
  kModesInOrder,
  // AC [1,1,1,0,0,L3,L2,L1] FF FF writes all three at once (0 sets); Read Lock Bits
  // shows LB1..LB3 at b0..b2, a set bit reading 0.
  kBitsAtOnce,
  // AC [LB1,LB2,LB3,1,1,1,1,1] FF (0 sets); no instruction reads them back.
  kThreeByteWriteOnly,
};

struct SimChipModel {
  std::string_view name;
  std::uint32_t codeBytes;
  SimInstructionSet instructions;
  SimLockLayout locks;
  bool x2Fuse;
  std::uint32_t eraseMs;
  std::uint32_t writeUs;
  // The crystal periods that SCK must stay low before it rises (and high before it
  // falls) for the chip to take the bit.
  std::uint32_t sckPhaseClocks;

  std::size_t InstructionBytes() const {
    return instructions == SimInstructionSet::kFourByte ? 4 : 3;
  }
  // The address lines the chip decodes: the next power of two at or above its size,
  // minus one. Higher bits are not wired, so 1000 on a 4 KiB chip is 0000.
  std::uint16_t AddressMask() const;
};

inline constexpr std::array kSimChips{
    SimChipModel{"AT89S51", 4096, SimInstructionSet::kFourByte, SimLockLayout::kModesInOrder, false,
                 500, 500, 8},
    SimChipModel{"AT89S52", 8192, SimInstructionSet::kFourByte, SimLockLayout::kModesInOrder, false,
                 500, 500, 8},
    SimChipModel{"AT89S53", 12288, SimInstructionSet::kThreeByte,
                 SimLockLayout::kThreeByteWriteOnly, false, 16, 2000, 20},
    SimChipModel{"AT89S8252", 8192, SimInstructionSet::kThreeByte,
                 SimLockLayout::kThreeByteWriteOnly, false, 16, 2000, 20},
    SimChipModel{"AT89S8253", 12288, SimInstructionSet::kFourByte, SimLockLayout::kBitsAtOnce, true,
                 20, 500, 8},
    SimChipModel{"AT89S2051", 2048, SimInstructionSet::kFourByte, SimLockLayout::kBitsAtOnce, true,
                 20, 500, 8},
    SimChipModel{"AT89S4051", 4096, SimInstructionSet::kFourByte, SimLockLayout::kBitsAtOnce, true,
                 20, 500, 8},
};

// The row whose name matches, ignoring case; nullptr when there is none.
const SimChipModel* FindSimChip(std::string_view name);

// "AT89S51, AT89S52, ..." for messages.
std::string SimChipNames();

}  // namespace vql
