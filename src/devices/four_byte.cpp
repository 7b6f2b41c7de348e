// The four-byte instruction set, and the lock bit and fuse operations that use it.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "devices/device_ops.h"

namespace vql {

namespace {

// Answer bit positions in ReceivedBits, which holds b7 first.
constexpr std::size_t Bit(int b) { return static_cast<std::size_t>(7 - b); }

constexpr std::array<std::uint8_t, 4> kReadLockBits{0x24, 0x55, 0x55, 0xFF};

}  // namespace

bool DeviceOps::WriteCodeByte4(std::int32_t n) {
  const std::int32_t address = CounterAddress();
  const std::uint8_t low = AddressLow(address);
  ForgetAnswers();
  return Send({0x40, AddressHigh4(address), low, ImageByteAfter(n, low)});
}

bool DeviceOps::ReadCodeByte4() {
  const std::int32_t address = CounterAddress();
  const bool read = TakeReadAhead(InstructionSet::FourByte) ||
                    SendRead(ReadInstruction(InstructionSet::FourByte, address));
  if (read) CountAnswer(address, ReceivedByte());
  return read;
}

Outcome DeviceOps::EraseChip4() {
  Scope scope(*this);
  // The chip takes a while to erase and hears nothing meanwhile.
  if (Enable4() && Send({0xAC, 0x80, 0x00, 0x00})) {
    AwaitEraseTime();
    AwaitEraseEnd(InstructionSet::FourByte);
  }
  return Result(Outcome::Done);
}

bool DeviceOps::WriteAndReadBack4(std::int32_t n) {
  if (!WriteCodeByte4(n)) return false;
  // At least 5 ms by the clock the chip's write cycle runs on (the AT89S8253's
  // lasts up to 4.5 ms): a read-back that meets the chip still writing costs a new
  // enable.
  link_.WaitMicroseconds(kByteWriteWaitUs);
  const auto readBack = [&] {
    if (!ReadCodeByte4()) return false;
    link_.SpinDelay(10);
    return ExpectImageByte(n);
  };
  for (int read = 1; read <= 20; ++read) {
    if (readBack() && Confirmed(read > 1, readBack)) return true;
    if (halt_ || (read < 20 && !Enable4())) return false;
  }
  return false;
}

bool DeviceOps::TakeIdleProof(std::int32_t n, WriteProof& proof,
                              const std::function<bool(std::int32_t)>& rewrite) {
  if (ImageByte(image_.Image, n) == 0x00) return true;
  proof.idleAt = n;
  // n read back right, but a rewrite since may have made the chip busy again.
  if (!AwaitIdle(proof)) {
    if (!halt_) NotProgrammed(proof.maybeBusy.front(), "");
    return false;
  }
  // Read while the chip is idle, until a rewrite makes it busy again: the bytes after
  // that wait for the next proof.
  auto waiting = std::exchange(proof.maybeBusy, {});
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    const std::int32_t m = waiting[i];
    SetAddressCounter(image_.Counter, m);
    const auto now = ReadCounterByte(InstructionSet::FourByte);
    if (!now) return false;
    if (*now == 0x00) continue;
    if (!rewrite(m)) {
      if (!halt_) NotProgrammed(m, "");
      return false;
    }
    proof.maybeBusy.insert(proof.maybeBusy.end(), waiting.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                           waiting.end());
    break;
  }
  SetAddressCounter(image_.Counter, n);
  return true;
}

bool DeviceOps::AwaitIdle(const WriteProof& proof) {
  if (proof.maybeBusy.empty() || proof.idleAt < 0) return true;
  SetAddressCounter(image_.Counter, proof.idleAt);
  const auto idle = [&] { return ReadCodeByte4() && ExpectImageByte(proof.idleAt); };
  bool shown = false;
  for (int read = 1; read <= 20 && !shown; ++read) {
    shown = idle();
    if (!shown && (halt_ || (read < 20 && !Enable4()))) return false;
  }
  return shown;
}

void DeviceOps::SettleMaybeBusy(WriteProof& proof,
                                const std::function<bool(std::int32_t)>& rewrite) {
  for (int round = 1; round <= 3 && !proof.maybeBusy.empty() && proof.idleAt >= 0; ++round) {
    if (!TakeIdleProof(proof.idleAt, proof, rewrite)) return;
  }
  if (halt_ || proof.maybeBusy.empty()) return;
  if (proof.idleAt < 0) {
    NoteCaveat("Every byte written was 00, which the " + std::string(device_->name) +
               " may also answer while it is still writing the byte before: nothing shows "
               "that it took the last of them. VERIFY shows it.");
    return;
  }
  NotProgrammed(proof.maybeBusy.front(), "");
}

Outcome DeviceOps::WriteCode4(std::int32_t last) {
  Scope scope(*this);
  if (halt_) return *halt_;
  if (PagesWanted() && WritePages4(last)) return Result(Outcome::Done);
  if (halt_) return *halt_;
  WriteProof proof(!NeedsWriteProof());
  const auto write = [&](std::int32_t m) {
    if (!WriteAndReadBack4(m)) return false;
    if (!device_->dataPolling && ImageByte(image_.Image, m) == 0x00) proof.maybeBusy.push_back(m);
    return true;
  };
  Walk(InstructionSet::FourByte, last, WalkKind::PumpedWrites, [&](std::int32_t n) {
    if (SkipsAddress(n)) return Step::Next;
    // A write that comes while the chip is still busy is lost, and a read then proves
    // nothing.
    if (!AwaitIdle(proof)) {
      if (!halt_) NotProgrammed(proof.maybeBusy.front(), "");
      return Step::StopHere;
    }
    SetAddressCounter(image_.Counter, n);
    const auto before = proof.proved ? std::nullopt : ReadBeforeWrite(InstructionSet::FourByte);
    if (halt_) return Step::StopHere;
    proof.wrote = true;
    // A byte that never reads back stops the write: what follows would be no better.
    if (!write(n)) {
      if (!halt_) NotProgrammed(n, "");
      return Step::StopHere;
    }
    const bool rechecked = TakeWriteProof(InstructionSet::FourByte, n, before, proof, write) &&
                           TakeIdleProof(n, proof, write);
    return rechecked ? Step::Next : Step::StopHere;
  });
  if (!halt_ && !Ended()) SettleMaybeBusy(proof, write);
  writeUnproved_ = !halt_ && proof.wrote && !proof.proved;
  return Result(Outcome::Done);
}

Outcome DeviceOps::ReadCode4(std::int32_t last) {
  Scope scope(*this);
  const bool paged = PagesWanted() && WalkPages(last, [&](std::int32_t n, std::uint8_t got) {
    StoreByte(n, got);
    return Step::Next;
  });
  if (paged) {
    RefreshGrid(image_, window_);
    return Result(Outcome::Done);
  }
  Walk(InstructionSet::FourByte, last, WalkKind::Reads, [&](std::int32_t n) {
    if (ReadCodeByte4()) StoreReceived(n);
    return Step::Next;
  });
  RefreshGrid(image_, window_);
  return Result(Outcome::Done);
}

Outcome DeviceOps::VerifyCode4(std::int32_t last) {
  Scope scope(*this);
  bool mismatch = false;
  const bool paged = PagesWanted() && WalkPages(last, [&](std::int32_t n, std::uint8_t got) {
    if (!Compares(n) || got == ImageByte(image_.Image, n)) return Step::Next;
    SetAddressCounter(image_.Counter, n);
    return Enable4() ? VerifyAt4(n, 2, mismatch) : Step::StopHere;
  });
  if (!paged) {
    Walk(InstructionSet::FourByte, last, WalkKind::Reads,
         [&](std::int32_t n) { return Compares(n) ? VerifyAt4(n, 1, mismatch) : Step::Next; });
  }
  return Result(mismatch ? Outcome::VerifyMismatch : Outcome::Done);
}

DeviceOps::Step DeviceOps::VerifyAt4(std::int32_t n, int fromRead, bool& mismatch) {
  const auto matches = [&] { return ReadCodeByte4() && ExpectImageByte(n); };
  for (int read = fromRead; read <= 20; ++read) {
    if (matches() && Confirmed(read > 1, matches)) {
      if (read > 1) matchedAfterEnable_ = true;
      return Step::Next;
    }
    if (halt_ || (read < 20 && !Enable4())) return Step::StopHere;
  }
  mismatch = true;
  ShowMismatch(n);
  return Step::StopHere;
}

Outcome DeviceOps::BlankCheck4(std::int32_t last) {
  Scope scope(*this);
  bool notBlank = false;
  const bool paged = PagesWanted() && WalkPages(last, [&](std::int32_t n, std::uint8_t got) {
    if (got == 0xFF) return Step::Next;
    SetAddressCounter(image_.Counter, n);
    return Enable4() ? BlankAt4(2, notBlank) : Step::StopHere;
  });
  if (!paged) {
    Walk(InstructionSet::FourByte, last, WalkKind::Reads,
         [&](std::int32_t) { return BlankAt4(1, notBlank); });
  }
  return Result(notBlank ? Outcome::NotBlank : Outcome::Done);
}

DeviceOps::Step DeviceOps::BlankAt4(int fromRead, bool& notBlank) {
  const auto blank = [&] { return ReadCodeByte4() && ExpectByte('F', 'F'); };
  for (int read = fromRead; read <= 10; ++read) {
    if (blank() && Confirmed(read > 1, blank)) return Step::Next;
    if (halt_ || (read < 10 && !Enable4())) return Step::StopHere;
  }
  notBlank = true;
  return Step::StopHere;
}

std::optional<std::uint8_t> DeviceOps::ReadAgreed(const Instruction4& instruction,
                                                  const char* what) {
  return Agreed(
      [&]() -> std::optional<std::uint8_t> {
        if (!Send(instruction)) return std::nullopt;
        return ReceivedByte();
      },
      what);
}

std::optional<std::vector<std::uint8_t>> DeviceOps::ReadSignature(
    std::span<const std::uint16_t> addresses) {
  Scope scope(*this);
  if (!Enable4()) return std::nullopt;
  std::vector<std::uint8_t> signature;
  for (const std::uint16_t address : addresses) {
    const Instruction4 instruction{0x28, static_cast<std::uint8_t>(address >> 8),
                                   static_cast<std::uint8_t>(address & 0xFF), 0xFF};
    const auto got = ReadAgreed(instruction, "signature");
    if (!got) return std::nullopt;
    signature.push_back(*got);
  }
  return signature;
}

std::optional<std::uint8_t> DeviceOps::ReadLockBitsRaw() {
  const auto got = ReadAgreed(kReadLockBits, "lock bits");
  if (!got) return std::nullopt;
  return static_cast<std::uint8_t>(*got & 7u);
}

std::optional<DeviceOps::LockReadings> DeviceOps::WriteLockBitsOnce(std::int32_t level) {
  // Ln is 0 (set) for every n up to the level: E6, E4, E0.
  const auto bit = [level](std::int32_t n) { return LockBitFor(level, n) == 1 ? 1u : 0u; };
  // Read, write and read again after one enable: a chip that missed the enable
  // misses all three, and its answers cannot fake a change.
  LockReadings seen;
  if (!Enable4()) return std::nullopt;
  const auto before = ReadLockBitsRaw();
  if (!before) return std::nullopt;
  seen.before = *before;
  const auto mode = static_cast<std::uint8_t>(0xE0 | bit(3) << 2 | bit(2) << 1 | bit(1));
  if (!Send({0xAC, mode, 0xFF, 0xFF})) return std::nullopt;
  AwaitWriteCycle();
  const auto after = Ended() ? std::nullopt : ReadLockBitsRaw();
  if (!after) return std::nullopt;
  seen.after = *after;
  lockRaw_ = *after;
  return seen;
}

std::string LockBitsText(std::uint8_t bits) {
  std::string text;
  for (unsigned b = 3; b-- > 0;) text += ((static_cast<unsigned>(bits) >> b) & 1u) != 0 ? '1' : '0';
  return text;
}

std::string LockLevelText(std::uint8_t bits, bool setReadsOne) {
  const unsigned set = (setReadsOne ? bits : ~bits) & 7u;
  for (std::int32_t level = 0; level <= 3; ++level) {
    if (set == (1u << level) - 1u) return "level " + std::to_string(level);
  }
  std::string text;
  for (unsigned b = 0; b < 3; ++b) {
    if ((set >> b & 1u) != 0) text += (text.empty() ? "LB" : " and LB") + std::to_string(b + 1);
  }
  return text + " set, which no level sets alone";
}

Outcome DeviceOps::WriteLockBitsByMode(std::int32_t level) {
  Scope scope(*this);
  if (level < 1 || level > 3) {
    // E7 sets nothing; there is nothing to see.
    if (Enable4() && Send({0xAC, 0xE7, 0xFF, 0xFF})) AwaitWriteCycle();
    return Result(Outcome::Done);
  }
  // A set lock bit reads 0 as this program reads these devices, and 1 as the
  // AT89S8253's data sheet says: the write is judged by what changed, not by the
  // reading. A write that changed nothing is tried again (the chip may have missed
  // the enable).
  LockReadings seen;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const auto once = WriteLockBitsOnce(level);
    if (!once) return Result(Outcome::Done);
    seen = *once;
    if (JudgeLockWrite(level, seen.before, seen.after) == LockWriteSeen::Taken) {
      return Result(Outcome::Done);
    }
  }
  const std::string name(device_->name);
  const std::string lv = std::to_string(level);
  if (seen.before == seen.after && LockBitsReadAsLevel(level, seen.after)) {
    // A chip that hears takes the write unless it has the level already.
    if (HeardSeen()) return Result(Outcome::Done);
    NoteCaveat("The lock bits of the " + name + " read LB3..LB1 = " + LockBitsText(seen.after) +
               " before and after the write of level " + lv + ": level " + lv +
               " in one of the two ways these bits are read (this program reads a set bit as "
               "0; the AT89S8253's data sheet reads it as 1). The chip may have had the level "
               "already, but it has not shown that it hears (no echo, no write that showed), "
               "so nothing shows that it took the write.");
    return Result(Outcome::Done);
  }
  window_.ShowMessageBox("The lock bits of the " + name + " did not take level " + lv +
                         ": LB3..LB1 read " + LockBitsText(seen.before) + " before the write and " +
                         LockBitsText(seen.after) +
                         " after it, in three tries. A chip with more lock bits set than the "
                         "level keeps them until an erase; otherwise check the cable and the "
                         "target's crystal.");
  Halt(Outcome::LockNotTaken);
  return Result(Outcome::Done);
}

bool DeviceOps::WriteLockModeAndConfirm(BitFlag lb1, BitFlag lb2) {
  Scope scope(*this);
  const auto mode = static_cast<std::uint8_t>(0xE0 | (lb1 == 1 ? 2 : 0) | (lb2 == 1 ? 1 : 0));
  if (!Send({0xAC, mode, 0x00, 0x00})) return false;
  // The re-enable below pulls RST low: not before the lock write's cycle is over.
  AwaitWriteCycle();
  if (halt_) return false;
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
      // After an unconfirmed try, the confirmation must hold on a second read.
      if (written && attempt > 1 && (lb1 != 0 || lb2 != 0)) {
        written = ReadLockBitsToBoxes(2 * lb1 + lb2);
      }
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
  if (Enable4() && Send(kReadLockBits)) {
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
  // This reading decides whether a command goes on: two answers must agree.
  if (Enable4()) {
    if (const auto got = ReadAgreed(kReadLockBits, "lock bits")) {
      controls_.Lock.Set(1, (*got & 0x04u) != 0);  // a set lock bit reads 1
      controls_.Lock.Set(2, (*got & 0x08u) != 0);
      controls_.Lock.Set(3, (*got & 0x10u) != 0);
      window_.ControlsChanged();
    }
  }
  return halt_ ? *halt_ : Outcome::Done;
}

Outcome DeviceOps::ReadLockBitsByMode() {
  Scope scope(*this);
  if (Enable4() && Send(kReadLockBits)) {
    const ByteFlags& got = link_.ReceivedBits;  // a set lock bit reads 0
    lockRaw_ = static_cast<std::uint8_t>(ReceivedByte() & 7u);
    controls_.Lock.Set(1, got[Bit(0)] == 0);
    controls_.Lock.Set(2, got[Bit(1)] == 0);
    controls_.Lock.Set(3, got[Bit(2)] == 0);
    window_.ControlsChanged();
  }
  return Result(Outcome::Done);
}

std::optional<DeviceOps::FuseState> DeviceOps::ReadFuses(bool refuseUnknown) {
  const auto got = ReadAgreed({0x21, 0x55, 0x55, 0xFF}, "user fuses");
  if (!got) return std::nullopt;
  if (!device_->userFuses) {
    // No data sheet gives this chip's fuses: b1 reads 0 when x2 is on, as this program
    // has always read it, and nothing else of the byte is used.
    return FuseState{(*got & 0x02u) == 0, false};
  }
  // Fuse1 enables serial programming, which a chip being programmed serially has
  // enabled: its bit shows how an enabled fuse reads, which the AT89S8253's data sheet
  // does not state (its lock bits read inverted to how they are written). All ones
  // or all zeros come from a missing chip or a stuck MISO line too, and then show
  // nothing unless the chip has shown otherwise that it hears.
  if ((*got == 0x00 || *got == 0xFF) && !HeardSeen()) {
    if (refuseUnknown) {
      char text[400];
      std::snprintf(text, sizeof text,
                    "The user fuses of the %s read %02X, as a missing chip or a stuck MISO line "
                    "answers, and nothing else has shown that the chip hears. Fuse1 (serial "
                    "programming) must read enabled, but here it cannot show how the fuses "
                    "read, so none was written. Check the cable and the target's power.",
                    std::string(device_->name).c_str(), static_cast<unsigned>(*got));
      window_.ShowMessageBox(text);
      Halt(Outcome::FuseUnknown);
    }
    return std::nullopt;
  }
  const unsigned enabled = *got & 0x01u;
  return FuseState{(*got >> 1 & 1u) == enabled, (*got >> 2 & 1u) == enabled};
}

Outcome DeviceOps::ReadUserFuses() {
  Scope scope(*this);
  if (Enable4()) {
    // Fuses that cannot show how they read leave the box as it was.
    if (const auto fuses = ReadFuses(false)) {
      controls_.X2Clock = fuses->x2;
      window_.ControlsChanged();
    }
  }
  return Result(Outcome::Done);
}

bool DeviceOps::WriteFuses(bool x2, bool userRow) {
  // Byte 2 is 0001 1 F3 F2 F1, a fuse enabled by a 0. Fuse1 (serial programming) stays
  // enabled and Fuse3 (User Row programming) as it read: only the x2 clock changes.
  const auto byte2 = static_cast<std::uint8_t>(0x18 | (device_->userFuses && !userRow ? 0x04 : 0) |
                                               (x2 ? 0 : 0x02));
  if (!Send({0xAC, byte2, 0x55, 0xFF})) return false;
  AwaitWriteCycle();
  return !Ended();
}

std::optional<DeviceOps::FuseReadings> DeviceOps::WriteUserFusesOnce(bool x2, bool viaOther) {
  // Read, write and read again after one enable, as the lock bits are. By way of the
  // other value, the chip shows that it hears even when it had the value asked.
  FuseReadings seen;
  if (!Enable4()) return std::nullopt;
  const auto before = ReadFuses(true);
  if (!before) return std::nullopt;
  seen.before = *before;
  if (viaOther) {
    const auto other = WriteFuses(!x2, before->userRow) ? ReadFuses(true) : std::nullopt;
    if (!other) return std::nullopt;
    seen.before = *other;
  }
  const auto after = WriteFuses(x2, before->userRow) ? ReadFuses(true) : std::nullopt;
  if (!after) return std::nullopt;
  seen.after = *after;
  return seen;
}

Outcome DeviceOps::WriteUserFuses() {
  Scope scope(*this);
  const bool x2 = controls_.X2Clock;
  // All ones or all zeros show how the fuses read only from a chip that has shown it
  // hears: its signature can show it.
  if (device_->userFuses) ShowHearingBySignature();
  // A chip that missed the enable answers as it likes, and may answer the value asked
  // before and after a write it never heard. Unless the chip has shown in this command
  // that it hears, the write must show a change: when the fuse read as asked already,
  // the other value is written first, then the one asked. Fuse3 must read after the
  // write as it did before.
  FuseReadings seen;
  bool taken = false;
  bool viaOther = false;
  for (int attempt = 1; attempt <= 3 && !taken; ++attempt) {
    const auto once = WriteUserFusesOnce(x2, viaOther);
    if (!once) return Result(Outcome::Done);
    seen = *once;
    const bool asked = seen.after.x2 == x2 && seen.after.userRow == seen.before.userRow;
    // By way of the other value, only the change counts: a chip still busy with the
    // first write ignores the second and answers alike after both.
    taken = asked && (seen.before.x2 != seen.after.x2 || (HeardSeen() && !viaOther));
    viaOther = asked && seen.before.x2 == x2;
  }
  if (!taken) {
    const auto onOff = [](bool on) { return std::string(on ? "on" : "off"); };
    window_.ShowMessageBox("The x2-clock fuse of the " + std::string(device_->name) +
                           " did not take the write: it was written " + onOff(x2) +
                           " and read back " + onOff(seen.after.x2) +
                           (seen.after.x2 == x2 && seen.after.userRow != seen.before.userRow
                                ? ", but the User Row fuse read otherwise after the write"
                            : seen.after.x2 == x2 ? " as it had read before, with nothing to show "
                                                    "that the chip heard the write"
                                                  : "") +
                           ", in three tries. Check the cable and the target's crystal.");
    Halt(Outcome::FuseNotTaken);
  }
  return Result(Outcome::Done);
}

}  // namespace vql
