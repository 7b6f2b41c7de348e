// The serial engine of the FT232H and FT2232H: their MPSSE clocks whole bytes out
// and in at a divisor of its 60 MHz clock, so an exchange of many instructions is a
// handful of USB transfers.
//
// Every byte is preceded by a read of the pins, whose SENSE bit is judged once the
// answers are back: a byte whose SENSE read 0 counts as refused, with the bytes
// before it clocked (the ones after it went to a cable whose buffer drove nothing).
// The data sheets draw the AT89S51/52 in SPI mode 0 and the AT89S8253 in mode 1: the
// one takes MOSI as SCK rises and moves MISO after it falls, the other the reverse.
// MPSSE puts the first bit of a shift on DO before the first clock and moves DO on at
// the edge its command writes on (AN_108), and AN_114 gives it SPI modes 0 and 2 only.
// So a mode-0 chip gets 31 (out on the fall, in on the rise) with SCK resting low. A
// mode-1 chip takes its bits on the falls and moves MISO at the rises, as a mode-2
// chip does: it gets 34 (out on the rise, in on the fall) with SCK resting high, which
// is mode 2 as MPSSE offers it. From high the first edge of a byte is a fall, on which
// the chip takes the bit that stood on DO since before the clock; the rise after it
// moves DO and the chip's MISO on together. SCK goes high once before the first byte,
// with RST already high, a rise the chip takes as its first bit's leading edge, and it
// stays high from byte to byte, so that every fall the chip sees is a bit. It comes
// down only after RST has fallen (the link lowers RST first) or, before RST rises
// again, in that same write's place (see FtdiEngine::SetLine).
#pragma once

#include <cstdint>
#include <vector>

#include "link/ftdi_engine.h"

namespace vql {

class MpsseEngine final : public FtdiEngine {
 public:
  using FtdiEngine::FtdiEngine;

  bool Start() override;
  void SetSckHalfPeriodUs(std::int32_t us) override;
  Exchanged Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                     std::size_t& clocked) override;
  // A walk's reads go out 256 instructions to an exchange.
  std::size_t ReadAhead() const override { return 256; }

  // The command bytes that clock one instruction byte in the mode: the pins read,
  // then the byte shifted out and in, MSB first.
  static std::vector<std::uint8_t> ByteCommands(std::uint8_t byte, SpiMode mode);
  // Instruction bytes per chunk of an exchange: two chunks fit the adapter's buffers
  // each way, and a chunk clocks in a quarter of libftdi's timeout at most.
  static std::size_t BytesPerChunk(FtdiChip chip, std::int32_t halfUs);
  // The divisor and the 60 MHz or 12 MHz base that give at least this half period.
  struct Clock {
    bool slowBase = false;
    std::uint16_t divisor = 0;
  };
  static Clock ClockFor(std::int32_t halfUs);

 private:
  bool WritePins(std::uint8_t pins) override;
  std::optional<std::uint8_t> ReadPins() override;
  // The divisor's commands, when it changed since it was last sent.
  void TakePendingClock(std::vector<std::uint8_t>& commands);

  Clock clock_{false, 59};  // a half period of 1 us until the link sets its own
  bool clockSent_ = false;
};

}  // namespace vql
