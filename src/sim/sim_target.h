// What sits behind the simulated cable: the target plug. The simulated port tells a
// target every change of the lines it drives and asks it for the level of MISO.
// A target that can change what is in its socket (a line of boards,
// sim_board_line.h) also hears when the cable's buffer is switched and when SENSE
// is read, and says whether anything in the socket powers the cable.
//
// The simple plugs live here too: no chip at all and the loop-back plugs. The chip
// models (sim_chip.h) plug in through the same interface, and so do the tests' own
// targets (tests/support/).
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sim/sim_options.h"

namespace vql {

// The lines as the target sees them, after the cable's buffer.
struct TargetLines {
  bool rst = false;
  bool sck = false;
  bool mosi = false;

  bool operator==(const TargetLines&) const = default;
};

class SimTarget {
 public:
  virtual ~SimTarget() = default;
  // Every change of what the target sees on RST, SCK, MOSI, with the time it happened
  // (microseconds of the clock).
  virtual void LinesChanged(const TargetLines& lines, std::uint64_t us) = 0;
  // The level the target drives on MISO at time us.
  virtual bool Miso(std::uint64_t us) = 0;

  // Whether something in the socket powers the cable's buffer, so that SENSE reads 1
  // while the buffer is enabled. A plain target always does (the options' sense=0
  // aside, which the cable itself plays).
  virtual bool Powered() const { return true; }
  // The cable's buffer was enabled or disabled (the mode lines, or the adapter's
  // enable pin), told after the lines that this change brings.
  virtual void BufferSwitched(bool /*enabled*/) {}
  // The cable reads SENSE now. True when this changed what is in the socket: the
  // cable then tells the new arrival the lines it sees.
  virtual bool SenseRead() { return false; }
  // What is in the socket now: the target itself for a plain target, nullptr for an
  // empty socket.
  virtual SimTarget* InSocket() { return this; }
  // No target will come into the socket any more.
  virtual bool Ended() const { return false; }
};

// The cable is powered but nothing is plugged in: MISO floats to the pull-up.
class NoTarget final : public SimTarget {
 public:
  void LinesChanged(const TargetLines&, std::uint64_t) override {}
  bool Miso(std::uint64_t) override { return true; }
};

// The printer-port cable's loop-back plug: SCK wired back to MISO, for testing the
// cable without a chip.
class LoopbackTarget final : public SimTarget {
 public:
  void LinesChanged(const TargetLines& lines, std::uint64_t) override { sck_ = lines.sck; }
  bool Miso(std::uint64_t) override { return sck_; }

 private:
  bool sck_ = false;
};

// The USB adapters' loop-back plug: MOSI jumpered to MISO, so that a self-test sees
// its own bytes come back. A lagging one (the options' miso-lag=1) is a faulty plug
// whose MISO gives MOSI as it was at SCK's previous falling edge, one bit late, and
// a self-test must catch it.
class MosiLoopbackTarget final : public SimTarget {
 public:
  explicit MosiLoopbackTarget(bool lag) : lag_(lag) {}
  void LinesChanged(const TargetLines& lines, std::uint64_t) override;
  bool Miso(std::uint64_t) override { return lag_ ? atFall_ : mosi_; }
  bool Lags() const { return lag_; }

 private:
  bool lag_;
  bool sck_ = false;
  bool mosi_ = false;
  bool atFall_ = false;  // MOSI as it was at SCK's last falling edge
};

// Which cable a target is made for: the plug that target=loopback names differs.
enum class SimCable { kPrinterPort, kUsbAdapter };

// The socket at the end of a simulated cable: the target in it, and what the cable's
// buffer passes on to it. The buffer drives the target's lines only while it is
// enabled and the target powers it; otherwise the target sees every line low. The
// target hears of each change of what it sees, then of each switch of the buffer.
// Both simulated cables (the printer port's and the USB adapter's) hold one.
class SimSocket {
 public:
  explicit SimSocket(std::unique_ptr<SimTarget> target) : target_(std::move(target)) {}

  SimTarget& Target() const { return *target_; }
  // The target as the type it was made with, e.g. TargetAs<SimChip>(), or else what
  // is in its socket as that type (on a line of boards, the chip of the board in the
  // socket); nullptr when it is something else.
  template <std::derived_from<SimTarget> T>
  T* TargetAs() const {
    if (T* whole = dynamic_cast<T*>(target_.get())) return whole;
    return dynamic_cast<T*>(target_->InSocket());
  }
  // Whether a buffer in this state drives the target.
  bool Drives(bool enabled) const { return enabled && target_->Powered(); }
  // The lines the cable drives and its buffer's state now, at time us.
  void Update(const TargetLines& driven, bool enabled, std::uint64_t us);
  // Puts target in the socket and tells it what it sees now; the cable then calls
  // Update, for a target that powers nothing sees nothing.
  void Replace(std::unique_ptr<SimTarget> target, std::uint64_t us);

 private:
  std::unique_ptr<SimTarget> target_;
  TargetLines lines_;     // what the target was last told
  bool enabled_ = false;  // and the buffer's state it was last told
};

// What a simulated cable says is plugged in behind it (PortIo::SimulatedTarget): a
// chip's name (also for a line of boards of that chip, even while its socket is
// empty), "" for nothing, "loop-back plug" (SCK to MISO), "loop-back plug (MOSI to
// MISO)" with ", one bit late" for a lagging one, or "test target" for a test's own.
std::string DescribeSimTarget(const SimTarget& target);

// The target named by the simulator's target option: none, loopback or a chip name
// in any case. Throws PortError for an unknown name, listing the known ones.
std::unique_ptr<SimTarget> MakeSimTarget(std::string_view name);

// The same with the rest of the options, which a chip takes its times, faults and
// state file from; with boards=N, a line of N boards of that chip. target=loopback is
// the plug of the cable given: SCK to MISO on the printer port, MOSI to MISO (lagging
// with miso-lag=1) on a USB adapter. Throws PortError for an unknown target, for chip
// or line options given to a target that is no chip (seed= is also taken with
// usb-jitter=, which draws from it), for line options without boards=N, for
// miso-lag=1 without the USB adapter's loop-back plug, and for a state file or folder
// that cannot be used.
std::unique_ptr<SimTarget> MakeSimTarget(const SimOptions& options,
                                         SimCable cable = SimCable::kPrinterPort);

}  // namespace vql
