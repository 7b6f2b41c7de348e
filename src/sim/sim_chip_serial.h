// The serial programming port of a simulated chip, without any meaning attached to
// the bytes: it turns line changes into sessions and received bytes, and shifts the
// chip's answers out on MISO. The chip models and the tests' byte-level targets all
// shift through it, so they keep the same edge rules.
//
// A session begins when RST rises while SCK is low and ends when RST falls. Within
// it MOSI is sampled on each rising edge of SCK, MSB first, and MISO moves on to the
// next answer bit after each falling edge, so it is steady while SCK is high. After
// the eighth rising edge of a byte the chip says what goes out during the next byte;
// that answer takes over at the following falling edge. A chip whose RST rose with
// SCK high does not listen at all until the next reset, as the real parts need SCK
// low to enter serial programming.
#pragma once

#include <cstdint>

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

  Event LinesChanged(const TargetLines& lines);

  std::uint8_t Received() const { return received_; }
  // After kByteReceived: the byte that goes out during the next byte. Unless the
  // target says otherwise it is the received byte itself, the echo the parts give.
  // After kSessionStarted, before the first clock: the byte that goes out during the
  // first byte, its first bit on MISO at once. Unless the target says otherwise it is
  // FF, as the chips give.
  void SetNextAnswer(std::uint8_t answer);
  // The level on MISO: the pin's pull-up outside a session.
  bool Miso() const;

 private:
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
  bool answerPending_ = false;  // a byte is complete; its answer goes out at SCK's fall
};

}  // namespace vql
