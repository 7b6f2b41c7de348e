// A USB adapter that writes every call to another one into a stream, one line each,
// for VQLISP_TRACE with a USB cable: the bytes written and read in hexadecimal, the
// settings by name, each with the clock's microseconds.
//
//   1532 USB-W 81 31 00 00 AC 87
//   1533 USB-R 50 FF
//   1400 USB bitmode 02 mask 00
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "portio/ftdi_io.h"
#include "portio/port_io.h"

namespace vql {

class TracingFtdi final : public FtdiIo {
 public:
  // The clock stamps the lines and must outlive the tracer.
  TracingFtdi(std::unique_ptr<FtdiIo> inner, std::unique_ptr<std::ostream> sink,
              MicrosecondClock& clock);
  ~TracingFtdi() override;
  TracingFtdi(const TracingFtdi&) = delete;
  TracingFtdi& operator=(const TracingFtdi&) = delete;

  FtdiChip Chip() const override { return inner_->Chip(); }
  std::string Name() const override { return inner_->Name(); }
  bool SetBitmode(std::uint8_t mask, std::uint8_t mode) override;
  bool SetLatencyTimer(std::uint8_t ms) override;
  bool SetBaudRate(int baud) override;
  bool Purge() override;
  bool Write(std::span<const std::uint8_t> bytes) override;
  bool Read(std::span<std::uint8_t> bytes) override;
  void Close() override;
  std::string Error() const override { return inner_->Error(); }
  std::optional<std::string> SimulatedTarget() const override { return inner_->SimulatedTarget(); }

  FtdiIo& Inner() { return *inner_; }

 private:
  bool Line(const std::string& what, bool ok);
  bool Bytes(const char* kind, std::span<const std::uint8_t> bytes, bool ok);

  std::unique_ptr<FtdiIo> inner_;
  std::unique_ptr<std::ostream> sink_;
  MicrosecondClock& clock_;
};

}  // namespace vql
