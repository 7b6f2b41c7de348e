// The chips that the simulated programmer can have behind its cable, one row each:
// how much code they hold, which serial instruction set they speak, how their lock
// bits are written and read, whether they have the x2-clock fuse, how they answer
// the programming enable and reads while busy, on which SCK edges they shift, and
// how long they take to erase and to write a byte. The chip model picks its
// behaviour from the row.
//
// Default times, which VQLISP_SIM's erase= and write= replace:
//   AT89S51, AT89S52       erase 500 ms, byte write  500 us
//   AT89S8253              erase   9 ms, byte write 4500 us
//   AT89S2051, AT89S4051   erase  20 ms, byte write  500 us
//   AT89S53, AT89S8252     erase  16 ms, byte write 2000 us
// The AT89S51/52 erase and the AT89S8253 times are their data sheets' maxima. All
// byte writes end within the 5 ms the program waits after a four-byte write, and
// all erases but the AT89S51/52's within one programming enable of some 100 ms; the
// AT89S51/52 erase outlasts one enable attempt as the real parts may.
//
// Where the sources disagree, or say nothing, the row holds one reading and
// VQLISP_SIM can choose the other (echo=, lock-read=):
//   - The 69 in byte 4 of Programming Enable: the AT89S51/52 data sheets show it; the
//     AT89S8253's shows byte 4 as "xxxx xxxx", so its row gives none. Nothing is
//     known of the AT89S2051/4051; their rows take the harsher reading, no echo.
//   - A set lock bit in Read Lock Bits: 1 on the AT89S51/52. The AT89S8253 data sheet
//     says it reads 1 there too; its row, and the AT89S2051/4051 rows with it, play
//     the reading that the program has long used, 0.
//
// The AT89S8253 takes MOSI on the falling edge of SCK and changes MISO after the
// rising one (SPI mode 1, as its data sheet draws it); the others take MOSI on the
// rising edge and change MISO after the falling one (mode 0).
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

// How a chip's serial port times its bits against SCK.
enum class SimSpiMode {
  kMode0,  // takes MOSI as SCK rises, moves MISO on after SCK falls
  kMode1,  // takes MOSI as SCK falls, moves MISO on after SCK rises
};

// How a set (programmed) lock bit shows in the answer to Read Lock Bits.
enum class SimLockReading {
  kSetReadsOne,
  kSetReadsZero,
};

enum class SimInstructionSet {
  kFourByte,   // 4-byte instructions; Programming Enable may echo 69 in byte 4
  kThreeByte,  // 3-byte instructions with the high address in byte 1
};

enum class SimLockLayout {
  // AC E0..E3 00 00 writes one protection mode at a time, in order; Read Lock Bits
  // shows LB1..LB3 at b2..b4, the other bits 0.
  kModesInOrder,
  // AC [1,1,1,0,0,L3,L2,L1] FF FF writes all three at once (0 sets); Read Lock Bits
  // shows LB1..LB3 at b0..b2. The bits above read 1 when a set bit reads 0, and 0
  // when a set bit reads 1.
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
  // The crystal periods that each phase of SCK must last for the chip to take the
  // bit on the edge that ends it.
  std::uint32_t sckPhaseClocks;
  SimSpiMode spiMode;
  // Byte 4 of a Programming Enable that the chip takes carries 69 (four-byte set).
  bool echoesEnable;
  // How a set lock bit reads (the four-byte layouts).
  SimLockReading lockReading;
  // What the four-byte data sheets promise of a read while the chip is busy: 00 from
  // the code during a chip erase, and the last byte written with bit 7 inverted
  // while it is being written (data polling). Without it a four-byte chip answers
  // no read while busy. The three-byte chips poll their writes regardless.
  bool dataSheetBusyReads;

  std::size_t InstructionBytes() const {
    return instructions == SimInstructionSet::kFourByte ? 4 : 3;
  }
  // The address lines the chip decodes: the next power of two at or above its size,
  // minus one. Higher bits are not wired, so 1000 on a 4 KiB chip is 0000.
  std::uint16_t AddressMask() const;
};

inline constexpr std::array kSimChips{
    SimChipModel{.name = "AT89S51", .codeBytes = 4096,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kModesInOrder, .x2Fuse = false,
                 .eraseMs = 500, .writeUs = 500, .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = true,
                 .lockReading = SimLockReading::kSetReadsOne, .dataSheetBusyReads = true},
    SimChipModel{.name = "AT89S52", .codeBytes = 8192,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kModesInOrder, .x2Fuse = false,
                 .eraseMs = 500, .writeUs = 500, .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = true,
                 .lockReading = SimLockReading::kSetReadsOne, .dataSheetBusyReads = true},
    SimChipModel{.name = "AT89S53", .codeBytes = 12288,
                 .instructions = SimInstructionSet::kThreeByte,
                 .locks = SimLockLayout::kThreeByteWriteOnly, .x2Fuse = false,
                 .eraseMs = 16, .writeUs = 2000, .sckPhaseClocks = 20,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = false},
    SimChipModel{.name = "AT89S8252", .codeBytes = 8192,
                 .instructions = SimInstructionSet::kThreeByte,
                 .locks = SimLockLayout::kThreeByteWriteOnly, .x2Fuse = false,
                 .eraseMs = 16, .writeUs = 2000, .sckPhaseClocks = 20,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = false},
    SimChipModel{.name = "AT89S8253", .codeBytes = 12288,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kBitsAtOnce, .x2Fuse = true,
                 .eraseMs = 9, .writeUs = 4500, .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode1, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = true},
    SimChipModel{.name = "AT89S2051", .codeBytes = 2048,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kBitsAtOnce, .x2Fuse = true,
                 .eraseMs = 20, .writeUs = 500, .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = false},
    SimChipModel{.name = "AT89S4051", .codeBytes = 4096,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kBitsAtOnce, .x2Fuse = true,
                 .eraseMs = 20, .writeUs = 500, .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = false},
};

// The row whose name matches, ignoring case; nullptr when there is none.
const SimChipModel* FindSimChip(std::string_view name);

// "AT89S51, AT89S52, ..." for messages.
std::string SimChipNames();

}  // namespace vql
