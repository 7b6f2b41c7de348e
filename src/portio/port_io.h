// Byte-wide access to the printer port's registers: the one seam between the program
// and the hardware.
//
// Inport and Outport take 16-bit I/O addresses and return no errors, as the program
// above expects of them; what can go wrong is found out when a port is attached, and
// a back end whose system stops serving a port says so: the link asks Failed() after
// every access, and shows Failure()'s text.
// Back ends: a simulated cable with a target behind it, Linux ppdev, and direct
// port I/O for root on x86.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vql {

// A printer port that cannot be made ready. The text says why and what to do, in
// plain words, and names the port and its address.
class PortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Time as the port layer sees it: the simulated target's edges and the trace are
// stamped with it in microseconds. The test window's virtual clock implements it too,
// so simulated chips and waits share one time.
//
// The link times SCK's half period in nanoseconds: a floor of a few microseconds
// measured in whole ones would be overshot by up to a microsecond per half period.
// The front ends' clocks read the steady clock in nanoseconds; a clock that counts
// whole microseconds (the test clocks, whose time is exactly their reading) may keep
// the defaults.
class MicrosecondClock {
 public:
  virtual ~MicrosecondClock() = default;
  virtual std::uint64_t NowMicroseconds() = 0;
  // The same time in nanoseconds.
  virtual std::uint64_t NowNanoseconds() { return NowMicroseconds() * 1000; }
  // Returns once NowMicroseconds has reached us. The waits are a few microseconds
  // between clock edges, far below any sleep's resolution, so a real clock spins; a
  // virtual clock jumps there instead.
  virtual void WaitUntil(std::uint64_t us) {
    while (NowMicroseconds() < us) {
    }
  }
  // Returns once NowNanoseconds has reached ns, in the same way. A clock that
  // overrides NowNanoseconds overrides this too; the default waits for the first
  // whole microsecond at or after ns.
  virtual void WaitUntilNanoseconds(std::uint64_t ns) { WaitUntil((ns + 999) / 1000); }
};

class PortIo {
 public:
  virtual ~PortIo() = default;

  // Makes the printer port whose data register is at base ready for Inport and
  // Outport: data register at base, status at base + 1. name ("LPT1", "LPT2") is for
  // messages. Attaching the same port again is harmless. Throws PortError.
  virtual void AttachPort(std::string_view name, std::uint16_t base) = 0;

  // The register at address in the low eight bits. Addresses of no attached port
  // read FF.
  virtual std::uint16_t Inport(std::uint16_t address) = 0;

  // Writes the low eight bits of value. Writes to addresses of no attached port are
  // ignored.
  virtual void Outport(std::uint16_t address, std::uint16_t value) = 0;

  // Gives back what AttachPort took for the port at base (a claimed device, an I/O
  // permission); its lines stay as they were last written. Nothing happens for a base
  // that is not attached. The link calls it for the port that it leaves behind. Every
  // back end of the program implements it; the default is for test doubles that hold
  // nothing.
  virtual void DetachPort(std::uint16_t /*base*/) {}

  // Why the system stopped serving an attached port (the device, the request that
  // failed and the system's error), for the operator; empty while all is well. Once
  // set it stays until the port is detached, and the back end no longer touches that
  // port: Inport answers FF and Outport does nothing, and neither is data.
  virtual std::string Failure() const { return {}; }
  // Whether Failure() has anything to say. The link asks after every access, so a
  // back end that can tell without building the text answers it itself.
  virtual bool Failed() const { return !Failure().empty(); }

  // What is in use, for the operator, e.g. "simulated programmer" or
  // "/dev/parport0 (ppdev)".
  virtual std::string Description() const = 0;

  // For a simulated programmer, what is plugged in behind it: a chip's name, or ""
  // for nothing at all. Nothing for a real port.
  virtual std::optional<std::string> SimulatedTarget() const { return std::nullopt; }
  // For a simulated line of boards whose last board has gone: no target will come
  // any more. Never for real hardware, where the next board may come at any time.
  virtual bool TargetsEnded() const { return false; }
};

}  // namespace vql
