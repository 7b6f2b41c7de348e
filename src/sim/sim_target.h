// What sits behind the simulated cable: the target plug. The simulated port tells a
// target every change of the lines it drives and asks it for the level of MISO.
//
// The simple plugs live here too: no chip at all, a loop-back plug, and a scripted
// target that answers fixed bytes, for tests and benchmarks. The chip models
// (sim_chip.h) plug in through the same interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

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
};

// The cable is powered but nothing is plugged in: MISO floats to the pull-up.
class NoTarget final : public SimTarget {
 public:
  void LinesChanged(const TargetLines&, std::uint64_t) override {}
  bool Miso(std::uint64_t) override { return true; }
};

// A plug that wires SCK back to MISO, for testing the cable without a chip.
class LoopbackTarget final : public SimTarget {
 public:
  void LinesChanged(const TargetLines& lines, std::uint64_t) override { sck_ = lines.sck; }
  bool Miso(std::uint64_t) override { return sck_; }

 private:
  bool sck_ = false;
};

// Answers a fixed list of bytes, then FF, and records every byte it receives.
//
// While RST is high it behaves like the chip's serial port: MOSI is sampled on each
// rising edge of SCK, the answer goes out MSB first with its first bit on MISO
// before the first rising edge, and MISO moves to the next bit after each falling
// edge. RST low drops a partly shifted byte; the answer that was going out starts
// again from its first bit. With RST low MISO is the pin's pull-up, 1.
class ScriptedTarget final : public SimTarget {
 public:
  explicit ScriptedTarget(std::vector<std::uint8_t> answers = {});

  void LinesChanged(const TargetLines& lines, std::uint64_t us) override;
  bool Miso(std::uint64_t us) override;

  const std::vector<std::uint8_t>& Received() const { return received_; }
  // How many answers have gone out completely.
  std::size_t AnswersSent() const { return answerIndex_; }

 private:
  std::uint8_t CurrentAnswer() const;

  std::vector<std::uint8_t> answers_;
  std::vector<std::uint8_t> received_;
  TargetLines lines_;
  std::size_t answerIndex_ = 0;
  int outBit_ = 0;        // bits of the current answer already shifted out
  int inBits_ = 0;        // bits of the byte coming in
  bool clocked_ = false;  // SCK rose while RST was high and has not fallen since
  std::uint8_t inShift_ = 0;
};

// The target named by the simulator's target option: none, loopback or a chip name
// in any case. Throws PortError for an unknown name, listing the known ones.
std::unique_ptr<SimTarget> MakeSimTarget(std::string_view name);

// The same with the rest of the options, which a chip takes its times, faults and
// state file from. Throws PortError for an unknown target, for chip options given to
// a target that is no chip, and for a state file that cannot be used.
std::unique_ptr<SimTarget> MakeSimTarget(const SimOptions& options);

}  // namespace vql
