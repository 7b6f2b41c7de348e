#include "sim/sim_ftdi.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
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

// MPSSE answers a command it does not know with this byte, then the command.
constexpr std::uint8_t kBadCommand = 0xFA;

std::uint64_t BytePeriodPs(int baud) {
  return kPicosecondsPerSecond /
         (static_cast<std::uint64_t>(baud) * static_cast<std::uint64_t>(kFt232rBytesPerBaud));
}

// 10 to 3F: bit 4 writes DO, bit 5 reads DI. Bit 6 would shift TMS, which a cable
// without JTAG has no use for.
bool IsShift(std::uint8_t op) { return (op & 0xC0) == 0 && (op & 0x30) != 0; }

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
      socket_(MakeSimTarget(options_)),
      bytePeriodPs_(BytePeriodPs(kStartBaud)) {}

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
  pending_.clear();
  if (mode == ftdi_mode::kMpsse) {
    mode_ = Mode::kMpsse;
    mpsse_ = {};
    outputs_ = 0;
  } else if (mode == ftdi_mode::kSyncBitBang) {
    mode_ = Mode::kSyncBitBang;
    outputs_ = mask;
  } else {
    mode_ = Mode::kReset;
    outputs_ = 0;
  }
  // The request takes effect once the adapter has run what came before it.
  StartRun();
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
  pending_.clear();
  return true;
}

bool SimulatedFtdi::Write(std::span<const std::uint8_t> bytes) {
  if (gone_) return false;
  bool dropping = false;
  while (!bytes.empty()) {
    const auto chunk = bytes.first(std::min(bytes.size(), kTransferBytes));
    bytes = bytes.subspan(chunk.size());
    if (!Transfer()) return false;
    bytesWritten_ += chunk.size();
    if (!dropping) dropping = !Run(chunk);
  }
  return true;
}

bool SimulatedFtdi::Read(std::span<std::uint8_t> bytes) {
  if (gone_) return false;
  if (bytes.empty()) return true;
  // The transfer leaves once the last byte asked for is there (or the adapter has run
  // everything written, when it never will be), while the adapter goes on with what
  // was written after it.
  const std::size_t queued = std::min(bytes.size(), readQueue_.size());
  clock_.WaitUntilNanoseconds(queued == bytes.size() ? readyNs_[queued - 1] : doneNs_);
  for (std::size_t sent = 0; sent < bytes.size(); sent += kTransferBytes) {
    if (!Transfer()) return false;
  }
  const auto end = readQueue_.begin() + static_cast<std::ptrdiff_t>(queued);
  std::copy(readQueue_.begin(), end, bytes.begin());
  readQueue_.erase(readQueue_.begin(), end);
  readyNs_.erase(readyNs_.begin(), readyNs_.begin() + static_cast<std::ptrdiff_t>(queued));
  if (queued < bytes.size()) {
    return Fail("the USB adapter " + Name() + " delivered only " + std::to_string(queued) + " of " +
                std::to_string(bytes.size()) + " bytes");
  }
  return true;
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
  StartRun();
  UpdateTargetLines(RunUs());
  EndRun();
}

void SimulatedFtdi::StartRun() {
  runStartNs_ = std::max(clock_.NowNanoseconds(), doneNs_);
  runPs_ = 0;
}

bool SimulatedFtdi::Run(std::span<const std::uint8_t> bytes) {
  StartRun();
  bool known = true;
  switch (mode_) {
    case Mode::kSyncBitBang:
      BitBang(bytes);
      break;
    case Mode::kMpsse:
      pending_.insert(pending_.end(), bytes.begin(), bytes.end());
      known = RunMpsse();
      break;
    case Mode::kReset:
      break;  // the bytes leave through the UART, which has nothing on it
  }
  EndRun();
  return known;
}

void SimulatedFtdi::Answer(std::uint8_t byte) {
  readQueue_.push_back(byte);
  readyNs_.push_back(runStartNs_ + (runPs_ + 999) / 1000);
}

void SimulatedFtdi::BitBang(std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t byte : bytes) {
    Answer(SamplePins());
    levels_ = byte;
    UpdateTargetLines(RunUs());
    runPs_ += bytePeriodPs_;
  }
}

bool SimulatedFtdi::RunMpsse() {
  std::size_t done = 0;
  while (done < pending_.size()) {
    const auto rest = std::span<const std::uint8_t>(pending_).subspan(done);
    const std::size_t length = CommandLength(rest);
    if (length > rest.size()) break;
    if (!MpsseCommand(rest.first(length))) {
      pending_.clear();
      return false;
    }
    done += length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
  return true;
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
  if (IsShift(op)) {
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
    default:
      Answer(kBadCommand);
      Answer(op);
      return false;
  }
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
