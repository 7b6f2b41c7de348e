// What every device operation shares: guarded sends, the image walk, the address
// bytes, the expected-byte comparison, storing a byte read, the skip and auto-reload
// rules of the writes, and the pause after a write.
#include "devices/device_ops.h"
#include "devices/instruction_openers.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace vql {

DeviceOps::DeviceOps(ProgrammerLink& link, ImageState& image, WindowServices& window,
                     const DeviceSelection& selection, OperatorControls& controls)
    : link_(link), image_(image), window_(window), selection_(selection), controls_(controls) {}

bool DeviceOps::Send(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> answers) {
  ahead_.clear();
  return Exchange(bytes, answers);
}

bool DeviceOps::SendRead(std::span<const std::uint8_t> bytes) { return Exchange(bytes, {}); }

bool DeviceOps::Exchange(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> answers) {
  if (halt_ || !KeepOtherSetOut(bytes)) return false;
  std::array<std::uint8_t, 8> small{};
  std::vector<std::uint8_t> large;
  if (answers.size() < bytes.size()) {
    if (bytes.size() <= small.size()) {
      answers = std::span<std::uint8_t>(small.data(), bytes.size());
    } else {
      large.resize(bytes.size());
      answers = large;
    }
  }
  return LinkExchange(bytes, answers);
}

bool DeviceOps::LinkExchange(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> answers) {
  // The link shows "Device have not in program mode" for a refused byte itself, or
  // the problem of a port that failed on the way.
  if (!link_.Exchange(bytes, answers)) {
    // A port that fails in an operation that began with it usable leaves the chip
    // with whatever was under way cut off.
    Halt(link_.PortUsable() ? Outcome::Refused
         : portUsableAtStart_ ? Outcome::PortLost
                              : Outcome::NoPort);
  }
  return !halt_;
}

bool DeviceOps::KeepOtherSetOut(std::span<const std::uint8_t> bytes) {
  // A read of address 0 in the sender's set changes nothing in a chip of that set,
  // opens nothing in one of the other, and moves what follows by a length that the
  // other set's frame does not divide (four and three), so a few of them put every
  // byte of the other set's enable off its frames. Reads themselves never carry it
  // (their address bytes stay below 40 where the enable's first byte would need a
  // 53 after it), so this costs a read at the enables alone.
  const InstructionSet other = OtherSet(framing_);
  for (std::size_t tries = 0; tries < SetInfo(other).instructionBytes; ++tries) {
    if (!EnableAtFrame(other, link_.BytesSinceRstRise(), bytes)) break;
    const std::vector<std::uint8_t> pad = ReadInstruction(framing_, 0);
    std::array<std::uint8_t, 4> ignored{};
    if (!LinkExchange(pad, std::span<std::uint8_t>(ignored.data(), pad.size()))) return false;
  }
  return true;
}

void DeviceOps::Wait(std::int32_t ms) {
  if (Ended()) return;
  link_.WaitMilliseconds(ms, StopRequested);
  Ended();
}

bool DeviceOps::Confirmed(bool missed, const std::function<bool()>& matchesAgain,
                          std::optional<std::uint8_t> busyAnswer) {
  const std::uint8_t want = ReceivedByte();  // the answer that matched
  const auto other = [&](std::size_t v) { return v != want && (!busyAnswer || v != *busyAnswer); };
  // A miss whose answer no busy chip gives shows the contact unreliable.
  for (std::size_t v = 0; missed && v < answers_.size(); ++v) {
    if (answers_[v] != 0 && other(v)) contactDoubted_ = true;
  }
  if (!(missed || contactDoubted_)) return true;
  if (!matchesAgain() || halt_) return false;
  if (!contactDoubted_) return true;
  // Wrong answers that differ among themselves are flips: the one wanted must then be
  // more than half of all answers. One wrong answer alone is a chip that answered it
  // until it answered right (still busy, or not yet hearing), which two agreeing reads
  // settle.
  std::size_t wrongValues = 0;
  unsigned total = 0;
  for (std::size_t v = 0; v < answers_.size(); ++v) {
    if (answers_[v] != 0 && other(v)) ++wrongValues;
    if (busyAnswer != v) total += answers_[v];
  }
  return wrongValues <= 1 || 2u * answers_[want] > total;
}

void DeviceOps::CountAnswer(std::int32_t address, std::uint8_t answer) {
  if (address != answersAt_) {
    answers_.fill(0);
    answersAt_ = address;
  }
  ++answers_[answer];
}

void DeviceOps::AwaitWriteCycle() {
  const std::int64_t us = device_->writeCycleMaxUs > 0 ? device_->writeCycleMaxUs
                                                        : std::int64_t{kLockFuseWriteMs} * 1000;
  link_.WaitMicroseconds(us);
  Ended();
}

std::int32_t DeviceOps::Bounded(std::int32_t last) const {
  const std::int32_t end = device_ != nullptr ? device_->lastAddress : -1;
  return std::min({last, end, kImageSize - 1});
}

std::vector<std::uint8_t> DeviceOps::ReadInstruction(InstructionSet set, std::int32_t address) {
  if (set == InstructionSet::FourByte) return {0x20, AddressHigh4(address), AddressLow(address), 0x00};
  return {AddressHigh3(address, false, true), AddressLow(address), 0x00};
}

void DeviceOps::ReadAhead(InstructionSet set, std::int32_t from, std::int32_t last, int times) {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int32_t> addresses;
  for (std::int32_t n = from; n <= last; ++n) {
    const auto instruction = ReadInstruction(set, n);
    for (int time = 0; time < times; ++time) {
      bytes.insert(bytes.end(), instruction.begin(), instruction.end());
      addresses.push_back(n);
    }
  }
  std::vector<std::uint8_t> answers(bytes.size());
  ahead_.clear();
  if (addresses.empty() || !Exchange(bytes, answers)) return;
  const std::size_t size = bytes.size() / addresses.size();
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    ahead_.emplace_back(addresses[i], answers[(i + 1) * size - 1]);
  }
  aheadNext_ = 0;
  aheadSet_ = set;
}

bool DeviceOps::TakeReadAhead(InstructionSet set) {
  if (halt_ || aheadNext_ >= ahead_.size() || set != aheadSet_ ||
      ahead_[aheadNext_].first != CounterAddress()) {
    return false;
  }
  const std::uint8_t answer = ahead_[aheadNext_++].second;
  for (std::size_t i = 0; i < link_.ReceivedBits.size(); ++i) {
    link_.ReceivedBits[i] = (answer >> (7 - i)) & 1;
    link_.SentBits[i] = 0;  // the last byte a read sends
  }
  return true;
}

void DeviceOps::Walk(InstructionSet set, std::int32_t last, WalkKind kind,
                     const std::function<Step(std::int32_t)>& handle) {
  ResetAddressCounter(image_.Counter);
  if (set == InstructionSet::ThreeByte) {
    EnableProgramming3(100);
  } else if (!Enable4()) {
    return;
  }
  last = Bounded(last);
  const int times = kind == WalkKind::TwiceReads ? 2 : 1;
  const bool reads = kind == WalkKind::Reads || kind == WalkKind::TwiceReads;
  const auto ahead = reads ? static_cast<std::int32_t>(link_.ReadAhead()) / times : 1;
  ahead_.clear();
  for (std::int32_t n = 0; n <= last; ++n) {
    if (Ended()) return;
    // A read of an address that was not read ahead drops the reads of it still kept.
    while (aheadNext_ < ahead_.size() && ahead_[aheadNext_].first < n) ++aheadNext_;
    if (ahead > 1 && aheadNext_ >= ahead_.size()) {
      ReadAhead(set, n, std::min(last, n + ahead - 1), times);
      if (halt_) return;
    }
    const Step step = handle(n);
    if (halt_ || step == Step::StopHere) return;
    AdvanceAddressCounter(image_.Counter);
    window_.ShowProgress(n, last);
    if (kind == WalkKind::PumpedWrites) window_.PumpMessages();
    if (step == Step::StopAfterAdvance) return;
  }
}

std::int32_t DeviceOps::CounterAddress() const {
  const AddressCounter& c = image_.Counter;
  return HexDigitValue(c.Digit1) << 12 | HexDigitValue(c.Digit2) << 8 |
         HexDigitValue(c.Digit3) << 4 | HexDigitValue(c.Digit4);
}

std::uint8_t DeviceOps::ImageByteAfter(std::int32_t n, std::uint8_t previous) const {
  const std::int32_t byte = ImageByte(image_.Image, n);
  if (byte >= 0) return static_cast<std::uint8_t>(byte);
  const auto a = static_cast<std::size_t>(n);
  std::int32_t high = HexDigitValue(image_.Image.HighDigits[a]);
  std::int32_t low = HexDigitValue(image_.Image.LowDigits[a]);
  if (high < 0) high = previous >> 4;
  if (low < 0) low = previous & 0x0F;
  return static_cast<std::uint8_t>(high << 4 | low);
}

bool DeviceOps::ExpectByte(char high, char low) {
  ByteFlags& sent = link_.SentBits;
  HexDigitToBits(high, sent[0], sent[1], sent[2], sent[3]);
  HexDigitToBits(low, sent[4], sent[5], sent[6], sent[7]);
  return link_.ReceivedMatchesSent();
}

bool DeviceOps::ExpectImageByte(std::int32_t n) {
  const auto a = static_cast<std::size_t>(n);
  return ExpectByte(image_.Image.HighDigits[a], image_.Image.LowDigits[a]);
}

void DeviceOps::ShowMismatch(std::int32_t n) {
  const auto a = static_cast<std::size_t>(n);
  char detail[80];
  std::snprintf(detail, sizeof detail, " (%04X): the image holds %c%c, the chip read %02X",
                static_cast<unsigned>(n), image_.Image.HighDigits[a], image_.Image.LowDigits[a],
                static_cast<unsigned>(ReceivedByte()));
  window_.ShowMessageBox("Error address : " + std::to_string(n) + detail);
}

void DeviceOps::StoreReceived(std::int32_t n) { StoreByte(n, ReceivedByte()); }

void DeviceOps::StoreByte(std::int32_t n, std::uint8_t byte) { SetImageByte(image_.Image, n, byte); }

bool DeviceOps::SkipsAddress(std::int32_t n) const {
  const auto a = static_cast<std::size_t>(n);
  return image_.Image.HighDigits[a] == 'F' && image_.Image.LowDigits[a] == 'F';
}

Outcome DeviceOps::Result(Outcome ok) const {
  if (halt_) return *halt_;
  if (StopRequested) return Outcome::Stopped;
  return ok;
}

void DeviceOps::NotProgrammed(std::int32_t n, const char* title) {
  char text[400];
  const auto a = static_cast<std::size_t>(n);
  const ByteFlags& got = link_.ReceivedBits;
  char high = '?', low = '?';
  BitsToHexDigit(got[0], got[1], got[2], got[3], high);
  BitsToHexDigit(got[4], got[5], got[6], got[7], low);
  std::snprintf(text, sizeof text,
                "%sThe byte at address %04X (%d) was not programmed: wrote %c%c, read back "
                "%c%c. The write stopped there; nothing after it was written. A locked chip "
                "refuses writes: erase it first (AUTO-PROGRAM erases before it writes).",
                title, static_cast<unsigned>(n), n, image_.Image.HighDigits[a],
                image_.Image.LowDigits[a], high, low);
  window_.ShowMessageBox(text);
  Halt(Outcome::NotProgrammed);
}

std::uint8_t DeviceOps::ReceivedByte() const {
  std::uint8_t byte = 0;
  for (const BitFlag bit : link_.ReceivedBits) byte = static_cast<std::uint8_t>(byte << 1 | (bit == 1));
  return byte;
}

std::optional<std::uint8_t> DeviceOps::ReadCounterByte(InstructionSet set) {
  const bool sent = set == InstructionSet::FourByte ? ReadCodeByte4() : ReadCodeByte3();
  if (!sent) return std::nullopt;
  return ReceivedByte();
}

std::optional<std::uint8_t> DeviceOps::ReadBeforeWrite(InstructionSet set) {
  const auto first = ReadCounterByte(set);
  const auto second = first ? ReadCounterByte(set) : std::nullopt;
  if (!second || *first != *second) return std::nullopt;
  return first;
}

bool DeviceOps::TakeWriteProof(InstructionSet set, std::int32_t n,
                               std::optional<std::uint8_t> before, WriteProof& proof,
                               const std::function<bool(std::int32_t)>& rewrite) {
  if (proof.proved) return true;
  const auto byteAt = [&](std::int32_t a) { return ImageByte(image_.Image, a); };
  if (!before || *before == byteAt(n)) {
    proof.pending.push_back(n);
    return true;
  }
  proof.proved = writeShown_ = true;
  // The chip hears now; what it answered for the bytes before may not have been it.
  bool good = true;
  for (const std::int32_t m : proof.pending) {
    SetAddressCounter(image_.Counter, m);
    const auto now = ReadCounterByte(set);
    if (!now) {
      good = false;
      break;
    }
    if (*now == byteAt(m)) continue;
    if (!rewrite(m)) {
      if (!halt_) NotProgrammed(m, set == InstructionSet::ThreeByte ? "Programming Time-Out\n" : "");
      good = false;
      break;
    }
  }
  proof.pending.clear();
  SetAddressCounter(image_.Counter, n);
  return good;
}

void DeviceOps::AwaitEraseEnd(InstructionSet set) {
  // An erased chip reads FF at every address; the AT89S51/52 and AT89S8253 answer 00
  // until their erase is over. What the others answer meanwhile is not known, but a
  // write that comes too soon is caught by its read-back.
  ResetAddressCounter(image_.Counter);
  ForgetAnswers();
  std::uint8_t got = 0;
  const auto erased = [&] {
    const auto byte = ReadCounterByte(set);
    if (byte) got = *byte;
    return byte && *byte == 0xFF;
  };
  for (int poll = 1; poll <= kEraseEndPolls; ++poll) {
    if (Ended()) return;
    if (erased() && Confirmed(poll > 1, erased, std::uint8_t{0x00})) return;
    if (halt_) return;
    Wait(kEraseEndPollMs);
  }
  if (Ended()) return;
  char text[400];
  std::snprintf(text, sizeof text,
                "The %s did not read erased after the chip erase: address 0000 still read %02X "
                "%d ms after the erase instruction, where an erased chip reads FF. The chip did "
                "not take the erase, or erases more slowly than its kind; nothing more was sent.",
                std::string(device_->name).c_str(), static_cast<unsigned>(got),
                device_->eraseMs + 1 + kEraseEndPolls * kEraseEndPollMs);
  window_.ShowMessageBox(text);
  Halt(Outcome::NotErased);
}

void DeviceOps::PollPause() {
  for (std::int32_t i = 0; i <= link_.PollDelay; ++i) link_.WaitScaled(1000);
}

void DeviceOps::ClearEnableLines() {
  for (const Line line : {Line::Mode7, Line::Mode3, Line::Rst, Line::Sck, Line::Mosi}) {
    link_.SetLine(line, false);
  }
}

void DeviceOps::EnableProgramming3(std::int32_t delay) {
  Scope scope(*this);
  ClearEnableLines();
  link_.WaitScaled(delay * 10000);
  link_.SetLine(Line::Rst, true);
  link_.WaitScaled(delay * 10000);
  link_.PulseRstLow();  // a short low pulse on RST, at least a half period of SCK
  Send({0xAC, 0x53, 0x55});
}

bool DeviceOps::EchoedNow() {
  link_.SentBits = {0, 1, 1, 0, 1, 0, 0, 1};  // the echo, 69
  const bool echoed = link_.ReceivedMatchesSent();
  if (echoed) echoSeen_ = true;
  return echoed;
}

bool DeviceOps::EnableAttempt4() {
  // Fast programming waits as the data sheets ask: the AT89S8253 10 ms with RST high
  // and SCK low, the AT89S51/52 64 clock periods.
  const std::int64_t settleUs = std::int64_t{PagesWanted() ? kFastEnableSettleMs : 50} * 1000;
  ClearEnableLines();
  link_.WaitMicroseconds(settleUs, StopRequested);
  if (Ended()) return false;
  link_.SetLine(Line::Rst, true);
  link_.WaitMicroseconds(settleUs, StopRequested);
  if (Ended()) return false;
  if (!Send({0xAC, 0x53, 0x55, 0x55})) return false;
  return EchoedNow();
}

bool DeviceOps::EnableProgramming4() {
  Scope scope(*this);
  // The device's row says how many attempts it gets. On the devices that judge the
  // echo, a chip that never echoes is not there, or not this device, and the result
  // says so.
  const bool single = device_ == nullptr || device_->enable == EnableRule::SingleTry;
  for (std::int32_t attempt = 1; attempt <= (single ? 1 : 10); ++attempt) {
    if (Ended()) return false;
    if (EnableAttempt4()) return true;
  }
  if (Ended()) return false;
  // A chip that echoed at this speed earlier in the command does not need a slower
  // one: it is busy, or gone.
  if (!single) return !echoSeen_ && EnableAtSlowerClock();
  // The others need not echo, so no answer decides anything: the operation goes on.
  // A chip that has echoed in this command hears this speed; one that has not may
  // sit on a slow crystal, and if it echoes at all it does so at a slower clock.
  if (!echoSeen_ && !slowSearched_) slowSearched_ = !EnableAtSlowerClock();
  return !halt_;
}

bool DeviceOps::EnableAtSlowerClock() {
  // A chip on a slow crystal takes every bit wrong at the set speed and so never
  // echoes. A quarter of the speed each time, down to what a 1 MHz crystal of the
  // slower class needs; one attempt each, as the set speed's attempts have given a
  // busy chip its time already.
  const std::int32_t set = link_.SckHalfPeriodUs;
  for (std::int32_t tried = std::max(set, 1); tried < kSlowestSckHalfPeriodUs; tried *= 4) {
    if (Ended()) break;
    const std::int32_t halfUs = tried * 4;
    link_.SckHalfPeriodUs = halfUs;
    if (EnableAttempt4()) {
      // Kept for the rest of the session, so that the box comes once.
      window_.ShowNotice("The chip answered only with a slower serial clock: SCK half period " +
                         std::to_string(halfUs) + " us. " + window_.SckHalfPeriodAdvice(halfUs));
      return true;
    }
  }
  link_.SckHalfPeriodUs = set;
  return false;
}

void DeviceOps::ShowNoAnswer() {
  const std::string device(device_ != nullptr ? device_->name : "selected device");
  const std::string port = link_.PortName();
  if (link_.SimulatedTarget() == "") {
    window_.ShowMessageBox("The chip does not answer on " + port +
                           ": no simulated chip is attached (set VQLISP_SIM=target=...).");
    return;
  }
  if (echoSeen_) {
    window_.ShowMessageBox("The chip on " + port +
                           " echoed the programming enable earlier in this command, but no "
                           "longer does, in ten tries: nothing more was sent. Check the "
                           "contact of the cable and the target's power.");
    return;
  }
  window_.ShowMessageBox("The chip does not answer on " + port +
                         ": it never echoed the programming enable, so nothing more was sent. "
                         "Check the cable, the target's power, and that the selected device "
                         "type, " + device + ", is the chip in the socket.");
}

bool DeviceOps::Enable4() {
  if (EnableProgramming4()) return true;
  if (!halt_) {
    ShowNoAnswer();
    Halt(Outcome::NoAnswer);
  }
  return false;
}

Outcome DeviceOps::EnableProgramming4Checked() {
  Scope scope(*this);
  if (!halt_) Enable4();
  return Result(Outcome::Done);
}

void DeviceOps::StopIfAFourByteChipAnswers() {
  if (depth_ != 1 || halt_ || otherSetLooked_) return;
  otherSetLooked_ = true;
  // One four-byte enable attempt, which a four-byte chip may echo, then its signature
  // reads; a three-byte chip never hears an enable of its own in them (see
  // KeepOtherSetOut), so neither can change it. The next three-byte enable resets the
  // chip either way.
  framing_ = InstructionSet::FourByte;
  const bool echoed = EnableAttempt4();
  const std::string model = echoed || halt_ ? std::string() : FourByteModelAnswering();
  framing_ = InstructionSet::ThreeByte;
  if (halt_ || (!echoed && model.empty())) return;
  const std::string fourByte = DeviceNames(
      [](const DeviceInfo& d) { return d.set == InstructionSet::FourByte; }, ", ", " or ");
  const std::string which =
      echoed ? "A chip with the four-byte instruction set (" + fourByte + ") answered"
             : "A chip that gives the signature of the " + model + ", which uses the four-byte "
               "instruction set, answered";
  window_.ShowMessageBox(which + " in the socket, but the selected device is the " +
                         std::string(device_->name) +
                         ", which uses the three-byte set. Nothing more was sent to it: choose the "
                         "device that is in the socket.");
  Halt(Outcome::WrongDevice);
}

std::string DeviceOps::FourByteModelAnswering() {
  // After a four-byte enable, reads at 030, 200, 100, 031 and 000 put at a three-byte
  // frame's start only 28, FF and address bytes of 00 or 01, none of which opens a
  // change in that set.
  static constexpr std::array<std::uint16_t, 5> kOrder{0x030, 0x200, 0x100, 0x031, 0x000};
  std::array<std::uint8_t, kOrder.size() * 4> bytes{};
  for (std::size_t i = 0; i < kOrder.size(); ++i) {
    const std::uint16_t at = kOrder[i];
    const std::array<std::uint8_t, 4> read{0x28, static_cast<std::uint8_t>(at >> 8),
                                          static_cast<std::uint8_t>(at & 0xFF), 0xFF};
    std::copy(read.begin(), read.end(), bytes.begin() + static_cast<std::ptrdiff_t>(4 * i));
  }
  std::array<std::uint8_t, bytes.size()> answers{};
  if (!Send(bytes, answers)) return {};
  const auto answerAt = [&](std::uint16_t at) {
    const auto* found = std::find(kOrder.begin(), kOrder.end(), at);
    return answers[static_cast<std::size_t>(found - kOrder.begin()) * 4 + 3];
  };
  for (const DeviceSignature& signature : DeviceSignatures()) {
    const DeviceInfo* device = DeviceAt(DeviceIndexOf(signature.device));
    if (device == nullptr || device->set != InstructionSet::FourByte) continue;
    bool same = true;
    for (std::size_t k = 0; k < signature.at.size(); ++k) {
      same = same && answerAt(signature.at[k]) == signature.bytes[k];
    }
    if (same) return std::string(signature.device);
  }
  return {};
}

bool DeviceOps::ShowHearingBySignature() {
  Scope scope(*this);
  if (HeardSeen() || signatureRead_ || halt_) return HeardSeen();
  const DeviceSignature* own = SignatureOf(device_->name);
  if (own == nullptr || device_->set != InstructionSet::FourByte) return false;
  signatureRead_ = true;
  if (!Enable4()) return false;
  std::vector<std::uint8_t> got;
  for (const std::uint16_t at : own->at) {
    if (!Send({0x28, static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at & 0xFF), 0xFF})) {
      return false;
    }
    got.push_back(ReceivedByte());
  }
  signatureSeen_ = got == own->bytes;
  return HeardSeen();
}

std::optional<std::uint8_t> DeviceOps::Agreed(
    const std::function<std::optional<std::uint8_t>()>& read, const std::string& what) {
  // Two answers in a row that agree: a poor contact now and then spoils one.
  std::optional<std::uint8_t> last;
  for (int tries = 1; tries <= kAgreedReads; ++tries) {
    const auto got = read();
    if (!got) return std::nullopt;
    if (last == got) return got;
    if (last) contactDoubted_ = true;
    last = got;
  }
  window_.ShowMessageBox("The " + what + " of the " + std::string(device_->name) +
                         " read differently at each of " + std::to_string(kAgreedReads) +
                         " tries: the contact is unreliable, so nothing was decided from them. "
                         "Check the cable and the target's power.");
  Halt(Outcome::ReadError);
  return std::nullopt;
}

std::optional<std::uint8_t> DeviceOps::ReadByteAgreed(std::int32_t n) {
  SetAddressCounter(image_.Counter, n);
  char what[32];
  std::snprintf(what, sizeof what, "byte at address %04X", static_cast<unsigned>(n));
  return Agreed([&] { return ReadCounterByte(device_->set); }, what);
}

}  // namespace vql
