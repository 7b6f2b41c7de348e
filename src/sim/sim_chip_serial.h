// The serial programming port of a simulated chip, without any meaning attached to
// the bytes: it turns line changes into sessions and received bytes, and shifts the
// chip's answers out on MISO. The chip models and the tests' byte-level targets all
// shift through it, so they keep the same edge rules.
//
// A session begins when RST rises while SCK is low and ends when RST falls. Within
// it bytes go MSB first, each bit taken from MOSI on one edge of SCK while MISO
// moves on to the next answer bit on the other:
//   - mode 0: MOSI is sampled as SCK rises and MISO moves after SCK falls, so it is
//     steady while SCK is high and the first answer bit is out before the first
//     rise;
//   - mode 1: MOSI is sampled as SCK falls and MISO moves after SCK rises, so it is
//     steady from each rise through the fall that follows.
// After the eighth sampling edge of a byte the chip says what goes out during the
// next byte; that answer takes over at the next moving edge, which in mode 1 is the
// first rise of the next byte. A chip whose RST rose with SCK high does not listen
// at all until the next reset, as the real parts need SCK low to enter serial
// programming.
#pragma once

#include <cstdint>

#include "sim/sim_chip_table.h"
#include "sim/sim_target.h"

namespace vql {

class SimSerialShifter {
 public:
  enum class Event {
    kNone,
    kSessionStarted,  // RST rose with SCK low
    kSessionEnded,    // RST fell
    kByteReceived,    // Received() holds a whole new byte
  };

  explicit SimSerialShifter(SimSpiMode mode = SimSpiMode::kMode0) : mode_(mode) {}

  Event LinesChanged(const TargetLines& lines);

  SimSpiMode Mode() const { return mode_; }
  // Whether the edge to this SCK level is the one that samples MOSI.
  bool SamplesOn(bool sck) const { return sck == (mode_ == SimSpiMode::kMode0); }

  std::uint8_t Received() const { return received_; }
  // After kByteReceived: the byte that goes out during the next byte. Unless the
  // target says otherwise it is the received byte itself, the echo the parts give.
  // After kSessionStarted, before the first clock: the byte that goes out during the
  // first byte (in mode 0 its first bit on MISO at once). Unless the target says
  // otherwise it is FF, as the chips give.
  void SetNextAnswer(std::uint8_t answer);
  // The level on MISO: the pin's pull-up outside a session.
  bool Miso() const;

 private:
  Event Sample(bool mosi);
  void MoveOut();

  SimSpiMode mode_;
  TargetLines lines_;
  bool listening_ = false;  // in a session that began with SCK low
  bool clocked_ = false;    // SCK rose in the session and has not fallen since
  bool fresh_ = false;      // in a session that SCK has not yet clocked
  int inBits_ = 0;
  int outBit_ = 0;  // bits of the current answer already shifted out
  std::uint8_t inShift_ = 0;
  std::uint8_t received_ = 0;
  std::uint8_t answer_ = 0xFF;
  std::uint8_t nextAnswer_ = 0xFF;
  bool answerPending_ = false;  // nextAnswer_ goes out from the next moving edge
};

}  // namespace vql
