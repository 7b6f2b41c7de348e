// The bit-bang engine: the printer-port cable's serial engine. Every line change is a
// read of the data register, the write of one changed bit and a short calibrated
// spin; every bit is MOSI set, SCK up, a wait, MISO sampled, SCK down, a wait. SENSE
// is read before every byte. Which register bit is which line comes from
// portio/cable_pins.h.
#pragma once

#include <cstdint>

#include "link/serial_engine.h"
#include "portio/port_io.h"

namespace vql {

class ProgrammerLink;

class BitBangEngine final : public SerialEngine {
 public:
  // The link lends its calibrated spin and its waits on the window's tick (BitDelay);
  // the clock times SCK's edges.
  BitBangEngine(PortIo& port, MicrosecondClock& clock, ProgrammerLink& link);

  // The port whose data register carries the lines (status at data + 1). A port
  // chosen anew starts without a failure.
  void SetDataPort(std::uint16_t data) {
    data_ = data;
    failed_ = false;
  }

  void SetSckHalfPeriodUs(std::int32_t us) override { halfUs_ = us; }
  Exchanged Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                     std::size_t& clocked) override;
  bool SetLine(Line line, bool high) override;
  bool PulseRstLow() override;
  bool ReadMiso(bool& high) override;
  bool ReadSense(bool& high) override;
  std::string Failure() const override { return failed_ ? port_.Failure() : std::string(); }
  bool Failed() const override { return failed_; }

 private:
  // The register bits, and what a read or write of them costs: each returns what it
  // did, and does nothing once the port has failed.
  bool ReadStatusBit(std::int32_t bit);
  void ChangeDataBit(std::int32_t bit, bool set);
  std::uint8_t ClockByte(std::uint8_t byte);
  bool ClockBit();
  // After an access: true, and the port no longer touched, when the back end failed.
  bool AccessFailed();
  // Waits until the floor has passed since the time given (the clock's nanoseconds).
  void AwaitHalfPeriodSince(std::uint64_t ns);

  PortIo& port_;
  MicrosecondClock& clock_;
  ProgrammerLink& link_;
  std::uint16_t data_ = 0;
  std::int32_t halfUs_ = 0;
  bool failed_ = false;
  // By the clock's nanoseconds, just after the write that made the edge.
  std::uint64_t lastSckEdgeNs_ = 0;
  std::uint64_t lastRstEdgeNs_ = 0;
  // A time the clock is known to have reached: the latest reading or wait. A floor
  // that ends before it has passed without another reading, as the falling edge's
  // has once its MISO sample waited for it.
  std::uint64_t reachedNs_ = 0;
};

}  // namespace vql
