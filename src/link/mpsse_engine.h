// The serial engine of the FT232H and FT2232H: their MPSSE clocks whole bytes out
// and in at a divisor of its 60 MHz clock, so an exchange of many instructions is a
// handful of USB transfers.
//
// Every byte is preceded by a read of the pins, whose SENSE bit is judged once the
// answers are back: a byte whose SENSE read 0 counts as refused, with the bytes
// before it clocked (the ones after it went to a cable whose buffer drove nothing).
// The data sheets draw the AT89S51/52 in SPI mode 0 and the AT89S8253 in mode 1.
// MPSSE changes MOSI on one edge and samples MISO on one edge, so no one command
// serves both: mode 0 gets MOSI out on the falling edge and MISO in on the rising
// one (31), mode 1 MOSI out on the rising edge and MISO in on the falling one (34).
// Either way MOSI is steady through the edge on which the chip takes it, and MISO is
// read on the edge before which the chip has moved it on.
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
