// The operations of each instruction set, and of each lock bit layout, as constant
// tables of DeviceOps members: a device's row picks its entries once, and the
// commands (and the tests) call through them instead of asking which set it is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "devices/device_ops.h"
#include "devices/device_table.h"
#include "devices/status_texts.h"

namespace vql {

struct SetOperations {
  InstructionSet set;
  Outcome (DeviceOps::*EraseChip)();
  Outcome (DeviceOps::*WriteCode)(std::int32_t last);
  Outcome (DeviceOps::*ReadCode)(std::int32_t last);
  Outcome (DeviceOps::*VerifyCode)(std::int32_t last);
  Outcome (DeviceOps::*BlankCheck)(std::int32_t last);
  // The status after Program has written the code.
  StatusText programmedStatus;
  // Whether a chip of this set echoes the programming enable that follows the
  // reset pulse before Auto-program's verify, so that a missing echo ends it.
  bool echoesEnableAfterReset;
};

// Indexed by InstructionSet.
inline constexpr std::array<SetOperations, 2> kSetOperations{{
    {InstructionSet::ThreeByte, &DeviceOps::EraseChip3, &DeviceOps::WriteCode3,
     &DeviceOps::ReadCode3, &DeviceOps::VerifyCode3, &DeviceOps::BlankCheck3,
     status::kProgramFinished, false},
    {InstructionSet::FourByte, &DeviceOps::EraseChip4, &DeviceOps::WriteCode4,
     &DeviceOps::ReadCode4, &DeviceOps::VerifyCode4, &DeviceOps::BlankCheck4,
     status::kProgramCompleted, true},
}};

// Indexed by LockWrite: writes the lock bits for a lock level.
struct LockWriteOperation {
  LockWrite layout;
  Outcome (DeviceOps::*Write)(std::int32_t level);
};
inline constexpr std::array<LockWriteOperation, 3> kLockWrites{{
    {LockWrite::Stepwise, &DeviceOps::WriteLockBitsStepwise},
    {LockWrite::ByMode, &DeviceOps::WriteLockBitsByMode},
    {LockWrite::ThreeByte, &DeviceOps::WriteLockBits3},
}};

// Indexed by LockRead: reads the lock bits into the boxes; nullptr when the chip
// cannot read them back.
struct LockReadOperation {
  LockRead layout;
  Outcome (DeviceOps::*Read)();
};
inline constexpr std::array<LockReadOperation, 3> kLockReads{{
    {LockRead::None, nullptr},
    {LockRead::ToBoxes, &DeviceOps::ReadLockBitsToBoxesChecked},
    {LockRead::ByMode, &DeviceOps::ReadLockBitsByMode},
}};

constexpr bool OperationTablesInEnumOrder() {
  for (std::size_t i = 0; i < kSetOperations.size(); ++i) {
    if (static_cast<std::size_t>(kSetOperations[i].set) != i) return false;
  }
  for (std::size_t i = 0; i < kLockWrites.size(); ++i) {
    if (static_cast<std::size_t>(kLockWrites[i].layout) != i) return false;
  }
  for (std::size_t i = 0; i < kLockReads.size(); ++i) {
    if (static_cast<std::size_t>(kLockReads[i].layout) != i) return false;
  }
  return true;
}
static_assert(OperationTablesInEnumOrder(), "an operation table entry sits at another enum value");

constexpr const SetOperations& OperationsOf(const DeviceInfo& device) {
  return kSetOperations[static_cast<std::size_t>(device.set)];
}

// The device's lock write for a level, and its lock read (Done when it has none).
inline Outcome WriteLockBitsOf(DeviceOps& ops, const DeviceInfo& device, std::int32_t level) {
  return (ops.*kLockWrites[static_cast<std::size_t>(device.lockWrite)].Write)(level);
}
inline Outcome ReadLockBitsOf(DeviceOps& ops, const DeviceInfo& device) {
  const auto read = kLockReads[static_cast<std::size_t>(device.lockRead)].Read;
  return read != nullptr ? (ops.*read)() : Outcome::Done;
}

}  // namespace vql
