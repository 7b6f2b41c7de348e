// The serial instructions of both sets by their opening bytes, as the data sheets'
// instruction tables give them (AT89S51/52 and AT89S8253 3286A Table 19 for the
// four-byte set; the AT89S53/8252 layout for the three-byte set), with what each does
// to a chip that takes it.
//
// A chip frames what it hears in its own instruction length from the rise of RST. A
// chip of the other set in the socket therefore reads the program's bytes in other
// frames, and the byte that starts one of its frames decides what it does with it.
// Out of programming, only its Programming Enable brings it in; in programming,
// every row that changes something (a write, an erase, a lock or fuse write) harms
// it. DeviceOps keeps the other set's enable off every one of that set's frames, so
// that a chip of the other set never enters programming and none of the rows that
// change something ever reaches it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "devices/device_table.h"

namespace vql {

struct InstructionOpener {
  InstructionSet set;
  // The first byte under its mask, and where it matters the second.
  std::uint8_t first, firstMask;
  std::uint8_t second, secondMask;
  bool enables;  // Programming Enable: brings a chip into programming
  bool changes;  // writes, erases, or sets lock bits or fuses
  std::string_view name;
};

inline constexpr auto kInstructionOpeners = std::to_array<InstructionOpener>({
    // Four-byte set. AC opens the enable and, by byte 2, the erase (100x xxxx), the
    // lock write (1110 0xxx) and the user fuse write (0001 1xxx).
    {InstructionSet::FourByte, 0xAC, 0xFF, 0x53, 0xFF, true, true, "Programming Enable"},
    {InstructionSet::FourByte, 0xAC, 0xFF, 0x00, 0x00, false, true,
     "Chip Erase, Write Lock Bits, Write User Fuses"},
    {InstructionSet::FourByte, 0x40, 0xFF, 0x00, 0x00, false, true, "Write Code Byte"},
    {InstructionSet::FourByte, 0x50, 0xFF, 0x00, 0x00, false, true, "Write Code Page"},
    {InstructionSet::FourByte, 0xC0, 0xFF, 0x00, 0x00, false, true, "Write Data Byte"},
    {InstructionSet::FourByte, 0xD0, 0xFF, 0x00, 0x00, false, true, "Write Data Page"},
    {InstructionSet::FourByte, 0x42, 0xFF, 0x00, 0x00, false, true, "Write User Signature Byte"},
    {InstructionSet::FourByte, 0x52, 0xFF, 0x00, 0x00, false, true, "Write User Signature Page"},
    {InstructionSet::FourByte, 0x20, 0xFF, 0x00, 0x00, false, false, "Read Code Byte"},
    {InstructionSet::FourByte, 0x30, 0xFF, 0x00, 0x00, false, false, "Read Code Page"},
    {InstructionSet::FourByte, 0xA0, 0xFF, 0x00, 0x00, false, false, "Read Data Byte"},
    {InstructionSet::FourByte, 0xB0, 0xFF, 0x00, 0x00, false, false, "Read Data Page"},
    {InstructionSet::FourByte, 0x21, 0xFF, 0x00, 0x00, false, false, "Read User Fuses"},
    {InstructionSet::FourByte, 0x22, 0xFF, 0x00, 0x00, false, false, "Read User Signature Byte"},
    {InstructionSet::FourByte, 0x32, 0xFF, 0x00, 0x00, false, false, "Read User Signature Page"},
    {InstructionSet::FourByte, 0x24, 0xFF, 0x00, 0x00, false, false, "Read Lock Bits"},
    {InstructionSet::FourByte, 0x28, 0xFF, 0x00, 0x00, false, false, "Read Signature Byte"},
    // Three-byte set. AC opens the enable, the erase (xxxx x100) and the lock write;
    // byte 1 of the memory instructions ends in the operation: 10 writes (code, or
    // on the AT89S8252 the data EEPROM with b2 set), 01 reads.
    {InstructionSet::ThreeByte, 0xAC, 0xFF, 0x53, 0xFF, true, true, "Programming Enable"},
    {InstructionSet::ThreeByte, 0xAC, 0xFF, 0x00, 0x00, false, true,
     "Chip Erase, Write Lock Bits"},
    {InstructionSet::ThreeByte, 0x02, 0x03, 0x00, 0x00, false, true, "Write Code or Data Byte"},
    {InstructionSet::ThreeByte, 0x01, 0x03, 0x00, 0x00, false, false, "Read Code or Data Byte"},
});

// The instruction of the set that bytes first, second (if known) would open; the
// enable before the others that share its first byte. Nothing for a byte that opens
// none.
constexpr std::optional<InstructionOpener> OpenerOf(InstructionSet set, std::uint8_t first,
                                                    std::optional<std::uint8_t> second) {
  for (const InstructionOpener& row : kInstructionOpeners) {
    if (row.set != set || (first & row.firstMask) != row.first) continue;
    if (row.secondMask != 0 && second && (*second & row.secondMask) != row.second) continue;
    return row;
  }
  return std::nullopt;
}

// Whether a frame of the set that begins with these bytes may bring a chip of the
// set into programming: when the byte after first is not known, any byte that opens
// the enable may.
constexpr bool MayEnable(InstructionSet set, std::uint8_t first, std::optional<std::uint8_t> second) {
  const auto row = OpenerOf(set, first, second);
  return row && row->enables;
}

// Whether a frame of the set that begins with this byte changes a chip in programming.
constexpr bool MayChange(InstructionSet set, std::uint8_t first) {
  for (const InstructionOpener& row : kInstructionOpeners) {
    if (row.set == set && (first & row.firstMask) == row.first && row.changes) return true;
  }
  return false;
}

constexpr InstructionSet OtherSet(InstructionSet set) {
  return set == InstructionSet::FourByte ? InstructionSet::ThreeByte : InstructionSet::FourByte;
}

// The first place in bytes, sent after `clocked` bytes since the rise of RST, where a
// frame of the set starts that may bring a chip of the set into programming; nothing
// when there is none. The byte after the last is not known.
constexpr std::optional<std::size_t> EnableAtFrame(InstructionSet set, std::size_t clocked,
                                                   std::span<const std::uint8_t> bytes) {
  const std::size_t frame = SetInfo(set).instructionBytes;
  for (std::size_t i = (frame - clocked % frame) % frame; i < bytes.size(); i += frame) {
    const auto next = i + 1 < bytes.size() ? std::optional<std::uint8_t>(bytes[i + 1]) : std::nullopt;
    if (MayEnable(set, bytes[i], next)) return i;
  }
  return std::nullopt;
}

}  // namespace vql
