// The chips that the simulated programmer can have behind its cable, one row each:
// how much code they hold, which serial instruction set they speak, how their lock
// bits are written and read, whether they have the x2-clock fuse or the three user
// fuses, their data EEPROM and user signature row, their page instructions and
// signature, how they answer the programming enable and reads
// while busy, on which SCK edges they shift, and how long they take to erase and to
// write. The chip model picks its behaviour from the row.
//
// Default times, which VQLISP_SIM's erase= and write= replace:
//   AT89S51, AT89S52       erase 500 ms, byte write 64 crystal periods + 400 us,
//                          page write 256 byte writes (at 12 MHz 406 us and
//                          103766 us, each rounded up to whole microseconds)
//   AT89S8253              erase   9 ms, byte write 4500 us, page write 4500 us
//   AT89S2051, AT89S4051   erase  20 ms, byte write  500 us
//   AT89S53, AT89S8252     erase  16 ms, byte write 2000 us
// The AT89S51/52 and AT89S8253 times are their data sheets' maxima; write= sets the
// byte write, and a page write stays as many byte writes as the row says. All byte
// writes end within the 5 ms the program waits after a four-byte write, and all
// erases but the AT89S51/52's within one programming enable of some 100 ms; the
// AT89S51/52 erase outlasts one enable attempt as the real parts may.
//
// Page instructions (50 write, 30 read) exist where the data sheets give them: pages
// of 256 bytes on the AT89S51/52, whose address is one byte (the high one), and of
// 64 bytes on the AT89S8253, whose address is two (A13..A8, then A7 A6 of the page).
// The address bits above the chip's size are dropped, as for the byte instructions.
// The data bytes follow, always from byte 0 of the page.
//
// The signatures are those that the data sheets give for the serial Read Signature
// (28): the AT89S51/52's 1E 51/52 06 at 000, 100 and 200, the AT89S8253's 1E 73 at
// 030 and 031 (its data sheet's table garbles the serial address, so this place is
// inferred from the parallel one). The other chips read FF there.
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
// The AT89S8253 plays the rest of its instruction table too (3286A, Table 19): its
// 2 KiB data EEPROM (C0/A0 byte write and read, D0/B0 pages of 32 bytes, the address
// A10..A8 in byte 2 and A7..A0 in byte 3), its three user fuses (AC 0001 1 F3 F2 F1
// xx xx writes them, 0 enabling; 21 xx xx reads them in byte 4) and its 64-byte user
// signature row (42/22 byte write and read, the address in byte 3; 52/32 the whole
// row). The AT89S8252 has a data EEPROM of 2 KiB too, kept and erased with the code,
// but its serial instructions for it are not at hand, so none are decoded. The
// AT89S2051/4051 keep the one x2-clock fuse that the program writes (AC 18/1A 55 FF,
// read 21 55 55 in b1); nothing more is known of them.
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

// One byte of a chip's signature and the address at which Read Signature gives it.
struct SimSignatureByte {
  std::uint16_t address;
  std::uint8_t value;
};

// The most signature bytes that a chip has (the AT89S51/52's three).
inline constexpr std::size_t kSimSignatureMost = 3;
// The largest page of the page instructions (the AT89S51/52's code page).
inline constexpr std::size_t kSimPageMost = 256;

struct SimChipModel {
  std::string_view name;
  std::uint32_t codeBytes;
  SimInstructionSet instructions;
  SimLockLayout locks;
  // The x2-clock fuse. With userFuses it is Fuse2 of three, written and read by the
  // AT89S8253's instructions; without, the one fuse of the AT89S2051/4051's.
  bool x2Fuse;
  bool userFuses;
  // The data EEPROM, apart from the code; 0: none.
  std::uint32_t eepromBytes;
  // The page of the data EEPROM's instructions (C0, A0, D0, B0); 0: no instructions
  // for the EEPROM are decoded.
  std::uint32_t eepromPageBytes;
  // The user signature row and its instructions (42, 22, 52, 32); 0: none.
  std::uint32_t userRowBytes;
  std::uint32_t eraseMs;
  // A byte write lasts writeUs plus writeClocks periods of the chip's crystal.
  std::uint32_t writeUs;
  std::uint32_t writeClocks;
  // The code page of the page instructions (50, 30); 0: the chip has none.
  std::uint32_t pageBytes;
  // How many byte writes a page write lasts: the AT89S51/52's data sheets time
  // only the byte, so a page there is as long as its bytes; the AT89S8253 writes
  // its page in one cycle.
  std::uint32_t pageWriteCycles;
  // The first signatureBytes of signature, in the order of their addresses.
  std::size_t signatureBytes;
  std::array<SimSignatureByte, kSimSignatureMost> signature;
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
  // The bytes of a page instruction before its data: the instruction and the page's
  // address, one byte of it for pages of 256 bytes, two for smaller pages.
  std::size_t PageHeaderBytes() const { return pageBytes >= 256 ? 2 : 3; }
  // The address lines the chip decodes: the next power of two at or above its size,
  // minus one. Higher bits are not wired, so 1000 on a 4 KiB chip is 0000.
  std::uint16_t AddressMask() const;
};

inline constexpr std::array kSimChips{
    SimChipModel{.name = "AT89S51", .codeBytes = 4096,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kModesInOrder, .x2Fuse = false,
                 .userFuses = false, .eepromBytes = 0, .eepromPageBytes = 0,
                 .userRowBytes = 0,
                 .eraseMs = 500, .writeUs = 400, .writeClocks = 64,
                 .pageBytes = 256, .pageWriteCycles = 256, .signatureBytes = 3,
                 .signature = {{{0x000, 0x1E}, {0x100, 0x51}, {0x200, 0x06}}},
                 .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = true,
                 .lockReading = SimLockReading::kSetReadsOne, .dataSheetBusyReads = true},
    SimChipModel{.name = "AT89S52", .codeBytes = 8192,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kModesInOrder, .x2Fuse = false,
                 .userFuses = false, .eepromBytes = 0, .eepromPageBytes = 0,
                 .userRowBytes = 0,
                 .eraseMs = 500, .writeUs = 400, .writeClocks = 64,
                 .pageBytes = 256, .pageWriteCycles = 256, .signatureBytes = 3,
                 .signature = {{{0x000, 0x1E}, {0x100, 0x52}, {0x200, 0x06}}},
                 .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = true,
                 .lockReading = SimLockReading::kSetReadsOne, .dataSheetBusyReads = true},
    SimChipModel{.name = "AT89S53", .codeBytes = 12288,
                 .instructions = SimInstructionSet::kThreeByte,
                 .locks = SimLockLayout::kThreeByteWriteOnly, .x2Fuse = false,
                 .userFuses = false, .eepromBytes = 0, .eepromPageBytes = 0,
                 .userRowBytes = 0,
                 .eraseMs = 16, .writeUs = 2000, .writeClocks = 0,
                 .pageBytes = 0, .pageWriteCycles = 0, .signatureBytes = 0, .signature = {},
                 .sckPhaseClocks = 20,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = false},
    SimChipModel{.name = "AT89S8252", .codeBytes = 8192,
                 .instructions = SimInstructionSet::kThreeByte,
                 .locks = SimLockLayout::kThreeByteWriteOnly, .x2Fuse = false,
                 .userFuses = false, .eepromBytes = 2048, .eepromPageBytes = 0,
                 .userRowBytes = 0,
                 .eraseMs = 16, .writeUs = 2000, .writeClocks = 0,
                 .pageBytes = 0, .pageWriteCycles = 0, .signatureBytes = 0, .signature = {},
                 .sckPhaseClocks = 20,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = false},
    SimChipModel{.name = "AT89S8253", .codeBytes = 12288,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kBitsAtOnce, .x2Fuse = true,
                 .userFuses = true, .eepromBytes = 2048, .eepromPageBytes = 32,
                 .userRowBytes = 64,
                 .eraseMs = 9, .writeUs = 4500, .writeClocks = 0,
                 .pageBytes = 64, .pageWriteCycles = 1, .signatureBytes = 2,
                 .signature = {{{0x030, 0x1E}, {0x031, 0x73}, {0x000, 0xFF}}},
                 .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode1, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = true},
    SimChipModel{.name = "AT89S2051", .codeBytes = 2048,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kBitsAtOnce, .x2Fuse = true,
                 .userFuses = false, .eepromBytes = 0, .eepromPageBytes = 0,
                 .userRowBytes = 0,
                 .eraseMs = 20, .writeUs = 500, .writeClocks = 0,
                 .pageBytes = 0, .pageWriteCycles = 0, .signatureBytes = 0, .signature = {},
                 .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = false},
    SimChipModel{.name = "AT89S4051", .codeBytes = 4096,
                 .instructions = SimInstructionSet::kFourByte,
                 .locks = SimLockLayout::kBitsAtOnce, .x2Fuse = true,
                 .userFuses = false, .eepromBytes = 0, .eepromPageBytes = 0,
                 .userRowBytes = 0,
                 .eraseMs = 20, .writeUs = 500, .writeClocks = 0,
                 .pageBytes = 0, .pageWriteCycles = 0, .signatureBytes = 0, .signature = {},
                 .sckPhaseClocks = 8,
                 .spiMode = SimSpiMode::kMode0, .echoesEnable = false,
                 .lockReading = SimLockReading::kSetReadsZero, .dataSheetBusyReads = false},
};

// The row whose name matches, ignoring case; nullptr when there is none.
const SimChipModel* FindSimChip(std::string_view name);

// "AT89S51, AT89S52, ..." for messages.
std::string SimChipNames();

}  // namespace vql
