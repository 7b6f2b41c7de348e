#include "sim/sim_ftdi.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "sim/sim_chip.h"

namespace vql {

namespace {

// libftdi splits a write into transfers of its write chunk size, and a read into
// transfers of its read buffer's size; both are 4096 bytes unless changed.
constexpr std::size_t kTransferBytes = 4096;

constexpr std::uint64_t kPicosecondsPerSecond = 1'000'000'000'000;
// The bit-bang rate at which the FT232R starts.
constexpr int kStartBaud = 9600;

// MPSSE answers a command it does not know with this byte, then the command (FTDI's
// knowledge base, "Bad Commands"), but only a command with bit 7 set.
constexpr std::uint8_t kBadCommand = 0xFA;

// A byte of the buffer from the host that the adapter has not yet run.
constexpr std::uint64_t kNotRun = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t kUsbTimeoutNs = std::uint64_t{kFtdiUsbTimeoutMs} * 1'000'000;

std::uint64_t BytePeriodPs(int baud) {
  return kPicosecondsPerSecond /
         (static_cast<std::uint64_t>(baud) * static_cast<std::uint64_t>(kFt232rBytesPerBaud));
}

// 10 to 3F: bit 4 writes DO, bit 5 reads DI. Bit 6 would shift TMS, which a cable
// without JTAG has no use for.
bool IsShift(std::uint8_t op) { return (op & 0xC0) == 0 && (op & 0x30) != 0; }

// The shifts AN_108 gives (section 3, the data shifting commands): a write-only one
// names only its write edge (bit 2 clear), a read-only one only its read edge (bit 0
// clear), and one that does both writes on one edge and reads on the other. What the
// others do, it does not say.
bool IsGivenShift(std::uint8_t op) {
  const bool writeOnFall = (op & 0x01) != 0;
  const bool readOnFall = (op & 0x04) != 0;
  switch (op & 0x30) {
    case 0x10:
      return !readOnFall;
    case 0x20:
      return !writeOnFall;
    default:
      return writeOnFall != readOnFall;
  }
}

// Commands with bit 7 set that AN_108 gives an effect to (waits on I/O 88/89,
// three-phase clocking 8C, the CPU-mode reads and writes 90 to 93, clocking while
// waiting on I/O 94/95, clocking until GPIOL1 9C/9D, drive-zero 9E) and that the
// simulated adapter does not carry out. The chip would not answer them FA, so neither
// may we.
bool IsGivenButNotModelled(std::uint8_t op);

// The commands with bit 7 set that the simulated adapter carries out (MpsseCommand).
bool IsModelled(std::uint8_t op) {
  return (op >= 0x80 && op <= 0x87) || op == 0x8A || op == 0x8B || op == 0x8D || op == 0x8E ||
         op == 0x8F || op == 0x96 || op == 0x97;
}

// A command the chip answers FA and the command: bit 7 set, and none that AN_108 gives.
bool IsBadCommand(std::uint8_t op) {
  return (op & 0x80) != 0 && !IsModelled(op) && !IsGivenButNotModelled(op);
}

bool IsGivenButNotModelled(std::uint8_t op) {
  switch (op) {
    case 0x88:
    case 0x89:
    case 0x8C:
    case 0x90:
    case 0x91:
    case 0x92:
    case 0x93:
    case 0x94:
    case 0x95:
    case 0x9C:
    case 0x9D:
    case 0x9E:
      return true;
    default:
      return false;
  }
}

std::string Hex(std::uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

}  // namespace

SimulatedFtdi::SimulatedFtdi(MicrosecondClock& clock, SimOptions options)
    : clock_(clock),
      options_(std::move(options)),
      chip_(options_.adapter.value_or(FtdiChip::FT232H)),
      pins_(PinsOf(chip_)),
      buffers_(BuffersOf(chip_)),
      socket_(MakeSimTarget(options_, SimCable::kUsbAdapter)),
      bytePeriodPs_(BytePeriodPs(kStartBaud)),
      jitter_(options_.chip.seed) {}

std::string SimulatedFtdi::Name() const {
  return std::string(FtdiChipName(chip_)) + " (simulated)";
}

bool SimulatedFtdi::SetBitmode(std::uint8_t mask, std::uint8_t mode) {
  if (!Transfer()) return false;
  const bool hasMpsse = chip_ != FtdiChip::FT232R;
  if (mode != ftdi_mode::kReset && mode != ftdi_mode::kSyncBitBang &&
      !(mode == ftdi_mode::kMpsse && hasMpsse)) {
    return Fail("the USB adapter " + Name() + " has no bit mode " + Hex(mode));
  }
  DropPending();
  if (mode == ftdi_mode::kMpsse) {
    mode_ = Mode::kMpsse;
    mpsse_ = {};
    outputs_ = 0;
  } else if (mode == ftdi_mode::kSyncBitBang) {
    mode_ = Mode::kSyncBitBang;
    outputs_ = mask;
    // AN232R-01 gives no level for a pin that becomes an output before any byte is
    // written. The worse reading: low, which on this cable enables the buffer
    // (ENABLE is active low) with RST, SCK and MOSI low; once a byte has been written
    // in this mode since the last reset mode, the output latch holds it.
    levels_ = syncLatch_.value_or(0);
  } else {
    mode_ = Mode::kReset;
    outputs_ = 0;
    syncLatch_.reset();
  }
  // The request takes effect once the adapter has run what came before it.
  StartRun(clock_.NowNanoseconds());
  UpdateTargetLines(RunUs());
  EndRun();
  return true;
}

bool SimulatedFtdi::SetLatencyTimer(std::uint8_t ms) {
  if (gone_) return false;
  if (ms == 0) return Fail("the USB adapter " + Name() + " takes a latency of 1 to 255 ms, not 0");
  return Transfer();
}

bool SimulatedFtdi::SetBaudRate(int baud) {
  if (gone_) return false;
  if (baud <= 0) {
    return Fail("the USB adapter " + Name() + " cannot run at " + std::to_string(baud) + " baud");
  }
  if (!Transfer()) return false;
  bytePeriodPs_ = BytePeriodPs(baud);
  return true;
}

bool SimulatedFtdi::Purge() {
  if (!Transfer()) return false;
  readQueue_.clear();
  readyNs_.clear();
  DropPending();
  return true;
}

bool SimulatedFtdi::Write(std::span<const std::uint8_t> bytes) {
  if (gone_) return false;
  dropping_ = false;
  while (!bytes.empty()) {
    const auto chunk = bytes.first(std::min(bytes.size(), kTransferBytes));
    bytes = bytes.subspan(chunk.size());
    const std::uint64_t startNs = clock_.NowNanoseconds();
    if (!Transfer()) return false;
    if (!EnterTransfer(chunk, startNs)) return false;
  }
  return true;
}

bool SimulatedFtdi::EnterTransfer(std::span<const std::uint8_t> chunk, std::uint64_t startNs) {
  const std::uint64_t endNs = clock_.NowNanoseconds();
  std::uint64_t atNs = startNs;  // when the next byte finds room
  while (!chunk.empty()) {
    while (!fromHostNs_.empty() && fromHostNs_.front() <= atNs) fromHostNs_.pop_front();
    const std::size_t room = buffers_.fromHost - fromHostNs_.size();
    if (room == 0) {
      // The oldest byte leaves when the adapter runs it; one it has not run waits for
      // a read, which the host, held in this write, cannot make.
      const std::uint64_t next = fromHostNs_.front();
      if (next > startNs + kUsbTimeoutNs) return WriteTimedOut(startNs);
      atNs = next;
      continue;
    }
    const auto piece = chunk.first(std::min(room, chunk.size()));
    chunk = chunk.subspan(piece.size());
    bytesWritten_ += piece.size();
    if (dropping_) continue;  // after a bad command the rest of the write goes nowhere
    pending_.insert(pending_.end(), piece.begin(), piece.end());
    fromHostNs_.insert(fromHostNs_.end(), piece.size(), kNotRun);
    unrun_ += piece.size();
    // The bytes that fit at once are there for the adapter when the transfer ends.
    if (!RunPending(std::max(atNs, endNs))) dropping_ = true;
    if (gone_) return false;
  }
  clock_.WaitUntilNanoseconds(atNs);  // the transfer ends once its last byte is in
  return true;
}

bool SimulatedFtdi::WriteTimedOut(std::uint64_t startNs) {
  clock_.WaitUntilNanoseconds(startNs + kUsbTimeoutNs);
  const std::string buffer = std::to_string(buffers_.fromHost) + "-byte buffer from the host";
  std::string why;
  if (stalled_) {
    why = "it had stopped with its " + std::to_string(buffers_.toHost) +
          "-byte buffer towards the host full, waiting for a read";
  } else {
    why = "an MPSSE command longer than that buffer filled it, and the simulated adapter "
          "runs a command only once all its bytes are in";
  }
  return Fail("usb bulk write failed: the USB adapter " + Name() +
              " took no more of a write into its " + buffer + " within libftdi's " +
              std::to_string(kFtdiUsbTimeoutMs) + " ms timeout (" + why + ")");
}

bool SimulatedFtdi::Read(std::span<std::uint8_t> bytes) {
  if (gone_) return false;
  if (bytes.empty()) return true;
  std::size_t got = 0;
  while (true) {
    const std::size_t want = bytes.size() - got;
    const std::size_t queued = std::min(want, readQueue_.size());
    if (queued < want && stalled_ && queued > 0) {
      // The adapter stopped with its buffer towards the host full: this transfer takes
      // what it holds, and the adapter runs on from the transfer's end.
      clock_.WaitUntilNanoseconds(readyNs_[queued - 1]);
      if (!Transfer()) return false;
      got += TakeAnswers(bytes.subspan(got), queued);
      RunPending(clock_.NowNanoseconds());
      if (gone_) return false;
      continue;
    }
    // The transfer leaves once the last byte asked for is there (or the adapter has
    // run everything written, when it never will be), while the adapter goes on with
    // what was written after it.
    clock_.WaitUntilNanoseconds(queued == want ? readyNs_[queued - 1] : doneNs_);
    for (std::size_t sent = 0; sent < want; sent += kTransferBytes) {
      if (!Transfer()) return false;
    }
    got += TakeAnswers(bytes.subspan(got), queued);
    if (queued < want) {
      return Fail("the USB adapter " + Name() + " delivered only " + std::to_string(got) + " of " +
                  std::to_string(bytes.size()) + " bytes");
    }
    return true;
  }
}

std::size_t SimulatedFtdi::TakeAnswers(std::span<std::uint8_t> into, std::size_t count) {
  const auto end = readQueue_.begin() + static_cast<std::ptrdiff_t>(count);
  std::copy(readQueue_.begin(), end, into.begin());
  readQueue_.erase(readQueue_.begin(), end);
  readyNs_.erase(readyNs_.begin(), readyNs_.begin() + static_cast<std::ptrdiff_t>(count));
  return count;
}

void SimulatedFtdi::Close() {
  if (!gone_) Leave("the USB adapter " + Name() + " was closed");
}

std::optional<std::string> SimulatedFtdi::SimulatedTarget() const {
  return DescribeSimTarget(socket_.Target());
}

void SimulatedFtdi::ReplaceTarget(std::unique_ptr<SimTarget> target) {
  const std::uint64_t us = std::max(clock_.NowNanoseconds(), doneNs_) / 1000;
  socket_.Replace(std::move(target), us);
  UpdateTargetLines(us);
}

bool SimulatedFtdi::Fail(std::string why) {
  error_ = std::move(why);
  return false;
}

bool SimulatedFtdi::Transfer() {
  if (gone_) return false;
  if (options_.usbUnplugAfter && transfers_ >= *options_.usbUnplugAfter) {
    Leave("the USB adapter " + Name() + " was unplugged");
    return false;
  }
  ++transfers_;
  const auto ns = static_cast<std::uint64_t>(std::llround(options_.usbMs * 1e6));
  clock_.WaitUntilNanoseconds(clock_.NowNanoseconds() + ns);
  return true;
}

void SimulatedFtdi::Leave(std::string why) {
  gone_ = true;
  error_ = std::move(why);
  StartRun(clock_.NowNanoseconds());
  UpdateTargetLines(RunUs());
  EndRun();
}

void SimulatedFtdi::StartRun(std::uint64_t notBeforeNs) {
  runStartNs_ = std::max(notBeforeNs, doneNs_);
  runPs_ = 0;
}

bool SimulatedFtdi::RunPending(std::uint64_t notBeforeNs) {
  StartRun(notBeforeNs);
  stalled_ = false;
  bool known = true;
  switch (mode_) {
    case Mode::kSyncBitBang:
      BitBang();
      break;
    case Mode::kMpsse:
      known = RunMpsse();
      break;
    case Mode::kReset:
      DropPending();  // the bytes leave through the UART, which has nothing on it
      break;
  }
  EndRun();
  if (!fault_.empty()) Leave(std::exchange(fault_, {}));
  return known;
}

void SimulatedFtdi::MarkRun(std::size_t count) {
  const std::uint64_t ns = runStartNs_ + runPs_ / 1000;
  const std::size_t first = fromHostNs_.size() - unrun_;
  std::fill_n(fromHostNs_.begin() + static_cast<std::ptrdiff_t>(first), count, ns);
  unrun_ -= count;
}

void SimulatedFtdi::DropPending() {
  MarkRun(pending_.size());
  pending_.clear();
  stalled_ = false;
}

void SimulatedFtdi::Answer(std::uint8_t byte) {
  readQueue_.push_back(byte);
  readyNs_.push_back(runStartNs_ + (runPs_ + 999) / 1000);
}

// Others point to FTDI's FT232R errata technical note for uneven synchronous bit-bang
// timing; we found no figure from FTDI in what we could read, so the most a period is
// lengthened is the user's choice (usb-jitter), drawn evenly from the seed.
std::uint64_t SimulatedFtdi::JitterPs() {
  if (options_.usbJitterUs <= 0.0) return 0;
  const auto mostPs = static_cast<std::uint64_t>(std::llround(options_.usbJitterUs * 1e6));
  return jitter_() % (mostPs + 1);
}

void SimulatedFtdi::BitBang() {
  std::size_t done = 0;
  for (; done < pending_.size(); ++done) {
    // The sample has nowhere to go while the buffer towards the host is full. FTDI's
    // documents we could read do not say what the chip does then; we take the worse
    // reading, that it stops until the host reads.
    if (readQueue_.size() >= buffers_.toHost) {
      stalled_ = true;
      break;
    }
    MarkRun(1);
    // AN232R-01, synchronous bit-bang: the pins are read before each byte written is
    // put on the outputs, so the samples run one byte behind the writes.
    Answer(SamplePins());
    levels_ = pending_[done];
    syncLatch_ = levels_;
    UpdateTargetLines(RunUs());
    runPs_ += bytePeriodPs_ + JitterPs();
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
}

bool SimulatedFtdi::RunMpsse() {
  std::size_t done = 0;
  while (done < pending_.size()) {
    const auto rest = std::span<const std::uint8_t>(pending_).subspan(done);
    // A command that we cannot carry out ends the adapter as soon as it gets to it,
    // whatever length its bytes would have.
    fault_ = Unmodelled(rest[0]);
    const std::size_t length = fault_.empty() ? CommandLength(rest) : rest.size();
    if (length > rest.size()) break;
    const auto command = rest.first(length);
    const std::size_t answers = AnswersOf(command);
    if (answers <= buffers_.toHost && readQueue_.size() + answers > buffers_.toHost) {
      // The answers would overflow the buffer towards the host: the adapter stops
      // before the command until the host reads. We found no FTDI document that says
      // what MPSSE does then; stopping is the worse reading, kept until one does.
      stalled_ = true;
      break;
    }
    MarkRun(length);
    if (fault_.empty() && answers > buffers_.toHost) {
      fault_ = "the USB adapter " + Name() + " was sent an MPSSE command that reads " +
               std::to_string(answers) + " bytes, more than its " +
               std::to_string(buffers_.toHost) +
               "-byte buffer towards the host holds; the simulated adapter does not stop "
               "inside a command";
    }
    if (!fault_.empty() || !MpsseCommand(command)) {
      // The rest of what was written goes nowhere.
      MarkRun(pending_.size() - done - length);
      pending_.clear();
      return false;
    }
    done += length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
  return true;
}

std::size_t SimulatedFtdi::AnswersOf(std::span<const std::uint8_t> command) {
  const std::uint8_t op = command[0];
  if (IsShift(op)) {
    if ((op & 0x20) == 0 || !IsGivenShift(op)) return 0;
    if ((op & 0x02) != 0) return 1;
    return (command[1] | std::size_t{command[2]} << 8) + 1;
  }
  if (op == 0x81 || op == 0x83) return 1;
  if (IsBadCommand(op)) return 2;  // FA and the command
  return 0;
}

std::size_t SimulatedFtdi::CommandLength(std::span<const std::uint8_t> bytes) {
  const std::uint8_t op = bytes[0];
  if (IsShift(op)) {
    const std::size_t data = (op & 0x10) != 0 ? 1 : 0;
    if ((op & 0x02) != 0) return 2 + data;  // bits: the count, then one byte out
    if (bytes.size() < 3) return 3;         // bytes: the count first
    const std::size_t count = (bytes[1] | std::size_t{bytes[2]} << 8) + 1;
    return 3 + data * count;
  }
  switch (op) {
    case 0x80:
    case 0x82:
    case 0x86:
    case 0x8F:
      return 3;
    case 0x8E:
      return 2;
    default:
      return 1;
  }
}

bool SimulatedFtdi::MpsseCommand(std::span<const std::uint8_t> command) {
  const std::uint8_t op = command[0];
  if (IsShift(op) && IsGivenShift(op)) {
    ShiftCommand(command);
    return true;
  }
  switch (op) {
    case 0x80:
      levels_ = command[1];
      outputs_ = command[2];
      UpdateTargetLines(RunUs());
      return true;
    case 0x81:
      Answer(SamplePins());
      return true;
    case 0x83:
      Answer(0xFF);  // ACBUS carries nothing on these cables
      return true;
    case 0x84:
    case 0x85:
      mpsse_.loopback = op == 0x84;
      return true;
    case 0x86:
      mpsse_.divisor = static_cast<std::uint16_t>(command[1] | command[2] << 8);
      return true;
    case 0x8A:
    case 0x8B:
      mpsse_.divideBy5 = op == 0x8B;
      return true;
    case 0x8E:
      Shift({}, {}, std::size_t{command[1]} + 1);
      return true;
    case 0x8F:
      Shift({}, {}, ((command[1] | std::size_t{command[2]} << 8) + 1) * 8);
      return true;
    case 0x82:  // ACBUS: no lines of the cable there
    case 0x87:  // send immediate: every answer is at hand at once anyway
    case 0x8D:  // three-phase clocking off, as it always is here
    case 0x96:  // adaptive clocking on and off: SCK runs as set either way, since
    case 0x97:  // no target here gives RTCK back
      return true;
    default:  // a bad command (RunMpsse has ended the adapter for the others)
      Answer(kBadCommand);
      Answer(op);
      return false;
  }
}

std::string SimulatedFtdi::Unmodelled(std::uint8_t op) const {
  if ((IsShift(op) && IsGivenShift(op)) || IsModelled(op) || IsBadCommand(op)) return {};
  // Bit 7 clear (TMS shifts, shifts on edges AN_108 does not pair, 00 to 0F) or a
  // command the chip knows and we do not carry out: the chip gives no FA, and what it
  // does instead we do not model. The adapter fails, so that an engine that sends one
  // fails its tests rather than passing on a made-up answer.
  if ((op & 0x80) != 0) {
    return "the USB adapter " + Name() + " was sent MPSSE command " + Hex(op) +
           ", which the simulated adapter does not carry out";
  }
  return "the USB adapter " + Name() + " was sent MPSSE command " + Hex(op) +
         ", whose effect FTDI's AN_108 does not give for a cable without JTAG";
}

void SimulatedFtdi::ShiftCommand(std::span<const std::uint8_t> command) {
  const std::uint8_t op = command[0];
  const ShiftFlags flags{.writeOnFall = (op & 0x01) != 0,
                         .bitMode = (op & 0x02) != 0,
                         .readOnFall = (op & 0x04) != 0,
                         .lsbFirst = (op & 0x08) != 0,
                         .write = (op & 0x10) != 0,
                         .read = (op & 0x20) != 0};
  if (flags.bitMode) {
    Shift(flags, command.subspan(2), std::size_t{command[1] & 0x07u} + 1);
  } else {
    Shift(flags, command.subspan(3), ((command[1] | std::size_t{command[2]} << 8) + 1) * 8);
  }
}

// Clocks bits pulses (see the header for the order of events at an edge); out holds
// the bits to write, whole bytes of them, and every byte read (or the one byte of a
// bit-mode read) goes into the read queue.
void SimulatedFtdi::Shift(const ShiftFlags& flags, std::span<const std::uint8_t> out,
                          std::size_t bits) {
  const auto outBit = [&](std::size_t i) {
    const auto place = static_cast<int>(flags.lsbFirst ? i % 8 : 7 - i % 8);
    return ((out[i / 8] >> place) & 1) != 0;
  };
  const std::uint64_t halfPs = HalfPeriodPs();
  unsigned in = 0;
  // AN_108 (its clock operation and data shifting commands): the first bit goes on DO before
  // the first clock, whichever edge the command writes on, and each later bit
  // replaces it on that edge; after the last bit DO holds it. The clock pulses away
  // from the level the last 80 left SCK at: rise then fall from low, fall then rise
  // from high (AN_114, SPI modes 0 and 2).
  const bool idleHigh = (levels_ & outputs_ & PinMask(pins_.sck)) != 0;
  const std::array<bool, 2> edges = idleHigh ? std::array{false, true} : std::array{true, false};
  if (flags.write) SetPin(pins_.mosi, outBit(0));
  for (std::size_t i = 0; i < bits; ++i) {
    for (const bool rise : edges) {
      runPs_ += halfPs;
      if (flags.read && flags.readOnFall != rise) {
        const unsigned di = DataIn() ? 1 : 0;
        in = (flags.lsbFirst ? (in >> 1) | (di << 7) : (in << 1) | di) & 0xFFu;
      }
      SetPin(pins_.sck, rise);
      if (flags.write && flags.writeOnFall != rise && i + 1 < bits) SetPin(pins_.mosi, outBit(i + 1));
    }
    if (flags.read && (flags.bitMode ? i + 1 == bits : i % 8 == 7)) {
      Answer(static_cast<std::uint8_t>(std::exchange(in, 0u)));
    }
  }
}

std::uint64_t SimulatedFtdi::HalfPeriodPs() const {
  const std::uint64_t baseHz = mpsse_.divideBy5 ? kMpsseSlowBaseHz : kMpsseFastBaseHz;
  return (std::uint64_t{1} + mpsse_.divisor) * kPicosecondsPerSecond / baseHz;
}

bool SimulatedFtdi::BufferEnabled() const {
  const std::uint8_t enable = PinMask(pins_.enable);
  return !gone_ && options_.powered && (outputs_ & enable) != 0 && (levels_ & enable) == 0;
}

bool SimulatedFtdi::PinLevel(std::int32_t bit) {
  const std::uint8_t mask = PinMask(bit);
  if ((outputs_ & mask) != 0) return (levels_ & mask) != 0;
  if (bit == pins_.sense) return BufferDrives();
  if (bit == pins_.miso) {
    if (options_.misoStuckAt) return *options_.misoStuckAt;
    return !BufferDrives() || socket_.Target().Miso(RunUs());
  }
  return true;  // the pin's own pull-up
}

bool SimulatedFtdi::DataIn() {
  if (mpsse_.loopback) return (levels_ & PinMask(pins_.mosi)) != 0;
  return PinLevel(pins_.miso);
}

std::uint8_t SimulatedFtdi::SamplePins() {
  // SENSE is looked at before the other pins, so that a board that comes in at this
  // read is seen on all of them.
  if ((outputs_ & PinMask(pins_.sense)) == 0 && socket_.Target().SenseRead()) {
    UpdateTargetLines(RunUs());
  }
  std::uint8_t pins = 0;
  for (std::int32_t bit = 0; bit < 8; ++bit) {
    if (PinLevel(bit)) pins |= PinMask(bit);
  }
  return pins;
}

void SimulatedFtdi::SetPin(std::int32_t bit, bool level) {
  levels_ = static_cast<std::uint8_t>(level ? levels_ | PinMask(bit) : levels_ & ~PinMask(bit));
  UpdateTargetLines(RunUs());
}

void SimulatedFtdi::UpdateTargetLines(std::uint64_t us) {
  const auto driven = [this](std::int32_t bit) { return (outputs_ & levels_ & PinMask(bit)) != 0; };
  socket_.Update({.rst = driven(pins_.rst), .sck = driven(pins_.sck), .mosi = driven(pins_.mosi)},
                 BufferEnabled(), us);
}

}  // namespace vql
