// The bit-bang engine over the printer port's data and status registers.
//
// MOSI is set while SCK is low, SCK rises (the target samples MOSI), MISO is read
// while SCK is high, SCK falls (the target moves to its next answer bit).
#include "link/bit_bang_engine.h"

#include "link/programmer_link.h"
#include "portio/cable_pins.h"

namespace vql {

namespace {

constexpr std::uint16_t Mask(std::int32_t bit) { return static_cast<std::uint16_t>(1u << bit); }

constexpr std::int32_t BitOf(Line line) {
  switch (line) {
    case Line::Rst:
      return kRstBit;
    case Line::Sck:
      return kSckBit;
    case Line::Mosi:
      return kMosiBit;
    case Line::Mode7:
      return kMode7Bit;
    case Line::Mode3:
      return kMode3Bit;
  }
  return kRstBit;
}

}  // namespace

BitBangEngine::BitBangEngine(PortIo& port, MicrosecondClock& clock, ProgrammerLink& link)
    : port_(port), clock_(clock), link_(link) {}

bool BitBangEngine::AccessFailed() {
  if (!port_.Failed()) return false;
  failed_ = true;
  return true;
}

bool BitBangEngine::ReadStatusBit(std::int32_t bit) {
  if (failed_) return false;
  if (bit == kMisoBit) AwaitHalfPeriodSince(lastSckEdgeNs_);
  const std::uint16_t value = port_.Inport(static_cast<std::uint16_t>(data_ + 1));
  if (AccessFailed()) return false;
  return (value & Mask(bit)) != 0;
}

void BitBangEngine::ChangeDataBit(std::int32_t bit, bool set) {
  if (failed_) return;
  const bool sck = bit == kSckBit;
  if (sck) AwaitHalfPeriodSince(lastSckEdgeNs_);
  const std::uint16_t value = port_.Inport(data_);
  if (AccessFailed()) return;
  port_.Outport(data_, set ? static_cast<std::uint16_t>(value | Mask(bit))
                           : static_cast<std::uint16_t>(value & ~Mask(bit)));
  // Stamped after the write: the edge happened during it, so the next one waits at
  // least the floor from the edge itself.
  if (sck || bit == kRstBit) {
    reachedNs_ = clock_.NowNanoseconds();
    (sck ? lastSckEdgeNs_ : lastRstEdgeNs_) = reachedNs_;
  }
  if (AccessFailed()) return;
  link_.SpinDelay(5);
}

void BitBangEngine::AwaitHalfPeriodSince(std::uint64_t ns) {
  if (halfUs_ <= 0) return;
  const std::uint64_t due = ns + static_cast<std::uint64_t>(halfUs_) * 1000;
  if (reachedNs_ >= due) return;
  // One reading of the clock when the floor has passed already, as it has whenever
  // the port and the pumps are slower than the floor.
  reachedNs_ = clock_.NowNanoseconds();
  if (reachedNs_ >= due) return;
  clock_.WaitUntilNanoseconds(due);
  reachedNs_ = due;
}

bool BitBangEngine::ClockBit() {
  ChangeDataBit(kSckBit, true);
  link_.WaitScaled(link_.BitDelay);
  const bool sample = ReadStatusBit(kMisoBit);
  ChangeDataBit(kSckBit, false);
  link_.WaitScaled(link_.BitDelay);
  return sample;
}

std::uint8_t BitBangEngine::ClockByte(std::uint8_t byte) {
  unsigned answer = 0;
  for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
    ChangeDataBit(kMosiBit, (byte & mask) != 0);
    answer = answer << 1 | (ClockBit() ? 1u : 0u);
  }
  return static_cast<std::uint8_t>(answer);
}

Exchanged BitBangEngine::Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                                  std::size_t& clocked) {
  clocked = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (failed_) return Exchanged::Failed;
    const bool sense = ReadStatusBit(kSenseBit);
    if (failed_) return Exchanged::Failed;
    if (!sense) return Exchanged::Refused;
    in[i] = ClockByte(out[i]);
    if (failed_) return Exchanged::Failed;
    ++clocked;
  }
  return Exchanged::Done;
}

bool BitBangEngine::SetLine(Line line, bool high) {
  ChangeDataBit(BitOf(line), high);
  return !failed_;
}

bool BitBangEngine::PulseRstLow() {
  ChangeDataBit(kRstBit, false);
  if (failed_) return false;
  AwaitHalfPeriodSince(lastRstEdgeNs_);
  ChangeDataBit(kRstBit, true);
  return !failed_;
}

bool BitBangEngine::ReadMiso(bool& high) {
  high = ReadStatusBit(kMisoBit);
  return !failed_;
}

bool BitBangEngine::ReadSense(bool& high) {
  high = ReadStatusBit(kSenseBit);
  return !failed_;
}

}  // namespace vql
