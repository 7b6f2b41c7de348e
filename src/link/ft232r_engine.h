// The serial engine of the FT232R, through synchronous bit-bang: each byte written
// sets the pins for one tick of the bit-bang clock, and the adapter answers every
// byte with the pins as they were just before it applied. A bit is SCK low for a
// half period, MOSI held for its first tick and then set to the bit, then SCK high
// for a half period, each at least two ticks long; MISO is the sample taken as the
// high phase ends, late in it. So MOSI is steady through both edges and MISO is read
// well after either has moved it, which serves chips of both SPI modes as the
// printer-port cable does. SENSE is the sample taken before a byte's first tick.
#pragma once

#include <cstdint>
#include <vector>

#include "link/ftdi_engine.h"

namespace vql {

class Ft232rEngine final : public FtdiEngine {
 public:
  using FtdiEngine::FtdiEngine;

  bool Start() override;
  void SetSckHalfPeriodUs(std::int32_t us) override;
  Exchanged Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                     std::size_t& clocked) override;
  std::size_t ReadAhead() const override { return 16; }

  // The baud rate given to the library and the ticks each half period lasts, so that
  // a half period lasts at least halfUs.
  struct Clock {
    int baud = 0;
    int ticks = 1;
  };
  static Clock ClockFor(std::int32_t halfUs);

 private:
  bool WritePins(std::uint8_t pins) override;
  std::optional<std::uint8_t> ReadPins() override;
  bool SendClock();

  Clock clock_{};
  bool clockSent_ = false;
};

}  // namespace vql
