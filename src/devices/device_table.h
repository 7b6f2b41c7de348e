// The seven target devices as rows of one constant table. Code chooses behaviour
// from a device's row - its size, instruction set, enable rule, lock and fuse
// operations - never from scattered index comparisons.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vql {

enum class InstructionSet { ThreeByte, FourByte };

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
  // How long the chip erase takes, by the data sheet: nothing is sent to the chip,
  // and the lines are not released, before it is over.
  std::int32_t eraseMs;
};

inline constexpr std::array<DeviceInfo, 7> kDevices{{
    {"AT89S51", 4096, 0x0FFF, InstructionSet::FourByte, EnableRule::EchoJudged,
     LockWrite::Stepwise, LockRead::ToBoxes, false, 500},
    {"AT89S52", 8192, 0x1FFF, InstructionSet::FourByte, EnableRule::EchoJudged,
     LockWrite::Stepwise, LockRead::ToBoxes, false, 500},
    {"AT89S53", 12288, 0x2FFF, InstructionSet::ThreeByte, EnableRule::NoEcho,
     LockWrite::ThreeByte, LockRead::None, false, 16},
    {"AT89S8252", 8192, 0x1FFF, InstructionSet::ThreeByte, EnableRule::NoEcho,
     LockWrite::ThreeByte, LockRead::None, false, 16},
    {"AT89S8253", 12288, 0x2FFF, InstructionSet::FourByte, EnableRule::SingleTry,
     LockWrite::ByMode, LockRead::ByMode, true, 20},
    {"AT89S2051", 2048, 0x07FF, InstructionSet::FourByte, EnableRule::SingleTry,
     LockWrite::ByMode, LockRead::ByMode, true, 20},
    {"AT89S4051", 4096, 0x0FFF, InstructionSet::FourByte, EnableRule::SingleTry,
     LockWrite::ByMode, LockRead::ByMode, true, 20},
}};

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

}  // namespace vql
