// The operator's controls that the device operations read and set: the three Lock
// Bit boxes with their rules (which set LockLevel), the x2 Clock box, and the Auto
// Reload File and Fast Programming ticks. The window binds its check boxes to this state.
#pragma once

#include <array>
#include <cstdint>

namespace vql {

// Lock Bit 1..3. A box runs its rule whenever its state changes - clicked by the
// operator or set by a lock-bit read - and setting a box to the state it has runs
// nothing. The rules keep box 3 => box 2 => box 1, and LockLevel equal to the
// number of ticked boxes.
class LockBoxes {
 public:
  bool Ticked(std::int32_t box) const { return ticked_[Slot(box)]; }
  void Set(std::int32_t box, bool ticked);
  // A click by the operator: the box toggles and runs its rule.
  void Toggle(std::int32_t box) { Set(box, !Ticked(box)); }
  std::int32_t LockLevel() const { return lockLevel_; }

 private:
  static std::size_t Slot(std::int32_t box) { return static_cast<std::size_t>(box - 1); }

  std::array<bool, 3> ticked_{};
  std::int32_t lockLevel_ = 0;
};

struct OperatorControls {
  LockBoxes Lock;
  bool X2Clock = false;        // chk_x2Clock, clear at start-up
  bool AutoReloadFile = true;  // Option > Auto Reload File, ticked at start-up
  // Option > Fast Programming (the terminal's --fast): page writes with data polling
  // and page reads on the devices whose data sheets give them. Clear at start-up: the
  // byte-at-a-time timing is the default.
  bool FastProgramming = false;
};

}  // namespace vql
