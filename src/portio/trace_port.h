// A port back end that writes every register access of another one to a stream, one
// line each, so that a run can be decoded afterwards into line changes and bytes:
//
//   <microseconds> <R|W> <address, 4 hex digits> <value, 2 hex digits>
//   1532 W 0378 70
//
// A full chip takes tens of millions of accesses, so each line is formatted by hand
// and handed to the stream's buffer in one call, without the formatting machinery of
// iostreams. Buffering is the stream's: give a file stream a large buffer. A string
// stream sees every line at once, which is what tests want.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "portio/port_io.h"

namespace vql {

class TracingPort final : public PortIo {
 public:
  // displayName (usually the file's path) shows in Description(). The clock stamps
  // the lines and must outlive the tracer.
  TracingPort(std::unique_ptr<PortIo> inner, std::unique_ptr<std::ostream> sink,
              MicrosecondClock& clock, std::string displayName = "");
  ~TracingPort() override;
  TracingPort(const TracingPort&) = delete;
  TracingPort& operator=(const TracingPort&) = delete;

  // Not traced: attaching, detaching and failures are no register accesses.
  void AttachPort(std::string_view name, std::uint16_t base) override;
  void DetachPort(std::uint16_t base) override;
  std::string Failure() const override;
  bool Failed() const override;
  std::uint16_t Inport(std::uint16_t address) override;
  void Outport(std::uint16_t address, std::uint16_t value) override;
  std::string Description() const override;
  std::optional<std::string> SimulatedTarget() const override { return inner_->SimulatedTarget(); }

  // Flushes the stream; the destructor does too.
  void Flush();

  PortIo& Inner() { return *inner_; }

 private:
  void Append(char kind, std::uint16_t address, std::uint16_t value);

  std::unique_ptr<PortIo> inner_;
  std::unique_ptr<std::ostream> sink_;
  MicrosecondClock& clock_;
  std::string displayName_;
};

}  // namespace vql
