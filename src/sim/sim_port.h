// The simulated programmer: printer ports that exist only in memory, with the cable
// and a target behind it on one of them. Tests, benchmarks and anyone without the
// hardware run the program against it.
//
// Each attached port has a data register that reads back what was written, a
// control register that does the same, and a status register computed from the cable
// model (the lines sit where cable_pins.h says). The cable's buffer is enabled while
// it is powered and both mode lines (MODE7, MODE3) are 0, and it drives the target
// while it is enabled and the target powers it (SimTarget::Powered); then SENSE reads
// 1 and MISO is the target's. Otherwise the target sees every line low, so its reset
// circuit lets it run, and MISO reads its pull-up, 1. A MISO stuck by the options
// reads its level either way. The other status bits read a fixed pattern.
//
// Every read of the cable port's status register reads SENSE, and the target hears
// of it first (SimTarget::SenseRead), as it hears of every switch of the buffer, so
// that a line of boards (sim_board_line.h) can change what is in the socket.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "portio/cable_pins.h"
#include "portio/port_io.h"
#include "sim/sim_options.h"
#include "sim/sim_target.h"

namespace vql {

namespace cable {
// What the status bits without a role on the cable read, so that a wrong mask shows.
inline constexpr std::uint8_t kStatusPattern = 0xA5;
}  // namespace cable

class SimulatedPort final : public PortIo {
 public:
  // The clock stamps the target's line changes; it must outlive the port. The target
  // that the options name (MakeSimTarget) is plugged in until PlugTarget replaces it.
  SimulatedPort(MicrosecondClock& clock, SimOptions options);

  void AttachPort(std::string_view name, std::uint16_t base) override;
  // Holds nothing to give back: the port keeps its registers, as a real port keeps
  // its lines, and the cable stays where it is.
  void DetachPort(std::uint16_t /*base*/) override {}
  std::uint16_t Inport(std::uint16_t address) override;
  void Outport(std::uint16_t address, std::uint16_t value) override;
  // Never fails: the ports exist only in memory, so Failure() stays the default.
  bool Failed() const override { return false; }
  std::string Description() const override;
  std::optional<std::string> SimulatedTarget() const override;
  bool TargetsEnded() const override { return socket_.Target().Ended(); }

  // Replaces the target behind the cable; it is told at once what lines it sees.
  // Returns the target, with its own type, for the caller to watch.
  template <std::derived_from<SimTarget> T>
  T& PlugTarget(std::unique_ptr<T> target) {
    T& plugged = *target;
    ReplaceTarget(std::move(target));
    return plugged;
  }
  SimTarget& Target() { return socket_.Target(); }
  // See SimSocket::TargetAs.
  template <std::derived_from<SimTarget> T>
  T* TargetAs() {
    return socket_.TargetAs<T>();
  }
  const SimOptions& Options() const { return options_; }

 private:
  struct Port {
    std::vector<std::string> names;  // upper case; two names may share one port
    std::uint16_t base = 0;
    std::uint8_t data = 0;
    std::uint8_t control = 0;
  };

  void ReplaceTarget(std::unique_ptr<SimTarget> target);
  Port* PortAt(std::uint16_t address, std::uint16_t& offset);
  // The port that the cable hangs on, or nullptr. Looked up when a port is attached,
  // the only time it can change, not at every access.
  const Port* CablePort() const {
    return cableIndex_ < ports_.size() ? &ports_[cableIndex_] : nullptr;
  }
  void FindCablePort();
  bool BufferEnabled() const;
  bool BufferDrives() const { return socket_.Drives(BufferEnabled()); }
  std::uint8_t Status(const Port& port);
  // Tells the target of a change of its lines, then of a switch of the buffer.
  void UpdateTargetLines();

  MicrosecondClock& clock_;
  SimOptions options_;
  std::vector<Port> ports_;
  std::size_t cableIndex_ = 0;  // into ports_; past its end when no port has the cable
  SimSocket socket_;
};

}  // namespace vql
