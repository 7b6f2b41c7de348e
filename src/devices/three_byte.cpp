// The three-byte instruction set. Writes are polled until the chip gives the byte
// back; reads are repeated until two agree.
#include <optional>
#include <string>

#include "devices/device_ops.h"

namespace vql {

bool DeviceOps::WriteCodeByte3(std::int32_t n) {
  const std::int32_t address = CounterAddress();
  const std::uint8_t low = AddressLow(address);
  ForgetAnswers();
  return Send({AddressHigh3(address, true, false), low, ImageByteAfter(n, low)});
}

bool DeviceOps::ReadCodeByte3() {
  const std::int32_t address = CounterAddress();
  const bool read = TakeReadAhead(InstructionSet::ThreeByte) ||
                    SendRead(ReadInstruction(InstructionSet::ThreeByte, address));
  if (read) CountAnswer(address, ReceivedByte());
  return read;
}

Outcome DeviceOps::EraseChip3() {
  Scope scope(*this);
  StopIfAFourByteChipAnswers();
  if (halt_) return *halt_;
  EnableProgramming3(100);
  // The chip takes a while to erase and hears nothing meanwhile.
  if (Send({0xAC, 0x04, 0x00})) {
    AwaitEraseTime();
    AwaitEraseEnd(InstructionSet::ThreeByte);
  }
  return Result(Outcome::Done);
}

bool DeviceOps::WriteAndPoll3(std::int32_t n) {
  // Up to 300 polls for the byte just written, with a pause between them.
  const auto matches = [&] { return ReadCodeByte3() && ExpectImageByte(n); };
  bool missed = false;  // over all the byte's polls, rewrites included
  const auto polled = [&] {
    for (int poll = 1; poll <= 300; ++poll) {
      // A chip still writing answers the byte with bit 7 inverted (data polling).
      const auto busy = static_cast<std::uint8_t>(ImageByteAfter(n, 0) ^ 0x80);
      if (matches() && Confirmed(missed, matches, busy)) return true;
      if (halt_) return false;
      missed = true;
      PollPause();
    }
    return false;
  };
  bool written = WriteCodeByte3(n);
  PollPause();
  written = written && polled();
  for (int rewrite = 1; rewrite <= 8 && !written && !Ended(); ++rewrite) {
    EnableProgramming3(100);
    written = WriteCodeByte3(n);
    PollPause();
    written = written && polled();
  }
  return written && !halt_;
}

Outcome DeviceOps::WriteCode3(std::int32_t last) {
  Scope scope(*this);
  StopIfAFourByteChipAnswers();
  if (halt_) return *halt_;
  std::int32_t timedOutAt = -1;
  // These chips answer without an echo: only a byte that read otherwise before its
  // write shows that the chip takes writes (see TakeWriteProof).
  WriteProof proof(false);
  Walk(InstructionSet::ThreeByte, last, WalkKind::Writes, [&](std::int32_t n) {
    if (SkipsAddress(n)) return Step::Next;
    const auto before = proof.proved ? std::nullopt : ReadBeforeWrite(InstructionSet::ThreeByte);
    if (halt_) return Step::StopHere;
    proof.wrote = true;
    if (!WriteAndPoll3(n)) {
      if (halt_) return Step::StopHere;
      timedOutAt = n;
      return Step::StopAfterAdvance;
    }
    const bool rechecked = TakeWriteProof(InstructionSet::ThreeByte, n, before, proof,
                                          [this](std::int32_t m) { return WriteAndPoll3(m); });
    return rechecked ? Step::Next : Step::StopHere;
  });
  if (timedOutAt >= 0) NotProgrammed(timedOutAt, "Programming Time-Out\n");
  writeUnproved_ = !halt_ && proof.wrote && !proof.proved;
  return Result(Outcome::Done);
}

Outcome DeviceOps::ReadCode3(std::int32_t last) {
  Scope scope(*this);
  bool readError = false;
  StopIfAFourByteChipAnswers();
  if (!halt_) Walk(InstructionSet::ThreeByte, last, WalkKind::TwiceReads, [&](std::int32_t n) {
    for (int attempt = 1; attempt <= 20; ++attempt) {
      if (attempt == 10) EnableProgramming3(100);
      if (!ReadCodeByte3()) return Step::StopHere;
      const ByteFlags first = link_.ReceivedBits;
      if (!ReadCodeByte3()) return Step::StopHere;
      if (first == link_.ReceivedBits) {
        StoreReceived(n);
        return Step::Next;
      }
      contactDoubted_ = true;
    }
    readError = true;
    window_.ShowMessageBox("Read chip error!!!.");
    return Step::StopHere;
  });
  RefreshGrid(image_, window_);
  return Result(readError ? Outcome::ReadError : Outcome::Done);
}

Outcome DeviceOps::VerifyCode3(std::int32_t last) {
  Scope scope(*this);
  StopIfAFourByteChipAnswers();
  if (halt_) return *halt_;
  bool mismatch = false;
  Walk(InstructionSet::ThreeByte, last, WalkKind::Reads, [&](std::int32_t n) {
    if (!Compares(n)) return Step::Next;
    const auto matches = [&] { return ReadCodeByte3() && ExpectImageByte(n); };
    for (int read = 1; read <= 20; ++read) {
      if (read == 10) EnableProgramming3(100);
      if (matches() && Confirmed(read > 1, matches)) {
        if (read >= 10) matchedAfterEnable_ = true;
        return Step::Next;
      }
      if (halt_) return Step::StopHere;
    }
    mismatch = true;
    ShowMismatch(n);
    return Step::StopHere;
  });
  return Result(mismatch ? Outcome::VerifyMismatch : Outcome::Done);
}

Outcome DeviceOps::BlankCheck3(std::int32_t last) {
  Scope scope(*this);
  StopIfAFourByteChipAnswers();
  if (halt_) return *halt_;
  bool notBlank = false;
  Walk(InstructionSet::ThreeByte, last, WalkKind::Reads, [&](std::int32_t) {
    const auto blank = [&] { return ReadCodeByte3() && ExpectByte('F', 'F'); };
    if (blank() && Confirmed(false, blank)) return Step::Next;
    if (halt_) return Step::StopHere;
    notBlank = true;
    return Step::StopHere;
  });
  return Result(notBlank ? Outcome::NotBlank : Outcome::Done);
}

Outcome DeviceOps::WriteLockBits3(std::int32_t level) {
  Scope scope(*this);
  // LBn is 0 (set) for every n up to the level: 7F, 3F, 1F; FF for anything else.
  const auto bit = [level](std::int32_t n) { return LockBitFor(level, n) == 1 ? 1u : 0u; };
  StopIfAFourByteChipAnswers();
  if (halt_) return *halt_;
  EnableProgramming3(100);
  if (Send({0xAC, static_cast<std::uint8_t>(bit(1) << 7 | bit(2) << 6 | bit(3) << 5 | 0x1F), 0xFF})) {
    AwaitWriteCycle();  // whatever comes next may pull RST low
  }
  return Result(Outcome::Done);
}

}  // namespace vql
