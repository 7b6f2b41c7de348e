// The four-byte instruction set, and the lock bit and fuse operations that use it.
#include <array>
#include <string>

#include "devices/device_ops.h"

namespace vql {

namespace {

// Answer bit positions in ReceivedBits, which holds b7 first.
constexpr std::size_t Bit(int b) { return static_cast<std::size_t>(7 - b); }

}  // namespace

bool DeviceOps::WriteCodeByte4(std::int32_t n) {
  const auto a = static_cast<std::size_t>(n);
  return SendDigits('4', '0') && AddressByte4() &&
         SendDigits(image_.Counter.Digit3, image_.Counter.Digit4) &&
         SendDigits(image_.Image.HighDigits[a], image_.Image.LowDigits[a]);
}

bool DeviceOps::ReadCodeByte4() {
  return SendBits(0, 0, 1, 0, 0, 0, 0, 0) && AddressByte4() &&
         SendDigits(image_.Counter.Digit3, image_.Counter.Digit4) && SendDigits('0', '0');
}

Outcome DeviceOps::EraseChip4() {
  Scope scope(*this);
  // The chip takes a while to erase and hears nothing meanwhile; one millisecond
  // more, since the tick may move just after the erase instruction.
  if (Enable4() && SendInstruction("AC800000")) Wait(device_->eraseMs + 1);
  return Result(Outcome::Done);
}

Outcome DeviceOps::WriteCode4(std::int32_t last, Reload reload) {
  Scope scope(*this);
  if (halt_) return *halt_;
  Outcome outcome = Outcome::Done;
  if (!AutoReload(reload, outcome)) return outcome;
  Walk(InstructionSet::FourByte, last, true, [&](std::int32_t n) {
    if (SkipsAddress(n)) return Step::Next;
    if (!WriteCodeByte4(n)) return Step::StopHere;
    link_.WaitMilliseconds(5);
    for (int readBack = 1; readBack <= 20; ++readBack) {
      if (!ReadCodeByte4()) return Step::StopHere;
      link_.SpinDelay(10);
      if (ExpectImageByte(n)) return Step::Next;
      if (readBack < 20 && !Enable4()) return Step::StopHere;
    }
    // A byte that never reads back stops the write: what follows would be no better.
    NotProgrammed(n, "");
    return Step::StopHere;
  });
  return Result(Outcome::Done);
}

Outcome DeviceOps::ReadCode4(std::int32_t last) {
  Scope scope(*this);
  Walk(InstructionSet::FourByte, last, false, [&](std::int32_t n) {
    if (ReadCodeByte4()) StoreReceived(n);
    return Step::Next;
  });
  RefreshGrid(image_, window_);
  return Result(Outcome::Done);
}

Outcome DeviceOps::VerifyCode4(std::int32_t last) {
  Scope scope(*this);
  bool mismatch = false;
  Walk(InstructionSet::FourByte, last, false, [&](std::int32_t n) {
    for (int read = 1; read <= 20; ++read) {
      if (!ReadCodeByte4()) return Step::StopHere;
      if (ExpectImageByte(n)) return Step::Next;
      if (read < 20 && !Enable4()) return Step::StopHere;
    }
    mismatch = true;
    window_.ShowMessageBox("Error address : " + std::to_string(n));
    return Step::StopHere;
  });
  return Result(mismatch ? Outcome::VerifyMismatch : Outcome::Done);
}

Outcome DeviceOps::BlankCheck4(std::int32_t last) {
  Scope scope(*this);
  bool notBlank = false;
  Walk(InstructionSet::FourByte, last, false, [&](std::int32_t) {
    for (int read = 1; read <= 10; ++read) {
      if (!ReadCodeByte4()) return Step::StopHere;
      if (ExpectByte('F', 'F')) return Step::Next;
      if (read < 10 && !Enable4()) return Step::StopHere;
    }
    notBlank = true;
    return Step::StopHere;
  });
  return Result(notBlank ? Outcome::NotBlank : Outcome::Done);
}

Outcome DeviceOps::WriteLockBitsByMode(std::int32_t level) {
  Scope scope(*this);
  // Ln is 0 (set) for every n up to the level: E6, E4, E0; E7 for anything else.
  const auto bit = [level](std::int32_t n) { return LockBitFor(level, n); };
  Enable4() && SendDigits('A', 'C') && SendBits(1, 1, 1, 0, 0, bit(3), bit(2), bit(1)) &&
      SendInstruction("FFFF");
  return Result(Outcome::Done);
}

bool DeviceOps::WriteLockModeAndConfirm(BitFlag lb1, BitFlag lb2) {
  Scope scope(*this);
  if (!(SendDigits('A', 'C') && SendBits(1, 1, 1, 0, 0, 0, lb1, lb2) && SendInstruction("0000"))) {
    return false;
  }
  PollPause();
  if (lb1 == 0 && lb2 == 0) return true;
  if (!Enable4()) return false;
  // (0,1) shows as Lock Bit 1 set, (1,0) as Lock Bit 2, (1,1) as Lock Bit 3.
  return ReadLockBitsToBoxes(2 * lb1 + lb2);
}

Outcome DeviceOps::WriteLockBitsStepwise(std::int32_t level) {
  Scope scope(*this);
  if (level < 1 || level > 3) return Result(Outcome::Done);
  static constexpr std::array<std::array<BitFlag, 2>, 4> kModes{{{0, 0}, {0, 1}, {1, 0}, {1, 1}}};
  for (std::int32_t m = 0; m <= level; ++m) {
    const auto [lb1, lb2] = kModes[static_cast<std::size_t>(m)];
    bool written = false;
    for (int attempt = 1; attempt <= 11 && !written; ++attempt) {
      written = Enable4() && WriteLockModeAndConfirm(lb1, lb2);
      if (Ended()) return *halt_;
    }
    if (!written) {
      window_.ShowMessageBox("Timeout Lb1=" + std::to_string(lb1) + " Lb2=" + std::to_string(lb2));
      return Outcome::LockTimeOut;
    }
  }
  return Result(Outcome::Done);
}

bool DeviceOps::ReadLockBitsToBoxes(std::int32_t which) {
  Scope scope(*this);
  if (Enable4() && SendInstruction("245555FF")) {
    const ByteFlags& got = link_.ReceivedBits;  // a set lock bit reads 1
    controls_.Lock.Set(1, got[Bit(2)] == 1);
    controls_.Lock.Set(2, got[Bit(3)] == 1);
    controls_.Lock.Set(3, got[Bit(4)] == 1);
    window_.ControlsChanged();
  }
  return which >= 1 && which <= 3 && controls_.Lock.Ticked(which);
}

Outcome DeviceOps::ReadLockBitsToBoxesChecked() {
  Scope scope(*this);
  ReadLockBitsToBoxes(1);
  // Only an early end counts: the boxes show whatever the chip answered.
  return halt_ ? *halt_ : Outcome::Done;
}

Outcome DeviceOps::ReadLockBitsByMode() {
  Scope scope(*this);
  if (Enable4() && SendInstruction("245555FF")) {
    const ByteFlags& got = link_.ReceivedBits;  // a set lock bit reads 0
    controls_.Lock.Set(1, got[Bit(0)] == 0);
    controls_.Lock.Set(2, got[Bit(1)] == 0);
    controls_.Lock.Set(3, got[Bit(2)] == 0);
    window_.ControlsChanged();
  }
  return Result(Outcome::Done);
}

Outcome DeviceOps::ReadUserFuses() {
  Scope scope(*this);
  if (Enable4() && SendInstruction("215555FF")) {
    controls_.X2Clock = link_.ReceivedBits[Bit(1)] == 0;
    window_.ControlsChanged();
  }
  return Result(Outcome::Done);
}

Outcome DeviceOps::WriteUserFuses() {
  Scope scope(*this);
  const BitFlag x = controls_.X2Clock ? 0 : 1;
  // Read first; the answer is not used.
  Enable4() && SendInstruction("215555FF") && Enable4() && SendDigits('A', 'C') &&
      SendBits(0, 0, 0, 1, 1, 0, x, 0) && SendInstruction("55FF");
  return Result(Outcome::Done);
}

}  // namespace vql
