// The target devices as rows of one constant table. Code chooses behaviour
// from a device's row - its size, instruction set, enable rule, lock and fuse
// operations - never from scattered index comparisons.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/serial_engine.h"

namespace vql {

enum class InstructionSet { ThreeByte, FourByte };

// What each instruction set can carry, indexed by InstructionSet.
struct InstructionSetInfo {
  InstructionSet set;
  std::string_view name;  // as the device listing shows it
  // The highest code address the set's instructions can name. Both carry A13..A8
  // in one byte (the four-byte set in b5..b0 of byte 2, the three-byte set in
  // b7..b3 and b2 of byte 1) and A7..A0 in the next, so 14 address bits.
  std::int32_t highestAddress;
  // The bytes of one instruction (the page instructions aside): a chip counts what it
  // hears in such frames from the rise of RST, whatever set the sender meant.
  std::size_t instructionBytes;
};

inline constexpr std::array<InstructionSetInfo, 2> kInstructionSets{{
    {InstructionSet::ThreeByte, "three-byte", 0x3FFF, 3},
    {InstructionSet::FourByte, "four-byte", 0x3FFF, 4},
}};

constexpr const InstructionSetInfo& SetInfo(InstructionSet set) {
  return kInstructionSets[static_cast<std::size_t>(set)];
}

// How the four-byte programming enable judges the chip's 69 echo.
enum class EnableRule {
  EchoJudged,   // up to ten attempts, until the chip echoes 69
  SingleTry,    // one attempt, whatever the answer
  NoEcho,       // the three-byte enable: one sequence, nothing to judge
};

enum class LockWrite { Stepwise, ByMode, ThreeByte };
enum class LockRead { None, ToBoxes, ByMode };

struct DeviceInfo {
  std::string_view name;
  std::int32_t codeSize;
  std::int32_t lastAddress;
  InstructionSet set;
  EnableRule enable;
  LockWrite lockWrite;
  LockRead lockRead;
  bool hasFuse;  // the x2-clock user fuse
  // How long the program waits for the chip erase before it reads the chip again:
  // at least the data sheet's maximum where one gives it (AT89S51/52 500 ms,
  // AT89S8253 9 ms), and as long as the longest of the family where none does.
  std::int32_t eraseMs;
  // Whether the data sheet says what a read of the byte being written answers while
  // the write is under way: the complement of its bit 7 (data polling). Where it does
  // not, a busy chip may answer anything, 00 included.
  bool dataPolling;
  // Fast programming: the code page of the page instructions (50 write, 30 read), 0
  // where the data sheet gives none or none is known; and the longest a page write
  // may last by the data sheet, at the slowest crystal it allows (AT89S51/52: 256
  // bytes of 64 periods of 3 MHz + 400 us each; AT89S8253: 4.5 ms).
  std::int32_t pageBytes;
  std::int32_t pageWriteMaxUs;
  // How the data sheet draws the serial port's timing: the AT89S8253 in SPI mode 1,
  // the others in mode 0 (or, where there is no data sheet, as their family).
  SpiMode spiMode = SpiMode::Mode0;
  // The longest a byte write, a lock write or a fuse write may last by the data sheet,
  // at the slowest crystal it allows (AT89S51/52: 64 periods of 3 MHz + 400 us;
  // AT89S8253: 4.5 ms); 0 where no data sheet gives one. RST stays high until then.
  std::int32_t writeCycleMaxUs = 0;
  // The fuse byte holds Fuse1 (serial programming), Fuse2 (x2 clock) and Fuse3 (User
  // Row programming), as the AT89S8253's data sheet gives them; otherwise only the x2
  // bit is known.
  bool userFuses = false;
};

// One row a device; the table sizes itself.
inline constexpr auto kDevices = std::to_array<DeviceInfo>({
    {"AT89S51", 4096, 0x0FFF, InstructionSet::FourByte, EnableRule::EchoJudged,
     LockWrite::Stepwise, LockRead::ToBoxes, false, 500, true, 256, 107900, SpiMode::Mode0, 422},
    {"AT89S52", 8192, 0x1FFF, InstructionSet::FourByte, EnableRule::EchoJudged,
     LockWrite::Stepwise, LockRead::ToBoxes, false, 500, true, 256, 107900, SpiMode::Mode0, 422},
    {"AT89S53", 12288, 0x2FFF, InstructionSet::ThreeByte, EnableRule::NoEcho,
     LockWrite::ThreeByte, LockRead::None, false, 500, true, 0, 0},
    {"AT89S8252", 8192, 0x1FFF, InstructionSet::ThreeByte, EnableRule::NoEcho,
     LockWrite::ThreeByte, LockRead::None, false, 500, true, 0, 0},
    {"AT89S8253", 12288, 0x2FFF, InstructionSet::FourByte, EnableRule::SingleTry,
     LockWrite::ByMode, LockRead::ByMode, true, 10, true, 64, 4500, SpiMode::Mode1, 4500, true},
    {"AT89S2051", 2048, 0x07FF, InstructionSet::FourByte, EnableRule::SingleTry,
     LockWrite::ByMode, LockRead::ByMode, true, 500, false, 0, 0},
    {"AT89S4051", 4096, 0x0FFF, InstructionSet::FourByte, EnableRule::SingleTry,
     LockWrite::ByMode, LockRead::ByMode, true, 500, false, 0, 0},
});

// Every device's code fits the addresses that its instruction set can name.
constexpr bool EveryDeviceFitsItsSet() {
  for (const InstructionSetInfo& info : kInstructionSets) {
    if (SetInfo(info.set).set != info.set) return false;  // rows in enum order
  }
  for (const DeviceInfo& device : kDevices) {
    if (device.lastAddress > SetInfo(device.set).highestAddress) return false;
    // Pages start on their own size and fill the code; the page instructions are the
    // four-byte set's.
    if (device.pageBytes != 0 &&
        (device.set != InstructionSet::FourByte || device.pageBytes > 256 ||
         (device.pageBytes & (device.pageBytes - 1)) != 0 ||
         device.codeSize % device.pageBytes != 0 || device.pageWriteMaxUs <= 0)) {
      return false;
    }
  }
  return true;
}
static_assert(EveryDeviceFitsItsSet(), "a device reaches past what its instructions can address");

// The signatures the serial Read Signature (28) gives: the AT89S51/52's at 000, 100
// and 200, and the AT89S8253's at 030 and 031, read from its parallel-mode table: its
// serial instruction table garbles the address, so that place is not confirmed, and
// nothing of its own device is refused on it.
struct DeviceSignature {
  std::string_view device;
  std::vector<std::uint16_t> at;
  std::vector<std::uint8_t> bytes;
  bool confirmed;
};
inline const std::vector<DeviceSignature>& DeviceSignatures() {
  static const std::vector<DeviceSignature> signatures{
      {"AT89S51", {0x000, 0x100, 0x200}, {0x1E, 0x51, 0x06}, true},
      {"AT89S52", {0x000, 0x100, 0x200}, {0x1E, 0x52, 0x06}, true},
      {"AT89S8253", {0x030, 0x031}, {0x1E, 0x73}, false},
  };
  return signatures;
}
// The signature of the device with this name, or nullptr.
inline const DeviceSignature* SignatureOf(std::string_view device) {
  for (const DeviceSignature& signature : DeviceSignatures()) {
    if (signature.device == device) return &signature;
  }
  return nullptr;
}

// The device chosen at start-up: the AT89S8253.
inline constexpr std::int32_t kDefaultDeviceIndex = 4;

// The row for a device index, or nullptr when the index names no device (the
// combo box gives -1 for typed text that matches no item).
constexpr const DeviceInfo* DeviceAt(std::int32_t index) {
  if (index < 0 || index >= static_cast<std::int32_t>(kDevices.size())) return nullptr;
  return &kDevices[static_cast<std::size_t>(index)];
}

// The index of the device with this name, exactly as the table spells it; -1 if none.
constexpr std::int32_t DeviceIndexOf(std::string_view name) {
  for (std::size_t i = 0; i < kDevices.size(); ++i) {
    if (kDevices[i].name == name) return static_cast<std::int32_t>(i);
  }
  return -1;
}

// The names of the devices whose row passes keep, in table order, for texts:
// joined by separator, the last one by lastSeparator ("A, B and C").
template <typename Keep>
std::string DeviceNames(Keep keep, std::string_view separator = ", ",
                        std::string_view lastSeparator = ", ") {
  std::size_t total = 0;
  for (const DeviceInfo& device : kDevices) {
    if (keep(device)) ++total;
  }
  std::string names;
  std::size_t i = 0;
  for (const DeviceInfo& device : kDevices) {
    if (!keep(device)) continue;
    if (i > 0) names += i + 1 == total ? lastSeparator : separator;
    names += device.name;
    ++i;
  }
  return names;
}

}  // namespace vql
